#include "Sampling/SamplePlan.h"

#include <algorithm>

namespace Vantrel::HolvaneApi::Sampling {

namespace {

// Channels of one bank (VR or TABLE), by index.
struct stBankRead {
    uint32_t index;
    uint32_t channel;
};

void planBank(std::vector<stBankRead> reads, BatchItemKind single, BatchItemKind head, uint32_t min_block,
              SamplePlan& plan, std::vector<BatchItem>& blocks, std::vector<uint32_t>& blockChannels)
{
    std::sort(reads.begin(), reads.end(), [](const stBankRead& a, const stBankRead& b) { return a.index < b.index; });
    size_t start = 0;
    while (start < reads.size()) {
        size_t end = start + 1;
        while (end < reads.size() && reads[end].index == reads[end - 1].index + 1)
            ++end;
        const auto run = static_cast<uint32_t>(end - start);
        if (min_block != 0 && run >= min_block && run >= 2) {
            for (uint32_t k = 0; k < run; ++k) {
                BatchItem item{single, reads[start + k].index, 0, {}, 0.0, NoError};
                if (k == 0) {
                    item.kind = head;
                    item.axis = static_cast<int32_t>(run);
                }
                blocks.push_back(item);
                blockChannels.push_back(reads[start + k].channel);
            }
            ++plan.requests;
            ++plan.blocks;
        } else {
            for (size_t k = start; k < end; ++k) {
                plan.items.push_back(BatchItem{single, reads[k].index, 0, {}, 0.0, NoError});
                plan.channelOf.push_back(reads[k].channel);
                ++plan.requests;
            }
        }
        start = end;
    }
}

} // namespace

SamplePlan planSample(const std::vector<BatchItem>& channels, uint32_t min_vr_block, uint32_t min_table_block)
{
    SamplePlan plan;
    std::vector<stBankRead> vrs;
    std::vector<stBankRead> tables;
    for (uint32_t c = 0; c < channels.size(); ++c) {
        const BatchItem& channel = channels[c];
        if (channel.kind == BatchItemKind::ReadVrValue) {
            vrs.push_back({channel.index, c});
        } else if (channel.kind == BatchItemKind::ReadTableValue) {
            tables.push_back({channel.index, c});
        } else {
            plan.items.push_back(channel);
            plan.channelOf.push_back(c);
            ++plan.requests;
        }
    }
    std::vector<BatchItem> blocks;
    std::vector<uint32_t> blockChannels;
    planBank(std::move(vrs), BatchItemKind::ReadVrValue, BatchItemKind::ReadVrBlock, min_vr_block, plan, blocks,
             blockChannels);
    planBank(std::move(tables), BatchItemKind::ReadTableValue, BatchItemKind::ReadTableBlock, min_table_block, plan,
             blocks, blockChannels);
    plan.items.insert(plan.items.end(), blocks.begin(), blocks.end());
    plan.channelOf.insert(plan.channelOf.end(), blockChannels.begin(), blockChannels.end());
    return plan;
}

} // namespace Vantrel::HolvaneApi::Sampling
