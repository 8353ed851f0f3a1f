// Whole-column binning must give exactly the cells of value-by-value binning, for every kind
// of float the search can meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "data/bin.hpp"

namespace quorvelin {
namespace {

FeatureColumn random_column(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<float> normal(0.0f, 3.0f);
    std::uniform_int_distribution<int> pick(0, 19);
    FeatureColumn c;
    const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    for (size_t i = 0; i < n; ++i) {
        const int k = pick(g);
        c.values.push_back(k < 5 ? specials[k] : std::round(normal(g) * 4.0f) / 4.0f);
        c.present.push_back(k == 19 ? 0 : 1);
    }
    return c;
}

class ColumnBinning : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ColumnBinning, MatchesValueByValue) {
    FeatureColumn train = random_column(2000, 7);
    for (size_t i = 0; i < train.size(); ++i)
        if (std::isnan(train.values[i])) train.present[i] = 0;  // fitting refuses NaN
    ContinuousBin bin;
    bin.n_bin = GetParam();
    bin.fit(train);
    bin.prepare();
    const FeatureColumn probe = random_column(5000, 11);
    std::vector<uint8_t> cells(probe.size());
    bin.transform_column(probe, cells.data());
    for (size_t r = 0; r < probe.size(); ++r) {
        const uint8_t want = probe.present[r] ? bin.transform(probe.values[r]) : kMissingBin;
        ASSERT_EQ(cells[r], want) << "row " << r << " value " << probe.values[r];
    }
}

INSTANTIATE_TEST_SUITE_P(BinCounts, ColumnBinning, ::testing::Values(1, 2, 3, 4, 7, 30, 128, 254));

TEST(ColumnBinning, UnsortedStoredThresholdsCountEveryThreshold) {
    ContinuousBin bin;
    bin.n_bin = 4;
    bin.threshold = {3.0f, 1.0f, 2.0f};  // a hand-edited record; no search may assume order
    bin.prepare();
    FeatureColumn c{{0.5f, 1.5f, 2.5f, 3.5f}, {1, 1, 1, 1}};
    std::vector<uint8_t> cells(4);
    bin.transform_column(c, cells.data());
    EXPECT_EQ(cells, (std::vector<uint8_t>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace quorvelin

namespace quorvelin {
namespace {

// The fast sort must leave exactly the bits a stable comparison sort leaves: equal values
// (0.0 and -0.0 above all, whose order decides the sign a threshold is written with) stay in
// their original order.
TEST(StableSortFloats, MatchesStableComparisonSortBitForBit) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        std::mt19937 g(seed);
        std::uniform_int_distribution<int> pick(0, 9);
        std::normal_distribution<float> normal(0.0f, 1e3f);
        const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min(),
                                  -std::numeric_limits<float>::denorm_min(), 1.0f, -1.0f};
        std::vector<float> values;
        for (size_t i = 0; i < 50000; ++i)
            values.push_back(pick(g) < 4 ? specials[pick(g) % 8] : std::round(normal(g)) / 8.0f);
        std::vector<float> want = values;
        std::stable_sort(want.begin(), want.end());
        stable_sort_floats(values);
        ASSERT_EQ(values.size(), want.size());
        for (size_t i = 0; i < values.size(); ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(values[i]), std::bit_cast<uint32_t>(want[i])) << "position " << i;
    }
}

}  // namespace
}  // namespace quorvelin
