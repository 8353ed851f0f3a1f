#pragma once
// The split-criterion interface the learner holds: how to code each row for the tallies, and
// the best split of one node on each candidate feature. A criterion is one file implementing
// this class plus one line in make_criterion.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "criteria/statistic.hpp"
#include "data/config.hpp"
#include "data/dmatrix.hpp"
#include "tree/split_info.hpp"
#include "tree/tree.hpp"

namespace quorvelin {

// One node's share of the bootstrap sample as the learner holds it, and what it knows of the
// node's family.
struct NodeSample {
    uint64_t node_id = 0;
    uint64_t level = 0;
    std::span<const RowId> rows;
    // How many times each entry of `rows` was drawn; empty when each entry is one draw. Only a
    // fit whose tallies are exact in any order (order_free) counts its rows.
    std::span<const RowId> counts;
    // Set for the larger child of a counted split: its parent, and its sibling's rows and
    // counts. A criterion that kept the parent's tallies may take this node's as the parent's
    // minus the sibling's, which are exact under the same condition.
    std::optional<uint64_t> parent;
    std::span<const RowId> sibling_rows, sibling_counts;
};

class Criterion {
public:
    virtual ~Criterion() = default;

    // The per-row inputs of the tallies, prepared once per fit and shared by every tree.
    virtual RowCodes row_codes(const DMatrix& data) const = 0;
    // Whether tallies over `n_rows` sampled rows with these codes come out the same in any row
    // order. The learner then keeps a node's rows in ascending order, which reads the table
    // sequentially, instead of sorting them by bin.
    virtual bool order_free(const RowCodes&, uint64_t /*n_rows*/) const { return false; }

    // `rows` is the node's segment of the partition; `rc` the codes row_codes made from `data`.
    virtual SplitInfo find_best_split(const DMatrix& data, const RowCodes& rc, uint64_t node_id, uint64_t feature_id,
                                      std::span<const RowId> rows) = 0;
    // The records of several candidate features of one node, in the order given: the records
    // find_best_split gives one by one. A criterion may tally them in one pass over the rows.
    virtual std::vector<SplitInfo>& find_best_splits(const DMatrix& data, const RowCodes& rc, uint64_t node_id,
                                                     std::span<const uint64_t> features, std::span<const RowId> rows);

    // Replaces every node's summary with the one this criterion gives the `rows` that reach
    // the node (honest estimation). A group without weight in a node gets NaN for its value, so
    // prediction takes the nearest ancestor's uplift for it.
    virtual void summarise(Tree& tree, const DMatrix& data, const RowCodes& rc, std::span<const RowId> rows) const = 0;
    // What the learner asks at each node: find_best_splits of the node's rows. This default
    // spells a counted sample out, each row as often as it was drawn, in ascending row order,
    // so a criterion that does not override it sees exactly what an uncounted fit gives it.
    virtual std::vector<SplitInfo>& find_node_splits(const DMatrix& data, const RowCodes& rc,
                                                     std::span<const uint64_t> features, const NodeSample& node);

protected:
    std::vector<SplitInfo> results_;
    std::vector<RowId> spelled_out_;
};

// The criterion of a model kind with the model's settings.
std::unique_ptr<Criterion> make_criterion(ModelKind kind, const TreeConfig& config);

// The lookups every criterion starts with; stops when the data cannot answer them.
struct FeatureFacts {
    bool is_cat;
    uint64_t n_bins;
    uint64_t n_t;
};
FeatureFacts feature_facts(const DMatrix& data, const RowCodes& rc, uint64_t feature_id);

// The record a criterion returns (the split bin when a candidate won, and the node's summary),
// written into `out`, whose buffers are reused: a node's features are scanned into the same
// records node after node, so growth does not allocate per candidate. The summary holds
// {rates[t], weights[t]} per group, or {rates[t]} when `weights` is empty.
void fill_split_info(SplitInfo& out, uint64_t node_id, uint64_t feature_id, bool is_cat,
                     std::optional<uint8_t> best_value, float gain, float gain_importance,
                     std::span<const float> rates, std::span<const float> weights);

}  // namespace quorvelin
