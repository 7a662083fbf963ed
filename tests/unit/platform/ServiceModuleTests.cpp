// The local-server life cycle in process: the message loop ends only when the lock count has
// stayed at zero for the shutdown delay; a stop request changes nothing for a local server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Platform/ServiceModule.h"
#include "TestUtil.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Takes a lock right after the monitor first ended the loop, as an object made in that instant
// does.
class LateLockModule : public Platform::ServiceModule {
public:
    LateLockModule() : ServiceModule(0, GUID_NULL, 0) { SetShutdownDelay(200); }
    void RunMessageLoop() override
    {
        ServiceModule::RunMessageLoop();
        if (!late.exchange(true)) Lock();
    }
    std::atomic<bool> late{false};
};

TEST(PlatformServiceModule, LocalServerEndsOnlyWhenTheLockCountStaysZeroForTheDelay)
{
    LateLockModule module;
    module.Lock();
    std::atomic<bool> ended{false};
    HRESULT result = E_FAIL;
    std::thread server([&] {
        HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        result = module.Run(SW_HIDE);
        if (SUCCEEDED(init)) CoUninitialize();
        ended = true;
    });
    Sleep(300);
    EXPECT_FALSE(ended) << "a held lock keeps the server";
    module.OnStop();
    // Back to zero and up again within the delay: the count is not zero when the delay ends.
    module.Unlock();
    Sleep(50);
    module.Lock();
    Sleep(400);
    EXPECT_FALSE(ended) << "neither the stop request nor a short dip to zero ends a local server";
    EXPECT_EQ(SERVICE_STOP_PENDING, module.ServiceState());

    // Activity during the delay starts it again.
    module.Unlock();
    Sleep(120);
    module.Lock();
    module.Unlock();
    Clock::time_point lastUnlock = Clock::now();
    for (int i = 0; i < 500 && !module.late; ++i) Sleep(10);
    ASSERT_TRUE(module.late);
    EXPECT_GE(Clock::now() - lastUnlock, milliseconds(180));
    // The lock taken as the loop ended keeps the process until it goes.
    Sleep(400);
    EXPECT_FALSE(ended);
    module.Unlock();
    server.join();
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ(0, module.GetLockCount());
    EXPECT_FALSE(module.IsService());
    EXPECT_EQ(0u, module.ServiceThreadId());
}

class NamedModule : public Platform::ServiceModule {
public:
    explicit NamedModule(const std::wstring& name) : ServiceModule(0, GUID_NULL, 0) { SetServiceName(name); }
    void LogEvent(const wchar_t* text) override { events += std::wstring(text) + L"\n"; }
    std::wstring events;
};

TEST(PlatformServiceModule, RemovingAServiceAnswersFalseWhenItCannotBeDeleted)
{
    NamedModule module(TestUtil::UniqueName(L"PlatformRemove"));
    EXPECT_FALSE(module.IsInstalled());
    EXPECT_TRUE(module.RemoveService());
    ASSERT_TRUE(module.Install());
    EXPECT_TRUE(module.IsInstalled());
    {
        Platform::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        Platform::ServiceHandle held(OpenServiceW(manager.Get(), module.ServiceName().c_str(), DELETE));
        // Marked for deletion but kept by this handle: a second deletion fails.
        ASSERT_TRUE(DeleteService(held.Get()));
        EXPECT_FALSE(module.RemoveService());
        EXPECT_NE(std::wstring::npos, module.events.find(L"Service could not be deleted")) << module.events;
    }
    EXPECT_FALSE(module.IsInstalled());
    EXPECT_TRUE(module.RemoveService());
}

} // namespace
