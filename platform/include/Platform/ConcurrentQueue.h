// Concurrency::concurrent_queue for a toolchain without the Concurrency runtime: the operations
// the service uses, each under one lock. Safe for any number of concurrent producers and consumers.
#pragma once
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace Concurrency {

template <class T, class Allocator = std::allocator<T>>
class concurrent_queue {
public:
    concurrent_queue() = default;
    concurrent_queue(const concurrent_queue&) = delete;
    concurrent_queue& operator=(const concurrent_queue&) = delete;

    void push(const T& item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(item);
    }
    void push(T&& item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(std::move(item));
    }
    // Takes the oldest item; false when the queue is empty.
    bool try_pop(T& item)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.empty()) return false;
        item = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }
    bool empty() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.empty();
    }
    // A snapshot: other threads may change the count right after.
    std::size_t unsafe_size() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }
    void clear()
    {
        std::deque<T, Allocator> gone;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            gone.swap(m_items);
        }
        // Items are destroyed outside the lock: their destructors may call back into the queue.
    }

private:
    mutable std::mutex m_mutex;
    std::deque<T, Allocator> m_items;
};

} // namespace Concurrency
