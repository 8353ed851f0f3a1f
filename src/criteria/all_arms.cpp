#include "criteria/all_arms.hpp"

#include <cmath>

namespace quorvelin {

float all_arms_gain(ArmTotals parent, ArmTotals left, ArmTotals right, float alpha) {
    float gain = 0.0f;
    for (size_t i = 1; i < parent.n_groups; ++i) {
        const GroupTotals &p0 = parent.group[0], &pi = parent.group[i];
        const GroupTotals &l0 = left.group[0], &li = left.group[i];
        const GroupTotals &r0 = right.group[0], &ri = right.group[i];
        const float cost_parent = node_cost(p0, pi, alpha);
        const float cost_left = node_cost(l0, li, alpha);
        const float cost_right = node_cost(r0, ri, alpha);
        const float nl = l0.n + li.n;
        const float nr = ri.n + r0.n;
        const float np = p0.n + pi.n;
        gain = gain + ((cost_parent - (cost_left * nl) / np) - (nr * cost_right) / np);
    }
    return gain;
}

bool children_admissible(const float* left_weight, const float* right_weight, size_t n_groups, float min_leaf,
                         float min_treatment) {
    float n_left = 0.0f, n_right = 0.0f;
    bool nan_left = false, nan_right = false;
    float m_left = INFINITY, m_right = INFINITY;
    for (size_t t = 0; t < n_groups; ++t) {
        n_left = n_left + left_weight[t];
        n_right = n_right + right_weight[t];
        nan_left = nan_left || std::isnan(left_weight[t]);
        nan_right = nan_right || std::isnan(right_weight[t]);
        if (left_weight[t] < m_left) m_left = left_weight[t];
        if (right_weight[t] < m_right) m_right = right_weight[t];
    }
    if (n_left < min_leaf || n_right < min_leaf) return false;
    if (!nan_left && m_left < min_treatment) return false;
    if (!nan_right && m_right < min_treatment) return false;
    return !(n_left <= 0.0f || n_right <= 0.0f);
}

}  // namespace quorvelin

namespace quorvelin {

AllArmsBest best_all_arms_split(const float* sum, const float* second, const float* weight, size_t stride,
                                size_t n_slots, const std::vector<GroupTotals>& parent, float alpha, float min_leaf,
                                float min_treatment) {
    const size_t n_t = parent.size();
    std::vector<GroupTotals> left(n_t), right(n_t);
    std::vector<float> lw(n_t), rw(n_t);
    AllArmsBest best;
    for (size_t k = 0; k + 1 < n_slots; ++k) {
        for (size_t t = 0; t < n_t; ++t) {
            const size_t at = t * stride + k;
            left[t] = {sum[at], second[at], weight[at]};
            right[t] = {parent[t].s - left[t].s, parent[t].q - left[t].q, parent[t].n - left[t].n};
            lw[t] = left[t].n;
            rw[t] = right[t].n;
        }
        if (!children_admissible(lw.data(), rw.data(), n_t, min_leaf, min_treatment)) continue;
        const float gain = all_arms_gain({parent.data(), n_t}, {left.data(), n_t}, {right.data(), n_t}, alpha);
        if (gain > best.gain) {
            best.found = true;
            best.value = static_cast<uint8_t>(k);
            best.gain = gain;
        }
    }
    return best;
}

}  // namespace quorvelin
