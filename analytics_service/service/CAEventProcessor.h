// The hand-over between COM threads and the single event worker. The object is itself the queue
// of shared events; a semaphore counts them and a stop event ends the worker. Every queued event,
// and the running worker, hold one server lock of the process module, so a local server lives
// while there is work. The COM side never waits for a worker: one that has ended is joined by
// the worker started after it, or at shutdown.
#pragma once
#include "events/BaseEvent.h"

#include "Platform/ConcurrentQueue.h"
#include "Platform/Handles.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

    // Queues the event under a server lock, or drops it when more than 1000 wait, the processor
    // is shutting down, or its worker has asked a service to stop. After an idle end of a local
    // server a new worker is started for it. Drops of a full queue are counted and logged
    // (level 4, so a default installation records them) at most once a second, and once more
    // when the queue has room again. A push that throws leaves no lock behind.
    void AddEvent(std::shared_ptr<BaseEvent> event);
    // Starts the worker once; false when it already ran or could not start.
    bool Start();
    // Ends the worker and waits for it and every worker before it (unless called on one of them);
    // every lock they held is released.
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
    // Marks the worker ended and releases the locks of every event still queued, with one line
    // for what it discards; AddEvent takes the same lock, so no event can slip in and keep its
    // lock after this. stopFollows: the worker asks for the stop next.
    void EndWorker(bool releaseOwnLock, bool stopFollows);
    // Ends an idle worker under the lock AddEvent takes: an event queued before is still this
    // worker's, one queued after starts the next worker (or, as a service, whose run the stop
    // request ends, is refused). False when the queue is not empty.
    bool EndIdle();
    // Joins the workers that ended before this one started; they may still be on their way out.
    void JoinEndedWorkers();
    // Once a full queue has room again (no drop for a second, or nothing queued), logs the drops
    // not yet logged.
    void ReportRoom();
    // Under m_stateLock.
    bool StartWorker();

    Platform::SemaphoreHandle m_semaphore;
    Platform::EventHandle m_stopEvent;
    std::thread m_worker;
    std::vector<std::thread> m_endedWorkers;
    Timing m_timing;
    mutable std::mutex m_stateLock;
    bool m_started = false;
    bool m_ended = false;
    bool m_shuttingDown = false;
    // The worker asked a service to stop: its run ends, so nothing more is accepted.
    bool m_stopRequested = false;
    // Drops of a full queue: not yet logged, and in all since it was last not full.
    unsigned long m_dropsUnlogged = 0;
    unsigned long m_dropsInAll = 0;
    ULONGLONG m_nextDropLog = 0;
    ULONGLONG m_lastDrop = 0;
    std::atomic<bool> m_queueFull{false};
};
