#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

namespace Vantrel::HolvaneApi {

// A FIFO in a ring of slots, not synchronised. It allocates only when it holds
// more items than ever before (the ring doubles), so a steady stream of pushes
// and pops costs no allocation. T must be default-constructible and copyable.
template <typename T>
class RingFifo {
public:
    explicit RingFifo(size_t initial_capacity = 16) { grow(initial_capacity == 0 ? 1 : initial_capacity); }

    bool empty() const { return _count == 0; }
    size_t size() const { return _count; }
    size_t capacity() const { return _capacity; }

    void push(const T& item)
    {
        if (_count == _capacity)
            grow(_capacity * 2);
        _slots[(_head + _count) % _capacity] = item;
        ++_count;
    }

    // The oldest item; the FIFO must not be empty.
    T pop()
    {
        T item = std::move(_slots[_head]);
        _slots[_head] = T{};
        _head = (_head + 1) % _capacity;
        --_count;
        return item;
    }

private:
    void grow(size_t capacity)
    {
        auto slots = std::make_unique<T[]>(capacity);
        for (size_t i = 0; i < _count; ++i)
            slots[i] = std::move(_slots[(_head + i) % _capacity]);
        _slots = std::move(slots);
        _capacity = capacity;
        _head = 0;
    }

    std::unique_ptr<T[]> _slots;
    size_t _capacity = 0;
    size_t _head = 0;
    size_t _count = 0;
};

// A FIFO shared between threads: Push from any thread, Pop with a time-out.
template <typename T>
class SafeQueue {
public:
    void Push(const T& item)
    {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push(item);
            wake = waiters_ != 0;
        }
        // Only a waiting consumer needs the condition variable's system call.
        if (wake)
            cond_.notify_one();
    }

    // The oldest item, or T{} (null for pointers) when none came in time.
    // The steady clock is used so that a change of the wall clock neither
    // cuts the wait short nor stretches it.
    T Pop(int timeout_ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (queue_.empty()) {
            ++waiters_;
            const std::cv_status status = cond_.wait_until(lock, deadline);
            --waiters_;
            if (status == std::cv_status::timeout && queue_.empty())
                return T{};
        }
        return queue_.pop();
    }

    // Takes the oldest item without waiting; false when empty.
    bool TryPop(T& item)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty())
            return false;
        item = queue_.pop();
        return true;
    }

    size_t Size() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }

private:
    RingFifo<T> queue_;
    size_t waiters_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable cond_;
};

} // namespace Vantrel::HolvaneApi
