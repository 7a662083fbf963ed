// The process module of OvTelvana.exe: a COM local server that can also run as the service
// "TelvanaService". Adds to the platform's module the event worker's start, the service's
// security, the stop request's log and log-controller calls, and an uninstall that waits for a
// running service to stop before deleting it.
#pragma once
#include "Platform/ServiceModule.h"

#include "ETWLogging/LogController.h"

#include <atomic>
#include <memory>
#include <string>

class CTelvanaModule : public Platform::ServiceModule {
public:
    // The process-wide module, made on first use.
    static std::shared_ptr<CTelvanaModule> GetInstance();

    CTelvanaModule();
    ~CTelvanaModule() override;

    HRESULT Start(int showCommand) override;
    HRESULT PreMessageLoop(int showCommand) override;
    HRESULT InitializeSecurity() override;
    void OnStop() override;
    // True when no service is left installed: a running one is stopped (waiting up to 30 s)
    // and deleted.
    bool Uninstall() override;
    void AddCommonRGSReplacements(Platform::Registrar& registrar) override;
    // Refuses registration, before anything is written, when the proxy/stub DLL is missing.
    HRESULT CheckRegistration(bool perUser) override;
    // Besides the class and type library: the proxy/stub DLL beside the executable, for the
    // factory interfaces.
    HRESULT RegisterServer(bool perUser) override;
    HRESULT UnregisterServer(bool perUser) override;
    // True once the event worker was started (registration runs never start it).
    bool WorkerStarted() const { return m_workerStarted; }

private:
    // OvTelvanaPS.dll in the executable's folder; empty when that folder is unknown.
    static std::wstring ProxyStubPath();

    std::atomic<bool> m_workerStarted{false};
    ETWLogging::AutoLogController m_logController;
};

// The waits of this run (worker, shutdown delay), applied when the module is made. The product
// keeps the built-in ones (TelvanaTimings.cpp); a program that links the module with other
// waits supplies its own.
void ApplyRunTimings(CTelvanaModule& module);
