#pragma once
// The binned table of one fit or predict call. Feature columns are contiguous byte vectors, one
// byte per row, kMissingBin for a missing cell.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/bin.hpp"

namespace quorvelin {

using RowId = uint32_t;

struct DMatrix {
    std::vector<std::vector<uint8_t>> x;
    std::vector<float> y;
    std::vector<std::vector<uint8_t>> treatments;
    std::vector<float> weight;
    std::vector<uint8_t> is_cat;
    std::vector<std::string> feature_names;
    std::vector<uint64_t> n_treatments;
    std::unordered_map<std::string, uint64_t> n_bins;
    // Largest present bin of each feature column, kept so the tallies can tell in O(1) whether
    // a column may hold a bin beyond its record's count (only a hand-made record can do that).
    std::vector<uint8_t> max_bin;
    // Row-major copy of the table as tally slots: slot = bin, or the feature's bin count for a
    // missing cell. One row's slots share a cache line, so a node's candidate features are
    // tallied in one pass over its rows. slot_ok[f] is false when feature f's bins do not fit
    // this layout (no bin record, more than 255 bins, or a bin beyond its record's count); such
    // features take the checked path.
    std::vector<uint8_t> slots;
    std::vector<uint8_t> slot_ok;

    // Recomputes max_bin and, unless told otherwise, the slot matrix; from_memory calls it
    // without the slots (prediction never reads them), and code that fills `x` or `n_bins` by
    // hand calls it as it is.
    void finalize(bool with_slots = true);
    // Builds the slot matrix when it is missing; training calls it before the first tally.
    void ensure_slots();

    // Length of the first feature column; stops when there is none.
    uint64_t n_rows() const;
    std::optional<uint8_t> get_bin(size_t feature, size_t row) const;
    // Stable ascending sort of `rows` by the feature's bin, a missing cell keyed as 255.
    // `scratch` must hold rows.size() entries.
    void sort_by_feature(size_t feature, RowId* rows, size_t n, RowId* scratch) const;
    // Looks a feature's bin count up by name; stops when the name has no bin.
    uint64_t bins_of(size_t feature) const;
};

}  // namespace quorvelin
