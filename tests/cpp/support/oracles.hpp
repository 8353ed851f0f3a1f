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

// Tallies of feature `f` of `m` by group of the first treatment column and bin slot:
// [group][slot], slot n_slots - 1 for a missing cell, each entry accumulated in the order of
// `rows`; running sums along the slots when `cumulate`.
struct Tallies {
    Matrix by_class[2];          // weights of the rows of outcome class 0 and of class 1
    Matrix sum, second, weight;  // y * w, (y * y) * w and w
};
Tallies tally(const DMatrix& m, uint64_t f, std::span<const RowId> rows, uint64_t n_slots, bool cumulate = false);

// The KL criterion's group summary [rate, weight] from class-0 / class-1 weights, shrunk toward
// the parent's rates when a parent summary is given.
Matrix count_reg(const Matrix& counts, const std::optional<Matrix>& parent, uint64_t threshold, uint64_t n_reg);
// The KL criterion's normalization factor from the parent summary and the left child's.
float normalization_factor(float alpha, const Matrix& parent, const Matrix& left);
// The same factor from the group weights, every term computed afresh in the criterion's order.
float plain_normalization_factor(const float* parent, const float* left, size_t n_groups, float alpha);

}  // namespace oracle
