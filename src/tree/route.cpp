#include "tree/route.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "error.hpp"
#include "tree/partition.hpp"

namespace quorvelin {

namespace {

// The column a record tests, once the record and the rows are known to fit the data.
const std::vector<uint8_t>& split_column(const SplitInfo& record, const DMatrix& data, std::span<const RowId> rows) {
    if (!record.value || record.value->empty())
        stop("node " + std::to_string(record.node_id) + " has no split value to split on");
    if (record.feature_id >= data.x.size())
        stop("node " + std::to_string(record.node_id) + " tests feature " + std::to_string(record.feature_id) +
             ", which the data does not have");
    const std::vector<uint8_t>& column = data.x[record.feature_id];
    for (RowId r : rows)
        if (r >= column.size()) stop("index out of bounds: row " + std::to_string(r));
    return column;
}

}  // namespace

uint64_t split_rows(const SplitInfo& record, const DMatrix& data, std::span<RowId> rows, std::vector<RowId>& scratch,
                    bool keep_order) {
    const std::vector<uint8_t>& column = split_column(record, data, rows);
    const uint8_t t = (*record.value)[0];
    const size_t n = rows.size();

    if (keep_order) {
        // A stable partition: both sides keep their order and hold exactly the rows the sorted
        // or exchanged split would put there.
        if (scratch.size() < n) scratch.resize(n);
        size_t n_left = 0, n_right = 0;
        for (size_t i = 0; i < n; ++i) {
            const RowId r = rows[i];
            if (goes_left(column[r], t, record.is_cat))
                rows[n_left++] = r;
            else
                scratch[n_right++] = r;
        }
        std::copy(scratch.begin(), scratch.begin() + n_right, rows.begin() + n_left);
        return n_left;
    }

    if (!record.is_cat) {
        if (scratch.size() < n) scratch.resize(n);
        data.sort_by_feature(record.feature_id, rows.data(), n, scratch.data());
        uint64_t n_left = 0;
        while (n_left < n && goes_left(column[rows[n_left]], t, false)) ++n_left;
        return n_left;
    }

    int64_t lo = 0, hi = static_cast<int64_t>(n) - 1;
    while (lo <= hi) {
        if (goes_left(column[rows[lo]], t, true)) {
            ++lo;
        } else {
            if (goes_left(column[rows[hi]], t, true)) {
                std::swap(rows[lo], rows[hi]);
                ++lo;
            }
            --hi;
        }
    }
    return static_cast<uint64_t>(lo);
}

uint64_t split_counted_rows(const SplitInfo& record, const DMatrix& data, std::span<RowId> rows,
                            std::span<RowId> counts, std::vector<RowId>& scratch) {
    if (counts.size() != rows.size()) stop("a counted segment needs one count per row");
    const std::vector<uint8_t>& column = split_column(record, data, rows);
    const uint8_t t = (*record.value)[0];
    const size_t n = rows.size();
    // Rows going right wait in the first half of the scratch, their counts in the second.
    if (scratch.size() < 2 * n) scratch.resize(2 * n);
    RowId* right_rows = scratch.data();
    RowId* right_counts = scratch.data() + n;
    size_t n_left = 0, n_right = 0;
    // Every entry is written to both sides and only the side it belongs to advances: which side
    // that is follows the data, and a branch on it would be mispredicted about as often as not.
    // Writing rows[n_left] is safe as n_left never passes i.
    auto partition = [&](auto left_of) {
        for (size_t i = 0; i < n; ++i) {
            const RowId r = rows[i], c = counts[i];
            const bool left = left_of(column[r]);
            rows[n_left] = r;
            counts[n_left] = c;
            right_rows[n_right] = r;
            right_counts[n_right] = c;
            n_left += left;
            n_right += !left;
        }
    };
    if (record.is_cat)
        partition([t](uint8_t bin) { return goes_left(bin, t, true); });
    else
        partition([t](uint8_t bin) { return goes_left(bin, t, false); });
    std::copy(right_rows, right_rows + n_right, rows.begin() + n_left);
    std::copy(right_counts, right_counts + n_right, counts.begin() + n_left);
    return n_left;
}

namespace {

// Sends every row of the partition's root down the tree, node by node, without recursion: a
// pathological depth must not exhaust the stack.
void route_rows(const Tree& tree, const DMatrix& data, Partition& partition, std::vector<RowId>& scratch) {
    std::vector<uint64_t> pending{0};
    while (!pending.empty()) {
        uint64_t current = pending.back();
        pending.pop_back();
        while (current < tree.n_nodes() && tree.left_children[current]) {
            const SplitInfo& record = tree.split_at(current);
            if (record.node_id != current)
                stop("node " + std::to_string(current) + " holds the split record of node " +
                     std::to_string(record.node_id));
            const uint64_t n_left = split_rows(record, data, partition.rows(current), scratch, false);
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

}  // namespace

RowLists predict_tree(const Tree& tree, const DMatrix& data) {
    const uint64_t n = data.n_rows();
    if (n > std::numeric_limits<RowId>::max()) stop("the table has more rows than a tree can index");
    const uint64_t n_nodes = tree.n_nodes();
    Partition partition = Partition::every_row(n, n_nodes);
    std::vector<RowId> scratch(n);
    route_rows(tree, data, partition, scratch);

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

bool route_tree(const Tree& tree, const DMatrix& data, RoutedTree& out) {
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
    std::vector<uint32_t> depth(n_nodes, 0);
    out.depth = 0;
    for (uint64_t node = 0; node < n_nodes; ++node) {
        RoutedTree::Node& nd = out.nodes[node];
        if (!tree.left_children[node]) {
            // A leaf keeps every row; any column serves for the unused test.
            nd.child[0] = nd.child[1] = static_cast<uint32_t>(node);
            if (!data.x.empty()) nd.column = data.x[0].data();
            out.depth = std::max(out.depth, depth[node]);
            continue;
        }
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
        const uint8_t split = (*record.value)[0];
        nd.column = data.x[record.feature_id].data();
        nd.child[0] = static_cast<uint32_t>(left);
        nd.child[1] = static_cast<uint32_t>(right);
        if (record.is_cat) {
            // A stored categorical split on the missing bin sends every row right.
            if (split == kMissingBin) nd.child[0] = nd.child[1];
            nd.lo = split;
            nd.span = 0;
        } else {
            nd.lo = 0;
            nd.span = std::min<uint8_t>(split, kMissingBin - 1);
        }
        if (depth[node] >= UINT32_MAX - 1) stop("the tree is too deep to route");
        depth[left] = std::max(depth[left], depth[node] + 1);
        depth[right] = std::max(depth[right], depth[node] + 1);
    }
    return true;
}

void RoutedTree::leaves(size_t begin, size_t end, uint32_t* leaf) const {
    constexpr size_t kLanes = 8;
    size_t r = begin;
    for (; r + kLanes <= end; r += kLanes) {
        uint32_t node[kLanes] = {};
        for (uint32_t d = 0; d < depth; ++d)
            for (size_t i = 0; i < kLanes; ++i) node[i] = step(node[i], r + i);
        for (size_t i = 0; i < kLanes; ++i) leaf[r - begin + i] = node[i];
    }
    for (; r < end; ++r) leaf[r - begin] = leaf_of(r);
}

bool predict_add(const Tree& tree, const DMatrix& data, RowLists& sum, bool first) {
    const uint64_t n = data.n_rows();
    RoutedTree router;
    if (!route_tree(tree, data, router) || router.width != sum.width || sum.n_rows != n) return false;
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

}  // namespace quorvelin
