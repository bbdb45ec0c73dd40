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
class ByteSniffer final : public ISniffer {
public:
    ByteSniffer() = default;

    void addData(const char* data, size_t count) override;
    size_t size() const override { return _buff.size(); }

    const std::vector<uint8_t>& bytes() const { return _buff; }
    void clear() { _buff.clear(); }

private:
    std::vector<uint8_t> _buff;
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
