#include "support/oracles.hpp"

#include "criteria/kl.hpp"
#include "data/config.hpp"

namespace oracle {

namespace {

std::vector<float> column(const Matrix& a, size_t j) {
    std::vector<float> out;
    for (const auto& row : a) out.push_back(row.at(j));
    return out;
}

void cumulate(Matrix& table) {
    for (auto& row : table) {
        float acc = 0.0f;
        for (float& v : row) {
            acc = acc + v;
            v = acc;
        }
    }
}

}  // namespace

Tallies tally(const DMatrix& m, uint64_t f, std::span<const RowId> rows, uint64_t n_slots, bool cumulate_slots) {
    const Matrix zeros(m.n_treatments.at(0), std::vector<float>(n_slots, 0.0f));
    Tallies t{{zeros, zeros}, zeros, zeros, zeros};
    for (RowId r : rows) {
        const uint8_t bin = m.x.at(f).at(r);
        const size_t slot = bin == quorvelin::kMissingBin ? n_slots - 1 : bin;
        const uint8_t g = m.treatments[0].at(r);
        const float y = m.y.at(r), w = m.weight.at(r);
        // Outcomes that are no class (a regressor's) leave the class tallies alone.
        const uint64_t cls = quorvelin::saturating_u64(y);
        if (cls < 2) t.by_class[cls].at(g).at(slot) += w;
        t.sum.at(g).at(slot) += y * w;
        t.second.at(g).at(slot) += (y * y) * w;
        t.weight.at(g).at(slot) += w;
    }
    if (cumulate_slots)
        for (Matrix* table : {&t.by_class[0], &t.by_class[1], &t.sum, &t.second, &t.weight}) cumulate(*table);
    return t;
}

Matrix count_reg(const Matrix& counts, const std::optional<Matrix>& parent, uint64_t threshold, uint64_t n_reg) {
    Matrix out;
    if (counts.empty() || counts[0].empty()) return out;
    const size_t n_groups = counts[0].size();
    std::vector<float> parent_rate;
    if (parent) parent_rate = column(*parent, 0);
    std::vector<float> rate(n_groups), weight(n_groups);
    quorvelin::group_rates(counts[0].data(), counts.at(1).data(), n_groups, parent ? parent_rate.data() : nullptr,
                           static_cast<float>(threshold), static_cast<float>(n_reg), rate.data(), weight.data());
    out.resize(n_groups);
    for (size_t t = 0; t < n_groups; ++t) out[t] = {rate[t], weight[t]};
    return out;
}

float plain_normalization_factor(const float* c, const float* l, size_t n_groups, float alpha) {
    using quorvelin::entropy_h, quorvelin::entropy_h1, quorvelin::kl_divergence;
    const float n_c = c[0], n_lc = l[0];
    float n_t = 0.0f, n_lt = 0.0f;
    for (size_t i = 1; i < n_groups; ++i) n_t = n_t + c[i];
    for (size_t i = 1; i < n_groups; ++i) n_lt = n_lt + l[i];
    const float s_t = n_t / (n_c + n_t);
    const float s_c = n_c / (n_c + n_t);
    const float pc = n_lc / (n_c + 0.1f);
    const float pt = n_lt / (n_t + 0.1f);
    float acc = alpha * entropy_h(s_t, s_c) * kl_divergence(pt, pc) + 0.0f;
    for (size_t i = 1; i < n_groups; ++i) {
        const float ci = c[i], li = l[i];
        const float p_i = ci / (n_c + ci);
        const float q_i = n_c / (n_c + ci);
        const float pt_i = li / (ci + 0.1f);
        acc = (acc + ((1.0f - alpha) * entropy_h(p_i, q_i)) * kl_divergence(pt_i, pc)) +
              (ci / (n_c + n_t)) * entropy_h1(pt_i);
    }
    return (acc + s_c * entropy_h1(pc)) + 0.5f;
}

float normalization_factor(float alpha, const Matrix& parent, const Matrix& left) {
    const std::vector<float> c = column(parent, 1), l = column(left, 1);
    return quorvelin::normalization_factor(c.data(), l.data(), c.size(), alpha);
}

}  // namespace oracle
