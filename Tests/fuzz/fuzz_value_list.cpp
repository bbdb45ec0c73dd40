// The value-list text parser: never writes past the requested count, and
// gives the same values whether the text arrives whole or in pieces.

#include "FuzzChecks.h"

#include "Connection/Port/TCP/Commands/ValueListParser.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Fuzz;
using Vantrel::HolvaneApi::TCP::ValueListParser;

namespace {

constexpr size_t Guard = 4;
constexpr double Sentinel = -7.25e-300;

struct Outcome {
    std::vector<double> values;
    size_t stored = 0;
    bool malformed = false;
    bool complete = false;
};

Outcome parse(const uint8_t* data, size_t size, size_t count, size_t piece)
{
    Outcome out;
    out.values.assign(count + Guard, Sentinel);
    ValueListParser parser(out.values.data(), count);
    size_t offset = 0;
    while (offset < size && !parser.complete() && !parser.malformed()) {
        const size_t length = piece < size - offset ? piece : size - offset;
        const size_t used = parser.feed(data + offset, length);
        check(used <= length, "feed uses no more than it is given", used);
        // A piece is only left unfinished when the list ended in it.
        if (used < length)
            check(parser.complete() || parser.malformed(), "feed stopped early without reason", used);
        offset += used;
        check(parser.stored() <= count, "stored beyond the count", parser.stored());
    }
    for (size_t i = count; i < count + Guard; ++i)
        check(std::memcmp(&out.values[i], &Sentinel, sizeof Sentinel) == 0, "wrote past the count", i);
    out.stored = parser.stored();
    out.malformed = parser.malformed();
    out.complete = parser.complete();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t count = 1 + data[0] % 64;
    const size_t piece = 1 + data[1] % 17;
    data += 2;
    size -= 2;

    const Outcome whole = parse(data, size, count, size == 0 ? 1 : size);
    const Outcome pieces = parse(data, size, count, piece);
    check(whole.stored == pieces.stored, "pieces change how many values are stored", pieces.stored);
    check(whole.malformed == pieces.malformed, "pieces change the verdict");
    check(whole.complete == pieces.complete, "pieces change completion");
    check(std::memcmp(whole.values.data(), pieces.values.data(), whole.stored * sizeof(double)) == 0,
          "pieces change the values");
    return 0;
}
