#include "Lumetra/RegKey.h"

#include "Lumetra/OSInfo.h"
#include "Lumetra/SecureDll.h"

#include <objbase.h>
#include <shlwapi.h>

#include <atomic>
#include <climits>
#include <cwchar>
#include <new>
#include <vector>

namespace Lumetra {
namespace internal {

namespace {

constexpr REGSAM kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;   // 0x2001F
constexpr DWORD kGuidChars = 64;
constexpr DWORD kKeyNameChars = 256;

// A FALSE from a bound function must never turn into a success code.
LONG LastErrorOr(LONG fallback)
{
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? static_cast<LONG>(error) : fallback;
}

ULONG CharsToBytes(ULONG chars)
{
    return chars > ULONG_MAX / sizeof(wchar_t) ? (ULONG_MAX & ~1UL) : chars * static_cast<ULONG>(sizeof(wchar_t));
}

// A value of the wrong type answers ERROR_INVALID_DATA even when it would not have fitted, so a
// caller is never told to grow its buffer for data it cannot use anyway.
bool ResultCarriesType(LONG result) { return result == ERROR_SUCCESS || result == ERROR_MORE_DATA; }

using RegDeleteKeyExFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
// Looked up once per process; concurrent first calls store the same value.
std::atomic<bool> g_deleteKeyExLooked{false};
std::atomic<RegDeleteKeyExFn> g_deleteKeyEx{nullptr};

RegDeleteKeyExFn FindRegDeleteKeyEx()
{
    if (!g_deleteKeyExLooked.load(std::memory_order_acquire)) {
        RegDeleteKeyExFn fn = nullptr;
        if (HMODULE advapi = GetModuleHandleW(L"Advapi32.dll"))
            fn = reinterpret_cast<RegDeleteKeyExFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteKeyExW")));
        g_deleteKeyEx.store(fn, std::memory_order_relaxed);
        g_deleteKeyExLooked.store(true, std::memory_order_release);
    }
    return g_deleteKeyEx.load(std::memory_order_relaxed);
}

// The pieces of the new descriptor; whoever built them frees them.
struct EveryoneDescriptor {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL acl = nullptr;
    PSID sid = nullptr;

    void Free(CSecurityApiProxy& api)
    {
        if (descriptor) LocalFree(descriptor);
        if (acl) LocalFree(acl);
        if (sid) api.FreeSid(sid);
        descriptor = nullptr;
        acl = nullptr;
        sid = nullptr;
    }
};

LONG BuildEveryoneDescriptor(CSecurityApiProxy& api, PACL oldDacl, EveryoneDescriptor& out)
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    if (!api.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &out.sid))
        return LastErrorOr(ERROR_INVALID_FUNCTION);

    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = GENERIC_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(out.sid);
    DWORD result = api.SetEntriesInAclW(1, &entry, oldDacl, &out.acl);
    if (result != ERROR_SUCCESS) return static_cast<LONG>(result);

    out.descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (!out.descriptor) return ERROR_NOT_ENOUGH_MEMORY;
    if (!api.InitializeSecurityDescriptor(out.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !api.SetSecurityDescriptorDacl(out.descriptor, TRUE, out.acl, FALSE))
        return LastErrorOr(ERROR_INVALID_FUNCTION);
    return ERROR_SUCCESS;
}

LONG ApplyDescriptor(CSecurityApiProxy& api, HKEY key, PSECURITY_DESCRIPTOR descriptor, bool applyToSubKeys)
{
    LONG result = api.RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    if (result != ERROR_SUCCESS || !applyToSubKeys) return result;
    // Wide names, so that a sub key whose name the ANSI code page cannot hold is not skipped.
    for (DWORD index = 0;; ++index) {
        wchar_t name[kKeyNameChars];
        DWORD length = kKeyNameChars;
        result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (result != ERROR_SUCCESS) return result;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS, &child) != ERROR_SUCCESS) continue;
        result = ApplyDescriptor(api, child, descriptor, true);
        RegCloseKey(child);
        if (result != ERROR_SUCCESS) return result;
    }
}

} // namespace

// ---- CSecurityApiProxy ------------------------------------------------------------------------

const char* const CSecurityApiProxy::kFunctionNames[CSecurityApiProxy::kFunctionCount] = {
    "SetEntriesInAclW", "GetFileSecurityW", "SetFileSecurityW", "LookupAccountSidW",
    "GetExplicitEntriesFromAclW", "RegGetKeySecurity", "RegSetKeySecurity", "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl", "GetSecurityDescriptorDacl", "AllocateAndInitializeSid", "FreeSid",
    "OpenThreadToken", "GetTokenInformation", "InitializeAcl", "InitializeSid", "GetSidSubAuthority",
    "AddAccessAllowedAce", "GetSecurityInfo", "SetSecurityInfo", "QueryServiceStatusEx", "GetAce", "DeleteAce",
    "EqualSid", "GetAclInformation", "SetSecurityDescriptorControl",
};

CSecurityApiProxy::CSecurityApiProxy(Resolver resolver) : m_resolver(resolver ? resolver : &::GetProcAddress)
{
    InitializeCriticalSectionAndSpinCount(&m_lock, 4000);
    m_available = OSInfoProxy<WinOSVersionAPI>().IsNTPlatform();
}

CSecurityApiProxy::~CSecurityApiProxy()
{
    DeleteCriticalSection(&m_lock);
    if (m_module) FreeLibrary(m_module);
}

bool CSecurityApiProxy::Load()
{
    EnterCriticalSection(&m_lock);
    if (!m_module) m_module = LoadLibraryFromSystemDirectory(L"advapi32.dll");
    if (!m_module) {
        LeaveCriticalSection(&m_lock);
        return false;
    }
    bool complete = true;
    for (int f = 0; f < kFunctionCount; ++f) {
        m_functions[f] = m_resolver(m_module, kFunctionNames[f]);
        if (!m_functions[f]) complete = false;
    }
    LeaveCriticalSection(&m_lock);
    return complete;
}

BOOL CSecurityApiProxy::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0,
                                                 DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6,
                                                 DWORD s7, PSID* sid)
{
    auto fn = Get<decltype(&::AllocateAndInitializeSid)>(kAllocateAndInitializeSid);
    return fn ? fn(authority, count, s0, s1, s2, s3, s4, s5, s6, s7, sid) : FALSE;
}

PVOID CSecurityApiProxy::FreeSid(PSID sid)
{
    auto fn = Get<decltype(&::FreeSid)>(kFreeSid);
    return fn ? fn(sid) : sid;
}

BOOL CSecurityApiProxy::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                                  LPBOOL defaulted)
{
    auto fn = Get<decltype(&::GetSecurityDescriptorDacl)>(kGetSecurityDescriptorDacl);
    return fn ? fn(descriptor, present, dacl, defaulted) : FALSE;
}

BOOL CSecurityApiProxy::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    auto fn = Get<decltype(&::InitializeSecurityDescriptor)>(kInitializeSecurityDescriptor);
    return fn ? fn(descriptor, revision) : FALSE;
}

BOOL CSecurityApiProxy::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                                  BOOL defaulted)
{
    auto fn = Get<decltype(&::SetSecurityDescriptorDacl)>(kSetSecurityDescriptorDacl);
    return fn ? fn(descriptor, present, dacl, defaulted) : FALSE;
}

LONG CSecurityApiProxy::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                                          PSECURITY_DESCRIPTOR descriptor, LPDWORD size)
{
    auto fn = Get<decltype(&::RegGetKeySecurity)>(kRegGetKeySecurity);
    return fn ? fn(key, information, descriptor, size) : ERROR_INVALID_FUNCTION;
}

LONG CSecurityApiProxy::RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                                          PSECURITY_DESCRIPTOR descriptor)
{
    auto fn = Get<decltype(&::RegSetKeySecurity)>(kRegSetKeySecurity);
    return fn ? fn(key, information, descriptor) : ERROR_INVALID_FUNCTION;
}

DWORD CSecurityApiProxy::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl)
{
    auto fn = Get<decltype(&::SetEntriesInAclW)>(kSetEntriesInAclW);
    return fn ? fn(count, entries, oldAcl, newAcl) : ERROR_INVALID_FUNCTION;
}

LONG GrantEveryoneFullAccess(HKEY key, bool applyToSubKeys, CSecurityApiProxy& api)
{
    if (!key) return ERROR_INVALID_PARAMETER;
    if (!api.IsAvailable()) return ERROR_SUCCESS;   // no NT security to change
    if (!api.Load()) return ERROR_FILE_NOT_FOUND;

    DWORD size = 0;
    LONG result = api.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (result != ERROR_INSUFFICIENT_BUFFER) return result;
    if (size == 0) return ERROR_BAD_LENGTH;

    // A key with a NULL or empty DACL reports less than the whole absolute descriptor that is
    // initialised into the block before the read.
    if (size < SECURITY_DESCRIPTOR_MIN_LENGTH) size = SECURITY_DESCRIPTOR_MIN_LENGTH;
    PSECURITY_DESCRIPTOR current = LocalAlloc(LPTR, size);
    if (!current) return ERROR_OUTOFMEMORY;
    EveryoneDescriptor updated;
    result = [&]() -> LONG {
        if (!api.InitializeSecurityDescriptor(current, SECURITY_DESCRIPTOR_REVISION))
            return LastErrorOr(ERROR_INVALID_FUNCTION);
        LONG read = api.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, current, &size);
        if (read != ERROR_SUCCESS) return read;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        if (!api.GetSecurityDescriptorDacl(current, &present, &dacl, &defaulted))
            return LastErrorOr(ERROR_INVALID_FUNCTION);
        LONG built = BuildEveryoneDescriptor(api, dacl, updated);
        if (built != ERROR_SUCCESS) return built;
        return ApplyDescriptor(api, key, updated.descriptor, applyToSubKeys);
    }();

    updated.Free(api);
    LocalFree(current);
    return result;
}

// ---- CRegKeyImpl ------------------------------------------------------------------------------

CRegKeyImpl::~CRegKeyImpl() { CRegKeyImpl::Close(); }

LONG CRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size)
{
    return RegQueryValueExW(m_key, name, nullptr, type, static_cast<LPBYTE>(data), size);
}

LONG CRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size)
{
    if (!data || size == 0) return ERROR_INVALID_PARAMETER;
    return RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG CRegKeyImpl::SetGUIDValue(LPCWSTR name, REFGUID value)
{
    wchar_t text[kGuidChars] = {};
    if (StringFromGUID2(value, text, kGuidChars) == 0) return ERROR_INVALID_DATA;
    return SetStringValue(name, text, REG_SZ);
}

LONG CRegKeyImpl::SetBinaryValue(LPCWSTR name, const void* data, ULONG size)
{
    return SetValue(name, REG_BINARY, data, size);
}

LONG CRegKeyImpl::SetDWORDValue(LPCWSTR name, DWORD value)
{
    return SetValue(name, REG_DWORD, &value, sizeof value);
}

LONG CRegKeyImpl::SetQWORDValue(LPCWSTR name, ULONGLONG value)
{
    return SetValue(name, REG_QWORD, &value, sizeof value);
}

LONG CRegKeyImpl::SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type)
{
    if (!text) return ERROR_INVALID_DATA;
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    if (bytes > MAXDWORD) return ERROR_INVALID_PARAMETER;
    return SetValue(name, type, text, static_cast<ULONG>(bytes));
}

LONG CRegKeyImpl::SetMultiStringValue(LPCWSTR name, LPCWSTR texts)
{
    if (!texts) return ERROR_INVALID_DATA;
    size_t chars = 0;
    for (LPCWSTR p = texts; *p;) {
        size_t length = wcslen(p) + 1;
        chars += length;
        p += length;
    }
    ++chars;   // the list's final terminator
    if (chars > MAXDWORD / sizeof(wchar_t)) return ERROR_INVALID_PARAMETER;
    return SetValue(name, REG_MULTI_SZ, texts, static_cast<ULONG>(chars * sizeof(wchar_t)));
}

LONG CRegKeyImpl::QueryGUIDValue(LPCWSTR name, GUID& value)
{
    value = GUID{};
    wchar_t text[kGuidChars] = {};
    ULONG chars = kGuidChars;
    LONG result = QueryStringValue(name, text, &chars);
    if (result != ERROR_SUCCESS) return result;
    GUID parsed = {};
    if (text[0] != L'{' || FAILED(CLSIDFromString(text, &parsed))) return ERROR_INVALID_DATA;
    value = parsed;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryBinaryValue(LPCWSTR name, void* data, ULONG* size)
{
    if (!m_key || !size) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    LONG result = QueryValue(name, &type, data, size);
    if (!ResultCarriesType(result)) return result;
    return type == REG_BINARY ? result : ERROR_INVALID_DATA;
}

LONG CRegKeyImpl::QueryDWORDValue(LPCWSTR name, DWORD& value)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    DWORD read = 0;   // a short value must not leave stale bytes behind
    ULONG size = sizeof read;
    LONG result = QueryValue(name, &type, &read, &size);
    if (!ResultCarriesType(result)) return result;
    if (type != REG_DWORD) return ERROR_INVALID_DATA;
    if (result == ERROR_SUCCESS) value = read;
    return result;
}

LONG CRegKeyImpl::QueryQWORDValue(LPCWSTR name, ULONGLONG& value)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    ULONGLONG read = 0;
    ULONG size = sizeof read;
    LONG result = QueryValue(name, &type, &read, &size);
    if (!ResultCarriesType(result)) return result;
    if (type != REG_QWORD) return ERROR_INVALID_DATA;
    if (result == ERROR_SUCCESS) value = read;
    return result;
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR name, std::wstring& value)
{
    ULONG chars = 0;
    LONG result = QueryStringValue(name, nullptr, &chars);
    if (result != ERROR_SUCCESS) return result;
    try {
        std::vector<wchar_t> buffer(static_cast<size_t>(chars) + 1, L'\0');
        ULONG capacity = static_cast<ULONG>(buffer.size());
        result = QueryStringValue(name, buffer.data(), &capacity);
        if (result != ERROR_SUCCESS) return result;
        value.assign(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars)
{
    if (!m_key || !chars) return ERROR_INVALID_PARAMETER;
    const ULONG capacity = *chars;
    ULONG bytes = CharsToBytes(capacity);
    *chars = 0;
    DWORD type = REG_NONE;
    LONG result = QueryValue(name, &type, buffer, &bytes);
    if (!ResultCarriesType(result)) return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (result == ERROR_MORE_DATA) {
        *chars = (bytes + 1) / sizeof(wchar_t);
        return result;
    }
    if (buffer) {
        if (bytes == 0) {
            if (capacity == 0) {   // no room even for the terminator of the empty text
                *chars = 1;
                return ERROR_MORE_DATA;
            }
            buffer[0] = L'\0';
        } else if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') {
            return ERROR_INVALID_DATA;
        }
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars)
{
    if (!chars) return ERROR_INVALID_PARAMETER;
    if (buffer && *chars < 2) return ERROR_INSUFFICIENT_BUFFER;
    ULONG bytes = CharsToBytes(*chars);
    *chars = 0;
    DWORD type = REG_NONE;
    LONG result = QueryValue(name, &type, buffer, &bytes);
    if (!ResultCarriesType(result)) return result;
    if (type != REG_MULTI_SZ) return ERROR_INVALID_DATA;
    if (result == ERROR_MORE_DATA) {
        *chars = (bytes + 1) / sizeof(wchar_t);
        return result;
    }
    if (buffer) {
        const ULONG count = bytes / sizeof(wchar_t);
        if (bytes % sizeof(wchar_t) != 0 || count < 1 || buffer[count - 1] != L'\0' ||
            (count > 1 && buffer[count - 2] != L'\0'))
            return ERROR_INVALID_DATA;
    }
    *chars = bytes / sizeof(wchar_t);
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size)
{
    if (!m_key || !size) return ERROR_INVALID_PARAMETER;
    return RegGetKeySecurity(m_key, information, descriptor, size);
}

LONG CRegKeyImpl::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    if (!m_key || !descriptor) return ERROR_INVALID_PARAMETER;
    return RegSetKeySecurity(m_key, information, descriptor);
}

LONG CRegKeyImpl::TakeNewKey(HKEY key, REGSAM access)
{
    LONG result = Close();
    m_key = key;
    m_viewBits = access & kViewMask;
    m_deleteOnClose = false;
    return result;
}

LONG CRegKeyImpl::Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass, DWORD options, REGSAM access,
                         LPSECURITY_ATTRIBUTES attributes, LPDWORD disposition)
{
    HKEY key = nullptr;
    DWORD created = 0;
    LONG result = RegCreateKeyExW(parent, subKey, 0, keyClass, options, access, attributes, &key, &created);
    if (disposition) *disposition = result == ERROR_SUCCESS ? created : 0;
    if (result != ERROR_SUCCESS) return result;
    return TakeNewKey(key, access);
}

LONG CRegKeyImpl::Open(HKEY parent, LPCWSTR subKey, REGSAM access)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(parent, subKey, 0, access, &key);
    if (result != ERROR_SUCCESS) return result;
    return TakeNewKey(key, access);
}

LONG CRegKeyImpl::Close()
{
    if (!m_key) {
        m_viewBits = 0;
        return ERROR_SUCCESS;
    }
    if (m_deleteOnClose) {
        SHDeleteKeyW(m_key, L"");
        // Some shell versions empty the key but leave the key itself; when it is already gone
        // this fails harmlessly.
        RegDeleteKeyW(m_key, L"");
        m_deleteOnClose = false;
    }
    LONG result = RegCloseKey(m_key);
    m_key = nullptr;
    m_viewBits = 0;
    return result;
}

LONG CRegKeyImpl::Flush()
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    return RegFlushKey(m_key);
}

HKEY CRegKeyImpl::Detach()
{
    HKEY key = m_key;
    m_key = nullptr;
    m_viewBits = 0;
    m_deleteOnClose = false;
    return key;
}

void CRegKeyImpl::Attach(HKEY key)
{
    m_key = key;
    m_viewBits = 0;
    m_deleteOnClose = false;
}

LONG CRegKeyImpl::EnumKey(DWORD index, LPWSTR name, LPDWORD size, FILETIME* lastWriteTime)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    FILETIME ignored;
    return RegEnumKeyExW(m_key, index, name, size, nullptr, nullptr, nullptr, lastWriteTime ? lastWriteTime : &ignored);
}

LONG CRegKeyImpl::NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    return RegNotifyChangeKeyValue(m_key, watchSubtree, filter, event, asynchronous);
}

LONG CRegKeyImpl::DeleteSubKey(LPCWSTR subKey)
{
    if (!m_key || !subKey) return ERROR_INVALID_PARAMETER;
    // The deletion must use the same WOW64 view as the held key.
    if (RegDeleteKeyExFn deleteKeyEx = FindRegDeleteKeyEx()) return deleteKeyEx(m_key, subKey, m_viewBits, 0);
    return RegDeleteKeyW(m_key, subKey);
}

LONG CRegKeyImpl::RecurseDeleteKey(LPCWSTR subKey)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    CRegKeyImpl branch;
    LONG result = branch.Open(m_key, subKey, m_viewBits | kReadWrite);
    if (result != ERROR_SUCCESS) return result;
    for (;;) {
        // Always index 0: the previous child is gone by the time the next one is enumerated.
        wchar_t child[kKeyNameChars];
        DWORD length = kKeyNameChars;
        FILETIME written;
        if (RegEnumKeyExW(branch.m_key, 0, child, &length, nullptr, nullptr, nullptr, &written) != ERROR_SUCCESS)
            break;
        result = branch.RecurseDeleteKey(child);
        if (result != ERROR_SUCCESS) return result;
    }
    branch.Close();
    return DeleteSubKey(subKey);
}

LONG CRegKeyImpl::DeleteValue(LPCWSTR name)
{
    if (!m_key || !name) return ERROR_INVALID_PARAMETER;
    return RegDeleteValueW(m_key, name);
}

LONG CRegKeyImpl::GrantAccess(bool applyToSubKeys)
{
    if (!m_key) return ERROR_INVALID_PARAMETER;
    CSecurityApiProxy api;
    return GrantEveryoneFullAccess(m_key, applyToSubKeys, api);
}

void CRegKeyImpl::SetDeleteOnClose(bool deleteOnClose) { m_deleteOnClose = deleteOnClose; }

bool CRegKeyImpl::GetDeleteOnClose() const { return m_deleteOnClose; }

} // namespace internal

// ---- CRegKey ----------------------------------------------------------------------------------

CRegKey::CRegKey() : m_impl(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : m_impl(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>())
{
}

CRegKey::~CRegKey() { m_impl->Close(); }

HKEY CRegKey::GetHandle() const { return m_impl->GetHandle(); }
LONG CRegKey::Close() { return m_impl->Close(); }
void CRegKey::Attach(HKEY key) { m_impl->Attach(key); }
HKEY CRegKey::Detach() { return m_impl->Detach(); }

LONG CRegKey::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size)
{
    return m_impl->QueryValue(name, type, data, size);
}
LONG CRegKey::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size)
{
    return m_impl->SetValue(name, type, data, size);
}
LONG CRegKey::SetGUIDValue(LPCWSTR name, REFGUID value) { return m_impl->SetGUIDValue(name, value); }
LONG CRegKey::SetBinaryValue(LPCWSTR name, const void* data, ULONG size)
{
    return m_impl->SetBinaryValue(name, data, size);
}
LONG CRegKey::SetDWORDValue(LPCWSTR name, DWORD value) { return m_impl->SetDWORDValue(name, value); }
LONG CRegKey::SetQWORDValue(LPCWSTR name, ULONGLONG value) { return m_impl->SetQWORDValue(name, value); }
LONG CRegKey::SetStringValue(LPCWSTR name, LPCWSTR text, DWORD type)
{
    return m_impl->SetStringValue(name, text, type);
}
LONG CRegKey::SetMultiStringValue(LPCWSTR name, LPCWSTR texts) { return m_impl->SetMultiStringValue(name, texts); }
LONG CRegKey::QueryGUIDValue(LPCWSTR name, GUID& value) { return m_impl->QueryGUIDValue(name, value); }
LONG CRegKey::QueryBinaryValue(LPCWSTR name, void* data, ULONG* size)
{
    return m_impl->QueryBinaryValue(name, data, size);
}
LONG CRegKey::QueryDWORDValue(LPCWSTR name, DWORD& value) { return m_impl->QueryDWORDValue(name, value); }
LONG CRegKey::QueryQWORDValue(LPCWSTR name, ULONGLONG& value) { return m_impl->QueryQWORDValue(name, value); }
LONG CRegKey::QueryStringValue(LPCWSTR name, std::wstring& value) { return m_impl->QueryStringValue(name, value); }
LONG CRegKey::QueryStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars)
{
    return m_impl->QueryStringValue(name, buffer, chars);
}
LONG CRegKey::QueryMultiStringValue(LPCWSTR name, LPWSTR buffer, ULONG* chars)
{
    return m_impl->QueryMultiStringValue(name, buffer, chars);
}
LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size)
{
    return m_impl->GetKeySecurity(information, descriptor, size);
}
LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    return m_impl->SetKeySecurity(information, descriptor);
}
LONG CRegKey::Create(HKEY parent, LPCWSTR subKey, LPWSTR keyClass, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES attributes, LPDWORD disposition)
{
    return m_impl->Create(parent, subKey, keyClass, options, access, attributes, disposition);
}
LONG CRegKey::Open(HKEY parent, LPCWSTR subKey, REGSAM access) { return m_impl->Open(parent, subKey, access); }
LONG CRegKey::Flush() { return m_impl->Flush(); }
LONG CRegKey::EnumKey(DWORD index, LPWSTR name, LPDWORD size, FILETIME* lastWriteTime)
{
    return m_impl->EnumKey(index, name, size, lastWriteTime);
}
LONG CRegKey::NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous)
{
    return m_impl->NotifyChangeKeyValue(watchSubtree, filter, event, asynchronous);
}
LONG CRegKey::DeleteSubKey(LPCWSTR subKey) { return m_impl->DeleteSubKey(subKey); }
LONG CRegKey::RecurseDeleteKey(LPCWSTR subKey) { return m_impl->RecurseDeleteKey(subKey); }
LONG CRegKey::DeleteValue(LPCWSTR name) { return m_impl->DeleteValue(name); }
LONG CRegKey::GrantAccess(bool applyToSubKeys) { return m_impl->GrantAccess(applyToSubKeys); }

} // namespace Lumetra
