#include "Lumetra/OSInfo.h"

#include "Lumetra/FileVersionInfo.h"

#include <string>
#include <thread>

namespace Lumetra {

BOOL WinOSVersionAPI::VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask)
{
    // Qualified: with UNICODE the member itself is named VerifyVersionInfoW.
    return ::VerifyVersionInfoW(info, typeMask, conditionMask);
}

namespace internal {

using Proxy = OSInfoProxy<WinOSVersionAPI>;

bool Proxy::_Impl::ParseProductVersion(const std::wstring& text, DWORD (&numbers)[4])
{
    if (text.empty()) return false;
    for (DWORD& n : numbers) n = 0;
    try {
        size_t start = 0;
        for (int part = 0; part < 4; ++part) {
            const size_t dot = text.find(L'.', start);
            numbers[part] = std::stoul(text.substr(start, dot == std::wstring::npos ? dot : dot - start), nullptr, 10);
            if (dot == std::wstring::npos) break;
            start = dot + 1;
        }
    } catch (...) {
        // No digits, or more than 32 bits.
        return false;
    }
    return true;
}

bool Proxy::_Impl::ReadKernelVersion(DWORD (&numbers)[4])
{
    try {
        SystemFileVersionInfo kernel(std::make_shared<ShlObjAPI>());
        if (!kernel.Load(L"kernel32.dll")) return false;
        return ParseProductVersion(kernel.QueryString(L"ProductVersion"), numbers);
    } catch (...) {
        return false;
    }
}

bool Proxy::_Impl::EnsureComputed()
{
    for (;;) {
        DWORD state = 0;
        if (onceState.compare_exchange_strong(state, 1)) break;
        if (state == 2) return true;
        std::this_thread::yield();
    }
    bool done = false;
    try {
        done = Compute();
    } catch (...) {
        // However the computation ends, the state must leave 1 or other queries spin forever.
        done = false;
    }
    onceState.store(done ? 2 : 0);
    return done;
}

BOOL Proxy::_Impl::Verify(OSVERSIONINFOEXW& info, DWORD typeMask, BYTE condition)
{
    if (!api) return FALSE;
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    return api->VerifyVersionInfo(&info, typeMask, VerSetConditionMask(0, typeMask, condition));
}

bool Proxy::_Impl::Compute()
{
    DWORD numbers[4] = {};
    if (!ReadKernelVersion(numbers)) return false;
    for (int i = 0; i < 4; ++i) kernelVersion[i] = numbers[i];

    OSVERSIONINFOEXW info = {};
    info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    bool classified = false;
    if (Verify(info, VER_PLATFORMID, VER_EQUAL)) {
        classified = Classify9x();
    } else {
        info = {};
        info.dwPlatformId = VER_PLATFORM_WIN32_NT;
        if (!Verify(info, VER_PLATFORMID, VER_EQUAL)) return false;
        classified = ClassifyNT();
    }
    // A failed classification leaves nothing that a query could mistake for a result.
    if (classified) computed = 1;
    return classified;
}

WORD Proxy::_Impl::ProbeServicePack(WORD from)
{
    for (WORD pack = from; pack >= 1; --pack) {
        OSVERSIONINFOEXW info = {};
        info.wServicePackMajor = pack;
        if (Verify(info, VER_SERVICEPACKMAJOR, VER_EQUAL)) return pack;
    }
    return 0;
}

bool Proxy::_Impl::ClassifyNT()
{
    const DWORD major = kernelVersion[0];
    const DWORD minor = kernelVersion[1];
    WORD servicePack = 0;
    if (major < 5) {
        osId = 3;
        platformFlag = 0;
    } else if (major == 5) {
        osId = minor == 0 ? 4 : 6;
        platformFlag = minor == 0 ? 0 : 1;
        servicePack = ProbeServicePack(minor == 0 ? 4 : 3);
    } else if (major == 6) {
        platformFlag = 1;
        switch (minor) {
        case 0: osId = 7; servicePack = ProbeServicePack(2); break;
        case 1: osId = 8; servicePack = ProbeServicePack(1); break;
        case 2: osId = 9; break;
        default: osId = 10; break;
        }
    } else {
        osId = major == 10 ? 11 : 12;
        platformFlag = 1;
    }
    version = {major, minor, servicePack};
    return true;
}

DWORD Proxy::_Impl::ProbeMinor9x()
{
    // The 9x family reports no numbers of its own here: the minor version is found by asking
    // "below v?" in steps of 8, then narrowing by 4, 2 and 1.
    auto below = [this](DWORD value) {
        OSVERSIONINFOEXW info = {};
        info.dwMinorVersion = value;
        return Verify(info, VER_MINORVERSION, VER_LESS) != FALSE;
    };
    DWORD value = 8;
    while (value <= 104 && !below(value)) value += 8;
    if (value > 104) return 100;
    value -= 4;
    value = below(value) ? value - 2 : value + 2;
    value = below(value) ? value - 1 : value + 1;
    OSVERSIONINFOEXW info = {};
    info.dwMinorVersion = value;
    if (!Verify(info, VER_MINORVERSION, VER_EQUAL)) value -= 1;
    return value;
}

bool Proxy::_Impl::Classify9x()
{
    const DWORD minor = ProbeMinor9x();
    if (minor == 100) return false;
    version = {4, minor, 0};
    platformFlag = 0;
    osId = minor == 0 ? 1 : minor < 90 ? 2 : 5;
    return true;
}

Proxy::OSInfoProxy() : OSInfoProxy(nullptr, nullptr) {}

Proxy::OSInfoProxy(std::shared_ptr<WinOSVersionAPI> api, std::shared_ptr<_Impl> impl)
    : m_api(std::move(api)), m_impl(std::move(impl))
{
    try {
        if (!m_api) m_api = std::make_shared<WinOSVersionAPI>();
        if (!m_impl) m_impl = std::make_shared<_Impl>(m_api.get());
        else if (!m_impl->api) m_impl->api = m_api.get();
    } catch (...) {
        // Without memory the queries answer "not computed".
        m_impl.reset();
    }
}

DWORD Proxy::GetOSId()
{
    return m_impl && m_impl->EnsureComputed() ? m_impl->osId : 0;
}

DWORD Proxy::GetOSFlag()
{
    return m_impl && m_impl->EnsureComputed() ? m_impl->platformFlag : 2;
}

bool Proxy::GetVersionRecord(OSVersionRecord& record)
{
    record = {};
    if (!m_impl || !m_impl->EnsureComputed()) return false;
    record = m_impl->version;
    return m_impl->osId != 12;
}

bool Proxy::GetOSIdAndFlag(DWORD& id, DWORD& flag)
{
    id = 0;
    flag = 2;
    if (!m_impl || !m_impl->EnsureComputed()) return false;
    id = m_impl->osId;
    flag = m_impl->platformFlag;
    return true;
}

bool Proxy::IsWow64()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel) return false;
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process =
        reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    if (!isWow64Process) return false;
    BOOL wow64 = FALSE;
    return isWow64Process(GetCurrentProcess(), &wow64) && wow64 == TRUE;
}

bool Proxy::IsNTPlatform()
{
    if (!m_api) return false;
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    return m_api->VerifyVersionInfo(&info, VER_PLATFORMID, VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) ==
           TRUE;
}

bool Proxy::GetKernelVersion(DWORD (&numbers)[4])
{
    for (DWORD& n : numbers) n = 0;
    if (!m_impl || !m_impl->EnsureComputed()) return false;
    for (int i = 0; i < 4; ++i) numbers[i] = m_impl->kernelVersion[i];
    return true;
}

OSVersionRecord GetOSVersion(const std::function<std::shared_ptr<Proxy>()>& makeProxy)
{
    try {
        DWORD id = 0;
        DWORD flag = 0;
        std::shared_ptr<Proxy> first = makeProxy();
        if (!first || !first->GetOSIdAndFlag(id, flag) || id == 12) return {};
        std::shared_ptr<Proxy> second = makeProxy();
        OSVersionRecord record = {};
        if (second) second->GetVersionRecord(record);
        return record;
    } catch (...) {
        return {};
    }
}

} // namespace internal

OSVersionRecord GetOSVersion()
{
    return internal::GetOSVersion([] { return std::make_shared<internal::OSInfoProxy<WinOSVersionAPI>>(); });
}

} // namespace Lumetra
