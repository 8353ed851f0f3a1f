// The regressor's all-arms criterion: the sum of per-group gains and the minimum sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "criteria/all_arms.hpp"

using namespace quorvelin;

namespace {

GroupTotals minus(GroupTotals a, GroupTotals b) { return {a.s - b.s, a.q - b.q, a.n - b.n}; }

float pair_gain(GroupTotals p0, GroupTotals p1, GroupTotals l0, GroupTotals l1, float alpha) {
    const GroupTotals r0 = minus(p0, l0), r1 = minus(p1, l1);
    const float np = p0.n + p1.n;
    return (node_cost(p0, p1, alpha) - (node_cost(l0, l1, alpha) * (l0.n + l1.n)) / np) -
           ((r1.n + r0.n) * node_cost(r0, r1, alpha)) / np;
}

}  // namespace

TEST(AllArmsGain, OneTreatmentIsTheSpecifiedGain) {
    // The worked example of the specified regressor: gain 4.25.
    const std::vector<GroupTotals> parent{{6, 12, 4}, {14, 62, 4}}, left{{2, 2, 2}, {10, 52, 2}};
    std::vector<GroupTotals> right{minus(parent[0], left[0]), minus(parent[1], left[1])};
    EXPECT_FLOAT_EQ(all_arms_gain({parent.data(), 2}, {left.data(), 2}, {right.data(), 2}, 0.9f), 4.25f);
}

TEST(AllArmsGain, SumsEveryGroupAgainstTheControl) {
    const std::vector<GroupTotals> parent{{6, 12, 4}, {14, 62, 4}, {4, 10, 4}, {-2, 8, 3}};
    const std::vector<GroupTotals> left{{2, 2, 2}, {10, 52, 2}, {3, 9, 2}, {-3, 5, 2}};
    std::vector<GroupTotals> right;
    for (size_t t = 0; t < parent.size(); ++t) right.push_back(minus(parent[t], left[t]));
    float expected = 0.0f;
    for (size_t t = 1; t < parent.size(); ++t) expected = expected + pair_gain(parent[0], parent[t], left[0], left[t], 0.9f);
    const float got = all_arms_gain({parent.data(), 4}, {left.data(), 4}, {right.data(), 4}, 0.9f);
    EXPECT_EQ(got, expected);
    // Group 3 has a say: changing only its left rows changes the gain.
    std::vector<GroupTotals> left2 = left, right2 = right;
    left2[3] = {-1, 1, 1};
    right2[3] = minus(parent[3], left2[3]);
    EXPECT_NE(all_arms_gain({parent.data(), 4}, {left2.data(), 4}, {right2.data(), 4}, 0.9f), got);
}

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
