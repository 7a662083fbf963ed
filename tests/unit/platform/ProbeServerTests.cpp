// End to end through real processes, real COM and the real service manager: the probe servers
// (tests/platform_probe) register from their scripts, serve across processes through their type
// library, and end as a local server by the lock count or as a service by a stop request.
#include <gtest/gtest.h>

#include <chrono>

#include "Platform/ServiceModule.h"
#include "Probe.h"
#include "ProbeIdentity.h"
#include "RegRead.h"
#include "TestUtil.h"

namespace {

using Platform::ComPtr;
using Platform::GuidText;
using PlatformTest::KeyExists;
using PlatformTest::ReadText;

std::wstring TestDir()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

// The probe names its caller: this test program.
bool CallerIsThisProgram(IPlatformProbe* object)
{
    Platform::Bstr caller;
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    return SUCCEEDED(object->GetCaller(&caller)) && !!caller &&
           CompareStringOrdinal(caller.Get(), -1, own, -1, TRUE) == CSTR_EQUAL;
}

struct Served {
    LONG processId = 0;
    LONG lockCount = 0;
    LONG asService = -1;
    Platform::ProcessHandle process;
};

class ProbeServerTest : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override
    {
        // Leaves the prefix as found, also after a failure: no server running, nothing registered.
        for (auto& process : m_servers) {
            if (process && WaitForSingleObject(process.Get(), 5000) == WAIT_TIMEOUT) TerminateProcess(process.Get(), 1);
        }
        if (m_probe) RunProbe(L"-UnregServer");
        CoUninitialize();
    }

    std::wstring Exe() const { return TestDir() + L"\\" + m_probe->exe; }

    DWORD RunProbe(const wchar_t* arguments) { return TestUtil::RunCommand(L"\"" + Exe() + L"\" " + arguments); }

    // Activates the probe class across processes and reads its server's state.
    HRESULT Activate(ComPtr<IPlatformProbe>& object, Served& served)
    {
        HRESULT hr = CoCreateInstance(m_probe->clsid, nullptr, CLSCTX_LOCAL_SERVER, m_probe->iid,
                                      reinterpret_cast<void**>(&object));
        if (SUCCEEDED(hr)) hr = object->GetState(&served.processId, &served.lockCount, &served.asService);
        if (SUCCEEDED(hr) && !served.process) {
            const DWORD access = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
            served.process.Reset(OpenProcess(access, FALSE, static_cast<DWORD>(served.processId)));
            m_servers.emplace_back(OpenProcess(access, FALSE, static_cast<DWORD>(served.processId)));
        }
        return hr;
    }

    // Activates, reports, releases and waits for the local server to end.
    LONG RunModeOfOneActivation()
    {
        Served served;
        {
            ComPtr<IPlatformProbe> object;
            EXPECT_EQ(S_OK, Activate(object, served));
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(served.process.Get(), 10000));
        return served.asService;
    }

    const ProbeIdentity* m_probe = nullptr;
    std::vector<Platform::ProcessHandle> m_servers;
};

TEST_F(ProbeServerTest, LocalServerRegistersServesAndEndsAfterTheLastRelease)
{
    m_probe = &kLocalProbe;
    const std::wstring clsidKey = L"CLSID\\" + GuidText(m_probe->clsid);
    const std::wstring appIdKey = L"AppID\\" + GuidText(m_probe->appId);
    const std::wstring user = L"Software\\Classes\\";

    ASSERT_EQ(0u, RunProbe(L"-RegServerPerUser"));
    EXPECT_EQ(L"\"" + Exe() + L"\"", ReadText(HKEY_CURRENT_USER, user + clsidKey + L"\\LocalServer32", nullptr));
    EXPECT_EQ(Exe(), ReadText(HKEY_CURRENT_USER, user + clsidKey + L"\\LocalServer32", L"ServerExecutable"));
    EXPECT_EQ(GuidText(m_probe->appId), ReadText(HKEY_CURRENT_USER, user + clsidKey, L"AppID"));
    EXPECT_EQ(GuidText(m_probe->appId), ReadText(HKEY_CURRENT_USER, user + L"AppID\\" + m_probe->exe, L"AppID"));
    EXPECT_EQ(L"PlatformProbeLocal", ReadText(HKEY_CURRENT_USER, user + appIdKey, nullptr));
    EXPECT_EQ(L"<missing>", ReadText(HKEY_CURRENT_USER, user + appIdKey, L"LocalService"));
    ASSERT_EQ(0u, RunProbe(L"/unregserverperuser"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user + clsidKey));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user + appIdKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + GuidText(m_probe->libId)));

    ASSERT_EQ(0u, RunProbe(L"-RegServer"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, clsidKey + L"\\LocalServer32"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + GuidText(m_probe->libId)));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(m_probe->iid)));

    Served served;
    std::chrono::steady_clock::time_point released;
    {
        ComPtr<IPlatformProbe> first;
        ComPtr<IPlatformProbe> second;
        ASSERT_EQ(S_OK, Activate(first, served));
        EXPECT_NE(static_cast<LONG>(GetCurrentProcessId()), served.processId);
        EXPECT_EQ(0, served.asService);
        EXPECT_EQ(1, served.lockCount);
        EXPECT_TRUE(CallerIsThisProgram(first.Get()));
        Served again;
        ASSERT_EQ(S_OK, Activate(second, again));
        EXPECT_EQ(served.processId, again.processId);
        EXPECT_EQ(2, again.lockCount);
        second.Reset();
        released = std::chrono::steady_clock::now();
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(served.process.Get(), 10000));
    EXPECT_GE(std::chrono::steady_clock::now() - released, std::chrono::milliseconds(250));
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeProcess(served.process.Get(), &code));
    EXPECT_EQ(0u, code);

    ASSERT_EQ(0u, RunProbe(L"-UnregServer"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, clsidKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, appIdKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"AppID\\") + m_probe->exe));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + GuidText(m_probe->libId)));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

TEST_F(ProbeServerTest, ServiceStartsOnActivationStopsOnRequestAndGivesWayToTheLocalServer)
{
    m_probe = &kServiceProbe;
    const std::wstring appIdKey = L"AppID\\" + GuidText(m_probe->appId);

    ASSERT_EQ(0u, RunProbe(L"/SERVICE"));
    EXPECT_EQ(m_probe->serviceName, ReadText(HKEY_CLASSES_ROOT, appIdKey, L"LocalService"));
    Platform::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    {
        Platform::ServiceHandle service(OpenServiceW(manager.Get(), m_probe->serviceName, SERVICE_QUERY_STATUS | SERVICE_STOP));
        ASSERT_TRUE(service);
        Served served;
        {
            ComPtr<IPlatformProbe> object;
            ASSERT_EQ(S_OK, Activate(object, served));
            EXPECT_EQ(1, served.asService);
            EXPECT_TRUE(CallerIsThisProgram(object.Get()));
        }
        // Longer than the shutdown delay: the lock count does not end a service.
        Sleep(800);
        SERVICE_STATUS status = {};
        ASSERT_TRUE(QueryServiceStatus(service.Get(), &status));
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(served.process.Get(), 0));

        ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(served.process.Get(), 10000));
        for (int i = 0; i < 50 && QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
            Sleep(100);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    }

    // "RegServer" deletes the service and LocalService: activation then starts a local server.
    ASSERT_EQ(0u, RunProbe(L"-RegServer"));
    Platform::ServiceHandle gone(OpenServiceW(manager.Get(), m_probe->serviceName, SERVICE_QUERY_STATUS));
    EXPECT_FALSE(gone);
    EXPECT_EQ(L"<missing>", ReadText(HKEY_CLASSES_ROOT, appIdKey, L"LocalService"));
    EXPECT_EQ(0, RunModeOfOneActivation());

    // A LocalService value that is no string does not select the service mode.
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CLASSES_ROOT, appIdKey.c_str(), L"LocalService", REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(0, RunModeOfOneActivation());

    ASSERT_EQ(0u, RunProbe(L"-UnregServer"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, appIdKey));
}

} // namespace
