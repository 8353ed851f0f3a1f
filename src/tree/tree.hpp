#pragma once
// A tree as parallel lists indexed by node id: the root is 0 and children are made in pairs,
// left first.
#include <cstdint>
#include <optional>
#include <vector>

#include "data/config.hpp"
#include "tree/split_info.hpp"

namespace quorvelin {

class Tree {
public:
    std::vector<uint64_t> level{0};
    std::vector<std::optional<uint64_t>> left_children{std::nullopt};
    std::vector<std::optional<uint64_t>> right_children{std::nullopt};
    std::vector<std::optional<SplitInfo>> split{std::nullopt};

    size_t n_nodes() const { return level.size(); }
    uint64_t add_left(uint64_t node);
    uint64_t add_right(uint64_t node);
    void add_split(uint64_t node, SplitInfo record);
    // Reads the record in place; stops when the node has none.
    const SplitInfo& split_at(uint64_t node) const;
    // One value per treatment group other than the control: summary[k][0] - summary[0][0].
    std::vector<float> get_uplift(uint64_t node) const;
    // Each node's parent, kNoParent for the root (and for a node no link reaches).
    static constexpr uint64_t kNoParent = UINT64_MAX;
    std::vector<uint64_t> parents() const;
    // The uplift prediction reads: get_uplift, with every NaN element (a group without weight
    // in the leaf) replaced by the same element of the nearest ancestor whose own uplift has a
    // number there. Where no ancestor has one, the NaN stays.
    std::vector<float> leaf_uplift(uint64_t node, const std::vector<uint64_t>& parent) const;

private:
    uint64_t add_child(uint64_t node, std::vector<std::optional<uint64_t>>& links);
};

// A tree with the configuration its section of the model file carries.
struct FittedTree {
    TreeConfig config;
    Tree tree;
};

}  // namespace quorvelin
