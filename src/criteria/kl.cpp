#include "criteria/kl.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "error.hpp"

namespace quorvelin {

namespace {

constexpr float kEps = std::numeric_limits<float>::epsilon();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Rates and weights per group from class-0 and class-1 weights; `parent_rate` null means no
// shrinkage (the node's own summary).
inline void group_weights(const float* w0, const float* w1, size_t n_groups, float* weight) {
    for (size_t t = 0; t < n_groups; ++t) weight[t] = w0[t] + w1[t];
}

// Rates per group from class-1 weights and the group weights; `parent_rate` null means no
// shrinkage (the node's own summary).
inline void group_rates_core(const float* w1, const float* weight, size_t n_groups, const float* parent_rate,
                             float threshold, float n_reg, float* rate) {
    for (size_t t = 0; t < n_groups; ++t) {
        const float n = weight[t];
        float p;
        if (parent_rate == nullptr) {
            p = n > 0.0f ? w1[t] / n : 0.0f;
        } else {
            const float pp = parent_rate[t];
            p = (n > threshold) ? (w1[t] + pp * n_reg) / (n + n_reg) : pp;
        }
        rate[t] = p;
    }
}

// Rates and weights per group from class-0 and class-1 weights.
inline void count_reg_core(const float* w0, const float* w1, size_t n_groups, const float* parent_rate,
                           float threshold, float n_reg, float* rate, float* weight) {
    group_weights(w0, w1, n_groups, weight);
    group_rates_core(w1, weight, n_groups, parent_rate, threshold, n_reg, rate);
}

inline float divergence(const float* rate, size_t n_groups) {
    float d = 0.0f;
    for (size_t t = 1; t < n_groups; ++t) d = d + kl_divergence(rate[t], rate[0]);
    return d;
}

inline float sum_from_zero(const float* v, size_t n) {
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) s = s + v[i];
    return s;
}

inline bool same_bits(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

inline float min_or_nan(const float* v, size_t n) {
    float m = std::numeric_limits<float>::infinity();
    for (size_t i = 0; i < n; ++i) {
        if (std::isnan(v[i])) return kNaN;
        if (v[i] < m) m = v[i];
    }
    return m;
}

}  // namespace

// The penalty for the left child's group weights `l`: the same operations in the same order as
// computing every term afresh. With one treatment group its rate is the pooled treated rate,
// so that divergence is reused rather than computed twice. Inline, so the scan's copy unrolls
// its group loop when the group count is known.
inline float penalty(const NormalizationParent& p, const float* l, size_t n_groups) {
    const float n_lt = sum_from_zero(l + 1, n_groups - 1);
    const float pc = l[0] / p.c_eps;
    const float pt = n_lt / p.t_eps;
    const float kl_t = kl_divergence(pt, pc);
    float acc = p.alpha_h * kl_t + 0.0f;
    for (size_t i = 1; i < n_groups; ++i) {
        const float pt_i = l[i] / p.group_eps[i];
        const float kl_i = pt_i == pt ? kl_t : kl_divergence(pt_i, pc);
        acc = (acc + p.group_h[i] * kl_i) + p.group_share[i] * entropy_h1(pt_i);
    }
    return (acc + p.s_c * entropy_h1(pc)) + 0.5f;
}

// The split penalty's terms that depend on the parent's group weights `c` only, worked out once
// per scan: the candidates of a node differ in their left child alone.
void NormalizationParent::prepare(const float* c, size_t n_groups, float alpha) {
    n_c = c[0];
    n_t = sum_from_zero(c + 1, n_groups - 1);
    const float s_t = n_t / (n_c + n_t);
    s_c = n_c / (n_c + n_t);
    c_eps = n_c + 0.1f;
    t_eps = n_t + 0.1f;
    alpha_h = alpha * entropy_h(s_t, s_c);
    group_eps.resize(n_groups);
    group_h.resize(n_groups);
    group_share.resize(n_groups);
    for (size_t i = 1; i < n_groups; ++i) {
        const float ci = c[i];
        const float p_i = ci / (n_c + ci);
        const float q_i = n_c / (n_c + ci);
        group_eps[i] = ci + 0.1f;
        group_h[i] = (1.0f - alpha) * entropy_h(p_i, q_i);
        group_share[i] = ci / (n_c + n_t);
    }
}

float NormalizationParent::factor(const float* l, size_t n_groups) const { return penalty(*this, l, n_groups); }

void group_rates(const float* w0, const float* w1, size_t n_groups, const float* parent_rate, float threshold,
                 float n_reg, float* rate, float* weight) {
    count_reg_core(w0, w1, n_groups, parent_rate, threshold, n_reg, rate, weight);
}

float normalization_factor(const float* c, const float* l, size_t n_groups, float alpha) {
    NormalizationParent parent;
    parent.prepare(c, n_groups, alpha);
    return parent.factor(l, n_groups);
}

float kl_divergence(float p, float q) {
    if (q < kEps) return 0.0f;
    const float qc = std::fmin(std::fmax(q, 1e-6f), 0.999999f);
    if (p < kEps) return -std::log(1.0f - qc);
    if (1.0f - p < kEps) return -std::log(qc);
    return p * std::log(p / qc) + (1.0f - p) * std::log((1.0f - p) / (1.0f - qc));
}

float entropy_h1(float x) { return x > 0.0f ? -x * std::log(x) : 0.0f; }

float entropy_h(float p, float q) {
    if (p > 0.0f && -1.0000001f <= q && q <= -0.99999988f) return -p * std::log(p);
    if (q > 0.0f) return -p * std::log(q);
    return 0.0f;
}

KLCriterion::KLCriterion(uint64_t min_samples_leaf, uint64_t min_samples_treatment, uint64_t n_reg, float alpha,
                         bool normalization, UpliftCriterion criterion)
    : min_samples_leaf_(static_cast<float>(min_samples_leaf)),
      min_samples_treatment_(static_cast<float>(min_samples_treatment)),
      n_reg_(static_cast<float>(n_reg)),
      alpha_(alpha),
      normalization_(normalization),
      criterion_(criterion) {}

std::unique_ptr<Criterion> make_kl_criterion(const TreeConfig& c) {
    return std::make_unique<KLCriterion>(c.min_samples_leaf, c.min_samples_treatment, c.n_reg, c.alpha, c.normalization,
                                         uplift_criterion_named(c.evaluation_function).value_or(UpliftCriterion::KL));
}

SplitInfo KLCriterion::find_best_split(const DMatrix& data, const RowCodes& rc, uint64_t node_id, uint64_t feature_id,
                                      std::span<const RowId> rows) {
    const FeatureFacts facts = feature_facts(data, rc, feature_id);
    const size_t n_t = facts.n_t, n_slots = facts.n_bins + 1;

    table_.assign(2 * n_t * n_slots, 0.0f);
    tally_weights(data.x[feature_id], data.max_bin[feature_id], rows, rc, n_slots, table_.data());
    SplitInfo out;
    scan(out, table_.data(), n_slots, facts, node_id, feature_id);
    return out;
}

std::vector<SplitInfo>& KLCriterion::find_best_splits(const DMatrix& data, const RowCodes& rc, uint64_t node_id,
                                                    std::span<const uint64_t> features, std::span<const RowId> rows) {
    if (!batch_ready(data, rc, features)) return Criterion::find_best_splits(data, rc, node_id, features, rows);
    const size_t per_feature = rc.n_codes * kSlotStride;
    batch_.assign(features.size() * per_feature, 0.0f);
    tally_weights_batch(data, features, rows, rc, batch_.data());
    results_.resize(features.size());
    for (size_t j = 0; j < features.size(); ++j) {
        const FeatureFacts facts = feature_facts(data, rc, features[j]);
        scan(results_[j], batch_.data() + j * per_feature, kSlotStride, facts, node_id, features[j]);
    }
    return results_;
}

namespace {

// Slots of the widest batched feature (bins plus the missing slot), rounded up to whole
// 32-byte lines.
size_t slot_stride(const DMatrix& data) {
    size_t widest = 1;
    for (size_t f = 0; f < data.x.size(); ++f)
        if (f < data.slot_ok.size() && data.slot_ok[f]) widest = std::max<size_t>(widest, data.bins_of(f) + 1);
    return std::min<size_t>(kSlotStride, (widest + 7) / 8 * 8);
}

}  // namespace

std::vector<SplitInfo>& KLCriterion::find_node_splits(const DMatrix& data, const RowCodes& rc,
                                                      std::span<const uint64_t> features, const NodeSample& node) {
    if (kept_.size() <= node.level) kept_.resize(node.level + 1);
    kept_[node.level].valid = false;
    if (node.counts.empty() || !batch_ready(data, rc, features))
        return Criterion::find_node_splits(data, rc, features, node);
    // Code rows as long as the widest feature's slots, not a byte's 256: a node's tables then
    // stay in the first-level cache and take an eighth of the zeroing at 30 bins. Fixed at a
    // tree's root, so every level of the tree shares the layout the subtraction relies on.
    if (node.level == 0) counted_stride_ = slot_stride(data);
    const size_t stride = counted_stride_;
    for (uint64_t f : features)
        if (data.bins_of(f) + 1 > stride) return Criterion::find_node_splits(data, rc, features, node);
    const size_t per_feature = rc.n_codes * stride;
    const KeptTallies* parent = nullptr;
    if (node.parent && node.level > 0 && kept_[node.level - 1].valid && kept_[node.level - 1].node_id == *node.parent)
        parent = &kept_[node.level - 1];

    direct_.clear(), direct_at_.clear(), derived_.clear(), derived_at_.clear(), parent_at_.clear(), sibling_at_.clear();
    for (size_t j = 0; j < features.size(); ++j) {
        size_t p = 0;
        if (parent) p = static_cast<size_t>(std::find(parent->features.begin(), parent->features.end(), features[j]) -
                                            parent->features.begin());
        if (parent && p < parent->features.size()) {
            sibling_at_.push_back(derived_.size() * per_feature);
            derived_.push_back(features[j]);
            derived_at_.push_back(j * per_feature);
            parent_at_.push_back(p * per_feature);
        } else {
            direct_.push_back(features[j]);
            direct_at_.push_back(j * per_feature);
        }
    }
    KeptTallies& own = kept_[node.level];
    own.raw.assign(features.size() * per_feature, 0.0f);
    if (!direct_.empty())
        tally_counted_weights_batch(data, direct_, direct_at_, stride, node.rows, node.counts, rc, own.raw.data());
    if (!derived_.empty()) {
        // Integers within 2^24 on both sides: the difference is exactly the direct count.
        sibling_.assign(derived_.size() * per_feature, 0.0f);
        tally_counted_weights_batch(data, derived_, sibling_at_, stride, node.sibling_rows, node.sibling_counts, rc,
                                    sibling_.data());
        for (size_t k = 0; k < derived_.size(); ++k) {
            const size_t n_slots = feature_facts(data, rc, derived_[k]).n_bins + 1;
            for (size_t code = 0; code < rc.n_codes; ++code) {
                const size_t at = code * stride;
                const float* whole = parent->raw.data() + parent_at_[k] + at;
                const float* part = sibling_.data() + sibling_at_[k] + at;
                float* out = own.raw.data() + derived_at_[k] + at;
                for (size_t s = 0; s < n_slots; ++s) out[s] = whole[s] - part[s];
            }
        }
    }
    own.features.assign(features.begin(), features.end());
    own.node_id = node.node_id;
    own.valid = true;

    // The scan cumulates in place; it reads the bins' slots only.
    batch_.resize(features.size() * per_feature);
    results_.resize(features.size());
    for (size_t j = 0; j < features.size(); ++j) {
        const FeatureFacts facts = feature_facts(data, rc, features[j]);
        for (size_t code = 0; code < rc.n_codes; ++code) {
            const size_t at = j * per_feature + code * stride;
            std::copy_n(own.raw.data() + at, facts.n_bins + 1, batch_.data() + at);
        }
        scan(results_[j], batch_.data() + j * per_feature, stride, facts, node.node_id, features[j]);
    }
    return results_;
}

void KLCriterion::scan(SplitInfo& out, float* table, size_t stride, const FeatureFacts& facts, uint64_t node_id,
                       uint64_t feature_id) {
    const size_t n_t = facts.n_t, n_slots = facts.n_bins + 1;
    if (!facts.is_cat)
        for (size_t row = 0; row < 2 * n_t; ++row) cumulate(table + row * stride, n_slots);
    auto cell = [&](size_t cls, size_t t, size_t slot) { return table[(cls * n_t + t) * stride + slot]; };

    // Totals per class and group: t0 = class 0, t1 = class 1.
    total_.resize(2 * n_t);
    float* t0 = total_.data();
    float* t1 = t0 + n_t;
    for (size_t t = 0; t < n_t; ++t) {
        if (facts.is_cat) {
            t0[t] = sum_from_zero(table + t * stride, n_slots);
            t1[t] = sum_from_zero(table + (n_t + t) * stride, n_slots);
        } else {
            t0[t] = cell(0, t, n_slots - 1);
            t1[t] = cell(1, t, n_slots - 1);
        }
    }
    pr_.resize(n_t);
    pw_.resize(n_t);
    count_reg_core(t0, t1, n_t, nullptr, min_samples_treatment_, n_reg_, pr_.data(), pw_.data());
    const bool kl = criterion_ == UpliftCriterion::KL;
    if (kl && normalization_) norm_.prepare(pw_.data(), n_t, alpha_);
    const float d_parent = kl ? divergence(pr_.data(), n_t) : node_score(criterion_, pr_.data(), n_t);

    const Best best = n_t == 2 ? best_candidate<2>(table, stride, n_t, n_slots, d_parent)
                               : best_candidate<0>(table, stride, n_t, n_slots, d_parent);
    fill_split_info(out, node_id, feature_id, facts.is_cat, best.value, best.gain, best.importance, pr_, pw_);
}

template <size_t kGroups>
KLCriterion::Best KLCriterion::best_candidate(const float* table, size_t stride, size_t n_groups, size_t n_slots,
                                              float d_parent) {
    const size_t n_t = kGroups ? kGroups : n_groups;
    auto cell = [&](size_t cls, size_t t, size_t slot) { return table[(cls * n_t + t) * stride + slot]; };
    const float* t0 = total_.data();
    const float* t1 = t0 + n_t;
    const bool kl = criterion_ == UpliftCriterion::KL;
    // Per-candidate scratch: left class counts, right class counts, child summaries.
    left_.resize(4 * n_t);
    float* l0 = left_.data();
    float* l1 = l0 + n_t;
    float* r0 = l1 + n_t;
    float* r1 = r0 + n_t;
    lr_.resize(n_t);
    lw_.resize(n_t);
    rr_.resize(n_t);
    rw_.resize(n_t);

    float best_gain = 0.0f, best_importance = 0.0f;
    std::optional<uint8_t> best_value;
    for (size_t k = 0; k + 1 < n_slots; ++k) {
        // A candidate with the counts of the one before it (an empty bin) is the same split: its
        // gain is the same and cannot beat that one's, as a gain must be strictly larger.
        bool repeated = k > 0;
        for (size_t t = 0; t < n_t && repeated; ++t)
            repeated = same_bits(cell(0, t, k), cell(0, t, k - 1)) && same_bits(cell(1, t, k), cell(1, t, k - 1));
        if (repeated) continue;
        for (size_t t = 0; t < n_t; ++t) {
            l0[t] = cell(0, t, k);
            l1[t] = cell(1, t, k);
            r0[t] = t0[t] - l0[t];
            r1[t] = t1[t] - l1[t];
        }
        // The minimums need the group weights only; most refused candidates never reach the
        // divisions of the rates.
        group_weights(l0, l1, n_t, lw_.data());
        group_weights(r0, r1, n_t, rw_.data());
        const float n_left = sum_from_zero(lw_.data(), n_t);
        const float n_right = sum_from_zero(rw_.data(), n_t);
        const float m_left = min_or_nan(lw_.data(), n_t);
        const float m_right = min_or_nan(rw_.data(), n_t);
        if (n_left < min_samples_leaf_ || n_right < min_samples_leaf_ || m_left < min_samples_treatment_ ||
            m_right < min_samples_treatment_)
            continue;
        // A child without weight is no split at all; with both minimums at 0 rounding in the
        // shrunk rates could otherwise give it a tiny gain and grow chains of empty nodes.
        // A NaN total still passes, as it passes the minimums above.
        if (n_left <= 0.0f || n_right <= 0.0f) continue;
        group_rates_core(l1, lw_.data(), n_t, pr_.data(), min_samples_treatment_, n_reg_, lr_.data());
        group_rates_core(r1, rw_.data(), n_t, pr_.data(), min_samples_treatment_, n_reg_, rr_.data());
        if (!kl) {
            const SplitScore s = uplift_split_score(
                criterion_, {pw_.data(), d_parent, lr_.data(), lw_.data(), rr_.data(), n_t, n_left, n_right},
                normalization_, alpha_);
            if (s.gain > best_gain) {
                best_gain = s.gain;
                best_importance = s.importance;
                best_value = static_cast<uint8_t>(k);
            }
            continue;
        }
        const float d_left = divergence(lr_.data(), n_t);
        const float d_right = divergence(rr_.data(), n_t);
        const float norm = normalization_ ? penalty(norm_, lw_.data(), n_t) : 1.0f;
        const float w = n_left / (n_left + n_right);
        const float gain = ((d_left * w + d_right * (1.0f - w)) - d_parent) / norm;
        const float importance = (d_left * n_left + d_right * n_right) - d_parent * (n_left + n_right);
        if (gain > best_gain) {
            best_gain = gain;
            best_importance = importance;
            best_value = static_cast<uint8_t>(k);
        }
    }

    return {best_gain, best_importance, best_value};
}

}  // namespace quorvelin
