#include "tree/tree.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "error.hpp"

namespace quorvelin {

namespace {

[[noreturn]] void no_node(uint64_t node, size_t n) {
    stop("index out of bounds: the tree has " + std::to_string(n) + " nodes but the node is " + std::to_string(node));
}

}  // namespace

uint64_t Tree::add_child(uint64_t node, std::vector<std::optional<uint64_t>>& links) {
    if (node >= level.size()) no_node(node, level.size());
    const uint64_t id = level.size();
    links[node] = id;
    level.push_back(level[node] + 1);
    left_children.emplace_back();
    right_children.emplace_back();
    split.emplace_back();
    return id;
}

uint64_t Tree::add_left(uint64_t node) { return add_child(node, left_children); }
uint64_t Tree::add_right(uint64_t node) { return add_child(node, right_children); }

void Tree::add_split(uint64_t node, SplitInfo record) {
    if (node < split.size()) split[node] = std::move(record);
}

const SplitInfo& Tree::split_at(uint64_t node) const {
    if (node >= split.size()) no_node(node, split.size());
    if (!split[node]) stop("node " + std::to_string(node) + " has no split record");
    return *split[node];
}

std::vector<float> Tree::get_uplift(uint64_t node) const {
    const Matrix& s = split_at(node).summary;
    std::vector<float> out;
    if (s.size() < 2) return out;
    if (s[0].empty()) stop("node " + std::to_string(node) + ": summary row 0 has no column 0");
    out.reserve(s.size() - 1);
    for (size_t k = 1; k < s.size(); ++k) {
        if (s[k].empty()) stop("node " + std::to_string(node) + ": summary row " + std::to_string(k) + " has no column 0");
        out.push_back(s[k][0] - s[0][0]);
    }
    return out;
}

std::vector<uint64_t> Tree::parents() const {
    std::vector<uint64_t> parent(n_nodes(), kNoParent);
    for (uint64_t node = 0; node < n_nodes(); ++node) {
        for (const auto& child : {left_children[node], right_children[node]})
            if (child && *child < parent.size() && *child > node) parent[*child] = node;
    }
    return parent;
}

std::vector<float> Tree::leaf_uplift(uint64_t node, const std::vector<uint64_t>& parent) const {
    std::vector<float> out = get_uplift(node);
    auto has_nan = [](const std::vector<float>& u) {
        for (float x : u)
            if (std::isnan(x)) return true;
        return false;
    };
    // Children have larger ids than their parents, so the walk ends at the root.
    uint64_t up = node < parent.size() ? parent[node] : kNoParent;
    while (has_nan(out) && up != kNoParent) {
        if (!split[up]) break;
        const std::vector<float> above = get_uplift(up);
        for (size_t j = 0; j < out.size() && j < above.size(); ++j)
            if (std::isnan(out[j])) out[j] = above[j];
        up = parent[up];
    }
    return out;
}

}  // namespace quorvelin
