#include "criteria/uplift_gain.hpp"

#include <cmath>

namespace quorvelin {

namespace {

constexpr float kFloor = 1e-6f;

// Left share of a group's weight; a group without weight sends nothing left.
inline float left_share(float left, float total) { return total > 0.0f ? left / total : 0.0f; }

inline float gini2(float a, float b) { return (1.0f - a * a) - b * b; }

inline float pair_divergence(UpliftCriterion criterion, float p, float q) {
    return criterion == UpliftCriterion::Chi ? chi_divergence(p, q) : euclidean_divergence(p, q);
}

}  // namespace

std::optional<UpliftCriterion> uplift_criterion_named(std::string_view name) {
    for (UpliftCriterion c : {UpliftCriterion::KL, UpliftCriterion::ED, UpliftCriterion::Chi, UpliftCriterion::CTS,
                              UpliftCriterion::DDP})
        if (uplift_criterion_name(c) == name) return c;
    return std::nullopt;
}

std::string_view uplift_criterion_name(UpliftCriterion criterion) {
    switch (criterion) {
        case UpliftCriterion::KL: return "KL";
        case UpliftCriterion::ED: return "ED";
        case UpliftCriterion::Chi: return "Chi";
        case UpliftCriterion::CTS: return "CTS";
        case UpliftCriterion::DDP: return "DDP";
    }
    return "KL";
}

float euclidean_divergence(float p, float q) {
    const float d1 = p - q;
    const float d0 = (1.0f - p) - (1.0f - q);
    return d1 * d1 + d0 * d0;
}

float chi_divergence(float p, float q) {
    const float d = p - q;
    const float sq = d * d;
    return sq / std::fmax(q, kFloor) + sq / std::fmax(1.0f - q, kFloor);
}

float node_score(UpliftCriterion criterion, const float* rate, size_t n_groups) {
    switch (criterion) {
        case UpliftCriterion::CTS: {
            float best = n_groups > 0 ? rate[0] : 0.0f;
            for (size_t t = 1; t < n_groups; ++t)
                if (rate[t] > best) best = rate[t];
            return best;
        }
        case UpliftCriterion::DDP: return 0.0f;
        case UpliftCriterion::KL:  // the KL criterion keeps its own divergence (kl.hpp)
        case UpliftCriterion::ED:
        case UpliftCriterion::Chi: break;
    }
    float d = 0.0f;
    for (size_t t = 1; t < n_groups; ++t) d = d + pair_divergence(criterion, rate[t], rate[0]);
    return d;
}

float gini_normalization(UpliftCriterion criterion, const float* parent_weight, const float* left_weight,
                         size_t n_groups, float alpha) {
    const float n_c = parent_weight[0], l_c = left_weight[0];
    float n_t = 0.0f, l_t = 0.0f;
    for (size_t i = 1; i < n_groups; ++i) {
        n_t = n_t + parent_weight[i];
        l_t = l_t + left_weight[i];
    }
    const float n = n_c + n_t;
    const float pc = left_share(l_c, n_c);
    const float pt = left_share(l_t, n_t);
    float acc = (alpha * gini2(n_t / n, n_c / n)) * pair_divergence(criterion, pt, pc);
    for (size_t i = 1; i < n_groups; ++i) {
        const float n_i = parent_weight[i];
        const float p_i = left_share(left_weight[i], n_i);
        const float pair = n_i + n_c;
        acc = acc + ((1.0f - alpha) * gini2(n_i / pair, n_c / pair)) * pair_divergence(criterion, p_i, pc);
    }
    for (size_t i = 1; i < n_groups; ++i) {
        const float p_i = left_share(left_weight[i], parent_weight[i]);
        acc = acc + (parent_weight[i] / n) * gini2(p_i, 1.0f - p_i);
    }
    return (acc + (n_c / n) * gini2(pc, 1.0f - pc)) + 0.5f;
}

SplitScore uplift_split_score(UpliftCriterion criterion, const CandidateSummaries& c, bool normalization,
                              float alpha) {
    const float n_node = c.n_left + c.n_right;
    if (criterion == UpliftCriterion::DDP) {
        float gain = 0.0f;
        for (size_t i = 1; i < c.n_groups; ++i) {
            const float left = c.left_rate[i] - c.left_rate[0];
            const float right = c.right_rate[i] - c.right_rate[0];
            gain = gain + std::fabs(left - right);
        }
        return {gain, gain * n_node};
    }
    const float s_left = node_score(criterion, c.left_rate, c.n_groups);
    const float s_right = node_score(criterion, c.right_rate, c.n_groups);
    const bool normalised = normalization && criterion != UpliftCriterion::CTS;
    const float norm =
        normalised ? gini_normalization(criterion, c.parent_weight, c.left_weight, c.n_groups, alpha) : 1.0f;
    const float w = c.n_left / n_node;
    const float gain = ((s_left * w + s_right * (1.0f - w)) - c.parent_score) / norm;
    const float importance = (s_left * c.n_left + s_right * c.n_right) - c.parent_score * n_node;
    return {gain, importance};
}

}  // namespace quorvelin
