#include "config/AnalyticsConfigManager.h"
#include "registry/CAUtils.h"
#include "service/CAEventProcessor.h"

#include "LogCapture.h"
#include "TestUtil.h"

#include "Platform/ServiceModule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace {

// Counts what the worker asks of the process module.
class CountingModule : public Platform::ServiceModule {
public:
    CountingModule() : ServiceModule(0, GUID_NULL, 0) {}
    void OnStop() override { ++stops; }
    std::atomic<int> stops{0};
};

class RecordingEvent : public BaseEvent {
public:
    explicit RecordingEvent(std::atomic<int>& processed, bool fail = false) : m_processed(processed), m_fail(fail) {}
    void ProcessEvent() override
    {
        ++m_processed;
        if (m_fail) throw std::runtime_error("event fault");
    }

private:
    std::atomic<int>& m_processed;
    bool m_fail;
};

class EventProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetRegistryRedirection(m_scratch.Root(), m_scratch.Path());
        LogCapture::Clear();
    }
    void TearDown() override { ClearRegistryRedirection(); }

    void SetFlag(const wchar_t* name, DWORD value)
    {
        ASSERT_EQ(0u, SaveValueToRegistry(L"SOFTWARE\\Orvane\\OvTelvana", name, value, 0));
    }
    // Waits until the worker has ended (it ends by itself in these tests).
    static void WaitEnded(CAEventProcessor& processor)
    {
        for (int n = 0; n < 500 && processor.IsRunning(); ++n) Sleep(10);
        ASSERT_FALSE(processor.IsRunning());
    }

    TestUtil::ScratchRegKey m_scratch;
    CountingModule m_module;
    std::atomic<int> m_processed{0};
};

TEST_F(EventProcessorTest, DisabledEventsAreConsumedPacedAndTheIdleWorkerLeavesNoLock)
{
    SetFlag(L"globalEnable", 0);
    SetFlag(L"enableGoogleAnalytics", 0);
    CAEventProcessor processor;
    processor.SetTiming({400, 60000, 600000, 150});
    for (int n = 0; n < 3; ++n) processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    EXPECT_EQ(3, m_module.GetLockCount());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(processor.Start());
    EXPECT_FALSE(processor.Start());
    WaitEnded(processor);
    // Two pauses: after the first and second event, while more were queued.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300 + 400));
    EXPECT_EQ(0, m_processed.load());
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_EQ(1, m_module.stops.load());
    EXPECT_EQ(1u, LogCapture::Count(L"Nothing processed for 400 ms - stopping the TelvanaService.", 4,
                                    L"CAEventProcessor"));

    // A client that still holds its object sends again: a new worker takes the event, and ends
    // idle again without a lock left behind.
    processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    EXPECT_TRUE(processor.IsRunning());
    WaitEnded(processor);
    EXPECT_TRUE(processor.empty());
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_EQ(2, m_module.stops.load());

    // Once shut down, nothing is taken that nobody would process.
    processor.ShutDown();
    processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_TRUE(processor.empty());
}

TEST_F(EventProcessorTest, OneFailingEventDoesNotEndTheWorker)
{
    TestUtil::ScratchDir dir;
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"c.json"), "{}"));
    ASSERT_EQ(0u, SaveStringValueToRegistry(L"SOFTWARE\\Orvane\\OvTelvana", L"configFileDir", dir.File(L"c.json"), 0));
    CAEventProcessor processor;
    processor.SetTiming({5000, 60000, 600000, 0});
    processor.AddEvent(std::make_shared<RecordingEvent>(m_processed, true));
    processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    ASSERT_TRUE(processor.Start());
    for (int n = 0; n < 500 && m_module.GetLockCount() != 1; ++n) Sleep(10);
    EXPECT_EQ(2, m_processed.load());
    EXPECT_EQ(1, m_module.GetLockCount());  // the running worker's own
    EXPECT_TRUE(LogCapture::Contains(L"failed: event fault"));

    processor.ShutDown();
    EXPECT_EQ(1u, LogCapture::Count(L"Stop event was signaled. Exiting the thread", 3));
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_EQ(0, m_module.stops.load());
}

TEST_F(EventProcessorTest, ConfigurationBackOffGrowsThenStopsAndReleasesEveryLock)
{
    // No "configFileDir": every event finds the configuration missing. The manager is process-wide
    // and stays loaded once loaded, so this needs a process of its own (as ctest runs it).
    if (Taliro::AnalyticsConfigManager::GetInstance()->Initialize()) GTEST_SKIP() << "configuration already loaded";
    LogCapture::Clear();
    CAEventProcessor processor;
    processor.SetTiming({5000, 20, 100, 0});
    for (int n = 0; n < 8; ++n) processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(processor.Start());
    WaitEnded(processor);
    // Waits of 20, 40, ... 120 ms; the seventh failure finds the counter above the limit.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(420));
    EXPECT_EQ(0, m_processed.load());
    EXPECT_EQ(1u, LogCapture::Count(L"Config Mgr failed to initialize more than 10 times. Shutting down the service", 5));
    EXPECT_EQ(7u, LogCapture::Count(L"Failed to initialize AnalyticsConfigManager. Will not attempt again."));
    EXPECT_EQ(1, m_module.stops.load());
    EXPECT_EQ(0, m_module.GetLockCount());  // the eighth, still queued, was released too
}

TEST_F(EventProcessorTest, QueueHoldsAtMost1001AndShutDownReleasesWhatNobodyProcessed)
{
    CAEventProcessor processor;
    for (int n = 0; n < 1005; ++n) processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    EXPECT_EQ(1001u, processor.unsafe_size());
    EXPECT_EQ(1001, m_module.GetLockCount());
    processor.ShutDown();
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_EQ(1u, LogCapture::Count(L"CAEventProcessor shutdown complete", 3));
}

} // namespace
