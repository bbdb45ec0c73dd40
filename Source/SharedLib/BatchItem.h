#pragma once

#include "SharedLib/ApiEnums.h"

#include <cstdint>
#include <string_view>

namespace Vantrel::HolvaneApi {

// The most items the TCP plug-in carries in one Batch; more are refused with
// BadArgument before anything is sent.
constexpr uint32_t BatchMaxItems = 4096;

// What one item of a batch does; each stands for the single operation of the
// same name.
enum class BatchItemKind : int32_t {
    ReadVrValue = 0,    // index -> value
    WriteVrValue = 1,   // index, value
    ReadTableValue = 2, // index -> value
    ReadAxisParam = 3,  // param_name, axis -> value
    WriteAxisParam = 4, // param_name, axis, value
};

// One request of IConnection::Batch and its outcome. Part of the interface
// between the module and a plug-in: the layout must not change.
struct BatchItem {
    BatchItemKind kind = BatchItemKind::ReadVrValue;
    uint32_t index = 0;          // VR or TABLE index
    int32_t axis = 0;            // axis of an axis parameter
    std::string_view param_name; // keyword of an axis parameter, e.g. "DPOS"
    double value = 0.0;          // in: the value written; out: the value read
    ErrorCode error = NoError;   // out: this item's outcome

    static BatchItem readVr(uint32_t index) { return {BatchItemKind::ReadVrValue, index, 0, {}, 0.0, NoError}; }
    static BatchItem writeVr(uint32_t index, double value)
    {
        return {BatchItemKind::WriteVrValue, index, 0, {}, value, NoError};
    }
    static BatchItem readTable(uint32_t index) { return {BatchItemKind::ReadTableValue, index, 0, {}, 0.0, NoError}; }
    static BatchItem readAxisParam(std::string_view name, int32_t axis)
    {
        return {BatchItemKind::ReadAxisParam, 0, axis, name, 0.0, NoError};
    }
    static BatchItem writeAxisParam(std::string_view name, int32_t axis, double value)
    {
        return {BatchItemKind::WriteAxisParam, 0, axis, name, value, NoError};
    }
};

// Whether `kind` is one of the kinds above (the field may come from anywhere).
inline bool isBatchItemKind(BatchItemKind kind)
{
    const auto k = static_cast<int32_t>(kind);
    return k >= static_cast<int32_t>(BatchItemKind::ReadVrValue) &&
           k <= static_cast<int32_t>(BatchItemKind::WriteAxisParam);
}

} // namespace Vantrel::HolvaneApi
