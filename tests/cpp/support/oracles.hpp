#pragma once
// Test oracles: plain, per-row forms of what the library computes in its packed hot loops, and
// Matrix-form wrappers of its pure computations. They serve the tests only; the library never
// calls them, so a fault planted in the library is not mirrored here.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "criteria/linalg.hpp"
#include "data/dmatrix.hpp"

namespace oracle {

using quorvelin::DMatrix;
using quorvelin::Matrix;
using quorvelin::RowId;
using quorvelin::RowLists;

Matrix add(const Matrix& a, const Matrix& b);
Matrix subtract(const Matrix& a, const Matrix& b);
std::vector<float> column(const Matrix& a, size_t j);
Matrix to_matrix(const RowLists& lists);
// Running sums along each row, left to right from 0.0.
void cumulate(Matrix& table);

// Per-row tallies of one feature: [group][slot], slot n_slots - 1 for a missing cell, each
// entry accumulated in the order of `rows`. A row outside the columns, a group >= n_t or a bin
// beyond the slots stops, as the library's checked path does.
struct Tally {
    // Raw (not cumulated) weights per outcome class: [class][group][slot].
    static std::vector<Matrix> classes(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment,
                                       const std::vector<float>& y, const std::vector<float>& weight,
                                       std::span<const RowId> rows, uint64_t n_t, uint64_t n_slots);
    static Matrix sum(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment,
                      const std::vector<float>& y, const std::vector<float>& weight, std::span<const RowId> rows,
                      uint64_t n_t, uint64_t n_slots);  // y * w
    static Matrix second(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment,
                         const std::vector<float>& y, const std::vector<float>& weight, std::span<const RowId> rows,
                         uint64_t n_t, uint64_t n_slots);  // (y * y) * w
    static Matrix weight(const std::vector<uint8_t>& bins, const std::vector<uint8_t>& treatment,
                         const std::vector<float>& weight, std::span<const RowId> rows, uint64_t n_t,
                         uint64_t n_slots);
};

// Class tallies of feature `feature_id` of `data` (first treatment column), cumulated along the
// slots unless the feature is categorical.
std::vector<Matrix> class_tally(const DMatrix& data, uint64_t feature_id, bool is_cat, std::span<const RowId> rows,
                                uint64_t n_bins, uint64_t n_t);

// The KL criterion's group summary [rate, weight] from class-0 / class-1 weights, shrunk toward
// the parent's rates when a parent summary is given.
Matrix count_reg(const Matrix& counts, const std::optional<Matrix>& parent, uint64_t threshold, uint64_t n_reg);
// The KL criterion's normalization factor from the parent summary and the left child's.
float normalization_factor(float alpha, const Matrix& parent, const Matrix& left);
// The same factor from the group weights, every term computed afresh in the criterion's order.
float plain_normalization_factor(const float* parent, const float* left, size_t n_groups, float alpha);

}  // namespace oracle
