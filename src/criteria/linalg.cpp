#include "criteria/linalg.hpp"

#include <algorithm>
#include <string>

#include "error.hpp"

namespace quorvelin {

void add_into(RowLists& sum, const RowLists& other) {
    if (sum.n_rows == 0) return;
    if (sum.len[0] == 0) stop("assertion failed: n_col > 0");
    if (other.n_rows < sum.n_rows)
        stop("index out of bounds: the len is " + std::to_string(other.n_rows) + " but the index is " +
             std::to_string(other.n_rows));
    for (size_t i = 0; i < sum.n_rows; ++i) {
        const uint32_t n = std::min(sum.len[i], other.len[i]);
        float* a = sum.row(i);
        const float* b = other.row(i);
        for (uint32_t j = 0; j < n; ++j) a[j] = a[j] + b[j];
        sum.len[i] = n;
    }
}

RowLists divide_scalar(const RowLists& a, float s) {
    RowLists out(a.n_rows, a.width);
    if (a.n_rows == 0) return out;
    if (a.len[0] == 0) stop("assertion failed: n_col > 0");
    const uint32_t n_col = a.len[0];
    const bool zero = (s == 0.0f);
    for (size_t i = 0; i < a.n_rows; ++i) {
        const uint32_t n = std::min(a.len[i], n_col);
        const float* src = a.row(i);
        float* dst = out.row(i);
        for (uint32_t j = 0; j < n; ++j) dst[j] = zero ? 0.0f : src[j] / s;
        out.len[i] = n;
    }
    return out;
}

}  // namespace quorvelin
