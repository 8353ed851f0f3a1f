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

    static Partition subsample(std::vector<RowId> sample);
    static Partition refresh(uint64_t n_rows, uint64_t n_nodes);
    void split(uint64_t node, uint64_t n_left);
    std::span<RowId> rows(uint64_t node);
    std::span<const RowId> rows(uint64_t node) const;
};

}  // namespace quorvelin
