// Fitting and applying feature bins.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "data/bin.hpp"
#include "test_util.hpp"

using quorvelin::ContinuousBin;
using quorvelin::DiscreteBin;
using qtest::column_of;
using qtest::OptF;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr OptF kNone = std::nullopt;

struct ContinuousCase {
    const char* name;
    std::vector<OptF> column;
    uint64_t requested;
    std::vector<float> thresholds;
};

void PrintTo(const ContinuousCase& c, std::ostream* os) { *os << c.name; }

class ContinuousFit : public ::testing::TestWithParam<ContinuousCase> {};

ContinuousBin fitted(const std::vector<OptF>& column, uint64_t requested) {
    ContinuousBin bin;
    bin.n_bin = requested;
    bin.fit(column_of(column));
    return bin;
}

// A record filled by hand, as a stored model gives it.
ContinuousBin stored(std::vector<float> thresholds) {
    ContinuousBin bin;
    bin.n_bin = thresholds.size() + 1;
    bin.threshold = std::move(thresholds);
    bin.prepare();
    return bin;
}

}  // namespace

TEST_P(ContinuousFit, Thresholds) {
    const ContinuousCase& c = GetParam();
    const ContinuousBin bin = fitted(c.column, c.requested);
    EXPECT_EQ(bin.threshold, c.thresholds);
    EXPECT_EQ(bin.n_bin, c.thresholds.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Bins, ContinuousFit,
    ::testing::Values(
        // step 2: i=1 finds 1|2 at position 2, i=2 finds 2|9 at 4, i=3 reaches m-1 inside the 9s;
        // each threshold is the first value after its gap, so 1, 2 and 9 get a bin each.
        ContinuousCase{"Quantiles", {1, 1, 1, 2, 2, 9, 9, 9}, 4, {2, 9}},
        ContinuousCase{"RowOrderIrrelevant", {9, 2, 1, 9, 1, 2, 9, 1}, 4, {2, 9}},
        ContinuousCase{"ConstantColumn", {5, 5, 5}, 2, {}},
        ContinuousCase{"ConstantWithMissing", {5, kNone, 5, kNone, 5}, 3, {}},
        ContinuousCase{"OneBin", {1, 2, 3, 4}, 1, {}},
        // Fewer present values than bins: step 0, every scan starts at 0 and finds the first gap.
        ContinuousCase{"FewerValuesThanBins", {3, 1, 2}, 10, {2}},
        ContinuousCase{"FewerValuesWithMissing", {kNone, 7, 5, kNone}, 5, {7}},
        // Closer than the float epsilon: never separated.
        ContinuousCase{"WithinEpsilon", {1.0f, 1.0000001f}, 4, {}},
        ContinuousCase{"BeyondEpsilon", {1.0f, 1.001f}, 4, {1.001f}},
        ContinuousCase{"EpsilonRunThenGap", {1.0f, 1.0000001f, 2.0f}, 4, {2.0f}},
        // Repeated values collapse several quantiles onto one threshold.
        ContinuousCase{"Collapse", {1, 1, 1, 1, 1, 1, 2, 3}, 4, {2, 3}},
        ContinuousCase{"Unsorted", {9, -3, 0.5f, -3, 7, 0.5f, 2, 8}, 4, {2, 7, 9}},
        ContinuousCase{"Infinities", {kInf, 1, -kInf, kNone}, 3, {kInf}},
        ContinuousCase{"AllMissing", {kNone, kNone, kNone}, 5, {}},
        ContinuousCase{"NoRows", {}, 5, {}},
        ContinuousCase{"SingleNaN", {kNaN}, 4, {}},
        ContinuousCase{"MaxBins", {0, 1, 2, 3}, 254, {1}},
        // A 0/1 flag must be splittable: 0 and 1 land in bins of their own.
        ContinuousCase{"ZeroOneFlag", {0, 1, 1, 0, 0, 1}, 30, {1}},
        ContinuousCase{"TwoBinsAtTheMedianGap", {1, 2, 3, 4}, 2, {4}},
        ContinuousCase{"TwoBinsOnlyTopDiffers", {1.0f, 1.0f, 1.0f, 1.0000002f}, 2, {1.0000002f}}),
    [](const ::testing::TestParamInfo<ContinuousCase>& info) { return std::string(info.param.name); });

TEST(ContinuousBinFit, ZeroBinsDividesByZero) {
    EXPECT_STOP_MSG(fitted({1, 2, 3}, 0), "attempt to divide by zero");
    EXPECT_STOP_MSG(fitted({kNone, kNone}, 0), "attempt to divide by zero");
    EXPECT_STOP_MSG(fitted({}, 0), "attempt to divide by zero");
}

TEST(ContinuousBinFit, NaNStopsForTwoOrMoreRows) {
    EXPECT_STOPS(fitted({1, kNaN}, 3));
    EXPECT_STOPS(fitted({kNaN, kNone}, 3));  // the missing cell counts as a row
    EXPECT_STOPS(fitted({kNaN, kNaN, 2, 3}, 1));
}

TEST(ContinuousBinFit, ThresholdsAreStrictlyIncreasingColumnValues) {
    std::mt19937 gen(4);
    for (int trial = 0; trial < 300; ++trial) {
        const size_t n = gen() % 60;
        const uint64_t requested = 1 + gen() % 20;
        std::vector<OptF> column;
        for (size_t i = 0; i < n; ++i) {
            if (gen() % 6 == 0)
                column.push_back(kNone);
            else
                column.push_back(static_cast<float>(gen() % 12) * 0.5f - 2.0f);
        }
        const ContinuousBin bin = fitted(column, requested);
        ASSERT_LE(bin.threshold.size() + 1, std::max<uint64_t>(requested, 1));
        ASSERT_EQ(bin.n_bin, bin.threshold.size() + 1);
        for (size_t i = 1; i < bin.threshold.size(); ++i) ASSERT_LT(bin.threshold[i - 1], bin.threshold[i]);
        for (float t : bin.threshold) {
            bool seen = false;
            bool below = false;
            for (const OptF& v : column) {
                seen |= v && *v == t;
                below |= v && *v < t;
            }
            ASSERT_TRUE(seen && below) << "threshold " << t << " is not a value after a smaller one";
        }
    }
}

TEST(ContinuousBinTransform, ValueOnAThresholdGoesAbove) {
    const ContinuousBin hand = stored({1.5f, 3.0f});
    const ContinuousBin fit = fitted({0.2f, 0.2f, 0.2f, 1.5f, 1.5f, 3.0f}, 3);
    ASSERT_EQ(fit.threshold, (std::vector<float>{1.5f, 3.0f}));
    for (const ContinuousBin* bin : {&hand, &fit}) {
        EXPECT_EQ(bin->transform(1.5f), 1);
        EXPECT_EQ(bin->transform(3.0f), 2);
        EXPECT_EQ(bin->transform(0.2f), 0);
        EXPECT_EQ(bin->transform(2.0f), 1);
        EXPECT_EQ(bin->transform(100.0f), 2);
        EXPECT_EQ(bin->transform(kNaN), 0);
        EXPECT_EQ(bin->transform(-kInf), 0);
        EXPECT_EQ(bin->transform(kInf), 2);
        EXPECT_EQ(bin->transform(std::nextafter(1.5f, 0.0f)), 0);
    }
    EXPECT_EQ(ContinuousBin{}.transform(5.0f), 0);
}

TEST(ContinuousBinTransform, StoredThresholdsOutOfOrderAreAllCounted) {
    // The bin is the number of thresholds at most the value, whatever their order.
    const ContinuousBin bin = stored({3.0f, 1.5f, 1.5f, kNaN, 8.0f});
    EXPECT_EQ(bin.transform(0.0f), 0);
    EXPECT_EQ(bin.transform(1.5f), 2);
    EXPECT_EQ(bin.transform(2.0f), 2);
    EXPECT_EQ(bin.transform(3.0f), 3);
    EXPECT_EQ(bin.transform(9.0f), 4);
    EXPECT_EQ(bin.transform(kNaN), 0);
}

TEST(ContinuousBinTransform, RandomValuesAgainstACount) {
    std::mt19937 gen(12);
    std::uniform_real_distribution<float> u(-5.0f, 5.0f);
    std::vector<OptF> column;
    for (int i = 0; i < 500; ++i) column.push_back(std::round(u(gen) * 4.0f) / 4.0f);
    const ContinuousBin bin = fitted(column, 17);
    ASSERT_GT(bin.threshold.size(), 5u);
    for (int i = 0; i < 2000; ++i) {
        const float v = i < 1000 ? u(gen) : *column[i % 500];
        size_t expected = 0;
        for (float t : bin.threshold) expected += t <= v;
        ASSERT_EQ(bin.transform(v), expected) << v;
    }
}

TEST(ContinuousBinTransform, OneBinPutsEveryValueInBinZero) {
    const ContinuousBin bin = fitted({1, 7, -4}, 1);
    for (float v : {-100.0f, 1.0f, 7.0f, 1e30f}) EXPECT_EQ(bin.transform(v), 0);
}

TEST(ContinuousBinTransform, WithinEpsilonValuesShareABin) {
    const ContinuousBin bin = fitted({1.0f, 1.0000001f, 2.0f}, 4);
    EXPECT_EQ(bin.transform(1.0f), 0);
    EXPECT_EQ(bin.transform(1.0000001f), 0);  // within epsilon of 1: no gap, same bin
    EXPECT_EQ(bin.transform(2.0f), 1);  // the threshold itself
}

namespace {

DiscreteBin fitted_discrete(const std::vector<OptF>& column, uint64_t previous_n_bin = 30) {
    DiscreteBin bin;
    bin.n_bin = previous_n_bin;
    bin.fit(column_of(column));
    return bin;
}

}  // namespace

TEST(DiscreteBinFit, MostFrequentFirstTiesByFirstAppearance) {
    const DiscreteBin bin = fitted_discrete({3, 1, 3, kNone, 1, 2, 7, 7, 7});
    EXPECT_EQ(bin.mapping, (std::vector<float>{7, 3, 1, 2}));
    EXPECT_EQ(bin.n_bin, 4u);
}

TEST(DiscreteBinFit, ThreeCategoriesAndAnUnseenOne) {
    const DiscreteBin bin = fitted_discrete({7, 5, 5, 7, 7, kNone, 2});
    EXPECT_EQ(bin.mapping, (std::vector<float>{7, 5, 2}));
    EXPECT_EQ(bin.n_bin, 3u);
    EXPECT_EQ(bin.transform(7), 0);
    EXPECT_EQ(bin.transform(5), 1);
    EXPECT_EQ(bin.transform(2), 2);
    EXPECT_EQ(bin.transform(4), 3);  // never seen: one past the fitted bins
}

TEST(DiscreteBinFit, ThreeHundredCategoriesKeep254) {
    // Values 1000+i first appear in the order i = 299, 298, ..., 0; then i >= 100 appears once
    // more and i >= 200 twice more. Counts 3 (i 200..299), 2 (100..199), 1 (0..99); ties keep
    // first appearance, i.e. descending i.
    std::vector<OptF> column;
    for (int i = 299; i >= 0; --i) column.push_back(1000.0f + i);
    for (int i = 100; i < 300; ++i) column.push_back(1000.0f + i);
    for (int i = 200; i < 300; ++i) column.push_back(1000.0f + i);
    const DiscreteBin bin = fitted_discrete(column);
    std::vector<float> expected;
    for (int i = 299; i >= 46; --i) expected.push_back(1000.0f + i);
    EXPECT_EQ(bin.mapping, expected);
    EXPECT_EQ(bin.n_bin, 255u);
    EXPECT_EQ(bin.transform(1299), 0);
    EXPECT_EQ(bin.transform(1046), 253);
    EXPECT_EQ(bin.transform(1045), 254);  // a rare one: the shared bin
    EXPECT_EQ(bin.transform(1000), 254);
    EXPECT_EQ(bin.transform(-1), 254);  // unseen: also the shared bin
}

TEST(DiscreteBinFit, ExactlyAtTheLimit) {
    std::vector<OptF> column;
    for (int i = 0; i < 254; ++i) column.push_back(static_cast<float>(i));
    DiscreteBin bin = fitted_discrete(column);
    EXPECT_EQ(bin.n_bin, 254u);
    EXPECT_EQ(bin.transform(253), 253);
    EXPECT_EQ(bin.transform(999), 254);
    column.push_back(254.0f);
    bin = fitted_discrete(column);
    EXPECT_EQ(bin.n_bin, 255u);
    EXPECT_EQ(bin.mapping.size(), 254u);
    EXPECT_EQ(bin.transform(254), 254);
}

TEST(DiscreteBinFit, SignedZerosAreOneCategory) {
    const DiscreteBin bin = fitted_discrete({0.0f, -0.0f, 1.0f});
    ASSERT_EQ(bin.mapping.size(), 2u);
    EXPECT_EQ(bin.mapping[0], 0.0f);
    EXPECT_FALSE(std::signbit(bin.mapping[0]));  // the first appearance is kept
    EXPECT_EQ(bin.mapping[1], 1.0f);
    EXPECT_EQ(bin.transform(-0.0f), 0);
    EXPECT_EQ(bin.transform(0.0f), 0);
}

TEST(DiscreteBinFit, EveryNaNIsACategoryOfItsOwn) {
    const DiscreteBin bin = fitted_discrete({kNaN, 1, kNaN});
    ASSERT_EQ(bin.mapping.size(), 3u);
    EXPECT_TRUE(std::isnan(bin.mapping[0]));
    EXPECT_EQ(bin.mapping[1], 1.0f);
    EXPECT_TRUE(std::isnan(bin.mapping[2]));
    EXPECT_EQ(bin.n_bin, 3u);
    EXPECT_EQ(bin.transform(kNaN), 3);  // matches nothing
    EXPECT_EQ(bin.transform(1), 1);
}

TEST(DiscreteBinFit, AllMissingAndPreviousBinCount) {
    const DiscreteBin empty = fitted_discrete({kNone, kNone});
    EXPECT_TRUE(empty.mapping.empty());
    EXPECT_EQ(empty.n_bin, 0u);
    EXPECT_EQ(empty.transform(5), 0);
    // The bin count requested before fitting is not read.
    EXPECT_EQ(fitted_discrete({1, 2}, 0).n_bin, 2u);
    EXPECT_EQ(fitted_discrete({1, 2}, 1).n_bin, 2u);
}

TEST(ContinuousBinTransform, WholeColumnsGiveTheSameCells) {
    std::mt19937 gen(13);
    std::uniform_real_distribution<float> u(-5.0f, 5.0f);
    for (size_t n_thresholds : {0, 1, 2, 3, 7, 64, 253}) {
        std::vector<OptF> fit_column;
        for (size_t i = 0; i < 4000; ++i) fit_column.push_back(std::round(u(gen) * 40.0f) / 40.0f);
        ContinuousBin bin = fitted(fit_column, n_thresholds + 1);
        std::vector<OptF> cells{kNone, kNaN, kInf, -kInf, 0.0f, -0.0f};
        for (float t : bin.threshold) cells.insert(cells.end(), {t, std::nextafter(t, -kInf), std::nextafter(t, kInf)});
        for (int i = 0; i < 300; ++i) cells.push_back(gen() % 9 == 0 ? kNone : OptF{u(gen)});
        const auto column = column_of(cells);
        for (const ContinuousBin& b : {bin, stored(bin.threshold), stored({2.0f, -1.0f, 2.0f})}) {
            std::vector<uint8_t> out(column.size());
            b.transform_column(column, out.data());
            for (size_t r = 0; r < cells.size(); ++r)
                ASSERT_EQ(out[r], cells[r] ? b.transform(*cells[r]) : quorvelin::kMissingBin)
                    << "value " << (cells[r] ? *cells[r] : -999.0f) << " with " << b.threshold.size() << " thresholds";
        }
    }
}
