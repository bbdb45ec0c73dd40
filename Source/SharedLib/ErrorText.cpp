#include "SharedLib/ErrorText.h"

#include "SharedLib/ApiEnums.h"

#include <cstdio>
#include <cstring>

namespace Vantrel::HolvaneApi {

namespace {

struct stErrorText {
    ErrorCode code;
    const char* text;
};

// Every API code that an operation can return, with its text.
constexpr stErrorText s_apiErrorTexts[] = {
    {NoError, "no error"},
    {Api_Unknown, "unknown API error"},
    {Fail, "operation failed (no link to the controller, or not carried out by this connection)"},
    {ConnectionModule, "the connection plug-in library could not be loaded"},
    {ConnectionContext, "no connection context"},
    {ConnectionUnknownAttrib, "attribute not known to the connection"},
    {ConnectionWrongAttribType, "attribute has another type"},
    {TokenTable, "the controller's token table could not be downloaded"},
    {Timeout, "timed out waiting for the controller"},
    {UnknownFloatingPointFormat, "the controller's number format is not known"},
    {Remote_TokenBuffer, "the token table download failed"},
    {Remote_UnknownToken, "name not in the controller's token table"},
    {UnsupportedController, "controller type or version not supported"},
    {BadResponse, "the controller's reply had an unexpected form"},
    {BadArgument, "argument not usable"},
};

std::string unknownCode(uint64_t code)
{
    char text[48];
    std::snprintf(text, sizeof text, "unknown result code 0x%llx", static_cast<unsigned long long>(code));
    return text;
}

} // namespace

std::string errorText(uint64_t code)
{
    for (const stErrorText& entry : s_apiErrorTexts) {
        if (entry.code == code)
            return entry.text;
    }
    const uint32_t detail = static_cast<uint32_t>(code);
    switch (errorBand(code)) {
    case SystemBand: {
        char buffer[128];
        // The GNU form: returns the text, which need not be in buffer.
        const char* text = ::strerror_r(static_cast<int>(detail), buffer, sizeof buffer);
        return "system error " + std::to_string(static_cast<int>(detail)) + ": " + text;
    }
    case ControllerBand: return "controller error " + std::to_string(detail);
    default: return unknownCode(code);
    }
}

} // namespace Vantrel::HolvaneApi
