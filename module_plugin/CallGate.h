// Lets an object that is going wait for the calls other threads are still making into it.
#pragma once
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace Taliro {
namespace internal {

// Calls in progress, by thread. Once closed no call enters, and the owner waits only for the
// calls of other threads: a call of its own thread is further up its own stack and cannot end
// while it waits.
class CallGate {
public:
    bool enter()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_closed) return false;
        m_inside.push_back(std::this_thread::get_id());
        return true;
    }

    void leave()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto entry = std::find(m_inside.begin(), m_inside.end(), std::this_thread::get_id());
        if (entry != m_inside.end()) m_inside.erase(entry);
        m_left.notify_all();
    }

    void close()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_closed = true;
    }

    void waitForOtherThreads()
    {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> guard(m_lock);
        m_left.wait(guard, [&] {
            return std::all_of(m_inside.begin(), m_inside.end(), [&](std::thread::id id) { return id == self; });
        });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_left;
    std::vector<std::thread::id> m_inside;
    bool m_closed = false;
};

// One call's place in the gate, held for the whole call; false when the gate was closed.
class GatedCall {
public:
    explicit GatedCall(CallGate& gate) : m_gate(gate), m_entered(gate.enter()) {}
    ~GatedCall()
    {
        if (m_entered) m_gate.leave();
    }
    GatedCall(const GatedCall&) = delete;
    GatedCall& operator=(const GatedCall&) = delete;
    explicit operator bool() const { return m_entered; }

private:
    CallGate& m_gate;
    bool m_entered;
};

} // namespace internal
} // namespace Taliro
