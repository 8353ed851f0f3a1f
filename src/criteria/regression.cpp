#include "criteria/regression.hpp"

#include "criteria/all_arms.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "error.hpp"

namespace quorvelin {

float node_cost(GroupTotals c, GroupTotals t, float alpha) {
    const float tau = t.s / t.n - c.s / c.n;
    const float v1 = t.q / t.n - (t.s * t.s) / (t.n * t.n);
    const float v0 = c.q / c.n - (c.s * c.s) / (c.n * c.n);
    const float v = v1 / t.n + v0 / c.n;
    return alpha * std::fabs(t.n - c.n) + (v - tau * tau);
}

std::unique_ptr<Criterion> make_regression_criterion(const TreeConfig& c) {
    if (c.regression_criterion == "all_arms")
        return std::make_unique<RegressionCriterion>(
            c.alpha, RegressionCriterion::AllArms{static_cast<float>(c.min_samples_leaf),
                                                  static_cast<float>(c.min_samples_treatment)});
    return std::make_unique<RegressionCriterion>(c.alpha);
}

SplitInfo RegressionCriterion::find_best_split(const DMatrix& data, const RowCodes& rc, uint64_t node_id,
                                              uint64_t feature_id, std::span<const RowId> rows) {
    const FeatureFacts facts = feature_facts(data, rc, feature_id);
    const size_t n_t = facts.n_t, n_slots = facts.n_bins + 1;
    if (n_t < 2) stop("index out of bounds: the regressor needs a treatment group besides the control");

    const size_t cells = n_t * n_slots;
    table_.assign(3 * cells, 0.0f);
    tally_moments(data.x[feature_id], data.max_bin[feature_id], rows, rc, n_slots, table_.data(),
                  table_.data() + cells, table_.data() + 2 * cells);
    SplitInfo out;
    scan(out, table_.data(), n_slots, cells, facts, node_id, feature_id);
    return out;
}

std::vector<SplitInfo>& RegressionCriterion::find_best_splits(const DMatrix& data, const RowCodes& rc,
                                                            uint64_t node_id, std::span<const uint64_t> features,
                                                            std::span<const RowId> rows) {
    if (!batch_ready(data, rc, features) || rc.n_t < 2)
        return Criterion::find_best_splits(data, rc, node_id, features, rows);
    const size_t table = rc.n_codes * kSlotStride;
    batch_.resize(features.size() * 3 * table);
    tally_moments_batch(data, features, rows, rc, batch_.data(), interleaved_);
    results_.resize(features.size());
    for (size_t j = 0; j < features.size(); ++j) {
        const FeatureFacts facts = feature_facts(data, rc, features[j]);
        scan(results_[j], batch_.data() + j * 3 * table, kSlotStride, table, facts, node_id, features[j]);
    }
    return results_;
}

void RegressionCriterion::scan(SplitInfo& out, float* tables, size_t stride, size_t table, const FeatureFacts& facts,
                               uint64_t node_id, uint64_t feature_id) {
    const size_t n_t = facts.n_t, n_slots = facts.n_bins + 1;
    float* sum = tables;
    float* second = tables + table;
    float* weight = tables + 2 * table;
    if (!facts.is_cat)
        for (size_t row = 0; row < n_t; ++row) {
            cumulate(sum + row * stride, n_slots);
            cumulate(second + row * stride, n_slots);
            cumulate(weight + row * stride, n_slots);
        }

    // Parent totals per group: ps, pq, pn.
    parent_.resize(3 * n_t);
    float* ps = parent_.data();
    float* pq = ps + n_t;
    float* pn = pq + n_t;
    for (size_t t = 0; t < n_t; ++t) {
        const size_t base = t * stride;
        if (facts.is_cat) {
            float a = 0.0f, b = 0.0f, c = 0.0f;
            for (size_t s = 0; s < n_slots; ++s) {
                a = a + sum[base + s];
                b = b + second[base + s];
                c = c + weight[base + s];
            }
            ps[t] = a, pq[t] = b, pn[t] = c;
        } else {
            ps[t] = sum[base + n_slots - 1];
            pq[t] = second[base + n_slots - 1];
            pn[t] = weight[base + n_slots - 1];
        }
    }
    means_.resize(n_t);
    for (size_t t = 0; t < n_t; ++t) means_[t] = ps[t] / pn[t];
    if (all_arms_) {
        std::vector<GroupTotals> parent(n_t);
        for (size_t t = 0; t < n_t; ++t) parent[t] = {ps[t], pq[t], pn[t]};
        const AllArmsBest best = best_all_arms_split(sum, second, weight, stride, n_slots, parent, alpha_,
                                                     all_arms_->min_samples_leaf, all_arms_->min_samples_treatment);
        fill_split_info(out, node_id, feature_id, facts.is_cat,
                        best.found ? std::optional<uint8_t>(best.value) : std::nullopt, best.gain, best.gain, means_, {});
        return;
    }
    const float cost_parent = node_cost({ps[0], pq[0], pn[0]}, {ps[1], pq[1], pn[1]}, alpha_);

    float best_gain = 0.0f;
    std::optional<uint8_t> best_value;
    const size_t c0 = 0, c1 = stride;  // row offsets of groups 0 and 1
    const float np = pn[0] + pn[1];
    for (size_t k = 0; k + 1 < n_slots; ++k) {
        const GroupTotals l0{sum[c0 + k], second[c0 + k], weight[c0 + k]};
        const GroupTotals l1{sum[c1 + k], second[c1 + k], weight[c1 + k]};
        const GroupTotals r0{ps[0] - l0.s, pq[0] - l0.q, pn[0] - l0.n};
        const GroupTotals r1{ps[1] - l1.s, pq[1] - l1.q, pn[1] - l1.n};
        const float cost_left = node_cost(l0, l1, alpha_);
        const float cost_right = node_cost(r0, r1, alpha_);
        const float nl = l0.n + l1.n;
        const float nr = r1.n + r0.n;
        const float gain = (cost_parent - (cost_left * nl) / np) - (nr * cost_right) / np;
        if (gain > best_gain) {
            best_gain = gain;
            best_value = static_cast<uint8_t>(k);
        }
    }

    fill_split_info(out, node_id, feature_id, facts.is_cat, best_value, best_gain, best_gain, means_, {});
}

}  // namespace quorvelin
