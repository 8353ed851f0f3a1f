#pragma once
// Routing rows down a tree: the one rule that sends a row left, the split of a node's rows by
// it, and prediction of a whole table with a fitted tree.
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/linalg.hpp"
#include "data/bin.hpp"
#include "data/dmatrix.hpp"
#include "tree/split_info.hpp"
#include "tree/tree.hpp"

namespace quorvelin {

// A missing cell goes right; a categorical test is equality with the split bin, a continuous
// one "at most the split bin".
inline bool goes_left(uint8_t bin, uint8_t split_bin, bool is_cat) {
    return bin != kMissingBin && (is_cat ? bin == split_bin : bin <= split_bin);
}

// Reorders `rows` (the node's segment) so the rows going left by `record` come first and
// returns how many they are. With `keep_order` both sides keep their order; otherwise the
// continuous split sorts the segment by bin and the categorical one exchanges rows from both
// ends. `scratch` is resized as needed. Stops when the record cannot be applied to `data`.
uint64_t split_rows(const SplitInfo& record, const DMatrix& data, std::span<RowId> rows, std::vector<RowId>& scratch,
                    bool keep_order);

// As split_rows keeping order, for a segment of distinct rows with their multiplicities:
// `counts` moves in step with `rows`. `scratch` is resized as needed.
uint64_t split_counted_rows(const SplitInfo& record, const DMatrix& data, std::span<RowId> rows,
                            std::span<RowId> counts, std::vector<RowId>& scratch);

// A tree flattened for routing: every row takes exactly the path that segment-wise routing
// gives it, and its leaf's list is read from one table. A node sends a row to child[0] (left)
// when (uint8_t)(bin - lo) <= span: "bin <= split" for a continuous test (lo 0), "bin ==
// split" for a categorical one (span 0); a missing cell (255) never passes either, as the split
// bins stop below it. A leaf sends every row to itself, so `depth` steps from the root reach
// every row's leaf whatever its path length, with no branch on the data.
struct RoutedTree {
    struct Node {
        const uint8_t* column = nullptr;  // a leaf reads some column too; its result is unused
        uint32_t child[2] = {0, 0};
        uint8_t lo = 0;
        uint8_t span = 255;
    };
    std::vector<Node> nodes;
    std::vector<float> uplift;  // width values per node; leaves only
    size_t width = 0;
    uint32_t depth = 0;  // the longest path from the root to a leaf

    uint32_t step(uint32_t node, size_t row) const {
        const Node& nd = nodes[node];
        return nd.child[static_cast<uint8_t>(nd.column[row] - nd.lo) > nd.span];
    }
    uint32_t leaf_of(size_t row) const {
        uint32_t node = 0;
        for (uint32_t d = 0; d < depth; ++d) node = step(node, row);
        return node;
    }
    const float* leaf_uplift(size_t row) const { return uplift.data() + static_cast<size_t>(leaf_of(row)) * width; }
    // leaf[i] = leaf_of(begin + i) for the rows [begin, end), several rows walked side by side
    // so their memory reads overlap.
    void leaves(size_t begin, size_t end, uint32_t* leaf) const;
};

// Flattens `tree` for `data`; false when its leaves' lists are empty or differ in length.
bool route_tree(const Tree& tree, const DMatrix& data, RoutedTree& out);

// The tree's list for every row of `data`, routed segment by segment.
RowLists predict_tree(const Tree& tree, const DMatrix& data);
// sum = predict_tree(data) when `first`, else sum = add(sum, predict_tree(data)), computed row
// by row without building the tree's own lists. Returns false, leaving `sum` untouched, when the
// tree's leaves do not all give lists of sum's width (the caller then uses predict_tree).
bool predict_add(const Tree& tree, const DMatrix& data, RowLists& sum, bool first);

}  // namespace quorvelin
