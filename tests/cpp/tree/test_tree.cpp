// Tree structure and the row partition of a tree.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <vector>

#include "tree/partition.hpp"
#include "test_util.hpp"
#include "tree/tree.hpp"

using namespace quorvelin;

namespace {

SplitInfo record(uint64_t node, float gain, Matrix summary = {{0.0f}}) {
    SplitInfo s;
    s.node_id = node;
    s.value = std::vector<uint8_t>{1};
    s.gain = gain;
    s.summary = std::move(summary);
    return s;
}
}  // namespace

TEST(Tree, ChildrenIdsDepthsAndRecords) {
    Tree t;
    EXPECT_EQ(t.level, (std::vector<uint64_t>{0}));
    EXPECT_FALSE(t.split[0].has_value());
    EXPECT_EQ(t.add_left(0), 1u);
    EXPECT_EQ(t.add_right(0), 2u);
    EXPECT_EQ(t.add_left(1), 3u);
    EXPECT_EQ(t.add_right(1), 4u);
    EXPECT_EQ(t.level, (std::vector<uint64_t>{0, 1, 1, 2, 2}));
    EXPECT_EQ(t.left_children, (std::vector<std::optional<uint64_t>>{1, 3, {}, {}, {}}));
    EXPECT_EQ(t.right_children, (std::vector<std::optional<uint64_t>>{2, 4, {}, {}, {}}));
    EXPECT_EQ(t.split.size(), 5u);
    t.add_split(0, record(0, 1.0f));
    t.add_split(0, record(0, 2.0f));
    EXPECT_EQ(t.split_at(0).gain, 2.0f);
    EXPECT_STOPS(t.split_at(1));
    // A record for a node that does not exist is dropped without a trace.
    t.add_split(9, record(9, 3.0f));
    EXPECT_EQ(t.split.size(), 5u);
    EXPECT_STOPS(t.add_left(5));
    EXPECT_STOPS(t.split_at(5));
    EXPECT_EQ(t.level.size(), 5u);
}

TEST(TreeUplift, DifferencesFromTheControl) {
    Tree t;
    t.add_split(0, record(0, 1.0f, {{0.10f, 9}, {0.25f, 9}, {0.05f, 9}}));
    EXPECT_EQ(t.get_uplift(0), (std::vector<float>{0.25f - 0.10f, 0.05f - 0.10f}));
    t.add_split(0, record(0, 1.0f, {{0.3f}}));
    EXPECT_TRUE(t.get_uplift(0).empty());
    t.add_split(0, record(0, 1.0f, {{0.3f}, {}}));
    EXPECT_STOPS(t.get_uplift(0));
    Tree bare;
    EXPECT_STOPS(bare.get_uplift(0));
}

TEST(TreeUplift, AGroupMissingFromALeafTakesTheNearestAncestorThatHasIt) {
    // Leaf 3 lacks groups 1 and 2; its parent 1 has group 1 only; the root has both.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Tree t;
    t.add_left(0), t.add_right(0), t.add_left(1), t.add_right(1);
    t.add_split(0, record(0, 1.0f, {{0.1f}, {0.3f}, {0.5f}}));
    t.add_split(1, record(1, 1.0f, {{0.2f}, {0.4f}, {nan}}));
    t.add_split(3, record(3, 1.0f, {{0.0f}, {nan}, {nan}}));
    const std::vector<float> u = t.leaf_uplift(3, t.parents());
    ASSERT_EQ(u.size(), 2u);
    EXPECT_EQ(u[0], 0.4f - 0.2f);
    EXPECT_EQ(u[1], 0.5f - 0.1f);
}

TEST(Partition, SegmentsOfTheChildren) {
    const Partition three = Partition::every_row(10, 3);
    EXPECT_EQ(three.index, qtest::all_rows(10));
    EXPECT_EQ(three.start, (std::vector<uint64_t>{0, 0, 0}));
    EXPECT_EQ(three.size, (std::vector<uint64_t>{10, 0, 0}));
    EXPECT_EQ(Partition::every_row(4, 0).size, (std::vector<uint64_t>{4}));
    Partition p = Partition::from_sample({5, 3, 3, 9, 0, 1, 2, 7});
    p.split(0, 3);
    p.split(2, 5);
    EXPECT_EQ(p.start, (std::vector<uint64_t>{0, 0, 3, 3, 8}));
    EXPECT_EQ(p.size, (std::vector<uint64_t>{8, 3, 5, 5, 0}));
    const auto left = p.rows(1), right = p.rows(2);
    EXPECT_EQ(std::vector<RowId>(left.begin(), left.end()), (std::vector<RowId>{5, 3, 3}));
    EXPECT_EQ(std::vector<RowId>(right.begin(), right.end()), (std::vector<RowId>{9, 0, 1, 2, 7}));
    EXPECT_TRUE(p.rows(4).empty());
}

TEST(PartitionSplit, BadNodesAndSegmentsStop) {
    Partition p = Partition::from_sample({1, 2, 3});
    EXPECT_STOPS(p.split(1, 0));
    EXPECT_STOPS(p.rows(1));
    p.size[0] = 4;  // reaches past the end of the row list
    EXPECT_STOPS(p.rows(0));
    Partition empty;
    EXPECT_STOPS(empty.rows(0));
}
