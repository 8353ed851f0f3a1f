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

// A tree flattened for routing rows one at a time: every row takes exactly the path that
// segment-wise routing gives it, and its leaf's list is read from one table.
struct RoutedTree {
    struct Node {
        uint32_t left = 0;  // 0 for a leaf (the root is nobody's child)
        uint32_t right = 0;
        const uint8_t* column = nullptr;
        uint8_t bin = 0;
        bool is_cat = false;
    };
    std::vector<Node> nodes;
    std::vector<float> uplift;  // width values per node; leaves only
    size_t width = 0;

    const float* leaf_uplift(size_t row) const {
        uint32_t node = 0;
        while (nodes[node].left != 0) {
            const Node& nd = nodes[node];
            node = goes_left(nd.column[row], nd.bin, nd.is_cat) ? nd.left : nd.right;
        }
        return uplift.data() + static_cast<size_t>(node) * width;
    }
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
