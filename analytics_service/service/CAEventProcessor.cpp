#include "service/CAEventProcessor.h"

#include "config/AnalyticsConfigManager.h"
#include "registry/ConfigurationRegistry.h"

#include "ETWLogging/LogFront.h"
#include "Platform/ServiceModule.h"

#include <exception>

namespace {

constexpr LONG kSemaphoreMax = 2000;
constexpr unsigned long kBackoffLimitCount = 10;
constexpr ULONGLONG kDropLogIntervalMs = 1000;
const wchar_t* const kSource = L"CAEventProcessor";

template <typename... Args>
void LogLine(ETWLogging::LogLevel level, const wchar_t* function, int line, const wchar_t* format, Args... args)
{
    if (ETWLogging::IsLogLevelEnabled(level)) ETWLogging::Log(level, kSource, function, line, format, args...);
}

// The process module's server lock; tests run without a module.
void ServerLock()
{
    if (Platform::ServiceModule* module = Platform::ServiceModule::Current()) module->Lock();
}

void ServerUnlock()
{
    if (Platform::ServiceModule* module = Platform::ServiceModule::Current()) module->Unlock();
}

void RequestStop()
{
    if (Platform::ServiceModule* module = Platform::ServiceModule::Current()) module->OnStop();
}

// As a service the worker's stop request ends the run; as a local server it changes nothing.
bool StopEndsRun()
{
    Platform::ServiceModule* module = Platform::ServiceModule::Current();
    return module && module->IsService();
}

} // namespace

CAEventProcessor& CAEventProcessor::GetInstance()
{
    static CAEventProcessor instance;
    return instance;
}

CAEventProcessor::CAEventProcessor()
    : m_semaphore(CreateSemaphoreW(nullptr, 0, kSemaphoreMax, nullptr)),
      m_stopEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

CAEventProcessor::~CAEventProcessor()
{
    ShutDown();
    clear();
}

void CAEventProcessor::AddEvent(std::shared_ptr<BaseEvent> event)
{
    const wchar_t* function = L"CAEventProcessor::AddEvent";
    if (!event) return;
    const int eventId = event->GetEventId();
    enum class Outcome { Queued, Restarted, Refused, Full } outcome = Outcome::Queued;
    unsigned long dropsToLog = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (unsafe_size() > kMaxQueued) {
            // Callers are answered success all the same; the log keeps the count.
            outcome = Outcome::Full;
            ++m_dropsUnlogged;
            ++m_dropsInAll;
            m_queueFull = true;
            const ULONGLONG now = GetTickCount64();
            m_lastDrop = now;
            if (now >= m_nextDropLog) {
                dropsToLog = m_dropsUnlogged;
                m_dropsUnlogged = 0;
                m_nextDropLog = now + kDropLogIntervalMs;
            }
        } else if (m_ended) {
            // A local server whose clients still hold objects outlives an idle worker: a new worker
            // takes the event rather than letting it go unprocessed. A shutdown, or a stop that the
            // worker has asked of a service, would throw it away: it is refused instead.
            outcome = m_shuttingDown || m_stopRequested || !StartWorker() ? Outcome::Refused : Outcome::Restarted;
        }
        if (outcome == Outcome::Queued || outcome == Outcome::Restarted) {
            ServerLock();
            try {
                push(std::move(event));
            } catch (...) {
                ServerUnlock();  // the event is not queued, so nothing would release it
                throw;
            }
            ReleaseSemaphore(m_semaphore.Get(), 1, nullptr);
        }
    }
    // Logged outside the lock: a slow log must not hold up other callers.
    if (outcome == Outcome::Refused)
        LogLine(4, function, __LINE__, L"Event %d dropped: the event worker has ended", eventId);
    else if (outcome == Outcome::Restarted)
        LogLine(3, function, __LINE__, L"Event worker started again for event %d", eventId);
    else if (dropsToLog > 0)
        LogLine(4, function, __LINE__, L"The event queue is full: %lu events dropped", dropsToLog);
}

void CAEventProcessor::ReportRoom()
{
    if (!m_queueFull) return;
    unsigned long unlogged = 0, inAll = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (!m_queueFull || unsafe_size() > kMaxQueued) return;
        // Under steady overload every take makes room for one more event that is dropped again
        // at once: room counts only once drops have paused for a while, or nothing waits.
        if (!empty() && GetTickCount64() - m_lastDrop < kDropLogIntervalMs) return;
        m_queueFull = false;
        unlogged = m_dropsUnlogged;
        inAll = m_dropsInAll;
        m_dropsUnlogged = 0;
        m_dropsInAll = 0;
    }
    LogLine(4, L"CAEventProcessor::ReportRoom", __LINE__,
            L"The event queue has room again: %lu more events dropped, %lu in all while it was full", unlogged,
            inAll);
}

bool CAEventProcessor::StartWorker()
{
    try {
        m_endedWorkers.reserve(m_endedWorkers.size() + 1);
        std::thread worker([this] { StartProcessor(); });
        // The worker that ended may still be on its way out (stop request, log controller): the
        // new one joins it, so no caller here ever waits for it.
        if (m_worker.joinable()) m_endedWorkers.push_back(std::move(m_worker));
        m_worker = std::move(worker);
    } catch (const std::exception&) {
        return false;
    }
    m_started = true;
    m_ended = false;
    return true;
}

void CAEventProcessor::JoinEndedWorkers()
{
    // Every worker in the list ended before this one started, so none of them waits for us.
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        ended.swap(m_endedWorkers);
    }
    for (std::thread& worker : ended) worker.join();
}

bool CAEventProcessor::Start()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_started) return false;
    return StartWorker();
}

bool CAEventProcessor::IsRunning() const
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_started && !m_ended;
}

CAEventProcessor::WaitResult CAEventProcessor::WaitStop(DWORD milliseconds)
{
    return WaitForSingleObject(m_stopEvent.Get(), milliseconds) == WAIT_TIMEOUT ? WaitResult::Timeout
                                                                               : WaitResult::Stop;
}

void CAEventProcessor::EndWorker(bool releaseOwnLock, bool stopFollows)
{
    unsigned long stranded = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_ended = true;
        if (stopFollows && StopEndsRun()) m_stopRequested = true;
        std::shared_ptr<BaseEvent> event;
        while (try_pop(event)) {
            event.reset();
            ++stranded;
        }
    }
    if (stranded > 0)
        LogLine(4, L"CAEventProcessor::EndWorker", __LINE__, L"%lu queued events discarded at shutdown", stranded);
    for (; stranded > 0; --stranded) ServerUnlock();
    if (releaseOwnLock) ServerUnlock();
    ReportRoom();
}

bool CAEventProcessor::EndIdle()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (!empty()) return false;
    m_ended = true;
    if (StopEndsRun()) m_stopRequested = true;
    return true;
}

void CAEventProcessor::StartProcessor()
{
    const wchar_t* function = L"CAEventProcessor::StartProcessor";
    ServerLock();
    JoinEndedWorkers();
    try {
        ConfigurationRegistry::GetInstance()->UpdateEnableFlag();
    } catch (...) {
        // The first-run computation is tried again by the next worker; events still flow.
    }
    DWORD backoffMs = 0;
    bool requestStop = false;
    const HANDLE waits[2] = {m_stopEvent.Get(), m_semaphore.Get()};
    for (;;) {
        const DWORD result = WaitForMultipleObjects(2, waits, FALSE, m_timing.idleMs);
        if (result == WAIT_OBJECT_0) {
            LogLine(3, function, __LINE__, L"Stop event was signaled. Exiting the thread");
            break;
        }
        if (result == WAIT_OBJECT_0 + 1) {
            std::shared_ptr<BaseEvent> event;
            if (!try_pop(event)) continue;
            ReportRoom();
            const Next next = HandleEvent(std::move(event), backoffMs);
            if (next == Next::Continue) continue;
            requestStop = next == Next::EndAndStop;
            break;
        }
        if (result == WAIT_TIMEOUT) {
            if (!EndIdle()) continue;
            ServerUnlock();
            RequestStop();
            LogLine(4, function, __LINE__, L"Nothing processed for %lu ms - stopping the TelvanaService.",
                    static_cast<unsigned long>(m_timing.idleMs));
            return;
        }
        LogLine(3, function, __LINE__, L"Service is shutting down. Terminate the processing loop");
        break;
    }
    EndWorker(true, requestStop);
    if (requestStop) RequestStop();
}

CAEventProcessor::Next CAEventProcessor::HandleEvent(std::shared_ptr<BaseEvent> event, DWORD& backoffMs)
{
    const wchar_t* function = L"CAEventProcessor::StartProcessor";
    // The event's lock goes with it, whatever happens while it is handled.
    struct EventLock {
        ~EventLock() { ServerUnlock(); }
    } eventLock;
    const int eventId = event->GetEventId();
    try {
        std::shared_ptr<ConfigurationRegistry> registry = ConfigurationRegistry::GetInstance();
        CCAConfig& config = registry->GetConfig();
        if (config.IsGlobalEnabled() || config.IsGoogleAnalyticsEnabled()) {
            std::shared_ptr<Taliro::AnalyticsConfigManager> manager = Taliro::AnalyticsConfigManager::GetInstance();
            if (manager && manager->Initialize()) {
                event->ProcessEvent();
            } else if (backoffMs > m_timing.backoffLimitMs) {
                LogLine(5, function, __LINE__,
                        L"Config Mgr failed to initialize more than %lu times. Shutting down the service",
                        kBackoffLimitCount);
                return Next::EndAndStop;
            } else {
                backoffMs += m_timing.backoffStepMs;
                if (WaitStop(backoffMs) == WaitResult::Stop) {
                    LogLine(3, function, __LINE__, L"Stop event was signaled. Exiting the thread");
                    return Next::End;
                }
            }
        }
    } catch (const std::exception& e) {
        LogLine(4, function, __LINE__, L"Event %d failed: %hs", eventId, e.what());
    } catch (...) {
        LogLine(4, function, __LINE__, L"Event %d failed with an unknown exception", eventId);
    }
    event.reset();
    if (!empty() && WaitStop(m_timing.pauseMs) == WaitResult::Stop) {
        LogLine(3, function, __LINE__, L"Stop event was signaled. Exiting the thread");
        return Next::End;
    }
    return Next::Continue;
}

void CAEventProcessor::ShutDown()
{
    const wchar_t* function = L"CAEventProcessor::ShutDown";
    // The program shuts the worker down before it returns; the exit-time call then has nothing to do.
    if (!m_stopEvent) return;
    std::thread current;
    std::vector<std::thread> ended;
    {
        // From here on no worker starts, so these are all that may still touch the object.
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_shuttingDown = true;
        current = std::move(m_worker);
        ended.swap(m_endedWorkers);
    }
    LogLine(3, function, __LINE__, L"CAEventProcessor instance is shutting down");
    SetEvent(m_stopEvent.Get());
    auto finish = [](std::thread& worker) {
        if (!worker.joinable()) return;
        if (worker.get_id() == std::this_thread::get_id()) worker.detach();
        else worker.join();
    };
    if (current.joinable() && current.get_id() != std::this_thread::get_id())
        LogLine(3, function, __LINE__, L"Waiting for Event Processing thread to stop");
    finish(current);
    for (std::thread& worker : ended) finish(worker);
    // A worker that never ran leaves its queued events to be released here.
    if (!IsRunning()) EndWorker(false, false);
    m_semaphore.Reset();
    m_stopEvent.Reset();
    LogLine(3, function, __LINE__, L"CAEventProcessor shutdown complete");
}
