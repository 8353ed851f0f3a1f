#pragma once
// A small dense matrix of 32-bit floats kept as a list of rows. Rows may differ in length; the
// operations take their shape from the first operand.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvelin {

using Matrix = std::vector<std::vector<float>>;

Matrix add(const Matrix& a, const Matrix& b);
Matrix subtract(const Matrix& a, const Matrix& b);
// Division by a scalar; a divisor equal to zero gives zeros rather than infinities.
Matrix divide_scalar(const Matrix& a, float s);
std::vector<float> column(const Matrix& a, size_t j);

}  // namespace quorvelin

namespace quorvelin {

// Per-row lists of floats kept flat: row i holds len[i] values starting at i * width. This is
// the shape of a prediction (one list per row); the operations follow the Matrix rules above.
struct RowLists {
    size_t n_rows = 0;
    size_t width = 0;
    std::vector<float> values;
    std::vector<uint32_t> len;

    RowLists() = default;
    RowLists(size_t n_rows_, size_t width_) : n_rows(n_rows_), width(width_), values(n_rows_ * width_), len(n_rows_) {}
    const float* row(size_t i) const { return values.data() + i * width; }
    float* row(size_t i) { return values.data() + i * width; }
    Matrix to_matrix() const;
};

// sum = add(sum, other), in place.
void add_into(RowLists& sum, const RowLists& other);
RowLists divide_scalar(const RowLists& a, float s);

}  // namespace quorvelin
