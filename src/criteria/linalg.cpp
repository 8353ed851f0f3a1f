#include "criteria/linalg.hpp"

#include <algorithm>
#include <string>

#include "error.hpp"

namespace quorvelin {

namespace {

template <class Op>
Matrix elementwise(const Matrix& a, const Matrix& b, Op op) {
    Matrix out;
    if (a.empty()) return out;
    if (a[0].empty()) stop("assertion failed: n_col > 0");
    out.resize(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        if (i >= b.size())
            stop("index out of bounds: the len is " + std::to_string(b.size()) + " but the index is " +
                 std::to_string(i));
        const size_t n = std::min(a[i].size(), b[i].size());
        out[i].resize(n);
        for (size_t j = 0; j < n; ++j) out[i][j] = op(a[i][j], b[i][j]);
    }
    return out;
}

}  // namespace

Matrix add(const Matrix& a, const Matrix& b) {
    return elementwise(a, b, [](float x, float y) { return x + y; });
}

Matrix subtract(const Matrix& a, const Matrix& b) {
    return elementwise(a, b, [](float x, float y) { return x - y; });
}

Matrix divide_scalar(const Matrix& a, float s) {
    Matrix out;
    if (a.empty()) return out;
    if (a[0].empty()) stop("assertion failed: n_col > 0");
    const size_t n_col = a[0].size();
    const bool zero = (s == 0.0f);
    out.resize(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        const size_t n = std::min(a[i].size(), n_col);
        out[i].resize(n);
        for (size_t j = 0; j < n; ++j) out[i][j] = zero ? 0.0f : a[i][j] / s;
    }
    return out;
}

std::vector<float> column(const Matrix& a, size_t j) {
    std::vector<float> out;
    out.reserve(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        if (j >= a[i].size())
            stop("index out of bounds: row " + std::to_string(i) + " has no column " + std::to_string(j));
        out.push_back(a[i][j]);
    }
    return out;
}

}  // namespace quorvelin

namespace quorvelin {

Matrix RowLists::to_matrix() const {
    Matrix out(n_rows);
    for (size_t i = 0; i < n_rows; ++i) out[i].assign(row(i), row(i) + len[i]);
    return out;
}

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
