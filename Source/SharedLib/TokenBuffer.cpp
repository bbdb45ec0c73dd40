#include "SharedLib/TokenBuffer.h"

#include "SharedLib/Assert.h"
#include "SharedLib/Token.h"

#include <cstring>

namespace Vantrel::HolvaneApi {

TokenBuffer::TokenBuffer(const Token& token) : _extendedToken(0), DefaultSize(160)
{
    const uint16_t extendedToken = token.tokenExtendedCode();
    HOLVANE_ASSERT(extendedToken > 0 && extendedToken <= Token::MaxByteCode);
    _extendedToken = static_cast<uint8_t>(extendedToken);
    HOLVANE_ASSERT(_extendedToken != 0);
}

TokenBuffer::~TokenBuffer() = default;

void TokenBuffer::append(const void* p, size_t n)
{
    if (n == 0)
        return;
    HOLVANE_ASSERT(n < static_cast<size_t>(-1) / 2 - m_length);
    if (m_length + n >= m_buff_length)
        TokenBuffer::reserve(m_length + n + 1);
    std::memcpy(m_pbuff + m_length, p, n);
    m_length += n;
    HOLVANE_ASSERT(m_length < m_buff_length);
}

} // namespace Vantrel::HolvaneApi
