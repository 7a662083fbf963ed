#include <windows.h>
#include <ole2.h>
#include <initguid.h>

#include "Telvana.h"

#include "OvTelvana.h"
#include "SecureClassFactory.h"
#include "TelvanaIds.h"

#include "service/CAEventProcessor.h"

#include "ETWLogging/LogFront.h"
#include "Lumetra/PathUtils.h"
#include "Lumetra/SecureDll.h"

#include <mutex>

namespace {

const wchar_t* const kSource = L"Telvana";
constexpr int kStopPolls = 300;
constexpr DWORD kStopPollMs = 100;

template <typename... Args>
void LogLine(ETWLogging::LogLevel level, const wchar_t* function, int line, const wchar_t* format, Args... args)
{
    if (ETWLogging::IsLogLevelEnabled(level)) ETWLogging::Log(level, kSource, function, line, format, args...);
}

using SecureFactory = Taliro::hack::craptastic::CSecureClassFactory<COvSecureClassFactory>;

} // namespace

std::shared_ptr<CTelvanaModule> CTelvanaModule::GetInstance()
{
    static std::mutex lock;
    static std::shared_ptr<CTelvanaModule> instance;
    std::lock_guard<std::mutex> guard(lock);
    if (!instance) instance = std::make_shared<CTelvanaModule>();
    return instance;
}

CTelvanaModule::CTelvanaModule()
    : ServiceModule(IDS_SERVICENAME, kTelvanaAppId, IDR_TELVANA_APPID), m_logController(L"Kavo")
{
    AddClass(Platform::ClassEntry{CLSID_OvTelvana, &SecureFactory::CreateFactory,
                                  &Platform::ObjectCreator<COvTelvana>::CreateInstance, IDR_OVTELVANA});
    SetTypeLibraryId(LIBID_OvTelvanaLib, 1, 0);
    ApplyRunTimings(*this);
}

CTelvanaModule::~CTelvanaModule() = default;

HRESULT CTelvanaModule::Start(int showCommand)
{
    HRESULT hr = ServiceModule::Start(showCommand);
    m_logController.Start();
    LogLine(4, L"CTelvanaModule::Start", __LINE__, L"The TelvanaService is starting");
    return hr;
}

HRESULT CTelvanaModule::PreMessageLoop(int showCommand)
{
    HRESULT hr = ServiceModule::PreMessageLoop(showCommand);
    LogLine(1, L"CTelvanaModule::PreMessageLoop", __LINE__, L"Starting worker thread to process analytics events.");
    CAEventProcessor::GetInstance().Start();
    m_workerStarted = true;
    return hr;
}

HRESULT CTelvanaModule::InitializeSecurity()
{
    if (IsService()) {
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                             EOAC_NONE, nullptr);
    }
    return S_OK;
}

void CTelvanaModule::OnStop()
{
    ServiceModule::OnStop();
    LogLine(4, L"CTelvanaModule::OnStop", __LINE__, L"The TelvanaService is stopping");
    m_logController.Stop(0);
}

bool CTelvanaModule::Uninstall()
{
    const wchar_t* function = L"CTelvanaModule::Uninstall";
    if (!IsInstalled()) return true;
    Platform::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LogLine(4, function, __LINE__, L"Could not open Service Manager.");
        return false;
    }
    bool stopped = false;
    {
        Platform::ServiceHandle service(
            OpenServiceW(manager.Get(), ServiceName().c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) {
            LogLine(4, function, __LINE__, L"Could not open service");
            return false;
        }
        SERVICE_STATUS status = {};
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        for (int poll = 0; poll < kStopPolls; ++poll) {
            if (!QueryServiceStatus(service.Get(), &status)) {
                LogLine(2, function, __LINE__, L"Could not query service status: %lu", GetLastError());
                stopped = true;
                break;
            }
            if (status.dwCurrentState == SERVICE_STOPPED) {
                LogLine(3, function, __LINE__, L"Service has been stopped");
                stopped = true;
                break;
            }
            Sleep(kStopPollMs);
        }
    }
    if (!stopped) {
        LogLine(4, function, __LINE__, L"Failed stopping the service");
        return false;
    }
    Platform::ServiceHandle service(OpenServiceW(manager.Get(), ServiceName().c_str(), DELETE | SERVICE_STOP));
    if (!service) {
        LogLine(3, function, __LINE__, L"Could not find handle for service. Service does not exist");
        return true;
    }
    if (!DeleteService(service.Get())) {
        // A service left behind would keep starting the program in the old mode.
        LogLine(2, function, __LINE__, L"Failed deleting service: %lu", GetLastError());
        return false;
    }
    return true;
}

void CTelvanaModule::AddCommonRGSReplacements(Platform::Registrar& registrar)
{
    ServiceModule::AddCommonRGSReplacements(registrar);
    registrar.AddReplacement(L"CLSID", Platform::GuidText(CLSID_OvTelvana));
    registrar.AddReplacement(L"LIBID", Platform::GuidText(LIBID_OvTelvanaLib));
    registrar.AddReplacement(L"PSCLSID", Platform::GuidText(kTelvanaProxyStubClsid));
    registrar.AddReplacement(L"PSDLL", ProxyStubPath());
    registrar.AddReplacement(L"IID_FACTORY", Platform::GuidText(IID_IOvClassFactory));
    registrar.AddReplacement(L"IID_FACTORY_PRE", Platform::GuidText(IID_IOvClassFactory_PreComponentization));
}

HRESULT CTelvanaModule::CheckRegistration(bool)
{
    // Without it a checked factory would reach no client: better no registration than that, and
    // whatever was registered before stays as it was.
    const std::wstring proxyStub = ProxyStubPath();
    if (proxyStub.empty() || GetFileAttributesW(Lumetra::ExtendedLengthPath(proxyStub).c_str()) == INVALID_FILE_ATTRIBUTES)
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    return S_OK;
}

HRESULT CTelvanaModule::RegisterServer(bool perUser)
{
    HRESULT hr = ServiceModule::RegisterServer(perUser);
    if (SUCCEEDED(hr)) hr = UpdateRegistryFromResource(IDR_OVTELVANA_PROXYSTUB, true, perUser);
    return hr;
}

HRESULT CTelvanaModule::UnregisterServer(bool perUser)
{
    HRESULT hr = ServiceModule::UnregisterServer(perUser);
    HRESULT proxyStub = UpdateRegistryFromResource(IDR_OVTELVANA_PROXYSTUB, false, perUser);
    return FAILED(hr) ? hr : proxyStub;
}

std::wstring CTelvanaModule::ProxyStubPath()
{
    // At any length: an install folder deeper than MAX_PATH must register as well.
    const std::wstring exe = Platform::ModulePath();
    const size_t slash = exe.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return std::wstring();
    return exe.substr(0, slash + 1) + L"OvTelvanaPS.dll";
}

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand)
{
    const bool secureLoading = Lumetra::InitSecureDllLoading();
    // Logged only once the logger knows who we are: the first log call fixes its settings.
    ETWLogging::InitializeLogging(nullptr, L"OvTelvana", instance, nullptr, 0);
    if (!secureLoading)
        LogLine(4, L"wWinMain", __LINE__,
                L"Failed to Initialize Secure DLL loading, KB2533623 might not be installed, continuing.");
    int result = -1;
    try {
        std::shared_ptr<CTelvanaModule> module = CTelvanaModule::GetInstance();
        result = module->WinMain(showCommand);
        // The worker must not outlive wWinMain: process-wide objects go after it returns.
        if (module->WorkerStarted()) CAEventProcessor::GetInstance().ShutDown();
    } catch (...) {
        result = -1;
    }
    return result;
}
