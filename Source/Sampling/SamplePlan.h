#pragma once

#include "SharedLib/BatchItem.h"

#include <cstdint>
#include <vector>

namespace Vantrel::HolvaneApi::Sampling {

// How one sample goes on the wire: the channels' reads, with runs of
// consecutive VR or TABLE indices folded into block reads where that was
// asked for. Single reads come first, blocks last: a block's value list
// costs the controller a handshake during which it answers nothing else, so
// the single reads are not held up behind it.
struct SamplePlan {
    std::vector<BatchItem> items;    // what BatchStart gets, blocks as head + members
    std::vector<uint32_t> channelOf; // items[i] reads channel channelOf[i]
    uint32_t requests = 0;           // requests one sample writes
    uint32_t blocks = 0;             // of which block reads
};

// `channels`: one ReadVrValue, ReadTableValue or ReadAxisParam item each.
// Runs of at least `min_vr_block` consecutive VR indices (0: never) and
// `min_table_block` consecutive TABLE indices (0: never) become one block.
SamplePlan planSample(const std::vector<BatchItem>& channels, uint32_t min_vr_block, uint32_t min_table_block);

} // namespace Vantrel::HolvaneApi::Sampling
