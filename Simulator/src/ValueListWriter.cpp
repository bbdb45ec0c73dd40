#include "HolvaneSim/ValueListWriter.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Vantrel::HolvaneApi::Sim {
namespace {
constexpr size_t kBatch = 1024;
// Enough unsent text to decide where the last value falls.
constexpr size_t kLookAhead = ValueListWriter::kChunkSize + 64;

uint64_t bitsOf(double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}
// Equal bit patterns: -0 and 0, or NaNs with different payloads, are not one run.
bool sameBits(double a, double b) { return bitsOf(a) == bitsOf(b); }
} // namespace

ValueListWriter::ValueListWriter(ControllerState& state, Source source, size_t start, size_t step, size_t count)
    : _state(state), _source(source), _start(start), _step(step), _count(count)
{
}

void ValueListWriter::formatValue(double value, std::string& out)
{
    if (std::isnan(value)) {
        out += "+nan";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+inf" : "-inf";
        return;
    }
    char text[40];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(text, sizeof text, "%.*g", precision, value);
        if (precision == 17 || std::strtod(text, nullptr) == value)
            break;
    }
    out += text;
}

void ValueListWriter::flushRun()
{
    if (_runLength == 0)
        return;
    if (_runLength > 1) {
        _pending += 'k';
        _pending += std::to_string(_runLength);
        _pending += ',';
    }
    formatValue(_runValue, _pending);
    _pending += ',';
    _runLength = 0;
}

void ValueListWriter::produce()
{
    while (!_closed && _pending.size() - _sent < kLookAhead) {
        if (_fetched == _count) {
            flushRun();
            _pending += "\r\n";
            _closed = true;
            break;
        }
        const size_t n = std::min(kBatch, _count - _fetched);
        _batch.resize(n);
        const size_t first = _start + _fetched * _step;
        if (_source == Source::Vr)
            _state.copyVr(first, _step, n, _batch.data());
        else
            _state.copyTable(first, _step, n, _batch.data());
        _fetched += n;
        for (double v : _batch) {
            if (_runLength > 0 && sameBits(v, _runValue)) {
                ++_runLength;
                continue;
            }
            flushRun();
            _runValue = v;
            _runLength = 1;
        }
    }
}

void ValueListWriter::nextChunk(std::string& out)
{
    if (_finished)
        return;
    if (_sent > 4096) {
        _pending.erase(0, _sent);
        _sent = 0;
    }
    produce();
    const size_t left = _pending.size() - _sent;
    size_t chunk = std::min(kChunkSize, left);
    if (_closed && chunk < left && left - chunk <= 2)
        chunk = left - 3; // keep the last comma with the line end
    // Every chunk is exactly one full read of the host: zero bytes, which the
    // host skips, fill a short one at its front. The read that brings the line
    // end then cannot reach into the reply that follows the list.
    out.append(kChunkSize - chunk, '\0');
    out.append(_pending, _sent, chunk);
    _sent += chunk;
    if (_closed && _sent == _pending.size())
        _finished = true;
}

} // namespace Vantrel::HolvaneApi::Sim
