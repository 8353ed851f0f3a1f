// Honest estimation: how a sample is split, and how the estimation rows fill the summaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "criteria/summarise.hpp"
#include "forest/honest.hpp"
#include "test_util.hpp"

using namespace quorvelin;

namespace {

// Root split on feature 0 at bin 1 (bins 0 and 1 left), two leaves.
Tree one_split_tree() {
    Tree t;
    SplitInfo root;
    root.value = std::vector<uint8_t>{1};
    t.add_split(0, root);
    const uint64_t l = t.add_left(0), r = t.add_right(0);
    SplitInfo leaf;
    leaf.node_id = l;
    t.add_split(l, leaf);
    leaf.node_id = r;
    t.add_split(r, leaf);
    return t;
}

}  // namespace

TEST(HonestSplit, EveryCopyOfARowGoesToOneSide) {
    Random random(std::optional<uint64_t>(3));
    std::vector<RowId> sample;
    random.choose_into(50, 50, true, sample);  // about a third are repeats
    const std::vector<RowId> drawn = sample;
    std::vector<RowId> estimation;
    split_for_honesty(sample, 0.5f, 50, random, estimation);

    std::map<RowId, int> count_all, count_split, count_est;
    for (RowId r : drawn) ++count_all[r];
    for (RowId r : sample) ++count_split[r];
    for (RowId r : estimation) ++count_est[r];
    auto copies = [](const std::map<RowId, int>& m, RowId r) { return m.count(r) ? m.at(r) : 0; };
    for (const auto& [r, n] : count_all) {
        EXPECT_TRUE(copies(count_split, r) == 0 || copies(count_est, r) == 0) << "row " << r << " on both sides";
        EXPECT_EQ(copies(count_split, r) + copies(count_est, r), n) << "row " << r;
    }
    EXPECT_EQ(count_est.size(), count_all.size() / 2);  // distinct rows count, share 0.5
    // Each side keeps the draw order.
    std::vector<RowId> merged_order;
    for (RowId r : drawn)
        if (count_est.count(r)) merged_order.push_back(r);
    EXPECT_EQ(merged_order, estimation);
}

TEST(HonestSummaries, ClassifierLeavesFromEstimationRowsOnly) {
    // Bins 0 and 2 (left / right of the root split at 1); groups 0 and 1; outcomes 0/1.
    qtest::MatrixInput in;
    in.x = {{0, 0, 0, 0, 2, 2, 2, 0}};
    in.n_bins = {3};
    in.treatment = {0, 0, 1, 1, 0, 0, 0, 2};
    in.y = {1, 0, 1, 1, 1, 1, 0, 1};
    in.weight = {1, 1, 1, 3, 1, 1, 2, 1};
    const DMatrix m = qtest::make_matrix(in);
    const RowCodes rc = prepare_classifier_rows(m);
    Tree t = one_split_tree();
    summarise_rows(t, m, rc, true, std::vector<RowId>{0, 1, 2, 3, 4, 6});
    const Matrix& left = t.split[1]->summary;
    EXPECT_FLOAT_EQ(left[0][0], 0.5f);
    EXPECT_FLOAT_EQ(left[0][1], 2.0f);
    EXPECT_FLOAT_EQ(left[1][0], 1.0f);
    EXPECT_FLOAT_EQ(left[1][1], 4.0f);
    EXPECT_TRUE(std::isnan(left[2][0]));  // group 2's row is not an estimation row
    const Matrix& right = t.split[2]->summary;
    EXPECT_NEAR(right[0][0], 1.0 / 3.0, 1e-6);
    EXPECT_TRUE(std::isnan(right[1][0]));  // no group-1 row reaches it
    const Matrix& root = t.split[0]->summary;
    EXPECT_NEAR(root[0][0], 2.0 / 5.0, 1e-6);
    EXPECT_FLOAT_EQ(root[1][0], 1.0f);
    // Prediction takes the root's uplift where the right leaf has none.
    const std::vector<float> u = t.leaf_uplift(2, t.parents());
    EXPECT_NEAR(u[0], 1.0 - 0.4, 1e-6);
}

TEST(HonestSummaries, RegressorMeansAndUnreachedLeaf) {
    qtest::MatrixInput in;
    in.x = {{0, 1, 0, 1}};
    in.n_bins = {3};
    in.treatment = {0, 0, 1, 1};
    in.y = {1.0f, 3.0f, 4.0f, 8.0f};
    in.weight = {1, 3, 1, 1};
    const DMatrix m = qtest::make_matrix(in);
    const RowCodes rc = prepare_regressor_rows(m);
    Tree t = one_split_tree();
    summarise_rows(t, m, rc, false, std::vector<RowId>{0, 1, 2, 3});
    EXPECT_FLOAT_EQ(t.split[1]->summary[0][0], 2.5f);  // (1 + 9) / 4
    EXPECT_FLOAT_EQ(t.split[1]->summary[1][0], 6.0f);
    // No row reaches the right leaf: every group NaN, the uplift is the root's.
    EXPECT_TRUE(std::isnan(t.split[2]->summary[0][0]));
    EXPECT_FLOAT_EQ(t.leaf_uplift(2, t.parents())[0], 6.0f - 2.5f);
}
