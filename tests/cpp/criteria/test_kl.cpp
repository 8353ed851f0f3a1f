// The KL-divergence criterion: divergence, shrinkage, normalization and the split scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <limits>
#include <random>
#include <vector>

#include "criteria/kl.hpp"
#include "criteria/statistic.hpp"
#include "support/oracles.hpp"
#include "test_util.hpp"

using namespace quorvelin;
using qtest::all_rows;
using qtest::one_feature;
using qtest::RowGroup;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint8_t M = kMissingBin;

KLCriterion make_kl(uint64_t leaf, uint64_t treatment, uint64_t n_reg, bool normalization, float alpha = 0.9f) {
    return KLCriterion(leaf, treatment, n_reg, alpha, normalization);
}

SplitInfo best(KLCriterion& s, const DMatrix& m, uint64_t feature = 0, std::vector<RowId> rows = {},
               uint64_t node = 0) {
    if (rows.empty()) rows = all_rows(m.n_rows());
    const RowCodes rc = prepare_classifier_rows(m);
    return s.find_best_split(m, rc, node, feature, rows);
}

// Control: 10 rows in bin 0 and 10 in bin 1, 2 of each of class 1. Group 1: bin 0 holds 8 of
// class 1, bin 1 holds 2.
std::vector<RowGroup> worked_rows() {
    return {{0, 0, 1, 2}, {0, 0, 0, 8}, {1, 0, 1, 2}, {1, 0, 0, 8},
            {0, 1, 1, 8}, {0, 1, 0, 2}, {1, 1, 1, 2}, {1, 1, 0, 8}};
}

}  // namespace

TEST(KLTerms, HandValues) {
    const float hi = 0.999999f, lo = 1e-6f;
    const struct {
        float got;
        double want;
    } cases[] = {
        {kl_divergence(0.5f, 0.25f), 0.143841}, {kl_divergence(0.0f, 0.3f), -std::log(0.7)},
        {kl_divergence(1.0f, 0.3f), -std::log(0.3)}, {kl_divergence(0.99999994f, 0.3f), -std::log(0.3)},
        {kl_divergence(0.5f, 0.5f), 0.0}, {kl_divergence(0.0f, 1.0f), -std::log(1.0 - hi)},
        // q below epsilon: no divergence, whatever p is.
        {kl_divergence(0.3f, 1e-8f), 0.0}, {kl_divergence(kNaN, -0.5f), 0.0},
        {entropy_h1(0.0f), 0.0}, {entropy_h1(-1.0f), 0.0}, {entropy_h1(0.5f), 0.5 * std::log(2.0)},
        {entropy_h(0.5f, 0.25f), -0.5 * std::log(0.25)}, {entropy_h(0.5f, 0.0f), 0.0},
        {entropy_h(0.5f, -1.0f), -0.5 * std::log(0.5)}, {entropy_h(0.5f, -2.0f), 0.0}};
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_NEAR(cases[i].got, cases[i].want, 1e-6) << "case " << i;
    // The control rate is clamped into [1e-6, 0.999999], a NaN one to the lower bound.
    EXPECT_EQ(kl_divergence(0.5f, 1.0f), kl_divergence(0.5f, hi));
    EXPECT_EQ(kl_divergence(0.5f, 2e-7f), kl_divergence(0.5f, lo));
    EXPECT_EQ(kl_divergence(0.5f, kNaN), kl_divergence(0.5f, lo));
    EXPECT_TRUE(std::isnan(kl_divergence(kNaN, 0.3f)));
}

TEST(KLCountReg, ShrinksOnlyAboveTheThreshold) {
    EXPECT_EQ(oracle::count_reg({{3, 0, 1}, {1, 0, 3}}, std::nullopt, 10, 10),
              (Matrix{{0.25f, 4}, {0, 0}, {0.75f, 4}}));  // no parent: plain rates
    const Matrix parent{{0.2f, 99}};
    const Matrix big = oracle::count_reg({{15}, {5}}, parent, 10, 10);
    ASSERT_EQ(big.size(), 1u);
    EXPECT_NEAR(big[0][0], 0.233333f, 1e-6);
    EXPECT_EQ(big[0][1], 20.0f);
    EXPECT_EQ(oracle::count_reg({{8}, {2}}, parent, 10, 10), (Matrix{{0.2f, 10}}));  // n = 10: kept
    EXPECT_EQ(oracle::count_reg({{0}, {3}}, parent, 10, 10), (Matrix{{0.2f, 3}}));
    EXPECT_NEAR(oracle::count_reg({{8.5f}, {2}}, parent, 10, 10)[0][0], 4.0 / 20.5, 1e-7);
    EXPECT_EQ(oracle::count_reg({{kNaN}, {1}}, parent, 10, 10)[0][0], 0.2f);  // NaN n: the parent's rate
}

TEST(KLNormalization, Examples) {
    // alpha 0.9; parent control weight 10 and one treatment group of weight 10.
    const Matrix parent{{0.3f, 10}, {0.6f, 10}};
    EXPECT_NEAR(oracle::normalization_factor(0.9f, parent, {{0.3f, 5}, {0.6f, 5}}), 0.84807f, 1e-5);
    EXPECT_NEAR(oracle::normalization_factor(0.9f, parent, {{0.3f, 10}, {0.6f, 0}}), 2.1044f, 1e-4);
    EXPECT_NEAR(oracle::normalization_factor(0.9f, parent, {{0.3f, 0}, {0.6f, 10}}), 0.50493f, 1e-5);
    // Rates do not enter it.
    EXPECT_EQ(oracle::normalization_factor(0.9f, {{0.9f, 10}, {0.1f, 10}}, {{0.0f, 5}, {1.0f, 5}}),
              oracle::normalization_factor(0.9f, parent, {{0.3f, 5}, {0.6f, 5}}));
}

// The scan prepares the parent's terms once and reuses them for every candidate: each left
// child must still get the plain factor, bit for bit, whatever the number of groups.
TEST(KLNormalization, PreparedParentMatchesPlainFactor) {
    std::mt19937 gen(17);
    std::uniform_int_distribution<int> weight(0, 60);
    for (size_t n_groups : {2u, 3u, 4u})
        for (float alpha : {0.9f, 0.3f}) {
            std::vector<float> c(n_groups), l(n_groups);
            for (float& v : c) v = static_cast<float>(weight(gen) + 1);
            NormalizationParent prepared;
            prepared.prepare(c.data(), n_groups, alpha);
            for (int left = 0; left < 50; ++left) {
                for (size_t i = 0; i < n_groups; ++i)
                    l[i] = std::uniform_int_distribution<int>(0, static_cast<int>(c[i]))(gen);
                if (left == 0) std::copy(c.begin(), c.end(), l.begin());  // every group to the left
                const float want = oracle::plain_normalization_factor(c.data(), l.data(), n_groups, alpha);
                ASSERT_TRUE(qtest::same_bits(prepared.factor(l.data(), n_groups), want))
                    << n_groups << " groups, alpha " << alpha << ", left " << left;
            }
        }
}

// Whole scans on small tables, against hand-computed results: the first of equal candidates
// wins, a categorical candidate is one category against the rest, the last present bin sends
// only the missing rows right, a node of control rows only has nothing to split, and a group
// without rows in the node fails any treatment minimum.
TEST(KLSplit, HandComputedScans) {
    std::vector<RowGroup> gap = worked_rows();  // bin 1 empty: k = 0 and k = 1 send the same rows left
    for (RowGroup& g : gap)
        if (g.bin == 1) g.bin = 2;
    // Group 2 exists in the data but has no row in the node: rate 0 and weight 0 in the summary.
    std::vector<RowGroup> absent_group = worked_rows();
    absent_group.push_back({0, 2, 1, 5});
    const struct {
        const char* name;
        std::vector<RowGroup> rows;
        uint64_t n_bins;
        bool is_cat;
        uint64_t n_reg;
        std::optional<uint8_t> value;
        float gain, importance;
        Matrix summary;  // checked when not empty
        uint64_t min_treatment = 1;
        uint64_t node_rows = 0;  // the first rows of the table; 0 for all
    } cases[] = {
        {"worked example", worked_rows(), 2, false, 10, 0, 0.045700f, 1.82802f, {{0.2f, 20}, {0.5f, 20}}},
        {"tie, continuous", gap, 3, false, 10, 0, 0.045700f, 1.82802f, {}},
        {"tie, categorical", worked_rows(), 2, true, 10, 0, 0.045700f, 1.82802f, {}},
        {"one category against the rest",
         {{0, 0, 1, 2}, {0, 0, 0, 8}, {1, 0, 1, 2}, {1, 0, 0, 8}, {2, 0, 1, 2}, {2, 0, 0, 8},
          {0, 1, 1, 2}, {0, 1, 0, 8}, {1, 1, 1, 8}, {1, 1, 0, 2}, {2, 1, 1, 2}, {2, 1, 0, 8}},
         3, true, 10, 1, 0.031257838f, 1.8754706f, {}},
        {"only missing right",
         {{0, 0, 1, 2}, {0, 0, 0, 8}, {1, 0, 1, 2}, {1, 0, 0, 8}, {M, 0, 1, 2}, {M, 0, 0, 8},
          {0, 1, 1, 5}, {0, 1, 0, 5}, {1, 1, 1, 5}, {1, 1, 0, 5}, {M, 1, 1, 9}, {M, 1, 0, 1}},
         2, false, 0, 1, 0.08669871f, 0.0f, {}},
        {"only control", {{0, 0, 1, 5}, {0, 0, 0, 5}, {1, 0, 1, 1}, {1, 0, 0, 9}}, 2, false, 10, std::nullopt, 0.0f,
         0.0f, {{0.3f, 20}}},
        {"a group absent from the node fails a treatment minimum", absent_group, 2, false, 10, std::nullopt, 0.0f,
         0.0f, {{0.2f, 20}, {0.5f, 20}, {0, 0}}, 1, 40},
        {"... and without one adds nothing", absent_group, 2, false, 10, 0, 0.045700f, 1.82802f, {}, 0, 40},
    };
    for (const auto& c : cases) {
        KLCriterion s = make_kl(1, c.min_treatment, c.n_reg, false);
        const SplitInfo r = best(s, one_feature(c.rows, c.n_bins, c.is_cat), 0, all_rows(c.node_rows), 7);
        EXPECT_EQ(r.node_id, 7u);
        EXPECT_EQ(r.is_cat, c.is_cat);
        EXPECT_EQ(r.value, c.value ? std::optional(std::vector<uint8_t>{*c.value}) : std::nullopt) << c.name;
        EXPECT_NEAR(r.gain, c.gain, 1e-6) << c.name;
        if (c.importance != 0.0f || !c.value) {
            EXPECT_NEAR(r.gain_importance, c.importance, 1e-5) << c.name;
        }
        if (!c.summary.empty()) {
            EXPECT_EQ(r.summary, c.summary) << c.name;
        }
    }
}

TEST(KLSplit, MinimumsAreInclusive) {
    // Each child of the k = 0 split holds 10 control rows and 20 rows of group 1. A group of
    // exactly min_samples_treatment is admissible (its rate is then the parent's).
    const DMatrix m = one_feature({{0, 0, 1, 2}, {0, 0, 0, 8}, {1, 0, 1, 2}, {1, 0, 0, 8},
                                   {0, 1, 1, 16}, {0, 1, 0, 4}, {1, 1, 1, 4}, {1, 1, 0, 16}},
                                  2);
    struct Case {
        uint64_t leaf, treatment;
        bool splits;
    };
    for (const Case& c : {Case{30, 1, true}, Case{31, 1, false}, Case{1, 10, true}, Case{1, 11, false},
                          Case{30, 10, true}}) {
        KLCriterion s = make_kl(c.leaf, c.treatment, 10, false);
        const SplitInfo r = best(s, m);
        EXPECT_EQ(r.value.has_value(), c.splits) << "leaf " << c.leaf << " treatment " << c.treatment;
        if (c.splits) {
            EXPECT_EQ(*r.value, (std::vector<uint8_t>{0}));
            EXPECT_GT(r.gain, 0.0f);
        } else {
            EXPECT_EQ(r.gain, 0.0f);
            EXPECT_EQ(r.gain_importance, 0.0f);
            EXPECT_EQ(r.summary, (Matrix{{0.2f, 20}, {0.5f, 40}}));
        }
    }
}
