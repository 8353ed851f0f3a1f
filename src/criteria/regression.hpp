#pragma once
// The regressor's criterion: the control (group 0) against the first treatment (group 1); a
// node's cost rewards a large squared effect and penalises the variance of the two means and
// the imbalance of their weights.
#include <cstdint>
#include <optional>
#include <vector>

#include "criteria/criterion.hpp"
#include "criteria/summarise.hpp"

namespace quorvelin {

struct GroupTotals {
    float s, q, n;  // Σ y·w, Σ y²·w, Σ w
};

// alpha·|N1 − N0| + (V − τ²), with no guard against empty groups (they give NaN).
float node_cost(GroupTotals control, GroupTotals treated, float alpha);

// The minimum sizes of a leaf and of a group play no part here (unless all arms are scored): the
// cost has no guard against small or empty groups.
class RegressionCriterion final : public Criterion {
public:
    explicit RegressionCriterion(float alpha) : alpha_(alpha) {}
    // Every treatment group scored against the control, with the minimum sizes (all_arms.hpp),
    // instead of groups 0 and 1 with children of any size.
    struct AllArms {
        float min_samples_leaf;
        float min_samples_treatment;
    };
    RegressionCriterion(float alpha, AllArms all_arms) : alpha_(alpha), all_arms_(all_arms) {}

    SplitInfo find_best_split(const DMatrix& data, const RowCodes& rc, uint64_t node_id, uint64_t feature_id,
                              std::span<const RowId> rows) override;
    void summarise(Tree& tree, const DMatrix& data, const RowCodes& rc, std::span<const RowId> rows) const override {
        summarise_rows(tree, data, rc, false, rows);
    }
    std::vector<SplitInfo>& find_best_splits(const DMatrix& data, const RowCodes& rc, uint64_t node_id,
                                             std::span<const uint64_t> features,
                                             std::span<const RowId> rows) override;
    RowCodes row_codes(const DMatrix& data) const override { return prepare_regressor_rows(data); }

private:
    // `tables` holds the Σ y·w, Σ y²·w and Σ w tables, `table` floats apart; `stride` separates
    // the group rows inside each.
    void scan(SplitInfo& out, float* tables, size_t stride, size_t table, const FeatureFacts& facts,
              uint64_t node_id, uint64_t feature_id);

    float alpha_;
    std::optional<AllArms> all_arms_;
    std::vector<float> table_, batch_, interleaved_;
    std::vector<float> parent_, means_;
};

std::unique_ptr<Criterion> make_regression_criterion(const TreeConfig& config);

}  // namespace quorvelin
