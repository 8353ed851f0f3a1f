#include "data/dmatrix.hpp"

#include <algorithm>
#include <array>

#include "error.hpp"

namespace quorvelin {

void DMatrix::finalize(bool with_slots) {
    max_bin.assign(x.size(), 0);
    for (size_t f = 0; f < x.size(); ++f) {
        uint8_t m = 0;
        for (uint8_t b : x[f])
            if (b != kMissingBin && b > m) m = b;
        max_bin[f] = m;
    }
    slots.clear();
    slot_ok.assign(x.size(), 0);
    if (with_slots) ensure_slots();
}

void DMatrix::ensure_slots() {
    const size_t nf = x.size();
    if (slot_ok.size() == nf && !slots.empty()) return;
    if (max_bin.size() != nf) finalize(false);
    const size_t n = nf ? x[0].size() : 0;
    slot_ok.assign(nf, 0);
    slots.assign(n * nf, 0);
    for (size_t f = 0; f < nf; ++f) {
        if (x[f].size() != n || f >= feature_names.size()) continue;
        auto it = n_bins.find(feature_names[f]);
        if (it == n_bins.end() || it->second > 255 || max_bin[f] > it->second) continue;
        slot_ok[f] = 1;
        const uint8_t missing = static_cast<uint8_t>(it->second);
        const uint8_t* col = x[f].data();
        uint8_t* out = slots.data() + f;
        for (size_t r = 0; r < n; ++r) out[r * nf] = col[r] == kMissingBin ? missing : col[r];
    }
}

uint64_t DMatrix::n_rows() const {
    if (x.empty()) stop("the data has no feature column");
    return x[0].size();
}

std::optional<uint8_t> DMatrix::get_bin(size_t feature, size_t row) const {
    if (feature >= x.size() || row >= x[feature].size())
        stop("index out of bounds: feature " + std::to_string(feature) + ", row " + std::to_string(row));
    const uint8_t b = x[feature][row];
    if (b == kMissingBin) return std::nullopt;
    return b;
}

void DMatrix::sort_by_feature(size_t feature, RowId* rows, size_t n, RowId* scratch) const {
    if (feature >= x.size()) stop("index out of bounds: feature " + std::to_string(feature));
    const std::vector<uint8_t>& col = x[feature];
    // A stable counting sort: the same order as a stable comparison sort on the bin byte, with
    // the missing marker (255) last, in time linear in the segment.
    std::array<size_t, 257> count{};
    for (size_t i = 0; i < n; ++i) {
        if (rows[i] >= col.size()) stop("index out of bounds: row " + std::to_string(rows[i]));
        ++count[col[rows[i]] + 1];
    }
    for (size_t b = 1; b < 257; ++b) count[b] += count[b - 1];
    for (size_t i = 0; i < n; ++i) {
        if (i + 16 < n) __builtin_prefetch(col.data() + rows[i + 16]);
        scratch[count[col[rows[i]]]++] = rows[i];
    }
    std::copy(scratch, scratch + n, rows);
}

uint64_t DMatrix::bins_of(size_t feature) const {
    if (feature >= feature_names.size()) stop("index out of bounds: feature " + std::to_string(feature));
    auto it = n_bins.find(feature_names[feature]);
    if (it == n_bins.end()) stop("feature " + feature_names[feature] + " has no bin record");
    return it->second;
}

}  // namespace quorvelin
