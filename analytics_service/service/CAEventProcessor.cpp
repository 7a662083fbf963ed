#include "service/CAEventProcessor.h"

#include "config/AnalyticsConfigManager.h"
#include "registry/ConfigurationRegistry.h"

#include "ETWLogging/LogFront.h"
#include "Platform/ServiceModule.h"

#include <exception>

namespace {

constexpr LONG kSemaphoreMax = 2000;
constexpr unsigned long kBackoffLimitCount = 10;
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
    if (!event) return;
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (unsafe_size() > kMaxQueued) return;
    if (m_ended) {
        // A local server whose clients still hold objects outlives an idle worker: a new worker
        // takes the event rather than letting it go unprocessed. Only shutdown refuses it.
        if (m_shuttingDown || !StartWorker()) {
            LogLine(2, L"CAEventProcessor::AddEvent", __LINE__, L"Event %d dropped: the event worker has ended",
                    event->GetEventId());
            return;
        }
        LogLine(3, L"CAEventProcessor::AddEvent", __LINE__, L"Event worker started again for event %d",
                event->GetEventId());
    }
    ServerLock();
    push(std::move(event));
    ReleaseSemaphore(m_semaphore.Get(), 1, nullptr);
}

bool CAEventProcessor::StartWorker()
{
    try {
        if (m_worker.joinable()) m_worker.join();  // a worker that has ended takes no lock of ours
        m_worker = std::thread([this] { StartProcessor(); });
    } catch (const std::exception&) {
        return false;
    }
    m_started = true;
    m_ended = false;
    return true;
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

void CAEventProcessor::EndWorker(bool releaseOwnLock)
{
    size_t stranded = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_ended = true;
        std::shared_ptr<BaseEvent> event;
        while (try_pop(event)) {
            event.reset();
            ++stranded;
        }
    }
    for (; stranded > 0; --stranded) ServerUnlock();
    if (releaseOwnLock) ServerUnlock();
}

void CAEventProcessor::StartProcessor()
{
    const wchar_t* function = L"CAEventProcessor::StartProcessor";
    ServerLock();
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
            const Next next = HandleEvent(std::move(event), backoffMs);
            if (next == Next::Continue) continue;
            requestStop = next == Next::EndAndStop;
            break;
        }
        if (result == WAIT_TIMEOUT) {
            if (!empty()) continue;
            // Ended before the stop request, so no event is accepted that nobody would process.
            EndWorker(true);
            RequestStop();
            LogLine(4, function, __LINE__, L"Nothing processed for %lu ms - stopping the TelvanaService.",
                    static_cast<unsigned long>(m_timing.idleMs));
            return;
        }
        LogLine(3, function, __LINE__, L"Service is shutting down. Terminate the processing loop");
        break;
    }
    EndWorker(true);
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
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_shuttingDown = true;
    }
    LogLine(3, function, __LINE__, L"CAEventProcessor instance is shutting down");
    SetEvent(m_stopEvent.Get());
    if (m_worker.joinable()) {
        if (m_worker.get_id() == std::this_thread::get_id()) {
            m_worker.detach();
        } else {
            LogLine(3, function, __LINE__, L"Waiting for Event Processing thread to stop");
            m_worker.join();
        }
    }
    // A worker that never ran leaves its queued events to be released here.
    if (!IsRunning()) EndWorker(false);
    m_semaphore.Reset();
    m_stopEvent.Reset();
    LogLine(3, function, __LINE__, L"CAEventProcessor shutdown complete");
}
