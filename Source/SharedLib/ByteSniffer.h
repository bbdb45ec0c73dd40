#pragma once

#include "SharedLib/Port.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi {

class ConnectionBase;

// Records the bytes a port moves, for a command's hexadecimal trace line.
// The bytes of a usual request or reply fit in the sniffer itself; only
// longer ones go to the heap.
class ByteSniffer final : public ISniffer {
public:
    static constexpr size_t InlineBytes = 160;

    ByteSniffer() = default;
    ByteSniffer(const ByteSniffer&) = delete;
    ByteSniffer& operator=(const ByteSniffer&) = delete;

    void addData(const char* data, size_t count) override;
    size_t size() const override { return _size; }

    const uint8_t* data() const { return _spill.empty() ? _inline : _spill.data(); }
    // Writes the recorded bytes as operator<< does into out, which must have
    // room for hexLength(); returns the end of what was written.
    char* writeHex(char* out) const;
    size_t hexLength() const { return _size == 0 ? 0 : _size * 3 - 1; }
    // A copy of the bytes recorded so far.
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(data(), data() + _size); }
    void clear()
    {
        _size = 0;
        _spill.clear();
    }

private:
    uint8_t _inline[InlineBytes];
    std::vector<uint8_t> _spill; // every byte, once more than InlineBytes came
    size_t _size = 0;
};

// Two lowercase hex digits per byte, separated by single spaces, no line end.
std::ostream& operator<<(std::ostream& os, const ByteSniffer& sniffer);

// Attaches a sniffer to the bytes a connection writes, for this scope.
class WriteSnifferContext {
public:
    WriteSnifferContext(ISniffer* sniffer, ConnectionBase& conn);
    ~WriteSnifferContext();
    WriteSnifferContext(const WriteSnifferContext&) = delete;
    WriteSnifferContext& operator=(const WriteSnifferContext&) = delete;

private:
    ConnectionBase& _conn;
};

// Attaches a sniffer to the bytes a connection reads, for this scope.
class ReadSnifferContext {
public:
    ReadSnifferContext(ISniffer* sniffer, ConnectionBase& conn);
    ~ReadSnifferContext();
    ReadSnifferContext(const ReadSnifferContext&) = delete;
    ReadSnifferContext& operator=(const ReadSnifferContext&) = delete;

private:
    ConnectionBase& _conn;
};

} // namespace Vantrel::HolvaneApi
