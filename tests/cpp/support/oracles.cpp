#include "support/oracles.hpp"

#include <algorithm>
#include <string>

#include "criteria/kl.hpp"
#include "data/config.hpp"
#include "error.hpp"

namespace oracle {

using quorvelin::stop;

namespace {

template <class Op>
Matrix elementwise(const Matrix& a, const Matrix& b, Op op) {
    Matrix out(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        if (i >= b.size()) stop("oracle: the second matrix has no row " + std::to_string(i));
        const size_t n = std::min(a[i].size(), b[i].size());
        out[i].resize(n);
        for (size_t j = 0; j < n; ++j) out[i][j] = op(a[i][j], b[i][j]);
    }
    return out;
}

[[noreturn]] void out_of_bounds(const char* what, uint64_t index, uint64_t len) {
    stop(std::string("index out of bounds: ") + what + " " + std::to_string(index) + " with length " +
         std::to_string(len));
}

size_t slot_of(const std::vector<uint8_t>& bins, RowId r, uint64_t n_slots) {
    if (r >= bins.size()) out_of_bounds("row", r, bins.size());
    const uint8_t b = bins[r];
    const uint64_t slot = (b == quorvelin::kMissingBin) ? n_slots - 1 : b;
    if (slot >= n_slots) out_of_bounds("bin", slot, n_slots);
    return slot;
}

uint8_t group_of(const std::vector<uint8_t>& treatment, RowId r, uint64_t n_t) {
    if (r >= treatment.size()) out_of_bounds("row", r, treatment.size());
    if (treatment[r] >= n_t) out_of_bounds("treatment group", treatment[r], n_t);
    return treatment[r];
}

float at(const std::vector<float>& column, RowId r) {
    if (r >= column.size()) out_of_bounds("row", r, column.size());
    return column[r];
}

template <class AddFn>
Matrix per_group(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment, std::span<const RowId> rows,
                 uint64_t n_t, uint64_t n_slots, AddFn addend) {
    Matrix table(n_t, std::vector<float>(n_slots, 0.0f));
    for (RowId r : rows) {
        const size_t slot = slot_of(bins, r, n_slots);
        table[group_of(treatment, r, n_t)][slot] += addend(r);
    }
    return table;
}

}  // namespace

Matrix add(const Matrix& a, const Matrix& b) {
    return elementwise(a, b, [](float x, float y) { return x + y; });
}

Matrix subtract(const Matrix& a, const Matrix& b) {
    return elementwise(a, b, [](float x, float y) { return x - y; });
}

std::vector<float> column(const Matrix& a, size_t j) {
    std::vector<float> out;
    for (size_t i = 0; i < a.size(); ++i) {
        if (j >= a[i].size()) stop("oracle: row " + std::to_string(i) + " has no column " + std::to_string(j));
        out.push_back(a[i][j]);
    }
    return out;
}

Matrix to_matrix(const RowLists& lists) {
    Matrix out(lists.n_rows);
    for (size_t i = 0; i < lists.n_rows; ++i) out[i].assign(lists.row(i), lists.row(i) + lists.len[i]);
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

std::vector<Matrix> Tally::classes(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment,
                                   const std::vector<float>& y, const std::vector<float>& weight,
                                   std::span<const RowId> rows, uint64_t n_t, uint64_t n_slots) {
    std::vector<Matrix> table(2, Matrix(n_t, std::vector<float>(n_slots, 0.0f)));
    for (RowId r : rows) {
        const size_t slot = slot_of(bins, r, n_slots);
        const uint8_t t = group_of(treatment, r, n_t);
        const uint64_t cls = quorvelin::saturating_u64(at(y, r));
        if (cls >= 2) out_of_bounds("outcome class", cls, 2);
        table[cls][t][slot] += at(weight, r);
    }
    return table;
}

Matrix Tally::sum(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment, const std::vector<float>& y,
                  const std::vector<float>& weight, std::span<const RowId> rows, uint64_t n_t, uint64_t n_slots) {
    return per_group(bins, treatment, rows, n_t, n_slots, [&](RowId r) { return at(y, r) * at(weight, r); });
}

Matrix Tally::second(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment,
                     const std::vector<float>& y, const std::vector<float>& weight, std::span<const RowId> rows,
                     uint64_t n_t, uint64_t n_slots) {
    return per_group(bins, treatment, rows, n_t, n_slots, [&](RowId r) {
        const float v = at(y, r);
        return (v * v) * at(weight, r);
    });
}

Matrix Tally::weight(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment,
                     const std::vector<float>& weight, std::span<const RowId> rows, uint64_t n_t, uint64_t n_slots) {
    return per_group(bins, treatment, rows, n_t, n_slots, [&](RowId r) { return at(weight, r); });
}

std::vector<Matrix> class_tally(const DMatrix& data, uint64_t feature_id, bool is_cat, std::span<const RowId> rows,
                                uint64_t n_bins, uint64_t n_t) {
    auto table = Tally::classes(data.x.at(feature_id), data.treatments.at(0), data.y, data.weight, rows, n_t,
                                n_bins + 1);
    if (!is_cat)
        for (auto& m : table) cumulate(m);
    return table;
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
