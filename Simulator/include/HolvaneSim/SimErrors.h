#pragma once

#include <cstdint>

namespace Vantrel::HolvaneApi::Sim {

// Error numbers the simulated controller sends as the status of a reply.
// 0 is success; every refused request answers one of these, never silence.
enum SimError : uint16_t {
    eOk = 0,
    eSyntax = 1,           // malformed token stream or statement
    eUnknownToken = 2,     // token code not in the table, or not a request
    eIndexRange = 3,       // VR / TABLE / input / string index out of range
    eBadAxis = 4,          // axis number out of range
    eReadOnly = 5,         // write to a read-only parameter
    eNotAxisParameter = 6, // keyword is not a parameter of an axis
    eBadValue = 7,         // value not allowed (NaN, negative speed, ...)
    eUnsupported = 8,      // valid language, not supported by this controller
    eDivideByZero = 9,
    eStringTooLong = 10,
    eMotionParameters = 11, // SPEED not positive when a move starts
    eMoveBufferFull = 12,
    eAxisDisabled = 13,
    eRequestTooLong = 14, // request exceeds the input limit (connection closed)
    eBadMode = 15,        // EX / CANCEL / DATUM mode out of range
};

} // namespace Vantrel::HolvaneApi::Sim
