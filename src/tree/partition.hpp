#pragma once
// Which rows reach each node of one tree: one list of row ids, one contiguous segment per node.
#include <cstdint>
#include <span>
#include <vector>

#include "data/dmatrix.hpp"

namespace quorvelin {

struct Partition {
    std::vector<RowId> index;
    std::vector<uint64_t> start;
    std::vector<uint64_t> size;

    // One root segment holding the sample as given (a row may occur several times).
    static Partition from_sample(std::vector<RowId> sample);
    // Every row of the table in the root, with room for the segments of n_nodes nodes.
    static Partition every_row(uint64_t n_rows, uint64_t n_nodes);
    void split(uint64_t node, uint64_t n_left);
    std::span<RowId> rows(uint64_t node);
    std::span<const RowId> rows(uint64_t node) const;
};

}  // namespace quorvelin
