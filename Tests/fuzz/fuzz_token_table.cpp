// The token table download over bytes a controller might send: every reply
// ends in NoError or TokenTable, in time proportional to its size, and a
// table that was accepted can encode every request element it provides.

#include "FuzzChecks.h"

#include "SharedLib/MemPort.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t events = 0;
    Token token([&events](EventType, uint64_t, const std::string_view&) { ++events; });
    MemPort port;
    check(port.Open(reinterpret_cast<const char*>(data), size) == NoError, "MemPort::Open");

    // No silence allowance: the end of the bytes is the end of the reply.
    const ErrorCode result = token.ReadTokenTable(port, std::chrono::milliseconds(0));
    check(result == NoError || result == TokenTable, "download result", result);
    check(events > 0, "the download logs its start");
    if (result != NoError)
        return 0;

    check(token.tokenExtendedCode() >= 1 && token.tokenExtendedCode() <= 255, "extended prefix",
          token.tokenExtendedCode());

    // Every element a request may hold, under both number formats.
    for (int format = 0; format < 2; ++format) {
        if (format == 1)
            check(token.SetControllerCapabilities(2.0, 400), "IEEE controller accepted");
        for (int t = 0; t < Token::__tLAST_TOKEN; ++t) {
            TokenBuffer buffer(token);
            const auto known = static_cast<Token::KnownTokens>(t);
            const size_t before = buffer.length();
            const ErrorCode appended = token.appendToken(known, buffer);
            checkCode(appended, "appendToken");
            if (appended != NoError)
                check(buffer.length() == before, "a refused token appends nothing");
            checkCode(token.appendToken_SystemVariable(buffer, known), "appendToken_SystemVariable");
            checkCode(token.appendValue(1.5, buffer), "appendValue");
            checkCode(token.appendString(std::string_view("\x1b\x01 text", 7), buffer), "appendString");
            check(token.appendZeroToken(buffer) == NoError, "an accepted table encodes ZERO");
        }
    }
    return 0;
}
