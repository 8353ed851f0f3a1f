#pragma once
// The regressor's criterion for several treatment arms: every treatment group is weighed
// against the control with the node cost of the specified regressor (regression.hpp), and a
// split's gain is the sum of the per-group gains. Unlike the specified regressor, which looks at
// groups 0 and 1 only and admits children of any size, a candidate is admitted only when each
// child holds at least `min_samples_leaf` weight and every group at least
// `min_samples_treatment`, as the classifier requires.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "criteria/regression.hpp"

namespace quorvelin {

// Totals of every group of one node: Σ y·w, Σ y²·w and Σ w per group, group 0 the control.
struct ArmTotals {
    const GroupTotals* group;
    size_t n_groups;
};

// Σ_i [(M_P,i - M_L,i·N_L,i / N_P,i) - N_R,i·M_R,i / N_P,i] over the treatment groups i in order,
// from 0.0, where M_X,i is the node cost of the control against group i in node X and N_X,i the
// weight of the control and group i there. With a single treatment group this is exactly the
// specified regressor's gain.
float all_arms_gain(ArmTotals parent, ArmTotals left, ArmTotals right, float alpha);

// Whether a candidate's children pass the minimum sizes: each child's total weight (all groups,
// added in group order) at least `min_leaf`, every group's weight in each child at least
// `min_treatment`, and neither child without weight. The comparisons are strict, so equality
// passes, and a NaN weight, which fails no comparison, passes too (the gain then decides).
bool children_admissible(const float* left_weight, const float* right_weight, size_t n_groups, float min_leaf,
                         float min_treatment);

}  // namespace quorvelin

namespace quorvelin {

// The best candidate of a tally: `sum`, `second` and `weight` hold Σ y·w, Σ y²·w and Σ w with
// one row per group, `stride` floats apart, already cumulative for a continuous feature;
// `parent` the node's totals per group. Candidates k = 0 … n_slots - 2 in order; the first
// admissible one with the largest strictly positive gain wins.
struct AllArmsBest {
    bool found = false;
    uint8_t value = 0;
    float gain = 0.0f;
};
AllArmsBest best_all_arms_split(const float* sum, const float* second, const float* weight, size_t stride,
                                size_t n_slots, const std::vector<GroupTotals>& parent, float alpha, float min_leaf,
                                float min_treatment);

}  // namespace quorvelin
