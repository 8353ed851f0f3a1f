#include "forest/grow.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include "error.hpp"
#include "forest/honest.hpp"
#include "stop_point.hpp"
#include "tree/route.hpp"

namespace quorvelin {

namespace {

void shrink_to_fit(Tree& tree) {
    tree.level.shrink_to_fit();
    tree.left_children.shrink_to_fit();
    tree.right_children.shrink_to_fit();
    tree.split.shrink_to_fit();
    for (std::optional<SplitInfo>& record : tree.split) {
        if (!record) continue;
        if (record->value) record->value->shrink_to_fit();
        for (std::vector<float>& row : record->summary) row.shrink_to_fit();
        record->summary.shrink_to_fit();
    }
}

}  // namespace

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
        // Counting sort by row id: the same multiset of rows, ascending, each distinct row once
        // with its multiplicity. About a third of a bootstrap draw repeats a row; those entries
        // are neither tallied nor moved again.
        // The split scratch serves as the tally of draws per row: it is not needed until then.
        std::vector<RowId>& drawn = scratch_;
        drawn.assign(n, 0);
        for (RowId r : sample) ++drawn[r];
        // Sized to the distinct rows (about 63% of a draw), not grown by doubling: with several
        // workers each one keeps this buffer for the whole fit.
        size_t distinct = 0;
        for (RowId r = 0; r < n; ++r) distinct += drawn[r] != 0;
        std::vector<RowId> counts = std::move(partition_.count);
        counts.clear();
        counts.reserve(distinct);  // exact, where growing by resize would double
        counts.resize(distinct);
        size_t at = 0;
        for (RowId r = 0; r < n; ++r) {
            if (drawn[r] == 0) continue;
            counts[at] = drawn[r];
            sample[at++] = r;
        }
        sample.resize(at);
        partition_ = Partition::from_counted_sample(std::move(sample), std::move(counts));
        // Splits park the right side's rows and counts in the scratch. Growing it in place
        // would hold the old and the new buffer at once; free the old one first.
        if (scratch_.capacity() < 2 * at) {
            scratch_ = {};
            scratch_.resize(2 * at);
        }
    } else {
        partition_ = Partition::from_sample(std::move(sample));
        scratch_.resize(partition_.index.size());
    }
    parent_.assign(1, 0);

    // Depth-first, left subtree before right, without recursion: a pathological depth limit
    // must not exhaust the stack.
    Tree tree;
    std::vector<uint64_t> pending{0};
    while (!pending.empty()) {
        stop_point();
        const uint64_t current = pending.back();
        pending.pop_back();
        if (grow_node(tree, current, data, rc, random)) {
            pending.push_back(*tree.right_children[current]);
            pending.push_back(*tree.left_children[current]);
        }
    }
    if (config_.honesty) criterion_.summarise(tree, data, rc, estimation_);
    // A forest keeps every tree for good: spare capacity from growth would make a fitted model
    // several times the size of the same model loaded.
    shrink_to_fit(tree);
    return tree;
}

bool TreeGrower::grow_node(Tree& tree, uint64_t node, const DMatrix& data, const RowCodes& rc, Random& random) {
    const uint64_t f = data.x.size();
    const uint64_t max_features = config_.max_features;
    random.choose_into(f, std::min(f, max_features), false, candidates_);
    if (candidates_.empty())
        stop(max_features == 0 ? "no candidate feature (max_features is 0)"
                               : "no candidate feature (the data has no feature column)");
    // The first record, unless a later one found a split and the kept one did not or a later
    // split gains strictly more. Records are compared in place and only the winner is copied.
    const std::vector<SplitInfo>& found = criterion_.find_node_splits(data, rc, candidates_, sample_of(tree, node));
    if (found.empty()) stop("the criterion returned no split record");
    size_t b = 0;
    for (size_t i = 1; i < found.size(); ++i) {
        if (!found[i].value) continue;
        if (!found[b].value || found[i].gain > found[b].gain) b = i;
    }
    const SplitInfo& best = found[b];
    tree.add_split(node, best);
    if (!best.value) return false;
    if (tree.level[node] >= config_.max_depth) return false;
    tree.add_left(node);
    tree.add_right(node);
    parent_.resize(tree.n_nodes());
    parent_[*tree.left_children[node]] = parent_[*tree.right_children[node]] = node;
    const uint64_t id = best.node_id;
    const uint64_t n_left = order_free_
                                ? split_counted_rows(best, data, partition_.rows(id), partition_.counts(id), scratch_)
                                : split_rows(best, data, partition_.rows(id), scratch_, false);
    partition_.split(id, n_left);
    return true;
}

NodeSample TreeGrower::sample_of(const Tree& tree, uint64_t node) const {
    NodeSample s;
    s.node_id = node;
    s.level = tree.level[node];
    s.rows = partition_.rows(node);
    s.counts = partition_.counts(node);
    if (!order_free_ || node == 0 || node >= parent_.size()) return s;
    const uint64_t parent = parent_[node];
    const uint64_t sibling = *tree.left_children[parent] == node ? *tree.right_children[parent]
                                                                 : *tree.left_children[parent];
    // Deriving pays when the sibling has fewer entries to tally.
    if (partition_.size[sibling] >= partition_.size[node]) return s;
    s.parent = parent;
    s.sibling_rows = partition_.rows(sibling);
    s.sibling_counts = partition_.counts(sibling);
    return s;
}

}  // namespace quorvelin
