// Whole-column binning must give exactly the cells of value-by-value binning, for every kind
// of float the search can meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "data/bin.hpp"
#include "data/data_loader.hpp"

namespace quorvelin {
namespace {

FeatureColumn random_column(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::normal_distribution<float> normal(0.0f, 3.0f);
    std::uniform_int_distribution<int> pick(0, 24);
    FeatureColumn c;
    using L = std::numeric_limits<float>;
    const float specials[] = {0.0f,        -0.0f,           L::infinity(),     -L::infinity(), L::quiet_NaN(),
                              L::denorm_min(), -L::denorm_min(), 1e-40f,        L::max(),       -L::max()};
    for (size_t i = 0; i < n; ++i) {
        const int k = pick(g);
        c.values.push_back(k < 10 ? specials[k] : std::round(normal(g) * 4.0f) / 4.0f);
        c.present.push_back(k == 24 ? 0 : 1);
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

// Reading and binning a row-major array in one pass gives the cells of gathering the floats and
// binning them afterwards, for float64 and float32 arrays alike.
TEST(ColumnBinning, OnePassReadMatchesGatherThenTransform) {
    FeatureColumn train = random_column(3000, 5);
    for (size_t i = 0; i < train.size(); ++i)
        if (std::isnan(train.values[i])) train.present[i] = 0;
    std::vector<ContinuousBin> bins(3);
    for (size_t j = 0; j < bins.size(); ++j) {
        bins[j].n_bin = std::vector<uint64_t>{30, 254, 2}[j];
        bins[j].fit(train);
    }
    const FeatureColumn probe = random_column(4 * 999, 13);  // 999 rows of 4 columns
    std::vector<double> f64(probe.values.begin(), probe.values.end());
    std::vector<float> f32(probe.values.begin(), probe.values.end());
    f64[7] = 1e300;  // beyond float: becomes infinity on the way, as in gather
    const size_t positions[] = {3, 0, 2};
    const ContinuousBin* held[] = {&bins[0], &bins[1], &bins[2]};
    for (bool wide : {true, false}) {
        const StridedTable table = wide ? StridedTable(f64.data(), StridedTable::Kind::F64, 999, 4, 32, 8)
                                        : StridedTable(f32.data(), StridedTable::Kind::F32, 999, 4, 16, 4);
        std::vector<std::vector<uint8_t>> fused(3, std::vector<uint8_t>(999)), plain = fused;
        uint8_t* fused_out[] = {fused[0].data(), fused[1].data(), fused[2].data()};
        uint8_t* plain_out[] = {plain[0].data(), plain[1].data(), plain[2].data()};
        table.bin_columns(positions, held, fused_out);
        table.TableView::bin_columns(positions, held, plain_out);
        EXPECT_EQ(fused, plain) << (wide ? "float64" : "float32");
    }
}

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
