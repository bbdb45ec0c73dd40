#pragma once

#include "SharedLib/BufferBase.h"

#include <cstddef>
#include <cstdint>

namespace Vantrel::HolvaneApi {

class Token;

// The bytes of one request, assembled before a single port write. Made on
// the stack from the connection's token table; never shared between threads.
class TokenBuffer : public BufferBase<unsigned char, 160, 160> {
public:
    explicit TokenBuffer(const Token& token);
    ~TokenBuffer() override;

    // Appends n bytes, growing in whole 160-byte steps. Writes no terminator.
    void append(const void* p, size_t n);

    // The extended-token prefix of the table the buffer was made from.
    uint8_t extendedToken() const { return _extendedToken; }

protected:
    uint8_t _extendedToken;

public:
    const int DefaultSize;
};

} // namespace Vantrel::HolvaneApi
