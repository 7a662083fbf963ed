#include "config/AnalyticsConfigManager.h"
#include "registry/CAUtils.h"
#include "service/CAEventProcessor.h"

#include "LogCapture.h"
#include "TestUtil.h"

#include "Platform/ServiceModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <new>
#include <stdexcept>
#include <thread>

std::atomic<DWORD> g_failAllocationsOn{0};  // a thread whose every allocation fails

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // malloc and free, below
void* operator new(size_t bytes)
{
    void* memory = g_failAllocationsOn == GetCurrentThreadId() ? nullptr : std::malloc(bytes ? bytes : 1);
    return memory ? memory : throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }

namespace {

// Counts what the worker asks of the process module; can hold the worker in its stop request,
// as a slow log controller would.
class CountingModule : public Platform::ServiceModule {
public:
    CountingModule() : ServiceModule(0, GUID_NULL, 0) {}
    bool IsService() const override { return asService; }
    void OnStop() override
    {
        ++stops;
        if (holdStop) WaitForSingleObject(release.Get(), 20000);
    }
    std::atomic<int> stops{0};
    std::atomic<bool> holdStop{false};
    std::atomic<bool> asService{false};
    Platform::EventHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
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
    template <typename Condition>
    static bool WaitFor(Condition condition, int tries = 2000)
    {
        for (int n = 0; n < tries && !condition(); ++n) Sleep(10);
        return condition();
    }
    // Waits until the worker has ended (it ends by itself in these tests) and its stop request,
    // which follows, was the stops-th.
    void WaitEnded(CAEventProcessor& processor, int stops = 1)
    {
        ASSERT_TRUE(WaitFor([&] { return !processor.IsRunning() && m_module.stops >= stops; }, 500));
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
    EXPECT_TRUE(WaitFor([] {
        return LogCapture::Count(L"Nothing processed for 400 ms - stopping the TelvanaService.", 4,
                                 L"CAEventProcessor") == 1;
    }));

    // A client that still holds its object sends again: a new worker takes the event, and ends
    // idle again without a lock left behind.
    processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    EXPECT_TRUE(processor.IsRunning());
    WaitEnded(processor, 2);
    EXPECT_TRUE(processor.empty());
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_EQ(2, m_module.stops.load());

    // As a service the stop request ends the run, whose shutdown would throw a queued event
    // away: once it is under way an event is refused, and says so where a default log looks.
    m_module.asService = true;
    m_module.holdStop = true;
    processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    ASSERT_TRUE(WaitFor([&] { return m_module.stops == 3; }));
    auto late = std::make_shared<RecordingEvent>(m_processed);
    processor.AddEvent(late);
    EXPECT_FALSE(processor.IsRunning());
    EXPECT_EQ(1u, LogCapture::Count(L"Event " + std::to_wstring(late->GetEventId()) +
                                        L" dropped: the event worker has ended", 4));
    SetEvent(m_module.release.Get());
    WaitEnded(processor, 3);

    // Once shut down, nothing is taken that nobody would process.
    processor.ShutDown();
    processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_TRUE(processor.empty());
    EXPECT_EQ(0u, LogCapture::Count(L"0 queued events discarded at shutdown"));
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
    EXPECT_EQ(1u, LogCapture::Count(L"1 queued events discarded at shutdown", 4, L"CAEventProcessor"));
}

TEST_F(EventProcessorTest, QueueHoldsAtMost1001AndCountsWhatItDropsAndAFailedPushKeepsNoLock)
{
    SetFlag(L"globalEnable", 0);
    SetFlag(L"enableGoogleAnalytics", 0);
    CAEventProcessor processor;
    processor.SetTiming({60000, 60000, 600000, 0});
    int failed = 0;
    auto add = [&](int count, bool failAllocations = false) {
        for (int n = 0; n < count; ++n) {
            auto event = std::make_shared<RecordingEvent>(m_processed);
            g_failAllocationsOn = failAllocations ? GetCurrentThreadId() : 0;
            try {
                processor.AddEvent(std::move(event));
            } catch (const std::bad_alloc&) {
                ++failed;
            }
            g_failAllocationsOn = 0;
        }
    };
    add(40, true);  // the queue needs memory once in 32 pushes
    EXPECT_GT(failed, 0);
    EXPECT_EQ(static_cast<LONG>(processor.unsafe_size()), m_module.GetLockCount());
    add(1005 - static_cast<int>(processor.unsafe_size()));
    EXPECT_EQ(1001u, processor.unsafe_size());
    EXPECT_EQ(1001, m_module.GetLockCount());
    // Dropped silently to the caller, but counted: at once, then at most once a second.
    EXPECT_EQ(1u, LogCapture::Count(L"The event queue is full: 1 events dropped", 4, L"CAEventProcessor"));
    Sleep(1100);
    add(3);
    EXPECT_EQ(1u, LogCapture::Count(L"The event queue is full: 4 events dropped", 4));
    EXPECT_FALSE(LogCapture::Contains(L"full: 2") || LogCapture::Contains(L"full: 3"));
    // The worker's first take makes room: the drops not yet logged are, once.
    ASSERT_TRUE(processor.Start());
    ASSERT_TRUE(WaitFor([&] { return processor.empty() && m_module.GetLockCount() == 1; }));
    EXPECT_EQ(1u, LogCapture::Count(L"The event queue has room again: 2 more events dropped, 7 in all while it "
                                    L"was full", 4));
    processor.ShutDown();
    EXPECT_EQ(0, m_module.GetLockCount());
    EXPECT_EQ(1u, LogCapture::Count(L"CAEventProcessor shutdown complete", 3));

    // Steady overload: each take makes room that the next caller fills at once, so there is
    // room to report only once the callers pause.
    CAEventProcessor paced;
    paced.SetTiming({60000, 60000, 600000, 20});
    for (int n = 0; n < 1002; ++n) paced.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    ASSERT_TRUE(paced.Start());
    for (const ULONGLONG end = GetTickCount64() + 400; GetTickCount64() < end; Sleep(1))
        paced.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    auto roomLines = [] {
        const std::vector<LogCapture::Line> lines = LogCapture::Lines();
        return std::count_if(lines.begin(), lines.end(), [](const LogCapture::Line& line) {
            return line.text.find(L"The event queue has room again") == 0;
        });
    };
    EXPECT_EQ(1, roomLines());
    EXPECT_TRUE(WaitFor([&] { return roomLines() == 2; }, 300));
    paced.ShutDown();
    EXPECT_EQ(0, m_module.GetLockCount());
}

TEST_F(EventProcessorTest, CallersNeverWaitForAnEndingWorkerAndNoAcceptedEventIsLost)
{
    TestUtil::ScratchDir dir;  // an empty configuration: every event is processed
    ASSERT_TRUE(TestUtil::WriteFileBytes(dir.File(L"c.json"), "{}"));
    ASSERT_EQ(0u, SaveStringValueToRegistry(L"SOFTWARE\\Orvane\\OvTelvana", L"configFileDir", dir.File(L"c.json"), 0));
    auto addEvent = [&](CAEventProcessor& processor) {
        processor.AddEvent(std::make_shared<RecordingEvent>(m_processed));
    };
    {
        // Idle workers are held in their stop request, as a slow log controller would.
        m_module.holdStop = true;
        CAEventProcessor processor;
        processor.SetTiming({50, 60000, 600000, 0});
        ASSERT_TRUE(processor.Start());
        ASSERT_TRUE(WaitFor([&] { return m_module.stops == 1; }));
        auto added = std::async(std::launch::async, addEvent, std::ref(processor));
        EXPECT_EQ(std::future_status::ready, added.wait_for(std::chrono::seconds(3))) << "the caller waited";
        SetEvent(m_module.release.Get());
        added.wait();
        EXPECT_TRUE(WaitFor([&] { return m_processed == 1 && m_module.stops == 2; }));
        // ShutDown waits for every worker that may still touch the object, ended ones too.
        ResetEvent(m_module.release.Get());
        addEvent(processor);
        ASSERT_TRUE(WaitFor([&] { return m_module.stops == 3; }));
        addEvent(processor);
        auto shutDown = std::async(std::launch::async, [&] { processor.ShutDown(); });
        EXPECT_EQ(std::future_status::timeout, shutDown.wait_for(std::chrono::milliseconds(300)));
        SetEvent(m_module.release.Get());
        shutDown.wait();
        EXPECT_EQ(0, m_module.GetLockCount());
        m_module.holdStop = false;
    }
    // Callers race a worker that ends after 1 ms without an event: each accepted event is
    // processed, by that worker or the next.
    m_processed = 0;
    const int stopsBefore = m_module.stops;
    CAEventProcessor processor;
    processor.SetTiming({1, 60000, 600000, 0});
    ASSERT_TRUE(processor.Start());
    std::thread callers[3];
    for (int c = 0; c < 3; ++c)
        callers[c] = std::thread([&, c] {
            for (int n = 0; n < 300; ++n) {
                while (!processor.empty()) Sleep(0);  // the worker catches up, then goes idle
                Sleep((n + c) % 3);
                addEvent(processor);
            }
        });
    for (std::thread& caller : callers) caller.join();
    EXPECT_TRUE(WaitFor([&] { return m_processed == 900; })) << m_processed.load();
    EXPECT_TRUE(WaitFor([&] { return !processor.IsRunning() && m_module.GetLockCount() == 0; }));
    EXPECT_GT(m_module.stops - stopsBefore, 5) << "the worker hardly ever ended";
    processor.ShutDown();
    EXPECT_EQ(900, m_processed.load());
}

} // namespace
