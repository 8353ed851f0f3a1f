#include "tree.hpp"

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

std::optional<SplitInfo> Tree::get_split_info(uint64_t node) const {
    if (node >= split.size()) no_node(node, split.size());
    return split[node];
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

}  // namespace quorvelin
