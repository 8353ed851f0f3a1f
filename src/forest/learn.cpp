#include "forest/learn.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <string>
#include <utility>

#include "error.hpp"
#include "io/model_file.hpp"

namespace quorvelin {

namespace {

template <class StrategyT>
StrategyT make_strategy(const TreeConfig& c);

template <>
KLStrategy make_strategy<KLStrategy>(const TreeConfig& c) {
    return KLStrategy(c.min_samples_leaf, c.min_samples_treatment, c.n_reg, c.alpha, c.normalization);
}

template <>
RegressionStrategy make_strategy<RegressionStrategy>(const TreeConfig& c) {
    return RegressionStrategy(c.min_samples_leaf, c.min_samples_treatment, c.alpha);
}

}  // namespace

template <class TreeT, class StrategyT>
TreeLearn<TreeT, StrategyT>::TreeLearn(TreeConfig cfg)
    : config(std::move(cfg)),
      strategy(make_strategy<StrategyT>(config)),
      max_features(config.max_features),
      max_depth(config.max_depth) {}

template <class TreeT, class StrategyT>
void TreeLearn<TreeT, StrategyT>::fit(const DMatrix& data, const RowCodes& rc, Random& random,
                                      GrowthBuffers* buffers) {
    const uint64_t n = data.n_rows();
    if (n > std::numeric_limits<RowId>::max()) stop("the table has more rows than a tree can index");
    const float product = config.subsample * static_cast<float>(n);
    const uint64_t k = saturating_u64(product);
    GrowthBuffers local;
    GrowthBuffers& buf = buffers ? *buffers : local;
    std::vector<RowId> sample = std::move(buf.sample);
    random.choose_into(n, k, true, sample);
    order_free_ = std::is_same_v<StrategyT, KLStrategy> && rc.integer_weights &&
                  static_cast<double>(rc.max_abs_weight) * static_cast<double>(k) <= 16777216.0;
    if (order_free_) {
        // Counting sort by row id: the same multiset of rows, ascending.
        std::vector<RowId>& count = buf.count;
        count.assign(n, 0);
        for (RowId r : sample) ++count[r];
        size_t at = 0;
        for (RowId r = 0; r < n; ++r)
            for (RowId c = count[r]; c > 0; --c) sample[at++] = r;
    }
    partition = Partition::subsample(std::move(sample));
    scratch_ = std::move(buf.scratch);
    scratch_.resize(partition.index.size());
    grow_tree(0, data, rc, random);
    order_free_ = false;
    // The row lists served growth only; prediction builds its own. A forest keeps many
    // learners, so they go back to the buffers rather than stay with the learner.
    buf.sample = std::move(partition.index);
    buf.scratch = std::move(scratch_);
    partition = Partition{};
    scratch_ = {};
}

template <class TreeT, class StrategyT>
void TreeLearn<TreeT, StrategyT>::grow_tree(uint64_t node, const DMatrix& data, const RowCodes& rc, Random& random) {
    // Depth-first, left subtree before right, without recursion: a pathological depth limit
    // must not exhaust the stack.
    std::vector<uint64_t> pending{node};
    while (!pending.empty()) {
        const uint64_t current = pending.back();
        pending.pop_back();
        if (grow_node(current, data, rc, random)) {
            pending.push_back(*tree.right_children[current]);
            pending.push_back(*tree.left_children[current]);
        }
    }
}

template <class TreeT, class StrategyT>
bool TreeLearn<TreeT, StrategyT>::grow_node(uint64_t node, const DMatrix& data, const RowCodes& rc, Random& random) {
    const uint64_t f = data.x.size();
    random.choose_into(f, std::min(f, max_features), false, candidates_);
    if (candidates_.empty())
        stop(max_features == 0 ? "no candidate feature (max_features is 0)"
                               : "no candidate feature (the data has no feature column)");
    const std::span<const RowId> rows = std::as_const(partition).rows(node);

    std::optional<SplitInfo> best;
    for (SplitInfo& r : strategy.find_best_splits(data, rc, node, candidates_, rows)) {
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
    if (tree.level[node] >= max_depth) return false;
    tree.add_left(node);
    tree.add_right(node);
    const uint64_t n_left = split(*best, data);
    partition.split(best->node_id, n_left);
    return true;
}

template <class TreeT, class StrategyT>
uint64_t TreeLearn<TreeT, StrategyT>::split(const SplitInfo& record, const DMatrix& data) {
    if (!record.value || record.value->empty())
        stop("node " + std::to_string(record.node_id) + " has no split value to split on");
    if (record.feature_id >= data.x.size())
        stop("node " + std::to_string(record.node_id) + " tests feature " + std::to_string(record.feature_id) +
             ", which the data does not have");
    const std::span<RowId> rows = partition.rows(record.node_id);
    const std::vector<uint8_t>& column = data.x[record.feature_id];
    for (RowId r : rows)
        if (r >= column.size()) stop("index out of bounds: row " + std::to_string(r));
    const uint8_t t = (*record.value)[0];
    const size_t n = rows.size();

    if (order_free_) {
        // Only membership matters here: a stable partition keeps both sides in ascending row
        // order and puts exactly the rows the sorted or exchanged split would put on each side.
        if (scratch_.size() < n) scratch_.resize(n);
        size_t n_left = 0, n_right = 0;
        for (size_t i = 0; i < n; ++i) {
            const RowId r = rows[i];
            const uint8_t b = column[r];
            const bool left = b != kMissingBin && (record.iscat ? b == t : b <= t);
            if (left)
                rows[n_left++] = r;
            else
                scratch_[n_right++] = r;
        }
        std::copy(scratch_.begin(), scratch_.begin() + n_right, rows.begin() + n_left);
        return n_left;
    }

    if (!record.iscat) {
        if (scratch_.size() < n) scratch_.resize(n);
        data.sort_by_feature(record.feature_id, rows.data(), n, scratch_.data());
        uint64_t n_left = 0;
        while (n_left < n) {
            const uint8_t b = column[rows[n_left]];
            if (b == kMissingBin || b > t) break;
            ++n_left;
        }
        return n_left;
    }

    auto goes_left = [&](RowId r) { return column[r] != kMissingBin && column[r] == t; };
    int64_t lo = 0, hi = static_cast<int64_t>(n) - 1;
    while (lo <= hi) {
        if (goes_left(rows[lo])) {
            ++lo;
        } else {
            if (goes_left(rows[hi])) {
                std::swap(rows[lo], rows[hi]);
                ++lo;
            }
            --hi;
        }
    }
    return static_cast<uint64_t>(lo);
}

template <class TreeT, class StrategyT>
RowLists TreeLearn<TreeT, StrategyT>::predict(const DMatrix& data) {
    const uint64_t n = data.n_rows();
    if (n > std::numeric_limits<RowId>::max()) stop("the table has more rows than a tree can index");
    const uint64_t n_nodes = tree.n_nodes();
    partition = Partition::refresh(n, n_nodes);
    scratch_.resize(n);
    recursive_split(0, data);

    std::vector<std::vector<float>> uplift(n_nodes);
    size_t width = 0;
    const std::vector<uint64_t> parent = tree.parents();
    for (uint64_t node = 0; node < n_nodes; ++node) {
        if (tree.left_children[node]) continue;
        uplift[node] = tree.leaf_uplift(node, parent);
        width = std::max(width, uplift[node].size());
    }
    RowLists result(n, width);
    for (uint64_t node = 0; node < n_nodes && node < partition.start.size(); ++node) {
        if (tree.left_children[node]) continue;
        const std::vector<float>& u = uplift[node];
        for (RowId r : std::as_const(partition).rows(node)) {
            std::copy(u.begin(), u.end(), result.row(r));
            result.len[r] = static_cast<uint32_t>(u.size());
        }
    }
    return result;
}

template <class TreeT, class StrategyT>
bool TreeLearn<TreeT, StrategyT>::routed(const DMatrix& data, RoutedTree& out) const {
    const uint64_t n_nodes = tree.n_nodes();
    if (n_nodes > UINT32_MAX) stop("the tree is too large to route");
    out.width = 0;
    bool width_known = false;
    out.uplift.clear();
    const std::vector<uint64_t> parent = tree.parents();
    for (uint64_t node = 0; node < n_nodes; ++node) {
        if (tree.left_children[node]) continue;
        const std::vector<float> u = tree.leaf_uplift(node, parent);
        if (!width_known) {
            out.width = u.size();
            width_known = true;
            out.uplift.assign(n_nodes * out.width, 0.0f);
        }
        if (u.size() != out.width || out.width == 0) return false;
        std::copy(u.begin(), u.end(), out.uplift.begin() + node * out.width);
    }
    out.nodes.assign(n_nodes, RoutedTree::Node{});
    for (uint64_t node = 0; node < n_nodes; ++node) {
        if (!tree.left_children[node]) continue;
        const SplitInfo& record = tree.split_at(node);
        if (!record.value || record.value->empty())
            stop("node " + std::to_string(node) + " has no split value to split on");
        if (record.feature_id >= data.x.size())
            stop("node " + std::to_string(node) + " tests feature " + std::to_string(record.feature_id) +
                 ", which the data does not have");
        if (!tree.right_children[node]) stop("node " + std::to_string(node) + " has a left child but no right child");
        const uint64_t left = *tree.left_children[node], right = *tree.right_children[node];
        if (left <= node || right <= node || left >= n_nodes || right >= n_nodes)
            stop("node " + std::to_string(node) + " links to a child outside the tree");
        out.nodes[node] = {static_cast<uint32_t>(left), static_cast<uint32_t>(right),
                           data.x[record.feature_id].data(), (*record.value)[0], record.iscat};
    }
    return true;
}

template <class TreeT, class StrategyT>
bool TreeLearn<TreeT, StrategyT>::predict_add(const DMatrix& data, RowLists& sum, bool first) const {
    const uint64_t n = data.n_rows();
    RoutedTree router;
    if (!routed(data, router) || router.width != sum.width || sum.n_rows != n) return false;
    if (!first)
        for (uint64_t r = 0; r < n; ++r)
            if (sum.len[r] != sum.width) return false;
    const size_t width = sum.width;
    for (uint64_t r = 0; r < n; ++r) {
        const float* u = router.leaf_uplift(r);
        float* out = sum.row(r);
        if (first) {
            for (size_t j = 0; j < width; ++j) out[j] = u[j];
            sum.len[r] = static_cast<uint32_t>(width);
        } else {
            for (size_t j = 0; j < width; ++j) out[j] = out[j] + u[j];
        }
    }
    return true;
}

template <class TreeT, class StrategyT>
void TreeLearn<TreeT, StrategyT>::recursive_split(uint64_t node, const DMatrix& data) {
    std::vector<uint64_t> pending{node};
    while (!pending.empty()) {
        uint64_t current = pending.back();
        pending.pop_back();
        while (current < tree.n_nodes() && tree.left_children[current]) {
            const SplitInfo& record = tree.split_at(current);
            if (record.node_id != current)
                stop("node " + std::to_string(current) + " holds the split record of node " +
                     std::to_string(record.node_id));
            const uint64_t n_left = split(record, data);
            if (!tree.right_children[current])
                stop("node " + std::to_string(current) + " has a left child but no right child");
            const uint64_t b = partition.start[current], s = partition.size[current];
            const uint64_t left = *tree.left_children[current], right = *tree.right_children[current];
            if (left < partition.start.size()) partition.start[left] = b, partition.size[left] = n_left;
            if (right < partition.start.size()) partition.start[right] = b + n_left, partition.size[right] = s - n_left;
            if (n_left > 0) pending.push_back(left);
            if (s - n_left == 0) break;
            current = right;
        }
    }
}

template <class TreeT, class StrategyT>
std::string TreeLearn<TreeT, StrategyT>::to_string() const {
    return tree_section_text(config, tree);
}

template <class TreeT, class StrategyT>
TreeLearn<TreeT, StrategyT> TreeLearn<TreeT, StrategyT>::from_string(std::string_view text) {
    TreeConfig cfg;
    Tree parsed;
    read_tree_section(text, cfg, parsed);
    TreeLearn learner(std::move(cfg));
    static_cast<Tree&>(learner.tree) = std::move(parsed);
    return learner;
}

template class TreeLearn<ClassificationTree, KLStrategy>;
template class TreeLearn<RegressionTree, RegressionStrategy>;

}  // namespace quorvelin
