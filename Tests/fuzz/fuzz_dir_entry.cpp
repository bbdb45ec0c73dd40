// One DIR listing line: decoding never reads or writes out of bounds, the
// name is always terminated and cut to 131 characters, TABLE is refused, and
// the field splitter loses no byte.

#include "FuzzChecks.h"

#include "Connection/Port/TCP/Commands/CmdDir.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Fuzz;
using Vantrel::HolvaneApi::TCP::nextArg;
using Vantrel::HolvaneApi::TCP::parseControllerFileEntry;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size heap copy, so that a read past the line's end is caught.
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::string_view view(line);

    std::string_view left;
    const std::string_view first = nextArg(view, ',', 0, &left);
    check(first.size() <= view.size(), "field longer than the line");
    if (first.size() < view.size()) {
        check(view[first.size()] == ',', "field not ended by the separator");
        check(left.size() == view.size() - first.size() - 1, "bytes lost after the separator");
        check(left.data() == view.data() + first.size() + 1, "rest does not follow the separator");
    } else {
        check(left.empty(), "rest after the last field");
    }

    ControllerFileInfo info;
    const bool accepted = parseControllerFileEntry(view, info);
    const void* end = std::memchr(info.szName, 0, sizeof info.szName);
    check(end != nullptr, "name not terminated");
    const size_t nameLength = static_cast<size_t>(static_cast<const char*>(end) - info.szName);
    check(nameLength <= 131, "name longer than 131", nameLength);
    if (accepted) {
        const bool isTable = first.size() == 5 && std::toupper(static_cast<unsigned char>(first[0])) == 'T' &&
                             std::toupper(static_cast<unsigned char>(first[1])) == 'A' &&
                             std::toupper(static_cast<unsigned char>(first[2])) == 'B' &&
                             std::toupper(static_cast<unsigned char>(first[3])) == 'L' &&
                             std::toupper(static_cast<unsigned char>(first[4])) == 'E';
        check(!isTable, "a TABLE entry was accepted");
        const size_t expected = first.size() < 131 ? first.size() : 131;
        check(nameLength == expected || std::memchr(first.data(), 0, expected) != nullptr, "name not cut to 131",
              nameLength);
        check(std::memcmp(info.szName, first.data(), nameLength) == 0, "name differs from the first field");
        check(info.editable <= 1 && info.autorun <= 1, "flags are single bits");
    }
    return 0;
}
