// A COM server on the platform layer for the end-to-end tests: reports its process, lock count,
// run mode and caller. Exits through the module like a product server.
#include <windows.h>
#include <ole2.h>
#include <initguid.h>

#include "Probe.h"
#include "ProbeIdentity.h"
#include "Platform/CallerProcess.h"
#include "Platform/ServiceModule.h"

namespace {

#ifdef PROBE_SERVICE
const ProbeIdentity& kProbe = kServiceProbe;
#else
const ProbeIdentity& kProbe = kLocalProbe;
#endif

class Probe : public Platform::ComObjectRoot, public IPlatformProbe {
public:
    HRESULT InternalQueryInterface(REFIID riid, void** ppv)
    {
        return Platform::QueryInterfaceFor<IPlatformProbe>(this, riid, ppv);
    }
    STDMETHODIMP GetState(LONG* processId, LONG* lockCount, LONG* asService) override
    {
        if (!processId || !lockCount || !asService) return E_POINTER;
        Platform::ServiceModule* module = Platform::ServiceModule::Current();
        *processId = static_cast<LONG>(GetCurrentProcessId());
        *lockCount = module->GetLockCount();
        *asService = module->IsService() ? 1 : 0;
        return S_OK;
    }
    STDMETHODIMP GetCaller(BSTR* imagePath) override
    {
        DWORD caller = 0;
        std::wstring path;
        if (!imagePath) return E_POINTER;
        *imagePath = nullptr;
        if (Platform::CallingProcess(caller) != Platform::Caller::OtherProcess || !Platform::ProcessImagePath(caller, path))
            return E_FAIL;
        *imagePath = Platform::Bstr(path).Detach();
        return *imagePath ? S_OK : E_OUTOFMEMORY;
    }
};

class ProbeModule : public Platform::ServiceModule {
public:
    ProbeModule() : ServiceModule(102, kProbe.appId, 101)
    {
        AddClass(Platform::MakeClassEntry<Probe>(CLSID_PlatformProbe, 106));
        SetShutdownDelay(300);
    }
    void AddCommonRGSReplacements(Platform::Registrar& registrar) override
    {
        ServiceModule::AddCommonRGSReplacements(registrar);
        registrar.AddReplacement(L"SERVICE", ServiceName());
        registrar.AddReplacement(L"EXE", kProbe.exe);
        registrar.AddReplacement(L"CLSID", Platform::GuidText(CLSID_PlatformProbe));
        registrar.AddReplacement(L"LIBID", Platform::GuidText(LIBID_PlatformProbeLib));
        registrar.AddReplacement(L"PROGID", std::wstring(L"Platform.") + ServiceName());
    }
};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int showCommand)
{
    ProbeModule module;
    return module.WinMain(showCommand);
}
