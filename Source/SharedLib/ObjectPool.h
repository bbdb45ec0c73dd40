#pragma once

#include "SharedLib/Assert.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace Vantrel::HolvaneApi {

// Ready-made objects handed out and taken back, last in first out.
// Invariant: idle objects + objects on loan <= _pool.capacity(), so every
// object handed out can be taken back without reallocating under a caller.
template <typename T>
class ObjectPool {
public:
    static constexpr uint32_t GrowthStep = 32;

    explicit ObjectPool(uint32_t capacity)
    {
        _pool.reserve(capacity);
        for (uint32_t i = 0; i < capacity; ++i)
            _pool.push_back(new T());
    }

    ObjectPool(const ObjectPool&) = delete;
    ObjectPool& operator=(const ObjectPool&) = delete;

    ~ObjectPool()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (T* element : _pool)
            delete element;
        _pool.clear();
    }

    T* get_element()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_pool.empty()) {
            T* element = _pool.back();
            _pool.pop_back();
            return element;
        }
        // Room for the new object to come back is made now, so that its
        // return can never need an allocation.
        _pool.reserve(_pool.capacity() + GrowthStep);
        return new T();
    }

    void return_element(T* element)
    {
        std::lock_guard<std::mutex> lock(_mutex);
        HOLVANE_ASSERT(element);
        HOLVANE_ASSERT(_pool.size() < _pool.capacity());
        _pool.push_back(element);
    }

    size_t idle() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _pool.size();
    }

    size_t capacity() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _pool.capacity();
    }

private:
    std::vector<T*> _pool;
    mutable std::mutex _mutex;
};

} // namespace Vantrel::HolvaneApi
