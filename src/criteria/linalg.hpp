#pragma once
// A small dense matrix of 32-bit floats kept as a list of rows (a node's summary), and the
// per-row lists of a prediction.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvelin {

using Matrix = std::vector<std::vector<float>>;


}  // namespace quorvelin

namespace quorvelin {

// Per-row lists of floats kept flat: row i holds len[i] values starting at i * width. This is
// the shape of a prediction (one list per row). The operations take their shape from the first
// operand: its rows' lengths, cut to the first row's.
struct RowLists {
    size_t n_rows = 0;
    size_t width = 0;
    std::vector<float> values;
    std::vector<uint32_t> len;

    RowLists() = default;
    RowLists(size_t n_rows_, size_t width_) : n_rows(n_rows_), width(width_), values(n_rows_ * width_), len(n_rows_) {}
    const float* row(size_t i) const { return values.data() + i * width; }
    float* row(size_t i) { return values.data() + i * width; }
};

// sum = add(sum, other), in place.
void add_into(RowLists& sum, const RowLists& other);
// Division by a scalar; a divisor equal to zero gives zeros rather than infinities.
RowLists divide_scalar(const RowLists& a, float s);

}  // namespace quorvelin
