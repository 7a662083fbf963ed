#include "Platform/ServiceModule.h"

#include <shellapi.h>

#include <utility>

#include "Lumetra/PathUtils.h"
#include "Lumetra/RegKey.h"

// Exported by oleaut32 but missing from MinGW's <oleauto.h>.
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* helpDir);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND kind);

namespace Platform {

namespace {

std::atomic<ServiceModule*> g_current{nullptr};

} // namespace

std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

namespace {

bool HasTypeLibrary() { return FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), L"TYPELIB") != nullptr; }

// The classes root a registration writes: per user HKCU\Software\Classes, else HKCR.
HKEY ClassesRoot(const std::wstring& subKey, bool perUser, std::wstring& path)
{
    path = perUser ? L"Software\\Classes\\" + subKey : subKey;
    return perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
}

LONG OpenClassesKey(const std::wstring& subKey, bool perUser, REGSAM access, Lumetra::CRegKey& key)
{
    std::wstring path;
    HKEY root = ClassesRoot(subKey, perUser, path);
    return key.Open(root, path.c_str(), access);
}

#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
// Registering a type library writes each interface into the 32-bit view as well, which WOW64
// keeps apart (the TypeLib key is one in both views).
constexpr REGSAM kInterfaceViews[] = {0, KEY_WOW64_32KEY};
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
constexpr REGSAM kInterfaceViews[] = {0};
#endif

// Keeps COM initialised for a registration run.
class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr)) CoUninitialize();
    }

private:
    HRESULT m_hr;
};

} // namespace

LONG ServerLock()
{
    ServiceModule* module = g_current.load();
    return module ? module->Lock() : 0;
}

LONG ServerUnlock()
{
    ServiceModule* module = g_current.load();
    return module ? module->Unlock() : 0;
}

CommandSwitch ParseCommandSwitch(const wchar_t* commandLine)
{
    static const struct { const wchar_t* name; CommandSwitch value; } kSwitches[] = {
        {L"RegServer", CommandSwitch::RegServer},
        {L"RegServerPerUser", CommandSwitch::RegServerPerUser},
        {L"UnregServer", CommandSwitch::UnregServer},
        {L"UnregServerPerUser", CommandSwitch::UnregServerPerUser},
        {L"Service", CommandSwitch::Service},
    };
    if (!commandLine || !*commandLine) return CommandSwitch::None;
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(commandLine, &count);
    if (!args) return CommandSwitch::None;
    CommandSwitch found = CommandSwitch::None;
    for (int i = 1; i < count && found == CommandSwitch::None; ++i) {
        const wchar_t* arg = args[i];
        if (arg[0] != L'-' && arg[0] != L'/') continue;
        for (const auto& s : kSwitches) {
            if (CompareStringOrdinal(arg + 1, -1, s.name, -1, TRUE) == CSTR_EQUAL) found = s.value;
        }
    }
    LocalFree(args);
    return found;
}

bool HasLocalServiceString(HKEY appIdKey)
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG result = RegQueryValueExW(appIdKey, L"LocalService", nullptr, &type, nullptr, &size);
    return (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) && (type == REG_SZ || type == REG_EXPAND_SZ);
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

ServiceModule::ServiceModule(UINT serviceNameId, const GUID& appId, UINT appIdScriptId)
    : m_appId(appId), m_appIdScriptId(appIdScriptId)
{
    const wchar_t* text = nullptr;
    int length = serviceNameId ? LoadStringW(GetModuleHandleW(nullptr), serviceNameId, reinterpret_cast<LPWSTR>(&text), 0) : 0;
    if (length > 0 && text) m_serviceName.assign(text, static_cast<size_t>(length));
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_status.dwCurrentState = SERVICE_STOPPED;
    m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    g_current.store(this);
}

ServiceModule::~ServiceModule()
{
    StopMonitor();
    ServiceModule* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

ServiceModule* ServiceModule::Current() { return g_current.load(); }

void ServiceModule::AddClass(const ClassEntry& entry)
{
    Registration registration;
    registration.entry = entry;
    m_classes.push_back(registration);
}

int ServiceModule::WinMain(int showCommand)
{
    try {
        HRESULT hr = S_OK;
        if (ParseCommandLine(GetCommandLineW(), &hr)) hr = Start(showCommand);
        return static_cast<int>(hr);
    } catch (...) {
        return static_cast<int>(E_UNEXPECTED);
    }
}

bool ServiceModule::ParseCommandLine(const wchar_t* commandLine, HRESULT* result)
{
    CommandSwitch command = ParseCommandSwitch(commandLine);
    if (command == CommandSwitch::None) {
        if (result) *result = S_OK;
        return true;
    }
    HRESULT hr = RunSwitch(command);
    if (result) *result = hr;
    return false;
}

HRESULT ServiceModule::RunSwitch(CommandSwitch command)
{
    ComScope com;
    HRESULT hr = S_OK;
    switch (command) {
    case CommandSwitch::RegServer:
    case CommandSwitch::RegServerPerUser:
    case CommandSwitch::Service: {
        bool perUser = command == CommandSwitch::RegServerPerUser;
        hr = CheckRegistration(perUser);
        // All or nothing: what can fail without writing is tried before anything is written.
        if (SUCCEEDED(hr)) {
            ComPtr<ITypeLib> library;
            std::wstring path;
            hr = LoadTypeLibrary(library, path);
        }
        // A step that fails after that puts back what the run changed and removes a service it
        // installed: the registration is as it was found (but for a service removed first).
        if (SUCCEEDED(hr)) {
            RegistryJournal journal;
            struct Recording {
                ServiceModule& module;
                ~Recording() { module.m_journal = nullptr; }
            } recording{*this};
            m_journal = &journal;
            m_installedService = false;
            try {
                hr = RegisterAppId(command == CommandSwitch::Service, perUser);
                if (SUCCEEDED(hr)) hr = RegisterServer(perUser);
            } catch (...) {
                hr = E_UNEXPECTED;
            }
            if (FAILED(hr)) {
                if (m_installedService) RemoveService();
                const LONG restored = journal.Restore();
                if (restored != ERROR_SUCCESS) {
                    wchar_t text[64];
                    wsprintfW(text, L"Could not restore the registration: %ld", restored);
                    LogEvent(text);
                }
                // A service that the hook removed is not put back (its settings are not known
                // here): as after a "RegServer", no LocalService may name it.
                if (!IsInstalled()) DropLocalService(perUser);
            }
        }
        break;
    }
    case CommandSwitch::UnregServer:
    case CommandSwitch::UnregServerPerUser: {
        // Every step is taken, whatever the one before answered; the first failure is the answer.
        bool perUser = command == CommandSwitch::UnregServerPerUser;
        hr = UnregisterServer(perUser);
        HRESULT appId = UnregisterAppId(perUser);
        if (SUCCEEDED(hr)) hr = appId;
        break;
    }
    case CommandSwitch::None:
        break;
    }
    return hr;
}

LONG ServiceModule::ReadRunMode(bool& asService) const
{
    asService = false;
    Lumetra::CRegKey key;
    // Per-user classes first, as in the merged HKCR view of Windows.
    std::wstring subKey = L"AppID\\" + GuidText(m_appId);
    LONG result = OpenClassesKey(subKey, true, KEY_READ, key);
    if (result != ERROR_SUCCESS) result = OpenClassesKey(subKey, false, KEY_READ, key);
    if (result == ERROR_SUCCESS) asService = HasLocalServiceString(key.GetHandle());
    return result;
}

HRESULT ServiceModule::Start(int showCommand)
{
    bool asService = false;
    LONG result = ReadRunMode(asService);
    if (result != ERROR_SUCCESS) {
        m_status.dwWin32ExitCode = static_cast<DWORD>(result);
        return static_cast<HRESULT>(result);
    }
    m_isService = asService;
    if (asService) {
        SERVICE_TABLE_ENTRYW table[] = {{&m_serviceName[0], &ServiceModule::ServiceMainEntry}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(table)) m_status.dwWin32ExitCode = GetLastError();
        return static_cast<HRESULT>(m_status.dwWin32ExitCode);
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return hr;
    m_comInitialized = true;
    hr = Run(showCommand);
    CoUninitialize();
    m_comInitialized = false;
    return hr;
}

void WINAPI ServiceModule::ServiceMainEntry(DWORD argc, LPWSTR* argv)
{
    if (ServiceModule* module = g_current.load()) {
        try {
            module->ServiceMain(argc, argv);
        } catch (...) {
            module->SetServiceStatus(SERVICE_STOPPED);
        }
    }
}

DWORD WINAPI ServiceModule::HandlerEntry(DWORD control, DWORD, void*, void* context)
{
    try {
        static_cast<ServiceModule*>(context)->Handler(control);
    } catch (...) {
    }
    return NO_ERROR;
}

void ServiceModule::ServiceMain(DWORD, LPWSTR*)
{
    m_status.dwWin32ExitCode = NO_ERROR;
    m_statusHandle = RegisterServiceCtrlHandlerExW(m_serviceName.c_str(), &ServiceModule::HandlerEntry, this);
    if (!m_statusHandle) {
        LogEvent(L"Handler not installed");
        return;
    }
    // The queue must exist before anyone may post WM_QUIT to this thread.
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    m_serviceThreadId = GetCurrentThreadId();
    SetServiceStatus(SERVICE_START_PENDING);

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
        m_comInitialized = true;
        hr = Run(SW_HIDE);
        CoUninitialize();
        m_comInitialized = false;
    }
    if (FAILED(hr)) {
        m_status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        m_status.dwServiceSpecificExitCode = static_cast<DWORD>(hr);
    }
    SetServiceStatus(SERVICE_STOPPED);
    LogEvent(L"Service stopped");
}

void ServiceModule::Handler(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP: OnStop(); break;
    case SERVICE_CONTROL_PAUSE: OnPause(); break;
    case SERVICE_CONTROL_CONTINUE: OnContinue(); break;
    case SERVICE_CONTROL_INTERROGATE: OnInterrogate(); break;
    case SERVICE_CONTROL_SHUTDOWN: OnShutdown(); break;
    default: OnUnknownRequest(control); break;
    }
}

void ServiceModule::OnStop()
{
    SetServiceStatus(SERVICE_STOP_PENDING);
    if (m_serviceThreadId) PostThreadMessageW(m_serviceThreadId, WM_QUIT, 0, 0);
}

void ServiceModule::OnUnknownRequest(DWORD) { LogEvent(L"Bad service request"); }

void ServiceModule::SetServiceStatus(DWORD state)
{
    InterlockedExchange(StateField(), static_cast<LONG>(state));
    if (m_statusHandle) ::SetServiceStatus(m_statusHandle, &m_status);
}

void ServiceModule::LogEvent(const wchar_t* text)
{
    HANDLE source = RegisterEventSourceW(nullptr, m_serviceName.c_str());
    if (!source) return;
    ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, &text, nullptr);
    DeregisterEventSource(source);
}

HRESULT ServiceModule::Run(int showCommand)
{
    // The queue must exist before the shutdown monitor may post WM_QUIT to this thread.
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    m_mainThreadId = GetCurrentThreadId();
    HRESULT hr = PreMessageLoop(showCommand);
    if (hr == S_OK) RunMessageLoop();
    // Always: a failed start must not leave class objects registered.
    HRESULT post = PostMessageLoop();
    // An object made between the monitor's last look and the revocation keeps the process,
    // without class objects, until its clients let it go.
    while (hr == S_OK && !m_isService && GetLockCount() > 0 && StartMonitor(true)) {
        RunMessageLoop();
        StopMonitor();
    }
    return SUCCEEDED(hr) ? post : hr;
}

HRESULT ServiceModule::PreMessageLoop(int)
{
    HRESULT hr = InitializeSecurity();
    if (FAILED(hr)) return hr;
    // The monitor comes first: Wine does not hold class objects suspended, so an object may come
    // and go before the resumption, and its Unlock to zero must not go unseen.
    if (!m_isService && !StartMonitor(false)) return E_FAIL;
    hr = RegisterClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
    if (hr != S_OK) return hr;
    if (m_isService) {
        LogEvent(L"Service started/resumed");
        SetServiceStatus(SERVICE_RUNNING);
    }
    return CoResumeClassObjects();
}

void ServiceModule::RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

HRESULT ServiceModule::PostMessageLoop()
{
    StopMonitor();
    return RevokeClassObjects();
}

HRESULT ServiceModule::RegisterClassObjects(DWORD context, DWORD flags)
{
    for (Registration& registration : m_classes) {
        if (registration.cookie) continue;
        const ClassEntry& entry = registration.entry;
        HRESULT hr = entry.createFactory(entry.createObject, IID_IUnknown, reinterpret_cast<void**>(&registration.factory));
        if (SUCCEEDED(hr)) hr = CoRegisterClassObject(entry.clsid, registration.factory.Get(), context, flags, &registration.cookie);
        if (FAILED(hr)) {
            registration.factory.Reset();
            registration.cookie = 0;
            RevokeClassObjects();
            return hr;
        }
    }
    return S_OK;
}

HRESULT ServiceModule::RevokeClassObjects()
{
    HRESULT first = S_OK;
    for (Registration& registration : m_classes) {
        if (registration.cookie) {
            HRESULT hr = CoRevokeClassObject(registration.cookie);
            if (FAILED(hr) && SUCCEEDED(first)) first = hr;
            registration.cookie = 0;
        }
        registration.factory.Reset();
    }
    return first;
}

LONG ServiceModule::Lock() { return ++m_lockCount; }

LONG ServiceModule::Unlock()
{
    LONG count = --m_lockCount;
    if (count == 0 && m_monitorRunning.load()) {
        m_activity = true;
        SetEvent(m_shutdownEvent.Get());
    }
    return count;
}

bool ServiceModule::StartMonitor(bool countdownAtZero)
{
    if (m_monitorRunning.load()) return true;
    m_shutdownEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_shutdownEvent) return false;
    m_monitorExit = false;
    // Running before the thread exists: an Unlock to zero in between leaves the event set.
    m_monitorRunning = true;
    try {
        m_monitor = std::thread(&ServiceModule::MonitorShutdown, this);
    } catch (...) {
        m_monitorRunning = false;
        return false;
    }
    if (countdownAtZero && m_lockCount.load() == 0) SetEvent(m_shutdownEvent.Get());
    return true;
}

void ServiceModule::StopMonitor()
{
    if (!m_monitor.joinable()) return;
    m_monitorExit = true;
    SetEvent(m_shutdownEvent.Get());
    if (m_monitor.get_id() != std::this_thread::get_id()) m_monitor.join();
    else m_monitor.detach();
    m_monitorRunning = false;
}

void ServiceModule::MonitorShutdown()
{
    HANDLE event = m_shutdownEvent.Get();
    for (;;) {
        WaitForSingleObject(event, INFINITE);
        if (m_monitorExit) return;
        DWORD wait;
        do {
            m_activity = false;
            wait = WaitForSingleObject(event, m_shutdownDelay);
            if (m_monitorExit) return;
        } while (wait == WAIT_OBJECT_0);
        if (!m_activity && m_lockCount.load() == 0) {
            // No new activation may slip in between the last look at the count and the quit.
            CoSuspendClassObjects();
            if (m_lockCount.load() == 0) break;
            CoResumeClassObjects();
        }
    }
    PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
}

bool ServiceModule::IsInstalled() const
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(OpenServiceW(manager.Get(), m_serviceName.c_str(), SERVICE_QUERY_CONFIG));
    return static_cast<bool>(service);
}

bool ServiceModule::Install()
{
    if (IsInstalled()) return true;
    std::wstring command = L"\"" + ModulePath() + L"\"";
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LogEvent(L"Could not open service manager");
        return false;
    }
    ServiceHandle service(CreateServiceW(manager.Get(), m_serviceName.c_str(), m_serviceName.c_str(),
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, L"RPCSS\0",
                                         nullptr, nullptr));
    if (!service) {
        LogEvent(L"Could not create service");
        return false;
    }
    return true;
}

bool ServiceModule::Uninstall() { return RemoveService(); }

bool ServiceModule::RemoveService()
{
    if (!IsInstalled()) return true;
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LogEvent(L"Could not open service manager");
        return false;
    }
    ServiceHandle service(OpenServiceW(manager.Get(), m_serviceName.c_str(), SERVICE_STOP | DELETE));
    if (!service) {
        LogEvent(L"Could not open service");
        return false;
    }
    SERVICE_STATUS status = {};
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE &&
            !(error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING))
            LogEvent(L"Could not stop service");
    }
    if (DeleteService(service.Get())) return true;
    LogEvent(L"Service could not be deleted");
    return false;
}

void ServiceModule::AddCommonRGSReplacements(Registrar& registrar)
{
    registrar.AddReplacement(L"APPID", GuidText(m_appId));
}

HRESULT ServiceModule::UpdateRegistryFromResource(UINT resourceId, bool doRegister, bool perUser)
{
    std::wstring path = ModulePath();
    Registrar registrar;
    registrar.SetPerUser(perUser);
    registrar.AddReplacement(L"MODULE", L"\"" + path + L"\"");
    registrar.AddReplacement(L"MODULE_RAW", path);
    AddCommonRGSReplacements(registrar);
    if (doRegister) registrar.SetJournal(m_journal);
    return registrar.ResourceRegister(GetModuleHandleW(nullptr), resourceId, doRegister);
}

HRESULT ServiceModule::RegisterAppId(bool asService, bool perUser)
{
    if (!Uninstall()) return E_FAIL;
    HRESULT hr = UpdateRegistryFromResource(m_appIdScriptId, true, perUser);
    if (FAILED(hr)) return hr;
    // Whatever the script says, only "Service" leaves a LocalService value behind.
    std::wstring path;
    const HKEY root = ClassesRoot(L"AppID\\" + GuidText(m_appId), perUser, path);
    LONG result = m_journal ? m_journal->SaveValue(root, path, L"LocalService") : ERROR_SUCCESS;
    Lumetra::CRegKey key;
    if (result == ERROR_SUCCESS) result = key.Open(root, path.c_str(), KEY_READ | KEY_WRITE);
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
    key.DeleteValue(L"LocalService");
    if (!asService) return S_OK;
    // The service first: LocalService never names a service that is not there.
    const bool installed = IsInstalled();
    if (!Install()) return E_FAIL;
    m_installedService = !installed;
    result = key.SetStringValue(L"LocalService", m_serviceName.c_str());
    return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
}

void ServiceModule::DropLocalService(bool perUser)
{
    Lumetra::CRegKey key;
    if (OpenClassesKey(L"AppID\\" + GuidText(m_appId), perUser, KEY_READ | KEY_WRITE, key) == ERROR_SUCCESS)
        key.DeleteValue(L"LocalService");
}

HRESULT ServiceModule::UnregisterAppId(bool perUser)
{
    const HRESULT service = RemoveService() ? S_OK : E_FAIL;
    DropLocalService(perUser);
    const HRESULT script = UpdateRegistryFromResource(m_appIdScriptId, false, perUser);
    return FAILED(service) ? service : script;
}

HRESULT ServiceModule::RegisterServer(bool perUser)
{
    for (const Registration& registration : m_classes) {
        HRESULT hr = UpdateRegistryFromResource(registration.entry.registryResourceId, true, perUser);
        if (FAILED(hr)) return hr;
    }
    return RegisterTypeLibrary(true, perUser);
}

HRESULT ServiceModule::UnregisterServer(bool perUser)
{
    HRESULT first = S_OK;
    for (const Registration& registration : m_classes) {
        HRESULT hr = UpdateRegistryFromResource(registration.entry.registryResourceId, false, perUser);
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    HRESULT hr = RegisterTypeLibrary(false, perUser);
    return FAILED(first) ? first : hr;
}

HRESULT ServiceModule::LoadTypeLibrary(ComPtr<ITypeLib>& library, std::wstring& path) const
{
    library.Reset();
    if (!HasTypeLibrary()) return S_FALSE;
    path = ModulePath();
    if (path.size() >= MAX_PATH) {
        // The type library loader stops at MAX_PATH; the short form of a deep install folder
        // names the same file within it where 8.3 names are kept.
        const std::wstring extended = Lumetra::ExtendedLengthPath(path);
        std::wstring shortPath(extended.size() + 1, L'\0');
        const DWORD length = GetShortPathNameW(extended.c_str(), &shortPath[0], static_cast<DWORD>(shortPath.size()));
        if (length > 0 && length < shortPath.size()) path = Lumetra::PlainPath(shortPath.substr(0, length));
    }
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
}

HRESULT ServiceModule::RegisterTypeLibrary(bool doRegister, bool perUser)
{
    ComPtr<ITypeLib> library;
    std::wstring path;
    const HRESULT loaded = LoadTypeLibrary(library, path);
    TLIBATTR a = {};
    if (loaded == S_OK) {
        TLIBATTR* attributes = nullptr;
        HRESULT hr = library->GetLibAttr(&attributes);
        if (FAILED(hr)) return hr;
        a = *attributes;
        library->ReleaseTLibAttr(attributes);
    } else if (FAILED(loaded) && !doRegister && m_typeLibraryKnown) {
        // A copy whose own library cannot be loaded still takes out the one registered under
        // the product's identity, and answers the load failure.
        a.guid = m_typeLibraryId;
        a.wMajorVerNum = m_typeLibraryMajor;
        a.wMinorVerNum = m_typeLibraryMinor;
        a.lcid = LOCALE_NEUTRAL;
        a.syskind = kSysKind;
    } else {
        return SUCCEEDED(loaded) ? S_OK : loaded;
    }
    if (doRegister) {
        HRESULT hr = SaveTypeLibraryKeys(library.Get(), a.guid);
        if (FAILED(hr)) return hr;
        return perUser ? RegisterTypeLibForUser(library.Get(), &path[0], nullptr)
                       : RegisterTypeLib(library.Get(), &path[0], nullptr);
    }
    // Not registered (any more) counts as done: unregistering twice is no error. Both roots are
    // looked at: Wine registers a per-user library machine-wide.
    wchar_t version[32];
    wsprintfW(version, L"\\%x.%x", a.wMajorVerNum, a.wMinorVerNum);
    std::wstring subKey = L"TypeLib\\" + GuidText(a.guid) + version;
    Lumetra::CRegKey key;
    HRESULT hr = S_OK;
    if (OpenClassesKey(subKey, true, KEY_READ, key) == ERROR_SUCCESS ||
        OpenClassesKey(subKey, false, KEY_READ, key) == ERROR_SUCCESS) {
        key.Close();
        hr = perUser ? UnRegisterTypeLibForUser(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind)
                     : UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    }
    return FAILED(loaded) ? loaded : hr;
}

HRESULT ServiceModule::SaveTypeLibraryKeys(ITypeLib* library, const GUID& libId)
{
    if (!m_journal) return S_OK;
    std::vector<std::pair<std::wstring, REGSAM>> keys{{L"TypeLib\\" + GuidText(libId), 0}};
    for (UINT i = 0, count = library->GetTypeInfoCount(); i < count; ++i) {
        ComPtr<ITypeInfo> info;
        TYPEATTR* attributes = nullptr;
        if (FAILED(library->GetTypeInfo(i, &info)) || FAILED(info->GetTypeAttr(&attributes))) return E_FAIL;
        if (attributes->typekind == TKIND_INTERFACE || attributes->typekind == TKIND_DISPATCH) {
            for (REGSAM view : kInterfaceViews) keys.emplace_back(L"Interface\\" + GuidText(attributes->guid), view);
        }
        info->ReleaseTypeAttr(attributes);
    }
    // Kept in both classes hives, whichever this run writes: per user, Wine writes the machine's
    // classes as well.
    for (const auto& key : keys) {
        LONG result = m_journal->SaveTree(HKEY_CLASSES_ROOT, key.first, key.second);
        if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
    }
    return S_OK;
}

} // namespace Platform
