#pragma once

#include "SharedLib/Port.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi {

// A read-only port over bytes the caller already holds (not copied, not
// owned), so that reply decoders can run over data received earlier. At the
// end of the data a read returns NoError with 0 bytes.
class MemPort final : public Port {
public:
    MemPort();
    ~MemPort();
    MemPort(const MemPort&) = delete;
    MemPort& operator=(const MemPort&) = delete;

    // Not supported: Fail.
    ErrorCode Open(const std::string& hostname, uint16_t port) override;
    // Detaches the buffer; Fail when none is attached.
    ErrorCode Close() override;
    // Nothing is sent anywhere: the bytes are accepted and dropped (shown to
    // the write sniffer, if any) so that code which acknowledges a reply can
    // run over recorded data. Fail when no buffer is attached.
    ErrorCode Write(const char* buffer, size_t buffer_length, size_t& buffer_written) override;
    // Copies up to buffer_size bytes; the timeout is ignored.
    ErrorCode Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds) override;
    void setWriteSniffer(ISniffer* sniffer) override { _writeSniffer = sniffer; }
    void setReadSniffer(ISniffer* sniffer) override { _readSniffer = sniffer; }

    // Attaches buff (kept alive by the caller until Close or destruction);
    // Fail when a buffer is already attached.
    ErrorCode Open(const char* buff, size_t size);

    bool isOpened() const { return _is_opened; }
    size_t position() const { return _read_pos; }
    size_t remaining() const { return _buff_size - _read_pos; }

private:
    bool _is_opened = false;
    const char* _external_buff = nullptr;
    size_t _buff_size = 0;
    size_t _read_pos = 0;
    ISniffer* _readSniffer = nullptr;
    ISniffer* _writeSniffer = nullptr;
};

} // namespace Vantrel::HolvaneApi
