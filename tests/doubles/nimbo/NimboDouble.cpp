// Doubles of the Nimbo client and cohort servers, as an in-process server (DLL) and as a local
// server (exe; its class ids on the command line; it ends when its last object goes). They serve
// any class id whose key HKCR\CLSID\{id} names, in its value "Settings", a settings key under
// HKCU. Answers are read from there at every call: "SendResult",
// "AppInfoResult", "CohortResult" (DWORD HRESULTs, default 0), "AppInfoText", "CohortText"
// (absent: a NULL out-string), "DelayMs". Every call is appended to the file named by "CallLog"
// as one JSON line {"pid":..,"method":..,"args":[text or null, ...]}.
#include <windows.h>
#include <ole2.h>
#include <initguid.h>
#include "NimboDouble.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <memory>
#include <string>
#include <vector>

namespace {

LONG g_objects = 0;
HANDLE g_lastObjectGone = nullptr;

void Leave()
{
    if (InterlockedDecrement(&g_objects) == 0 && g_lastObjectGone) SetEvent(g_lastObjectGone);
}

std::wstring SettingsPath(REFCLSID clsid)
{
    wchar_t guid[40] = {};
    StringFromGUID2(clsid, guid, 40);
    wchar_t path[512] = {};
    DWORD size = sizeof path;
    std::wstring key = std::wstring(L"CLSID\\") + guid;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), L"Settings", RRF_RT_REG_SZ, nullptr, path, &size)) return {};
    return path;
}

class Double : public INimboClient, public INimboCohort {
public:
    explicit Double(std::wstring settings) : m_settings(std::move(settings))
    {
        InterlockedIncrement(&g_objects);
        Record(L"Created", {});
    }
    virtual ~Double()
    {
        Record(L"Destroyed", {});
        Leave();
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_INimboClient))
            *out = static_cast<INimboClient*>(this);
        else if (IsEqualIID(iid, IID_INimboCohort))
            *out = static_cast<INimboCohort*>(this);
        else
            return *out = nullptr, E_NOINTERFACE;
        return AddRef(), S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG left = InterlockedDecrement(&m_refs);
        if (left == 0) delete this;
        return left;
    }
#define NIMBO_UNUSED(n) \
    STDMETHODIMP Reserved##n() override { return Call(L"Reserved" #n, {}), E_NOTIMPL; }
    NIMBO_UNUSED(4) NIMBO_UNUSED(5) NIMBO_UNUSED(6) NIMBO_UNUSED(7) NIMBO_UNUSED(8) NIMBO_UNUSED(9)
    NIMBO_UNUSED(10) NIMBO_UNUSED(11) NIMBO_UNUSED(12) NIMBO_UNUSED(13) NIMBO_UNUSED(14) NIMBO_UNUSED(15)
    NIMBO_UNUSED(16)
    STDMETHODIMP SendEvent(BSTR payload) override { return Call(L"SendEvent", {payload}), Number(L"SendResult"); }
    STDMETHODIMP GetAppInfo(BSTR key, BSTR* text) override
    {
        Call(L"GetAppInfo", {key});
        return Answer(L"AppInfoResult", L"AppInfoText", text);
    }
    STDMETHODIMP GetCohortData(BSTR key, BSTR name, BSTR* text) override
    {
        Call(L"GetCohortData", {key, name});
        return Answer(L"CohortResult", L"CohortText", text);
    }

private:
    DWORD Number(const wchar_t* name)
    {
        DWORD value = 0, size = sizeof value;
        return RegGetValueW(HKEY_CURRENT_USER, m_settings.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size)
                   ? 0 : value;
    }
    bool Text(const wchar_t* name, std::wstring& text)
    {
        wchar_t buffer[2048] = {};
        DWORD size = sizeof buffer;
        if (RegGetValueW(HKEY_CURRENT_USER, m_settings.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size))
            return false;
        return text = buffer, true;
    }
    HRESULT Answer(const wchar_t* result, const wchar_t* name, BSTR* out)
    {
        std::wstring text;
        *out = Text(name, text) ? SysAllocString(text.c_str()) : nullptr;
        return static_cast<HRESULT>(Number(result));
    }
    void Call(const wchar_t* method, std::initializer_list<BSTR> args)
    {
        Record(method, args);
        Sleep(Number(L"DelayMs"));
    }
    void Record(const wchar_t* method, std::initializer_list<BSTR> args)
    {
        rapidjson::StringBuffer line;
        rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF16<>, rapidjson::UTF8<>> writer(line);
        writer.StartObject();
        writer.Key(L"pid");
        writer.Uint(GetCurrentProcessId());
        writer.Key(L"method");
        writer.String(method);
        writer.Key(L"args");
        writer.StartArray();
        for (BSTR arg : args) arg ? writer.String(arg, SysStringLen(arg)) : writer.Null();
        writer.EndArray();
        writer.EndObject();
        line.Put('\n');
        std::wstring path;
        if (!Text(L"CallLog", path)) return;
        std::unique_ptr<void, decltype(&CloseHandle)> file(
            CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                        nullptr),
            &CloseHandle);
        DWORD written = 0;
        if (file.get() != INVALID_HANDLE_VALUE)
            WriteFile(file.get(), line.GetString(), static_cast<DWORD>(line.GetSize()), &written, nullptr);
    }

    LONG m_refs = 1;
    std::wstring m_settings;
};

class Factory : public IClassFactory {
public:
    explicit Factory(std::wstring settings) : m_settings(std::move(settings)) {}
    virtual ~Factory() = default;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return *out = nullptr, E_NOINTERFACE;
        return *out = this, AddRef(), S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG left = InterlockedDecrement(&m_refs);
        if (left == 0) delete this;
        return left;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (outer) return *out = nullptr, CLASS_E_NOAGGREGATION;
        Double* object = new Double(m_settings);
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        lock ? (void)InterlockedIncrement(&g_objects) : Leave();
        return S_OK;
    }

private:
    LONG m_refs = 1;
    std::wstring m_settings;
};

} // namespace

#ifdef NIMBO_LOCAL_SERVER
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    std::unique_ptr<void, decltype(&CloseHandle)> gone(CreateEventW(nullptr, TRUE, FALSE, nullptr), &CloseHandle);
    g_lastObjectGone = gone.get();
    std::vector<DWORD> cookies;
    int count = 0;
    std::unique_ptr<LPWSTR, decltype(&LocalFree)> args(CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    for (int i = 1; i < count; ++i) {
        CLSID clsid;
        if (FAILED(CLSIDFromString(args.get()[i], &clsid))) continue;
        IClassFactory* factory = new Factory(SettingsPath(clsid));
        DWORD cookie = 0;
        if (SUCCEEDED(CoRegisterClassObject(clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
            cookies.push_back(cookie);
        factory->Release();
    }
    // A server nobody reaches ends by itself.
    WaitForSingleObject(g_lastObjectGone, 60000);
    for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
    g_lastObjectGone = nullptr;
    CoUninitialize();
    return 0;
}
#else
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    std::wstring settings = SettingsPath(clsid);
    if (settings.empty()) return *out = nullptr, CLASS_E_CLASSNOTAVAILABLE;
    IClassFactory* factory = new Factory(settings);
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

STDAPI DllCanUnloadNow() { return g_objects ? S_FALSE : S_OK; }
#endif
