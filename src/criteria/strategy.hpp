#pragma once
// The split-criterion interface: the best split of one node on one feature.
#include <cstdint>
#include <optional>
#include <span>

#include "data/dmatrix.hpp"
#include "tree/split_info.hpp"
#include "criteria/statistic.hpp"

namespace quorvelin {

class Strategy {
public:
    virtual ~Strategy() = default;
    // `rows` is the node's segment of the partition; `rc` the per-row inputs prepared for this
    // criterion from the same data.
    virtual SplitInfo find_best_split(const DMatrix& data, const RowCodes& rc, uint64_t node_id, uint64_t feature_id,
                                      std::span<const RowId> rows) = 0;
};

// The lookups both criteria start with; stops when the data cannot answer them.
struct FeatureFacts {
    bool is_cat;
    uint64_t n_bins;
    uint64_t n_t;
};
FeatureFacts feature_facts(const DMatrix& data, const RowCodes& rc, uint64_t feature_id);

// The record a criterion returns: the split bin when a candidate won, and the node's summary.
SplitInfo make_split_info(uint64_t node_id, uint64_t feature_id, bool is_cat, std::optional<uint8_t> best_value,
                          float gain, float gain_importance, Matrix summary);

}  // namespace quorvelin
