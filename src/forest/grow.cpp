#include "forest/grow.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include "error.hpp"
#include "forest/honest.hpp"
#include "tree/route.hpp"

namespace quorvelin {

Tree TreeGrower::grow(const DMatrix& data, const RowCodes& rc, Random& random) {
    const uint64_t n = data.n_rows();
    if (n > std::numeric_limits<RowId>::max()) stop("the table has more rows than a tree can index");
    const float product = config_.subsample * static_cast<float>(n);
    const uint64_t k = saturating_u64(product);
    std::vector<RowId> sample = std::move(partition_.index);
    random.choose_into(n, k, true, sample);
    if (config_.honesty) split_for_honesty(sample, config_.estimation_sample_size, n, random, estimation_);
    order_free_ = criterion_.order_free(rc, sample.size());
    if (order_free_) {
        // Counting sort by row id: the same multiset of rows, ascending.
        count_.assign(n, 0);
        for (RowId r : sample) ++count_[r];
        size_t at = 0;
        for (RowId r = 0; r < n; ++r)
            for (RowId c = count_[r]; c > 0; --c) sample[at++] = r;
    }
    partition_ = Partition::from_sample(std::move(sample));
    scratch_.resize(partition_.index.size());

    // Depth-first, left subtree before right, without recursion: a pathological depth limit
    // must not exhaust the stack.
    Tree tree;
    std::vector<uint64_t> pending{0};
    while (!pending.empty()) {
        const uint64_t current = pending.back();
        pending.pop_back();
        if (grow_node(tree, current, data, rc, random)) {
            pending.push_back(*tree.right_children[current]);
            pending.push_back(*tree.left_children[current]);
        }
    }
    if (config_.honesty) criterion_.summarise(tree, data, rc, estimation_);
    return tree;
}

bool TreeGrower::grow_node(Tree& tree, uint64_t node, const DMatrix& data, const RowCodes& rc, Random& random) {
    const uint64_t f = data.x.size();
    const uint64_t max_features = config_.max_features;
    random.choose_into(f, std::min(f, max_features), false, candidates_);
    if (candidates_.empty())
        stop(max_features == 0 ? "no candidate feature (max_features is 0)"
                               : "no candidate feature (the data has no feature column)");
    const std::span<const RowId> rows = std::as_const(partition_).rows(node);

    std::optional<SplitInfo> best;
    for (SplitInfo& r : criterion_.find_best_splits(data, rc, node, candidates_, rows)) {
        if (!best) {
            best = std::move(r);
        } else if (!r.value) {
            continue;
        } else if (!best->value || r.gain > best->gain) {
            best = std::move(r);
        }
    }
    tree.add_split(node, *best);
    if (!best->value) return false;
    if (tree.level[node] >= config_.max_depth) return false;
    tree.add_left(node);
    tree.add_right(node);
    const uint64_t n_left = split_rows(*best, data, partition_.rows(best->node_id), scratch_, order_free_);
    partition_.split(best->node_id, n_left);
    return true;
}

}  // namespace quorvelin
