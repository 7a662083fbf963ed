// Test double of the outside validation DLL Ovgate.dll.
//
// "NotComDllGetInterface" hands out "KvlValidationControl". Its Validate (slot 5) answers
// with the flags that the calling process has put into its environment at call time, so
// every test process configures its own answer:
//   TELVANA_OVGATE_STATUS, TELVANA_OVGATE_CAPABILITY   status and capability flags
//                                                       (C number syntax; missing: 0)
// and records each call in the same environment, for the test to read back with
// GetEnvironmentVariableW (the C runtime's getenv keeps its own copy):
//   TELVANA_OVGATE_CALLS        number of Validate calls (decimal)
//   TELVANA_OVGATE_LAST_FLAGS   flags of the last call (decimal)
//   TELVANA_OVGATE_LAST_PATH    path of the last call
//
// Callers free the library right after taking the interface, so the DLL pins itself in
// the process before it hands out an object: the object's code must outlive FreeLibrary.
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// {6F1D52B4-3C0E-4E7A-9A51-2C8D07B1E4A9}
const IID IID_IKvlValidationControl = {0x6f1d52b4, 0x3c0e, 0x4e7a, {0x9a, 0x51, 0x2c, 0x8d, 0x07, 0xb1, 0xe4, 0xa9}};

struct IKvlValidationControl : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetVersion(DWORD* version) = 0;                                 // 3
    virtual HRESULT STDMETHODCALLTYPE GetValidationCount(DWORD* count) = 0;                           // 4
    virtual HRESULT STDMETHODCALLTYPE Validate(const wchar_t* path, DWORD flags, DWORD* record) = 0;  // 5
};

DWORD ReadFlags(const wchar_t* name)
{
    wchar_t text[64];
    DWORD n = GetEnvironmentVariableW(name, text, 64);
    if (n == 0 || n >= 64) return 0;
    return static_cast<DWORD>(wcstoul(text, nullptr, 0));
}

void WriteNumber(const wchar_t* name, DWORD value)
{
    SetEnvironmentVariableW(name, std::to_wstring(value).c_str());
}

class ValidationControl final : public IKvlValidationControl {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override
    {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IKvlValidationControl)) {
            *out = static_cast<IKvlValidationControl*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetVersion(DWORD* version) override
    {
        if (!version) return E_POINTER;
        *version = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetValidationCount(DWORD* count) override
    {
        if (!count) return E_POINTER;
        *count = calls_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Validate(const wchar_t* path, DWORD flags, DWORD* record) override
    {
        ++calls_;
        WriteNumber(L"TELVANA_OVGATE_CALLS", ReadFlags(L"TELVANA_OVGATE_CALLS") + 1);
        WriteNumber(L"TELVANA_OVGATE_LAST_FLAGS", flags);
        SetEnvironmentVariableW(L"TELVANA_OVGATE_LAST_PATH", path ? path : L"");
        if (!record) return E_POINTER;
        record[0] = ReadFlags(L"TELVANA_OVGATE_STATUS");
        record[1] = ReadFlags(L"TELVANA_OVGATE_CAPABILITY");
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
    std::atomic<DWORD> calls_{0};
};

} // namespace

extern "C" __declspec(dllexport) DWORD WINAPI NotComDllGetInterface(const char* interfaceName, void** out)
{
    if (!out) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    if (!interfaceName || std::strcmp(interfaceName, "KvlValidationControl") != 0)
        return static_cast<DWORD>(E_NOINTERFACE);
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&NotComDllGetInterface), &self))
        return GetLastError();
    auto* control = new (std::nothrow) ValidationControl();
    if (!control) return ERROR_OUTOFMEMORY;
    *out = static_cast<IKvlValidationControl*>(control);
    return 0;
}
