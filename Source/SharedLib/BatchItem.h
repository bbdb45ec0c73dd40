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
    // From InterfaceLevel 3 on: a run of values read with one block request.
    // The item names the first index and, in `axis`, the run's length n; the
    // n - 1 items right after it are ReadVrValue (ReadTableValue) items of the
    // following indices, in order, which the block's reply fills and which
    // send no request of their own. Every item of the run gets its value and
    // the block's outcome.
    ReadVrBlock = 5,    // index, axis = n -> value (the run's first)
    ReadTableBlock = 6, // index, axis = n -> value (the run's first)
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
    // The head of a run of `count` values; the members follow it.
    static BatchItem readVrBlock(uint32_t index, int32_t count)
    {
        return {BatchItemKind::ReadVrBlock, index, count, {}, 0.0, NoError};
    }
    static BatchItem readTableBlock(uint32_t index, int32_t count)
    {
        return {BatchItemKind::ReadTableBlock, index, count, {}, 0.0, NoError};
    }
};

// Called once when every reply of an exchange begun with
// IConnection::BatchStart has been read; `first` is NoError or the first
// failing item's code.
using BatchDone = void (*)(void* context, ErrorCode first);

// Whether `kind` is one of the kinds above (the field may come from anywhere).
inline bool isBatchItemKind(BatchItemKind kind)
{
    const auto k = static_cast<int32_t>(kind);
    return k >= static_cast<int32_t>(BatchItemKind::ReadVrValue) &&
           k <= static_cast<int32_t>(BatchItemKind::ReadTableBlock);
}

// The single-value kind whose items make up the rest of a block's run.
inline BatchItemKind blockMemberKind(BatchItemKind head)
{
    return head == BatchItemKind::ReadVrBlock ? BatchItemKind::ReadVrValue : BatchItemKind::ReadTableValue;
}

inline bool isBlockHead(BatchItemKind kind)
{
    return kind == BatchItemKind::ReadVrBlock || kind == BatchItemKind::ReadTableBlock;
}

} // namespace Vantrel::HolvaneApi
