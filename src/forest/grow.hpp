#pragma once
// Growth of one tree: a bootstrap sample of the rows, then depth-first growth with a fresh
// random choice of candidate features at every node, each node's best split asked of the
// criterion. A grower serves the trees one thread grows in a row and keeps its row-sized
// buffers between them: allocating them afresh per tree costs page faults, which contend
// between threads.
#include <cstdint>
#include <vector>

#include "criteria/criterion.hpp"
#include "data/config.hpp"
#include "data/dmatrix.hpp"
#include "forest/random.hpp"
#include "tree/partition.hpp"
#include "tree/tree.hpp"

namespace quorvelin {

class TreeGrower {
public:
    // Both must outlive the grower.
    TreeGrower(const TreeConfig& config, Criterion& criterion) : config_(config), criterion_(criterion) {}

    // `rc` holds the per-row inputs the criterion prepared for `data`.
    Tree grow(const DMatrix& data, const RowCodes& rc, Random& random);

private:
    // Grows one node: records its split and, when it gets children, splits its rows. Returns
    // whether children were made.
    bool grow_node(Tree& tree, uint64_t node, const DMatrix& data, const RowCodes& rc, Random& random);

    // The node's sample, with its parent and sibling when it is the larger child of a
    // counted split.
    NodeSample sample_of(const Tree& tree, uint64_t node) const;

    const TreeConfig& config_;
    Criterion& criterion_;
    Partition partition_;
    std::vector<RowId> scratch_;
    // The rows that fill the summaries under honest estimation; empty otherwise.
    std::vector<RowId> estimation_;
    std::vector<uint64_t> candidates_;
    std::vector<uint64_t> parent_;
    // Set for a fit whose tallies are exact in any row order: the partition then holds each
    // distinct sampled row once with the number of times it was drawn, in ascending row order,
    // which reads the table sequentially; only the multiset of rows in each node matters.
    bool order_free_ = false;
};

}  // namespace quorvelin
