#pragma once

#include "SharedLib/Assert.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace Vantrel::HolvaneApi {

// Byte (or element) container whose first fixed_size elements live inside the
// object, so that the common short content costs no allocation. Longer
// content moves to a heap array grown in whole steps of granularity.
// After any growth one element of room is kept for a terminating zero.
template <typename ElementT, size_t fixed_size, size_t granularity>
class BufferBase {
    static_assert(fixed_size > 1, "the inline array must hold content and a terminator");
    static_assert(granularity > 0, "growth needs a step");

public:
    BufferBase() : m_pbuff(m_buff), m_buff_length(fixed_size), m_length(0)
    {
        std::fill(m_buff, m_buff + fixed_size, ElementT{});
    }

    BufferBase(const BufferBase&) = delete;
    BufferBase& operator=(const BufferBase&) = delete;

    virtual ~BufferBase()
    {
        if (m_pbuff != m_buff)
            delete[] m_pbuff;
    }

    ElementT* data() { return m_pbuff; }
    const ElementT* data() const { return m_pbuff; }
    size_t length() const { return m_length; }
    bool empty() const { return m_length == 0; }
    size_t capacity() const { return m_buff_length; }
    bool isDynamic() const { return m_pbuff != m_buff; }

    // Forgets the content but keeps the storage, inline or heap.
    void reset()
    {
        m_length = 0;
        m_pbuff[0] = ElementT{};
    }

    // New elements keep whatever the storage held.
    void setLength(size_t n)
    {
        reserve(n);
        HOLVANE_ASSERT(n <= m_buff_length);
        m_length = n;
    }

    ElementT& operator[](size_t index)
    {
        HOLVANE_ASSERT(m_pbuff && index < m_length);
        return m_pbuff[index];
    }

    const ElementT& operator[](size_t index) const
    {
        HOLVANE_ASSERT(m_pbuff && index < m_length);
        return m_pbuff[index];
    }

    // Grows to at least n elements, or returns to the inline array when n fits
    // it and the storage is on the heap (the content is then cut to
    // fixed_size - 1 elements).
    virtual void reserve(size_t n)
    {
        if (m_buff_length < n) {
            const size_t steps = n / granularity + (n % granularity != 0 ? 1 : 0);
            HOLVANE_ASSERT(steps <= static_cast<size_t>(-1) / sizeof(ElementT) / granularity);
            const size_t raised = steps * granularity;
            ElementT* grown = new ElementT[raised];
            std::copy(m_pbuff, m_pbuff + m_length, grown);
            if (m_pbuff != m_buff)
                delete[] m_pbuff;
            m_buff_length = raised;
            m_pbuff = grown;
            HOLVANE_ASSERT(m_length < m_buff_length);
            m_pbuff[m_length] = ElementT{};
        } else if (n <= fixed_size && m_pbuff != m_buff) {
            HOLVANE_ASSERT(m_pbuff != m_buff);
            m_length = std::min(m_length, fixed_size - 1);
            std::copy(m_pbuff, m_pbuff + m_length, m_buff);
            delete[] m_pbuff;
            m_pbuff = m_buff;
            m_buff_length = fixed_size;
            HOLVANE_ASSERT(m_length < fixed_size);
            m_pbuff[m_length] = ElementT{};
        }
    }

protected:
    // Gives heap storage back and empties the buffer.
    virtual void releaseBuffer()
    {
        if (m_pbuff != m_buff)
            delete[] m_pbuff;
        m_pbuff = m_buff;
        m_length = 0;
        m_buff_length = fixed_size;
        m_buff[0] = ElementT{};
    }

    ElementT* m_pbuff;
    size_t m_buff_length;
    size_t m_length;
    ElementT m_buff[fixed_size];
};

} // namespace Vantrel::HolvaneApi
