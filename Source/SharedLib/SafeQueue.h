#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>

namespace Vantrel::HolvaneApi {

// A FIFO shared between threads: Push from any thread, Pop with a time-out.
template <typename T>
class SafeQueue {
public:
    void Push(const T& item)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push(item);
        }
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
            if (cond_.wait_until(lock, deadline) == std::cv_status::timeout && queue_.empty())
                return T{};
        }
        T item = queue_.front();
        queue_.pop();
        return item;
    }

    // Takes the oldest item without waiting; false when empty.
    bool TryPop(T& item)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty())
            return false;
        item = queue_.front();
        queue_.pop();
        return true;
    }

    size_t Size() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }

private:
    std::queue<T, std::deque<T>> queue_;
    mutable std::mutex mutex_;
    std::condition_variable cond_;
};

} // namespace Vantrel::HolvaneApi
