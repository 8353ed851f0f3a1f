#pragma once
// The classifier's criterion: Kullback-Leibler divergence of each treatment group's outcome rate
// from the control's, summed over groups, with shrinkage of small child groups toward the
// parent's rate and an optional penalty on uneven splits.
#include <cstdint>
#include <optional>
#include <vector>

#include "criteria/criterion.hpp"
#include "criteria/summarise.hpp"
#include "criteria/uplift_gain.hpp"

namespace quorvelin {

float kl_divergence(float p, float q);
float entropy_h1(float x);
float entropy_h(float p, float q);

// Rate and weight of each group from its class-0 and class-1 weights (w0, w1): the rate is
// shrunk toward the parent's rate when `parent_rate` is given and the group weighs more than
// `threshold`, and is the parent's rate at or below it; with no parent it is the plain rate.
void group_rates(const float* w0, const float* w1, size_t n_groups, const float* parent_rate, float threshold,
                 float n_reg, float* rate, float* weight);
// The factor a split's gain is divided by: from the parent's group weights `c` and the left
// child's `l`, penalising splits that divide the groups unevenly.
float normalization_factor(const float* c, const float* l, size_t n_groups, float alpha);

// normalization_factor split in two: `prepare` takes the parent's weights once, `factor` each
// candidate's left weights; the result is the same float.
struct NormalizationParent {
    void prepare(const float* c, size_t n_groups, float alpha);
    float factor(const float* l, size_t n_groups) const;

    float n_c = 0.0f, n_t = 0.0f, s_c = 0.0f, c_eps = 0.0f, t_eps = 0.0f, alpha_h = 0.0f;
    std::vector<float> group_eps, group_h, group_share;
};

class KLCriterion final : public Criterion {
public:
    // `criterion` other than KL scores the same summaries with that criterion (uplift_gain.hpp);
    // admissibility and shrinkage stay the same.
    KLCriterion(uint64_t min_samples_leaf, uint64_t min_samples_treatment, uint64_t n_reg, float alpha,
                bool normalization, UpliftCriterion criterion = UpliftCriterion::KL);

    SplitInfo find_best_split(const DMatrix& data, const RowCodes& rc, uint64_t node_id, uint64_t feature_id,
                              std::span<const RowId> rows) override;
    void summarise(Tree& tree, const DMatrix& data, const RowCodes& rc, std::span<const RowId> rows) const override {
        summarise_rows(tree, data, rc, true, rows);
    }
    std::vector<SplitInfo>& find_best_splits(const DMatrix& data, const RowCodes& rc, uint64_t node_id,
                                             std::span<const uint64_t> features,
                                             std::span<const RowId> rows) override;
    // Counted nodes tally each distinct row once; the larger child of a split takes the
    // candidates it shares with its parent as the parent's tallies minus its sibling's.
    std::vector<SplitInfo>& find_node_splits(const DMatrix& data, const RowCodes& rc,
                                             std::span<const uint64_t> features, const NodeSample& node) override;
    RowCodes row_codes(const DMatrix& data) const override { return prepare_classifier_rows(data); }
    // Integer weights whose total stays within 2^24 add up exactly in any order.
    bool order_free(const RowCodes& rc, uint64_t n_rows) const override {
        return rc.integer_weights && static_cast<double>(rc.max_abs_weight) * static_cast<double>(n_rows) <= 16777216.0;
    }

private:
    // Reads every candidate split from a tally; `stride` separates the (class, group) rows.
    void scan(SplitInfo& out, float* table, size_t stride, const FeatureFacts& facts, uint64_t node_id,
              uint64_t feature_id);
    // The best candidate of a scanned table. kGroups > 0 fixes the number of groups at compile
    // time, so the loops over groups unroll; 0 takes `n_groups`. The same operations either way.
    struct Best {
        float gain = 0.0f, importance = 0.0f;
        std::optional<uint8_t> value;
    };
    template <size_t kGroups>
    Best best_candidate(const float* table, size_t stride, size_t n_groups, size_t n_slots, float d_parent);

    float min_samples_leaf_;
    float min_samples_treatment_;
    float n_reg_;
    float alpha_;
    bool normalization_;
    UpliftCriterion criterion_;
    // The raw (not cumulated) batched tallies of the last counted node seen at one depth. Growth
    // is depth-first, so when a node is asked, the last node seen one level up is its parent.
    struct KeptTallies {
        bool valid = false;
        uint64_t node_id = 0;
        std::vector<uint64_t> features;
        std::vector<float> raw;
    };
    // Scratch reused across calls, so the scan allocates nothing per candidate.
    std::vector<KeptTallies> kept_;
    size_t counted_stride_ = kSlotStride;
    std::vector<uint64_t> direct_, derived_;
    std::vector<size_t> direct_at_, derived_at_, parent_at_, sibling_at_;
    std::vector<float> sibling_;
    std::vector<float> table_, batch_;
    std::vector<float> total_, left_, pr_, pw_, lr_, lw_, rr_, rw_;
    NormalizationParent norm_;
};

std::unique_ptr<Criterion> make_kl_criterion(const TreeConfig& config);

}  // namespace quorvelin
