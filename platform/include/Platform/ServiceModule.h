// The process module of a COM local server that can also run as a Windows service.
//
// A product derives from ServiceModule, gives the constructor its service-name string id, AppID
// and AppID script (REGISTRY resource), adds its classes with AddClass, and calls WinMain from
// wWinMain. WinMain handles the switches "RegServer", "RegServerPerUser", "UnregServer",
// "UnregServerPerUser" and "Service" (after "-" or "/", any case; the first one found decides and
// ends the run with the registration result); with none it calls Start, which runs the server as
// a service when the AppID holds a string LocalService value, else as a COM local server.
//
// Server: COM for the multithreaded apartment; PreMessageLoop runs InitializeSecurity, starts
// the shutdown monitor (local server), registers the class objects (local server, multiple use,
// suspended), reports the service running (service), then resumes them; the message loop runs
// until WM_QUIT. As a local server the process ends when the lock count (Lock/Unlock: live
// objects, LockServer, whatever the product adds) stays at zero for the shutdown delay; as a
// service, when OnStop posts WM_QUIT to the service thread (the lock count plays no part there).
//
// Registration: "RegServer"/"RegServerPerUser" call Uninstall (the hook), run the AppID script,
// remove LocalService, then run every class script and register the type library (TYPELIB 1 of
// the executable, when present). "Service" writes LocalService again after the AppID script and
// installs the service (before it writes LocalService). A registration that fails once it has
// begun writing puts back every key and value it changed (LogEvent tells when it cannot) and
// removes a service it installed; a service that the hook removed first stays removed, and no
// LocalService is left naming a service that is not installed. Unregistering removes the service (RemoveService, not the
// hook), the class scripts, the type library (by the identity the product gave, when the
// executable's own cannot be loaded) and the AppID script's keys, each step taken whatever the
// others answered; the first failure is the answer. Scripts get %MODULE% (the quoted
// executable path), %MODULE_RAW% (the bare path) and what AddCommonRGSReplacements adds (by
// default %APPID%). Per-user registration writes HKCU\Software\Classes instead of HKCR.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Platform/ComObject.h"
#include "Platform/ComPtr.h"
#include "Platform/Handles.h"
#include "Platform/Registrar.h"

namespace Platform {

enum class CommandSwitch { None, RegServer, RegServerPerUser, UnregServer, UnregServerPerUser, Service };

// The first of the module's switches among the arguments after the program name.
CommandSwitch ParseCommandSwitch(const wchar_t* commandLine);

// True when the AppID key's LocalService value is a string (REG_SZ or REG_EXPAND_SZ).
bool HasLocalServiceString(HKEY appIdKey);

// The executable's full path at any length; empty when it cannot be read.
std::wstring ModulePath();

// Braced upper-case GUID text, 38 characters.
std::wstring GuidText(const GUID& guid);

class ServiceModule {
public:
    ServiceModule(UINT serviceNameId, const GUID& appId, UINT appIdScriptId);
    virtual ~ServiceModule();
    ServiceModule(const ServiceModule&) = delete;
    ServiceModule& operator=(const ServiceModule&) = delete;

    // The module of this process (the last one constructed), or null.
    static ServiceModule* Current();

    void AddClass(const ClassEntry& entry);
    // How long the lock count must stay at zero before a local server quits (default 5000 ms).
    void SetShutdownDelay(DWORD milliseconds) { m_shutdownDelay = milliseconds; }

    // Parses the process command line; runs a registration or starts the server. The result is
    // the process exit code.
    int WinMain(int showCommand);
    // Runs the switch's registration; false when the switch ended the run (*result holds its
    // result), true when the server should start.
    bool ParseCommandLine(const wchar_t* commandLine, HRESULT* result);

    // ---- hooks ----
    // Chooses the run mode and runs the whole server; returns when it has ended. When the AppID
    // key cannot be opened, returns the Win32 error as is (the process exit code).
    virtual HRESULT Start(int showCommand);
    // PreMessageLoop, the message loop when it returned S_OK, then PostMessageLoop.
    virtual HRESULT Run(int showCommand);
    virtual HRESULT PreMessageLoop(int showCommand);
    virtual void RunMessageLoop();
    // Stops the shutdown monitor and revokes the class objects.
    virtual HRESULT PostMessageLoop();
    // Called first in PreMessageLoop, e.g. for CoInitializeSecurity. Default: nothing.
    virtual HRESULT InitializeSecurity() { return S_OK; }
    // Service control requests. OnStop: report SERVICE_STOP_PENDING, post WM_QUIT to the
    // service thread (no effect as a local server). The others do nothing but OnUnknownRequest,
    // which logs "Bad service request".
    virtual void OnStop();
    virtual void OnPause() {}
    virtual void OnContinue() {}
    virtual void OnInterrogate() {}
    virtual void OnShutdown() {}
    virtual void OnUnknownRequest(DWORD control);
    // Creates the service (own process, demand start) when it is not installed.
    virtual bool Install();
    // Called before registering; true when no service is left installed. Default: RemoveService.
    virtual bool Uninstall();
    virtual void AddCommonRGSReplacements(Registrar& registrar);
    virtual LONG Lock();
    virtual LONG Unlock();
    virtual LONG GetLockCount() const { return m_lockCount.load(); }
    // The class library's event-log messages ("Service started/resumed", "Service stopped", ...).
    virtual void LogEvent(const wchar_t* text);

    // ---- building blocks ----
    bool IsInstalled() const;
    // Asks a running service to stop and deletes it; false when it exists and could not be
    // deleted.
    bool RemoveService();
    HRESULT RegisterAppId(bool asService, bool perUser);
    HRESULT UnregisterAppId(bool perUser);
    // Asked before registration writes anything: a failure ends it with nothing changed.
    virtual HRESULT CheckRegistration(bool /*perUser*/) { return S_OK; }
    // The class scripts and the type library; a product with further registration (say a
    // proxy/stub DLL) adds it here.
    virtual HRESULT RegisterServer(bool perUser);
    virtual HRESULT UnregisterServer(bool perUser);
    HRESULT UpdateRegistryFromResource(UINT resourceId, bool doRegister, bool perUser);
    HRESULT RegisterTypeLibrary(bool doRegister, bool perUser);
    // The executable's type library and the path it is registered under; S_FALSE and no
    // library when the executable has none.
    HRESULT LoadTypeLibrary(ComPtr<ITypeLib>& library, std::wstring& path) const;
    HRESULT RegisterClassObjects(DWORD context, DWORD flags);
    HRESULT RevokeClassObjects();

    const std::wstring& ServiceName() const { return m_serviceName; }
    const GUID& AppId() const { return m_appId; }
    // True while running as a service.
    virtual bool IsService() const { return m_isService; }
    // The thread that runs the service main routine; 0 as a local server.
    DWORD ServiceThreadId() const { return m_serviceThreadId; }
    // The thread that runs Run (the message loop).
    DWORD MainThreadId() const { return m_mainThreadId; }
    SERVICE_STATUS_HANDLE StatusHandle() const { return m_statusHandle; }
    DWORD ServiceState() const { return static_cast<DWORD>(InterlockedCompareExchange(StateField(), 0, 0)); }
    bool ComInitialized() const { return m_comInitialized; }
    // Sets the current state atomically and reports the status when a status handle exists.
    void SetServiceStatus(DWORD state);

protected:
    // For tests: a service name of their own instead of the string resource's.
    void SetServiceName(const std::wstring& name) { m_serviceName = name; }
    // The identity the type library is registered under.
    void SetTypeLibraryId(const GUID& libId, WORD major, WORD minor)
    {
        m_typeLibraryId = libId;
        m_typeLibraryMajor = major;
        m_typeLibraryMinor = minor;
        m_typeLibraryKnown = true;
    }
    void ServiceMain(DWORD argc, LPWSTR* argv);
    void Handler(DWORD control);

private:
    struct Registration {
        ClassEntry entry;
        ComPtr<IUnknown> factory;
        DWORD cookie = 0;
    };

    static void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI HandlerEntry(DWORD control, DWORD type, void* data, void* context);
    HRESULT RunSwitch(CommandSwitch command);
    LONG ReadRunMode(bool& asService) const;
    // Saves to the journal the keys that registering the library writes.
    HRESULT SaveTypeLibraryKeys(ITypeLib* library, const GUID& libId);
    // Removes the AppID's LocalService value, when there is one.
    void DropLocalService(bool perUser);
    LONG* StateField() const { return reinterpret_cast<LONG*>(const_cast<DWORD*>(&m_status.dwCurrentState)); }
    // countdownAtZero: start counting down at once when the count is zero already.
    bool StartMonitor(bool countdownAtZero);
    void StopMonitor();
    void MonitorShutdown();

    std::wstring m_serviceName;
    GUID m_appId;
    UINT m_appIdScriptId;
    std::vector<Registration> m_classes;
    SERVICE_STATUS m_status = {};
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
    DWORD m_serviceThreadId = 0;
    DWORD m_mainThreadId = 0;
    bool m_isService = false;
    bool m_comInitialized = false;
    // Set while a registration runs: what it is about to change.
    RegistryJournal* m_journal = nullptr;
    bool m_installedService = false;
    GUID m_typeLibraryId = {};
    WORD m_typeLibraryMajor = 0;
    WORD m_typeLibraryMinor = 0;
    bool m_typeLibraryKnown = false;

    std::atomic<LONG> m_lockCount{0};
    DWORD m_shutdownDelay = 5000;
    EventHandle m_shutdownEvent;
    std::thread m_monitor;
    std::atomic<bool> m_monitorRunning{false};
    std::atomic<bool> m_monitorExit{false};
    std::atomic<bool> m_activity{false};
};

} // namespace Platform
