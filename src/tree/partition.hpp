#pragma once
// Which rows reach each node of one tree: one list of row ids, one contiguous segment per node.
#include <cstdint>
#include <span>
#include <vector>

#include "data/dmatrix.hpp"

namespace quorvelin {

struct Partition {
    std::vector<RowId> index;
    // How many times each entry of `index` was drawn, in step with it; empty when every entry
    // stands for one draw (a row drawn twice then occurs twice in `index`).
    std::vector<RowId> count;
    std::vector<uint64_t> start;
    std::vector<uint64_t> size;

    // One root segment holding the sample as given (a row may occur several times).
    static Partition from_sample(std::vector<RowId> sample);
    // One root segment holding distinct rows and how many times each was drawn.
    static Partition from_counted_sample(std::vector<RowId> rows, std::vector<RowId> counts);
    // Every row of the table in the root, with room for the segments of n_nodes nodes.
    static Partition every_row(uint64_t n_rows, uint64_t n_nodes);
    void split(uint64_t node, uint64_t n_left);
    std::span<RowId> rows(uint64_t node);
    std::span<const RowId> rows(uint64_t node) const;
    // The node's multiplicities, in step with rows(node); empty for an uncounted partition.
    std::span<RowId> counts(uint64_t node);
    std::span<const RowId> counts(uint64_t node) const;
};

}  // namespace quorvelin
