// The hand-over between COM threads and the single event worker. The object is itself the queue
// of shared events; a semaphore counts them and a stop event ends the worker. Every queued event,
// and the running worker, hold one server lock of the process module, so a local server lives
// while there is work.
#pragma once
#include "events/BaseEvent.h"

#include "Platform/ConcurrentQueue.h"
#include "Platform/Handles.h"

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>

class CAEventProcessor : public Concurrency::concurrent_queue<std::shared_ptr<BaseEvent>> {
public:
    // The worker's waits. Only tests shorten them.
    struct Timing {
        DWORD idleMs = 180000;
        DWORD backoffStepMs = 60000;
        DWORD backoffLimitMs = 600000;
        DWORD pauseMs = 1000;
    };
    static constexpr size_t kMaxQueued = 1000;

    // The process-wide instance, made on first use, shut down at process exit.
    static CAEventProcessor& GetInstance();

    CAEventProcessor();
    ~CAEventProcessor();
    CAEventProcessor(const CAEventProcessor&) = delete;
    CAEventProcessor& operator=(const CAEventProcessor&) = delete;

    // Queues the event under a server lock, or drops it when more than 1000 wait or the
    // processor is shutting down. After an idle end the worker is started again for it.
    void AddEvent(std::shared_ptr<BaseEvent> event);
    // Starts the worker once; false when it already ran or could not start.
    bool Start();
    // Ends the worker and waits for it (unless called on it); every lock it held is released.
    void ShutDown();
    // The worker's body.
    void StartProcessor();

    void SetTiming(const Timing& timing) { m_timing = timing; }
    // True between Start and the worker's end.
    bool IsRunning() const;

private:
    enum class WaitResult { Stop, Timeout };
    enum class Next { Continue, End, EndAndStop };
    WaitResult WaitStop(DWORD milliseconds);
    Next HandleEvent(std::shared_ptr<BaseEvent> event, DWORD& backoffMs);
    // Marks the worker ended and releases the locks of every event still queued; AddEvent takes
    // the same lock, so no event can slip in and keep its lock after this.
    void EndWorker(bool releaseOwnLock);
    // Under m_stateLock.
    bool StartWorker();

    Platform::SemaphoreHandle m_semaphore;
    Platform::EventHandle m_stopEvent;
    std::thread m_worker;
    Timing m_timing;
    mutable std::mutex m_stateLock;
    bool m_started = false;
    bool m_ended = false;
    bool m_shuttingDown = false;
};
