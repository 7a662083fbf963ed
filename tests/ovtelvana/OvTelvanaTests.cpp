// OvTelvana.exe end to end: real processes, real COM, the real service manager. The server is
// registered from its build folder; a client program of ours (ovtelvana_client.exe, also as a
// copy signed by the test publisher) reaches it across processes. The server registered is
// OvTelvanaTestTimings.exe, the product's objects with waits shortened through
// HKLM\SOFTWARE\Orvane\OvTelvana\TestTimings; the product itself never reads them.
#include "GaCollector.h"
#include "OvTelvanaSetup.h"
#include "TestPki.h"
#include "TestUtil.h"

#include "Platform/Handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using TestCollector::Pairs;
using TestCollector::Split;

using namespace OvTelvanaSetup;

const wchar_t* const kAppIdKey = L"AppID\\{A8244490-233C-408D-B22D-B0B08238DB1B}";
const wchar_t* const kClassKey = L"CLSID\\{19759024-FB14-4392-AC8B-61BB1CD62E56}";
const wchar_t* const kLibKey = L"TypeLib\\{BC68E3DA-52FA-45C8-A6EE-E289096750DB}";
const wchar_t* const kInterfaceKey = L"Interface\\{4E5664E9-8D0B-4C53-8718-33F01B9FE129}";
const wchar_t* const kFactoryInterfaceKey = L"Interface\\{96ACDAED-C79B-4983-8E4A-960CBB6379AF}";
const wchar_t* const kPreFactoryInterfaceKey = L"Interface\\{30A9A6BB-575E-41F0-A880-542EBC1EAD54}";
const wchar_t* const kProxyStubClsid = L"{75E0EF32-FD60-4729-97D3-6C13A98D7C25}";
const wchar_t* const kServiceName = L"TelvanaService";

const std::wstring kProduct = WinPath(TELVANA_OVTELVANA_EXE);
const std::wstring kServer = WinPath(TELVANA_OVTELVANA_TEST_EXE);
const std::wstring kClient = WinPath(TELVANA_CLIENT_EXE);
const std::wstring kSignedClient = WinPath(TELVANA_SIGNED_CLIENT_EXE);

bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

DWORD ServiceState()
{
    Platform::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    Platform::ServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.Get(), &status)) return 0;
    return status.dwCurrentState;
}

class OvTelvanaTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(TestPki::TrustTestRoot());
        Clean(kServer);
        SetTestTimings(1500, 100, 300);
        ASSERT_EQ(0u, RunProgram(kServer, L"-RegServer"));
    }
    void TearDown() override
    {
        // The prefix as found, also after a failure: no server, no service, nothing registered.
        for (auto& server : Servers()) {
            if (WaitForSingleObject(server.Get(), 10000) == WAIT_TIMEOUT) TerminateProcess(server.Get(), 1);
        }
        Clean(kServer);
    }

    // Runs the client with the calls (tab-separated fields); its result lines.
    std::vector<std::string> Client(const char* road, const std::vector<std::string>& calls,
                                    const std::wstring& exe = kClient)
    {
        // Under load Wine can still route an activation to the server of the test before, which
        // has just ended (0x800706BA, once seen as 0x80070002): the activation alone is tried again.
        std::vector<std::string> results = RunClient(exe, road, calls, m_dir.Path());
        if (results == std::vector<std::string>{"activate 0x800706BA"} ||
            results == std::vector<std::string>{"activate 0x80070002"}) {
            Sleep(1000);
            results = RunClient(exe, road, calls, m_dir.Path());
        }
        return results;
    }

    // Waits until no server process is left; true when they all ended in time with exit code 0.
    static bool ServersEndCleanly(DWORD waitMs)
    {
        bool clean = true;
        for (auto& server : Servers()) {
            DWORD code = 1;
            clean = clean && WaitForSingleObject(server.Get(), waitMs) == WAIT_OBJECT_0 &&
                    GetExitCodeProcess(server.Get(), &code) && code == 0;
        }
        return clean;
    }

    TestUtil::ScratchDir m_dir;
};

const std::string kLogCall = "log\tapp\tcomponent\tmethod\ttype\tmessage";

TEST_F(OvTelvanaTest, RegistrationWritesTheScriptsAndUnregistrationRemovesThem)
{
    // The product itself, over the test variant's registration.
    ASSERT_EQ(0u, RunProgram(kProduct, L"-RegServer"));
    const std::wstring appId = L"{A8244490-233C-408D-B22D-B0B08238DB1B}", cls = kClassKey, v11 = L"TelvanaService.OvTelvana.1.1";
    const struct { std::wstring key; const wchar_t* name; std::wstring value; } values[] = {
        {kAppIdKey, nullptr, L"TelvanaService"}, {kAppIdKey, L"LocalService", L"<missing>"},
        {L"AppID\\OvAnalyticsService.exe", L"AppID", appId}, {cls, nullptr, L"OvTelvana Class"},
        {cls + L"\\LocalServer32", nullptr, L"\"" + kProduct + L"\""},
        {cls + L"\\LocalServer32", L"ServerExecutable", kProduct}, {cls, L"AppID", appId},
        {cls + L"\\ProgID", nullptr, v11}, {cls + L"\\VersionIndependentProgID", nullptr, L"TelvanaService.OvTelvana.1"},
        {cls + L"\\TypeLib", nullptr, L"{BC68E3DA-52FA-45C8-A6EE-E289096750DB}"}, {cls + L"\\Version", nullptr, L"1.0"},
        {v11 + L"\\CLSID", nullptr, L"{19759024-FB14-4392-AC8B-61BB1CD62E56}"},
        {L"TelvanaService.OvTelvana.1\\CurVer", nullptr, v11}, {L"TelvanaService.OvTelvana.1", nullptr, L"OvTelvana Class"}};
    for (const auto& v : values) EXPECT_EQ(v.value, ReadText(HKEY_CLASSES_ROOT, v.key, v.name)) << TestUtil::Narrow(v.key);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(kLibKey) + L"\\1.0"));
    // IOvTelvana goes through the universal marshaler, the factory interfaces (iid_is) through
    // the proxy/stub DLL beside the server; per user the same keys go to HKCU\Software\Classes.
    EXPECT_EQ(L"{00020424-0000-0000-C000-000000000046}",
              ReadText(HKEY_CLASSES_ROOT, std::wstring(kInterfaceKey) + L"\\ProxyStubClsid32", nullptr));
    const std::wstring dll = kProduct.substr(0, kProduct.rfind(L'\\') + 1) + L"OvTelvanaPS.dll";
    const std::wstring factory = kFactoryInterfaceKey, pre = kPreFactoryInterfaceKey;
    const std::wstring ps = std::wstring(L"CLSID\\") + kProxyStubClsid;
    const struct { std::wstring key; const wchar_t* name; std::wstring value; } proxyStub[] = {
        {factory, nullptr, L"IOvClassFactory"}, {factory + L"\\ProxyStubClsid32", nullptr, kProxyStubClsid},
        {pre, nullptr, L"IOvClassFactory_PreComponentization"}, {pre + L"\\ProxyStubClsid32", nullptr, kProxyStubClsid},
        {ps, nullptr, L"PSFactoryBuffer"}, {ps + L"\\InprocServer32", nullptr, dll},
        {ps + L"\\InprocServer32", L"ThreadingModel", L"Both"}};
    for (const std::wstring root : {L"", L"Software\\Classes\\"}) {
        if (!root.empty()) { ASSERT_EQ(0u, RunProgram(kProduct, L"-RegServerPerUser")); }
        for (const auto& v : proxyStub)
            EXPECT_EQ(v.value, ReadText(root.empty() ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER, root + v.key, v.name))
                << TestUtil::Narrow(root + v.key);
    }
    ASSERT_EQ(0u, RunProgram(kProduct, L"-UnregServerPerUser"));
    for (const std::wstring& key : {ps, factory, pre})
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\" + key));

    ASSERT_EQ(0u, RunProgram(kProduct, L"/UNREGSERVER"));
    for (const std::wstring key : {kAppIdKey, kClassKey, kLibKey, kInterfaceKey, kFactoryInterfaceKey,
                                   kPreFactoryInterfaceKey, ps.c_str(), L"AppID\\OvAnalyticsService.exe",
                                   L"TelvanaService.OvTelvana.1", L"TelvanaService.OvTelvana.1.1"})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << TestUtil::Narrow(key);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));

    // A server copied away from its proxy/stub DLL, or one whose type library cannot be loaded,
    // registers nothing and leaves the registration it found as it was.
    ASSERT_EQ(0u, RunProgram(kProduct, L"-RegServer"));
    const std::wstring lone = m_dir.File(L"OvTelvana.exe");
    ASSERT_TRUE(CopyFileW(kProduct.c_str(), lone.c_str(), FALSE));
    std::string broken = TestUtil::ReadFileBytes(kProduct);
    ASSERT_NE(std::string::npos, broken.find("MSFT"));
    broken.replace(broken.find("MSFT"), 4, "XXXX");
    for (bool withDll : {false, true}) {
        ASSERT_TRUE(!withDll || (TestUtil::WriteFileBytes(lone, broken) &&
                                 CopyFileW(dll.c_str(), m_dir.File(L"OvTelvanaPS.dll").c_str(), FALSE)));
        const DWORD result = RunProgram(lone, L"-Service");
        EXPECT_EQ(withDll ? DWORD(TYPE_E_CANTLOADLIBRARY) : DWORD(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)), result);
        EXPECT_EQ(kProduct, ReadText(HKEY_CLASSES_ROOT, cls + L"\\LocalServer32", L"ServerExecutable"));
        EXPECT_EQ(L"TelvanaService", ReadText(HKEY_CLASSES_ROOT, kAppIdKey, nullptr));
        EXPECT_EQ(dll, ReadText(HKEY_CLASSES_ROOT, ps + L"\\InprocServer32", nullptr));
        EXPECT_EQ(0u, ServiceState());
    }
    // Unregistering with it still takes out all the rest, and answers the load failure.
    ASSERT_EQ(0u, RunProgram(kProduct, L"-Service"));
    EXPECT_EQ(DWORD(TYPE_E_CANTLOADLIBRARY), RunProgram(lone, L"-UnregServer"));
    for (const wchar_t* key : {kAppIdKey, kClassKey, kLibKey, kInterfaceKey})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << TestUtil::Narrow(key);
    EXPECT_EQ(0u, ServiceState());
}

// The product carries no test setting: only the test variant holds the TestTimings key name.
TEST(OvTelvanaBinaries, OnlyTheTestVariantReadsTestTimings)
{
    std::string key, product = TestUtil::ReadFileBytes(kProduct);
    for (char c : std::string("TestTimings")) key += {c, '\0'};  // UTF-16
    EXPECT_GT(product.size(), 100000u);
    EXPECT_EQ(std::string::npos, product.find(key));
    EXPECT_NE(std::string::npos, TestUtil::ReadFileBytes(kServer).find(key));
}

TEST_F(OvTelvanaTest, ServiceStartsOnActivationStopsWhenIdleAndGivesWayToTheLocalServer)
{
    // Idle long enough that the service still runs when the client has had its answers.
    SetTestTimings(4000, 100, 300);
    ASSERT_EQ(0u, RunProgram(kServer, L"-Service"));
    EXPECT_EQ(L"TelvanaService", ReadText(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());

    // Activation starts the service; once idle it stops itself.
    EXPECT_EQ((std::vector<std::string>{"activate 0x00000000", "log 0x80004001"}), Client("create", {kLogCall}));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    for (int i = 0; i < 100 && ServiceState() != SERVICE_STOPPED; ++i) Sleep(100);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState());
    EXPECT_TRUE(ServersEndCleanly(10000));

    // "RegServer" while the service runs: it is stopped, deleted, and the next activation
    // starts a local server.
    EXPECT_EQ((std::vector<std::string>{"activate 0x00000000", "log 0x80004001"}), Client("create", {kLogCall}));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0u, RunProgram(kServer, L"-RegServer"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(0u, ServiceState()) << "the service is deleted";
    EXPECT_EQ(L"<missing>", ReadText(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
    EXPECT_TRUE(ServersEndCleanly(10000));
    EXPECT_EQ((std::vector<std::string>{"activate 0x00000000", "log 0x80004001"}), Client("create", {kLogCall}));
    EXPECT_EQ(0u, ServiceState());
    EXPECT_EQ(1u, Servers().size()) << "a local server";
    EXPECT_TRUE(ServersEndCleanly(10000));

    // A service that cannot be deleted (already marked, still held open) fails registration.
    ASSERT_EQ(0u, RunProgram(kServer, L"-Service"));
    {
        Platform::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        Platform::ServiceHandle held(OpenServiceW(manager.Get(), kServiceName, DELETE));
        ASSERT_TRUE(DeleteService(held.Get()));
        EXPECT_EQ(static_cast<DWORD>(E_FAIL), RunProgram(kServer, L"-RegServer"));
    }
    EXPECT_EQ(0u, RunProgram(kServer, L"-RegServer"));
    EXPECT_EQ(L"<missing>", ReadText(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));

    // A step after the service and the type library that fails (the proxy/stub key cannot be saved: a
    // dangling link below it) leaves the registration as found, without the service it installed and with
    // no LocalService naming one that the hook removed; unregistering cannot delete that key either.
    const std::wstring link = std::wstring(L"CLSID\\") + kProxyStubClsid + L"\\Link";
    const std::wstring interface32 = L"Software\\Classes\\Wow6432Node\\" + std::wstring(kInterfaceKey);
    for (const std::wstring run : {L"-Service", L"-RegServer"}) {
        HKEY made = nullptr;
        ASSERT_EQ(0u, RunProgram(kServer, run == L"-Service" ? L"-RegServer" : L"-Service"));
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteTreeW(HKEY_LOCAL_MACHINE, interface32.c_str()));
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, link.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK |
                                                 REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &made, nullptr));
        RegSetValueExW(made, L"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const BYTE*>(L"\\Registry\\None"), 28);
        RegCloseKey(made);
        EXPECT_EQ(DWORD(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), RunProgram(kServer, run)) << TestUtil::Narrow(run);
        EXPECT_TRUE(ServiceState() == 0 && ReadText(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService") == L"<missing>");
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, link.substr(0, link.size() - 4) + L"InprocServer32") &&
                    !KeyExists(HKEY_LOCAL_MACHINE, interface32));
        EXPECT_EQ(DWORD(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), RunProgram(kServer, L"-UnregServer"));
        RegOpenKeyExW(HKEY_CLASSES_ROOT, link.c_str(), REG_OPTION_OPEN_LINK, DELETE, &made);
        RegDeleteKeyW(made, L"");
        RegCloseKey(made);
    }
    ASSERT_EQ(0u, RunProgram(kServer, L"-RegServer"));

    // A service installation that fails (the display name taken) leaves the registration as found.
    Platform::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    Platform::ServiceHandle other(CreateServiceW(manager.Get(), L"TelvanaOther", kServiceName, SERVICE_ALL_ACCESS,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                 L"C:\\none.exe", nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(other);
    DeleteService(other.Get());  // gone with this process's handle, whatever ends it
    SetText(HKEY_CLASSES_ROOT, kAppIdKey, L"Found", L"kept");  // a value the script would drop
    const DWORD result = RunProgram(kServer, L"-Service");
    EXPECT_EQ(static_cast<DWORD>(E_FAIL), result);
    EXPECT_EQ(L"<missing>", ReadText(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
    EXPECT_EQ(L"TelvanaService", ReadText(HKEY_CLASSES_ROOT, kAppIdKey, nullptr));
    EXPECT_EQ(L"kept", ReadText(HKEY_CLASSES_ROOT, kAppIdKey, L"Found"));
    EXPECT_EQ(kServer, ReadText(HKEY_CLASSES_ROOT, std::wstring(kClassKey) + L"\\LocalServer32", L"ServerExecutable"));
    EXPECT_EQ(0u, ServiceState());
}

// Only a trusted client may create through IOvClassFactory; the standard roads stay open.
TEST_F(OvTelvanaTest, CheckedFactoryAdmitsOnlyATrustedCallingProcess)
{
    // No event comes, so the worker's idle time runs from the server's start: long enough for
    // all four clients to meet the same server, as a server on its way out refuses activations.
    SetTestTimings(6000, 100, 300);
    // Trusted-list and platform-core state of the prefix stay put while we look.
    Platform::KernelHandle trustState(CreateMutexW(nullptr, FALSE, L"TelvanaTests.TrustMachineState"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(trustState.Get(), 120000));
    EXPECT_EQ((std::vector<std::string>{"activate 0x80070005"}), Client("checked", {kLogCall}));
    EXPECT_EQ((std::vector<std::string>{"activate 0x00000000", "log 0x80004001"}),
              Client("checked", {kLogCall}, kSignedClient));
    ReleaseMutex(trustState.Get());
    EXPECT_EQ((std::vector<std::string>{"activate 0x00000000", "log 0x80004001"}), Client("factory", {kLogCall}));
    EXPECT_EQ((std::vector<std::string>{"activate 0x00000000", "log 0x80004001"}), Client("create", {kLogCall}));
    EXPECT_EQ(1u, Servers().size());
    EXPECT_TRUE(ServersEndCleanly(20000));
}

// Events from a client reach the collector, the Nimbo double and the text log; empty ones are
// refused with 13, a malformed one fails alone, and the idle server ends by itself.
TEST_F(OvTelvanaTest, LocalServerDeliversEventsAndEndsWhenIdle)
{
    TestCollector::Collector collector;
    ASSERT_FALSE(collector.Host().empty());
    TestUtil::ScratchRegKey answers;
    ASSERT_TRUE(ConfigureDelivery(collector.Host(), m_dir.File(L"config.json"), WinPath(TELVANA_NIMBO_DOUBLE),
                                  answers.Path(), m_dir.File(L"nimbo.txt")));
    const std::wstring textLog = TextLogPath();
    DeleteFileW(textLog.c_str());

    const std::string configuration =
        R"({"transport":[{"name":"ga","ga_tracking_id":"UA-9-1","id":"e2eapp"},{"name":"nimbo","id":"e2eapp"}],)"
        R"("gaDictionary":{"UniqueId":"ec","action":"ea"}})";
    auto event = [&](const std::string& uniqueId, const std::string& action) {
        return "event\t" + configuration + "\t{\"UniqueId\":\"" + uniqueId + "\",\"Type\":\"Event\",\"action\":\"" +
               action + "\"}\t<null>";
    };
    // A trusted client on the checked road: CreateInstance hands it IOvTelvana itself, no
    // QueryInterface in between. The trusted list stays put meanwhile.
    Platform::KernelHandle trustState(CreateMutexW(nullptr, FALSE, L"TelvanaTests.TrustMachineState"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(trustState.Get(), 120000));
    EXPECT_EQ((std::vector<std::string>{"activate 0x00000000", "event 0x00000000", "event 0x0000000D",
                                        "event 0x0000000D", "event 0x00000000", "event 0x00000000",
                                        "log 0x80004001"}),
              Client("checked", {event("E2E.One", "first"), "event\t<null>\t\t<null>", "event\t<null>\t<null>\t<null>",
                                 "event\t" + configuration + "\t{\"UniqueId\":\t<null>", event("E2E.Two", "second"),
                                 kLogCall}, kSignedClient));
    ReleaseMutex(trustState.Get());

    for (const char* expected : {"E2E.One", "E2E.Two"}) {
        TestCollector::Collector::Request request;
        ASSERT_TRUE(collector.Next(request, 20000)) << expected;
        EXPECT_EQ("POST", request.method);
        EXPECT_EQ("/collect", request.path);
        const Pairs pairs = Split(request.body);
        EXPECT_EQ(1u, pairs.count({"tid", "UA-9-1"}));
        EXPECT_EQ(1u, pairs.count({"t", "event"}));
        EXPECT_EQ(1u, pairs.count({"cid", "device-e2e"}));
        EXPECT_EQ(1u, pairs.count({"ec", expected})) << request.body;
    }
    EXPECT_TRUE(collector.NoFurtherRequest());
    EXPECT_TRUE(ServersEndCleanly(15000)) << "idle, the worker lets its lock go and the server ends";

    const std::string nimbo = TestUtil::ReadFileBytes(m_dir.File(L"nimbo.txt"));
    size_t sends = 0;
    for (size_t at = 0; (at = nimbo.find("\"SendEvent\"", at)) != std::string::npos; ++at) ++sends;
    EXPECT_EQ(2u, sends) << nimbo;
    EXPECT_NE(std::string::npos, nimbo.find("E2E.Two")) << nimbo;
    EXPECT_EQ(L"device-e2e", ReadText(HKEY_LOCAL_MACHINE, kProductKey, L"DeviceID"));

    const std::string log = TestUtil::ReadFileBytes(textLog);
    size_t records = 0;
    for (size_t at = 0; (at = log.find('\n', at)) != std::string::npos; ++at) ++records;
    EXPECT_EQ(4u, records) << log;
    EXPECT_NE(std::string::npos, log.find("E2E.One")) << log;
    EXPECT_NE(std::string::npos, log.find("ga_legacy")) << log;
    DeleteFileW(textLog.c_str());
}

} // namespace
