#pragma once
// Per-node tallies by treatment group and bin slot. Slot b < n_bins holds the rows in bin b, the
// last slot (n_bins) the rows with a missing cell. Every entry accumulates in the order of the
// node's rows, in 32-bit arithmetic. The tallies gather each row's group code and addends from
// compact arrays prepared once per fit (the tests keep a plain per-row form as their oracle).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "data/dmatrix.hpp"
#include "criteria/linalg.hpp"

namespace quorvelin {

// Running sums along each row, left to right from 0.0.
void cumulate(float* row, size_t n);

// Compact per-row inputs of the flat tallies, built once per fit and shared read-only by every
// tree. code[r] selects the table row of row r (class * n_t + group for the classifier, group for
// the regressor).
//
// Two kinds of failure are kept apart, because they stop at different moments: a table that
// cannot be split at all (table_error: no treatment column, ...) stops the first search for a
// split, as the tallies would; a row that cannot be tallied (bad_row: an outcome class other
// than 0 or 1, no outcome column) stops only when a node's tally reaches it, with bad_row_error.
struct RowCodes {
    // One packed record per row, so the batched tallies touch one place per row.
    struct ClassRow {
        uint32_t code;
        float w;
    };
    struct MomentRow {
        uint32_t code;
        float yw, yyw, w;
    };
    uint64_t n_t = 0;
    uint64_t n_codes = 0;
    std::vector<uint16_t> code;
    std::vector<float> w;
    std::vector<ClassRow> class_rows;    // classifier only
    std::vector<MomentRow> moment_rows;  // regressor only; y·w and (y·y)·w are kept only here
    std::vector<uint8_t> bad_row;
    bool any_bad_row = false;
    std::string bad_row_error;
    // Every weight is an integer of magnitude at most max_abs_weight (classifier only). Sums of
    // such weights are exact in any order while they stay within 2^24.
    bool integer_weights = false;
    float max_abs_weight = 0.0f;
    std::string table_error;
};

RowCodes prepare_classifier_rows(const DMatrix& data);
RowCodes prepare_regressor_rows(const DMatrix& data);

// Flat tallies into table[code * n_slots + slot], which must be zeroed by the caller. `bins` is
// the feature column; max_bin its largest present bin (a bin above n_slots - 1 stops the call).
void tally_weights(const std::vector<uint8_t>& bins, uint8_t max_bin, std::span<const RowId> rows, const RowCodes& rc,
                   size_t n_slots, float* table);
// Three tables at once (Σ y·w, Σ y²·w, Σ w), one pass over the rows.
void tally_moments(const std::vector<uint8_t>& bins, uint8_t max_bin, std::span<const RowId> rows, const RowCodes& rc,
                   size_t n_slots, float* sum, float* second, float* weight);

// Stride of one (code) row in the batched tables: every slot of a byte.
inline constexpr size_t kSlotStride = 256;

// Whether the batched tallies may serve these features: every one has slots in the DMatrix's
// slot matrix and no row is marked bad. Otherwise callers take the per-feature checked path.
bool batch_ready(const DMatrix& data, const RowCodes& rc, std::span<const uint64_t> features);
// Tallies several features in one pass over the rows. Feature j's table starts at
// j * n_codes * kSlotStride (classifier), or j * 3 * n_codes * kSlotStride with the Σ y·w,
// Σ y²·w and Σ w tables one after another (regressor). `tables` must be zeroed;
// the moments write only the slots a feature holds, so theirs need not be.
void tally_weights_batch(const DMatrix& data, std::span<const uint64_t> features, std::span<const RowId> rows,
                         const RowCodes& rc, float* tables);
// As tally_weights_batch for a counted sample: `counts` in step with `rows`, each row adding
// its weight times its count once, into feature j's table at tables + offsets[j], code rows
// `code_stride` apart (at least every feature's slot count). The same numbers only where the
// tallies are exact in any order.
void tally_counted_weights_batch(const DMatrix& data, std::span<const uint64_t> features,
                                 std::span<const size_t> offsets, size_t code_stride, std::span<const RowId> rows,
                                 std::span<const RowId> counts, const RowCodes& rc, float* tables);
void tally_moments_batch(const DMatrix& data, std::span<const uint64_t> features, std::span<const RowId> rows,
                         const RowCodes& rc, float* tables, std::vector<float>& scratch);

}  // namespace quorvelin
