// The regression criterion: node cost, the split scan, and the minimum sizes of the all-arms form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "criteria/all_arms.hpp"
#include "criteria/regression.hpp"
#include "test_util.hpp"

using namespace quorvelin;
using qtest::all_rows;
using qtest::one_feature;
using qtest::RowGroup;

namespace {

SplitInfo best(RegressionCriterion& s, const DMatrix& m, uint64_t feature = 0, std::vector<RowId> rows = {},
               uint64_t node = 0) {
    if (rows.empty()) rows = all_rows(m.n_rows());
    const RowCodes rc = prepare_regressor_rows(m);
    return s.find_best_split(m, rc, node, feature, rows);
}

// Control: outcomes 1, 1 in bin 0 and 1, 3 in bin 1. Group 1: 4, 6 in bin 0 and 1, 3 in bin 1.
std::vector<RowGroup> worked_rows() {
    return {{0, 0, 1, 2}, {1, 0, 1, 1}, {1, 0, 3, 1}, {0, 1, 4, 1}, {0, 1, 6, 1}, {1, 1, 1, 1}, {1, 1, 3, 1}};
}

}  // namespace

TEST(RegressionCost, Examples) {
    // Control from outcomes 0 and 2, group 1 from 2 and 4: tau 2, both variances 1, V 1.
    EXPECT_EQ(node_cost({2, 4, 2}, {6, 20, 2}, 0.9f), -3.0f);
    // Group 1 from 3, 3, 3: tau 2, V = 0 / 3 + 1 / 2, imbalance 0.5 * |3 - 2|.
    EXPECT_EQ(node_cost({2, 4, 2}, {9, 27, 3}, 0.5f), -3.0f);
    EXPECT_TRUE(std::isnan(node_cost({0, 0, 0}, {9, 27, 3}, 0.5f)));
    EXPECT_TRUE(std::isnan(node_cost({2, 4, 2}, {0, 0, 0}, 0.5f)));
}

TEST(RegressionSplit, WorkedExample) {
    const DMatrix m = one_feature(worked_rows(), 2);
    RegressionCriterion s(0.9f);
    const SplitInfo r = best(s, m, 0, {}, 5);
    EXPECT_EQ(r.node_id, 5u);
    EXPECT_EQ(r.feature_id, 0u);
    EXPECT_EQ(r.treatment_id, 0u);
    EXPECT_FALSE(r.is_cat);
    ASSERT_TRUE(r.value.has_value());
    EXPECT_EQ(*r.value, (std::vector<uint8_t>{0}));
    EXPECT_EQ(r.gain, 4.25f);
    EXPECT_EQ(r.gain_importance, 4.25f);
    EXPECT_EQ(r.summary, (Matrix{{1.5f}, {3.5f}}));
}

TEST(RegressionSplit, NaNCandidatesNeverWin) {
    // k = 0 leaves group 1 out of the left child and k = 2 leaves the right child empty: both
    // NaN. k = 1 still wins.
    const std::vector<RowGroup> rows{{0, 0, 0, 2}, {1, 0, 1, 2}, {2, 0, 1, 2}, {1, 1, 5, 2}, {2, 1, 1, 2}};
    RegressionCriterion s(0.9f);
    const SplitInfo r = best(s, one_feature(rows, 3));
    ASSERT_TRUE(r.value.has_value());
    EXPECT_EQ(*r.value, (std::vector<uint8_t>{1}));
    EXPECT_NEAR(r.gain, 8.425093f, 1e-4);
    // With only the NaN candidates left, nothing is reported.
    const std::vector<RowGroup> lonely{{0, 0, 0, 2}, {1, 0, 1, 2}, {1, 1, 5, 2}};
    const SplitInfo n = best(s, one_feature(lonely, 2));
    EXPECT_FALSE(n.value.has_value());
    EXPECT_EQ(n.gain, 0.0f);
}

// With every arm scored, the minimum sizes apply per child and per group.
TEST(AllArmsAdmissible, MinimumSizesPerChildAndGroup) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<float> left, right;
        float leaf, treatment;
        bool admissible;
    };
    const std::vector<Case> cases{
        {{5, 5, 5}, {5, 5, 5}, 15, 5, true},      // equality passes
        {{5, 5, 4}, {5, 5, 5}, 10, 5, false},     // one group of the left child too light
        {{5, 5, 5}, {5, 4, 6}, 10, 5, false},     // ... of the right child
        {{5, 5, 5}, {5, 5, 4}, 15, 0, false},     // right child too light overall
        {{0, 0, 0}, {5, 5, 5}, 0, 0, false},      // a weightless child is no split
        {{1, 0, 0}, {5, 5, 5}, 0, 0, true},       // an empty group with no minimum
        {{nan, 5, 5}, {5, 5, 5}, 10, 5, true},    // NaN fails no comparison
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(children_admissible(c.left.data(), c.right.data(), c.left.size(), c.leaf, c.treatment), c.admissible)
            << "case " << i;
    }
}
