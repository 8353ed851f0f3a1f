// Routing rows down a tree: the split of a node's rows and prediction with a fitted tree.
#include <gtest/gtest.h>

#include <vector>

#include "test_util.hpp"
#include "tree/partition.hpp"
#include "tree/route.hpp"

using namespace quorvelin;
using qtest::all_rows;

namespace {

constexpr uint8_t M = kMissingBin;
using qtest::bins_only;
using qtest::split_record;
using qtest::leaf_of;
using qtest::learn_config;
using qtest::signal_data;

}  // namespace

// One node's segment split as prediction splits it: a threshold test sorts the segment stably
// by bin (missing cells last), a categorical one exchanges rows from both ends; rows outside the
// node's segment stay put, and a missing cell goes right even against a split bin of 255.
TEST(SplitRows, SegmentsByTheTest) {
    const struct {
        std::vector<uint8_t> bins;
        std::vector<RowId> sample;
        uint64_t node;  // node 2 is the right half after a first split of 2 rows
        uint8_t value;
        bool is_cat;
        uint64_t n_left;
        std::vector<RowId> index;
    } cases[] = {
        {{3, M, 1, 2, 0}, all_rows(5), 0, 2, false, 3, {4, 2, 3, 0, 1}},
        {{1, 0, 1, 0, M, 2, M, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 3}, 0, 0, false, 4, {1, 3, 7, 3, 0, 2, 5, 4, 6}},
        {{5, 4, 3, 2, 1, 0}, all_rows(6), 2, 1, false, 2, {0, 1, 5, 4, 3, 2}},
        {{4, 1, 4, M, 4}, all_rows(5), 0, 4, true, 3, {0, 4, 2, 3, 1}},
        {{M, 3, M}, all_rows(3), 0, 255, true, 0, {0, 1, 2}},
        {{M, 3, M}, all_rows(3), 0, 255, false, 1, {1, 0, 2}},
        {{2, 3}, {0}, 0, 2, false, 1, {0}},
        {{2, 3}, {1}, 0, 2, false, 0, {1}},
        {{2, 3}, {0}, 0, 2, true, 1, {0}},
        {{2, 3}, {1}, 0, 2, true, 0, {1}},
        {{2, 3}, {}, 0, 2, true, 0, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        Partition partition = Partition::from_sample(c.sample);
        if (c.node == 2) partition.split(0, 2);
        std::vector<RowId> scratch;
        const uint64_t n_left = split_rows(split_record(c.node, 0, c.value, c.is_cat), bins_only({c.bins}),
                                           partition.rows(c.node), scratch, false);
        EXPECT_EQ(n_left, c.n_left) << "case " << i;
        EXPECT_EQ(partition.index, c.index) << "case " << i;
    }
    // Records that cannot split: no value, an empty one, an unknown feature, a node without rows.
    Partition partition = Partition::from_sample(all_rows(2));
    std::vector<RowId> scratch;
    const DMatrix m = bins_only({{0, 1}});
    auto split = [&](const SplitInfo& r) { return split_rows(r, m, partition.rows(r.node_id), scratch, false); };
    SplitInfo none = split_record(0, 0, 0, false);
    none.value.reset();
    EXPECT_STOPS(split(none));
    none.value = std::vector<uint8_t>{};
    EXPECT_STOPS(split(none));
    EXPECT_STOPS(split(split_record(0, 3, 0, false)));
    EXPECT_STOPS(split(split_record(4, 0, 0, false)));
}

TEST(PredictTree, MissingCellsGoRightEvenAgainstBin255) {
    // Split bins of 255, as a stored model may hold: a missing cell still goes right.
    for (bool is_cat : {false, true}) {
        Tree t;
        t.add_split(0, split_record(0, 0, 255, is_cat));
        t.add_left(0);
        t.add_right(0);
        t.add_split(1, split_record(1, 0, 0, false, {{0.0f}, {1.0f}}));
        t.add_split(2, split_record(2, 0, 0, false, {{0.0f}, {2.0f}}));
        const DMatrix m = bins_only({{M, 7, M}});
        const float expected_7 = is_cat ? 2.0f : 1.0f;  // 7 <= 255 goes left; 7 == 255 does not
        const RowLists p = predict_tree(t, m);
        EXPECT_EQ(p.row(0)[0], 2.0f);
        EXPECT_EQ(p.row(1)[0], expected_7);
        EXPECT_EQ(p.row(2)[0], 2.0f);
        RowLists sum(3, 1);
        ASSERT_TRUE(predict_add(t, m, sum, true));
        EXPECT_EQ(sum.row(0)[0], 2.0f);
        EXPECT_EQ(sum.row(1)[0], expected_7);
        EXPECT_EQ(sum.row(2)[0], 2.0f);
    }
}

TEST(PredictTree, EmptyAndBrokenInputs) {
    Tree learner;
    learner.add_split(0, split_record(0, 0, 1, false, {{0.1f}, {0.3f}}));
    const RowLists none = predict_tree(learner, bins_only({{}}));
    EXPECT_EQ(none.n_rows, 0u);
    EXPECT_STOPS(predict_tree(learner, DMatrix{}));
    // A root-only tree whose record has a value still predicts from its own summary.
    const RowLists p = predict_tree(learner, bins_only({{0, 5, M}}));
    for (size_t r = 0; r < 3; ++r) EXPECT_EQ(p.row(r)[0], 0.3f - 0.1f);
    // A split node without a record cannot route.
    Tree broken;
    broken.add_left(0);
    broken.add_right(0);
    broken.add_split(1, split_record(1, 0, 0, false));
    broken.add_split(2, split_record(2, 0, 0, false));
    EXPECT_STOPS(predict_tree(broken, bins_only({{0, 1}})));
}

// Grown trees on data with missing cells, bins training never had and the largest bins: the
// segment routing, the row-by-row sums and the interleaved leaves all give each row what a plain
// walk down the tree reaches.
TEST(PredictTree, EveryRoutingAgreesWithARowByRowWalk) {
    for (uint64_t seed = 0; seed < 6; ++seed) {
        const uint8_t n_t = static_cast<uint8_t>(2 + seed % 3);
        DMatrix train = signal_data(seed + 20, 800, 4, n_t);
        train.is_cat[1] = train.is_cat[3] = 1;
        const Tree a = qtest::grown_tree(ModelKind::Classifier, learn_config(6, 3), train, seed);
        const Tree b = qtest::grown_tree(ModelKind::Classifier, learn_config(5, 3), train, seed + 1);
        DMatrix test = signal_data(seed + 40, 203, 4, n_t);  // not a multiple of the lanes
        test.is_cat = train.is_cat;
        for (size_t f = 0; f < 4; ++f) {
            test.x[f][f] = M;
            test.x[f][10 + f] = 8;
            test.x[f][20 + f] = 254;
        }
        const RowLists pa = predict_tree(a, test), pb = predict_tree(b, test);
        RowLists sum(test.n_rows(), n_t - 1u);
        ASSERT_TRUE(predict_add(a, test, sum, true));
        ASSERT_TRUE(predict_add(b, test, sum, false));
        RoutedTree routed;
        ASSERT_TRUE(route_tree(a, test, routed));
        for (size_t begin : {size_t{0}, size_t{5}}) {
            std::vector<uint32_t> leaf(test.n_rows() - begin);
            routed.leaves(begin, test.n_rows(), leaf.data());
            for (RowId r = static_cast<RowId>(begin); r < test.n_rows(); ++r) {
                const auto u = a.get_uplift(leaf_of(a, test, r));
                ASSERT_EQ(pa.len[r], u.size());
                ASSERT_EQ(leaf[r - begin], routed.leaf_of(r)) << "row " << r;
                for (size_t j = 0; j < u.size(); ++j) {
                    ASSERT_EQ(pa.row(r)[j], u[j]) << "row " << r;
                    ASSERT_TRUE(qtest::same_bits(routed.leaf_uplift(r)[j], u[j])) << "row " << r;
                    ASSERT_TRUE(qtest::same_bits(sum.row(r)[j], pa.row(r)[j] + pb.row(r)[j])) << "row " << r;
                }
            }
        }
        RowLists narrow(test.n_rows(), n_t);  // lists of another width are left to the caller
        EXPECT_FALSE(predict_add(a, test, narrow, true));
    }
}
