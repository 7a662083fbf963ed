// One queued unit of work for the event worker.
#pragma once
#include <atomic>

class BaseEvent {
public:
    BaseEvent() : m_eventId(s_nextEventId.fetch_add(1, std::memory_order_relaxed)) {}
    virtual ~BaseEvent() = default;
    BaseEvent(const BaseEvent&) = delete;
    BaseEvent& operator=(const BaseEvent&) = delete;

    virtual void ProcessEvent() = 0;
    // Only for log lines: events are made concurrently on COM threads, hence the atomic counter.
    int GetEventId() const { return m_eventId; }

private:
    static inline std::atomic<int> s_nextEventId{0};
    const int m_eventId;
};
