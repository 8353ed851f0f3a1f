#pragma once
// The learner of one tree: bootstrap sample, depth-first growth with a fresh random choice of
// candidate features at every node, and prediction by routing all rows down the tree together.
// Written once for both (tree kind, criterion) pairs.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/config.hpp"
#include "data/dmatrix.hpp"
#include "criteria/kl.hpp"
#include "criteria/linalg.hpp"
#include "tree/partition.hpp"
#include "forest/random.hpp"
#include "criteria/regression.hpp"
#include "criteria/statistic.hpp"
#include "tree/tree.hpp"

namespace quorvelin {

// Row-sized buffers reused by the trees one thread grows in a row: allocating them afresh for
// every tree costs page faults, which contend between threads.
struct GrowthBuffers {
    std::vector<RowId> sample;
    std::vector<RowId> count;
    std::vector<RowId> scratch;
};

// A tree flattened for routing rows one at a time: every row takes exactly the path that
// segment-wise routing gives it (same tests, missing cells right), and its leaf's list is read
// from one table.
struct RoutedTree {
    struct Node {
        uint32_t left = 0;  // 0 for a leaf (the root is nobody's child)
        uint32_t right = 0;
        const uint8_t* column = nullptr;
        uint8_t bin = 0;
        bool iscat = false;
    };
    std::vector<Node> nodes;
    std::vector<float> uplift;  // width values per node; leaves only
    size_t width = 0;

    const float* leaf_uplift(size_t row) const {
        uint32_t node = 0;
        while (nodes[node].left != 0) {
            const Node& nd = nodes[node];
            const uint8_t b = nd.column[row];
            const bool left = b != kMissingBin && (nd.iscat ? b == nd.bin : b <= nd.bin);
            node = left ? nd.left : nd.right;
        }
        return uplift.data() + static_cast<size_t>(node) * width;
    }
};

template <class TreeT, class StrategyT>
class TreeLearn {
public:
    using TreeType = TreeT;
    using StrategyType = StrategyT;

    TreeConfig config;
    Partition partition;
    TreeT tree;
    StrategyT strategy;
    uint64_t max_features;
    uint64_t max_depth;

    explicit TreeLearn(TreeConfig cfg);

    // `rc` holds the per-row inputs of the criterion, prepared once for `data` by the forest.
    void fit(const DMatrix& data, const RowCodes& rc, Random& random, GrowthBuffers* buffers = nullptr);
    void grow_tree(uint64_t node, const DMatrix& data, const RowCodes& rc, Random& random);
    uint64_t split(const SplitInfo& record, const DMatrix& data);

    RowLists predict(const DMatrix& data);
    // sum = predict(data) when `first`, else sum = add(sum, predict(data)), computed row by row
    // without building the tree's own lists. Returns false, leaving `sum` untouched, when the
    // tree's leaves do not all give lists of sum's width (the caller then uses predict).
    bool predict_add(const DMatrix& data, RowLists& sum, bool first) const;
    // Flattens the tree for `data`; false when its leaves' lists are empty or differ in length.
    bool routed(const DMatrix& data, RoutedTree& out) const;
    void recursive_split(uint64_t node, const DMatrix& data);

    std::string to_string() const;
    static TreeLearn from_string(std::string_view text);

private:
    // Grows one node: records its split and, when it gets children, splits its rows. Returns
    // whether children were made.
    bool grow_node(uint64_t node, const DMatrix& data, const RowCodes& rc, Random& random);
    std::vector<RowId> scratch_;
    // Set for a fit whose tallies are exact in any row order (integer weights, small totals):
    // a node's rows are then kept in ascending row order, which reads the table sequentially,
    // and only the set of rows in each node matters.
    bool order_free_ = false;
    std::vector<uint64_t> candidates_;
};

using ClassifierLearn = TreeLearn<ClassificationTree, KLStrategy>;
using RegressorLearn = TreeLearn<RegressionTree, RegressionStrategy>;

extern template class TreeLearn<ClassificationTree, KLStrategy>;
extern template class TreeLearn<RegressionTree, RegressionStrategy>;

}  // namespace quorvelin
