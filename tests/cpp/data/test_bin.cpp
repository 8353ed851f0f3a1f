// Fitting and applying feature bins.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "data/bin.hpp"
#include "data/data_loader.hpp"
#include "test_util.hpp"

using quorvelin::ContinuousBin;
using quorvelin::DiscreteBin;
using qtest::column_of;
using qtest::OptF;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
// Floats at the edges: signed zeros, infinities, subnormals, the largest finite values.
using L = std::numeric_limits<float>;
constexpr float kEdges[] = {0.0f, -0.0f, kInf, -kInf, L::denorm_min(), -L::denorm_min(), 1e-40f, L::max(), -L::max()};
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
                ContinuousCase{"ConstantColumn", {5, 5, 5}, 2, {}},
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

TEST(ContinuousBinFit, RefusedColumnsStop) {
    for (const std::vector<OptF>& column : std::vector<std::vector<OptF>>{{1, 2, 3}, {kNone, kNone}, {}})
        EXPECT_STOP_MSG(fitted(column, 0), "attempt to divide by zero");
    // A NaN stops once there are two rows or more, a missing cell counting as one.
    for (const std::vector<OptF>& column : std::vector<std::vector<OptF>>{{1, kNaN}, {kNaN, kNone}, {kNaN, kNaN, 2, 3}})
        EXPECT_STOPS(fitted(column, 3));
}

namespace {

DiscreteBin fitted_discrete(const std::vector<OptF>& column, uint64_t previous_n_bin = 30) {
    DiscreteBin bin;
    bin.n_bin = previous_n_bin;
    bin.fit(column_of(column));
    return bin;
}

}  // namespace

// Every cell's bin is the count of the thresholds at most its value (a value on a threshold goes
// above it), for every kind of float, every size of record, whole columns (binned with a search of
// their own) and single values alike, and for stored records out of order or holding a NaN.
TEST(ContinuousBinTransform, WholeColumnsGiveTheCount) {
    std::mt19937 gen(13);
    std::uniform_real_distribution<float> u(-5.0f, 5.0f);
    for (size_t n_thresholds : {0, 1, 2, 3, 7, 64, 253}) {
        std::vector<OptF> fit_column;
        for (size_t i = 0; i < 4000; ++i) fit_column.push_back(std::round(u(gen) * 40.0f) / 40.0f);
        ContinuousBin bin = fitted(fit_column, n_thresholds + 1);
        std::vector<OptF> cells{kNone, kNaN};
        cells.insert(cells.end(), std::begin(kEdges), std::end(kEdges));
        for (float t : bin.threshold) cells.insert(cells.end(), {t, std::nextafter(t, -kInf), std::nextafter(t, kInf)});
        for (int i = 0; i < 300; ++i) cells.push_back(gen() % 9 == 0 ? kNone : OptF{u(gen)});
        const auto column = column_of(cells);
        for (const ContinuousBin& b : {bin, stored(bin.threshold), stored({2.0f, -1.0f, 2.0f, kNaN}), ContinuousBin{}}) {
            std::vector<uint8_t> out(column.size());
            b.transform_column(column, out.data());
            for (size_t r = 0; r < cells.size(); ++r) {
                size_t count = 0;
                if (cells[r])
                    for (float t : b.threshold) count += t <= *cells[r];
                const uint8_t want = cells[r] ? static_cast<uint8_t>(count) : quorvelin::kMissingBin;
                ASSERT_EQ(out[r], want) << "value " << (cells[r] ? *cells[r] : -999.0f) << " with "
                                        << b.threshold.size() << " thresholds";
                if (cells[r]) {
                    ASSERT_EQ(b.transform(*cells[r]), want);
                }
            }
        }
    }
}

// Reading and binning a row-major array in one pass gives the cells of gathering the floats and
// binning them afterwards, for float64 and float32 arrays alike.
TEST(ContinuousBinTransform, OnePassReadMatchesGatherThenTransform) {
    using quorvelin::StridedTable;
    std::mt19937 gen(5);
    std::normal_distribution<float> normal(0.0f, 3.0f);
    std::uniform_int_distribution<int> pick(0, 24);
    auto draw = [&](bool allow_nan) {
        const int k = pick(gen);
        if (k < 9) return kEdges[k];
        return k == 9 && allow_nan ? kNaN : std::round(normal(gen) * 4.0f) / 4.0f;
    };
    std::vector<OptF> train;
    for (int i = 0; i < 3000; ++i) train.push_back(draw(false));  // fitting refuses NaN
    std::vector<ContinuousBin> bins;
    for (uint64_t n_bin : {30, 254, 2}) bins.push_back(fitted(train, n_bin));
    std::vector<float> probe;
    for (int i = 0; i < 4 * 999; ++i) probe.push_back(draw(true));  // 999 rows of 4 columns
    std::vector<double> f64(probe.begin(), probe.end());
    f64[7] = 1e300;  // beyond float: becomes infinity on the way, as in gather
    const size_t positions[] = {3, 0, 2};
    const ContinuousBin* held[] = {&bins[0], &bins[1], &bins[2]};
    for (bool wide : {true, false}) {
        const StridedTable table = wide ? StridedTable(f64.data(), StridedTable::Kind::F64, 999, 4, 32, 8)
                                        : StridedTable(probe.data(), StridedTable::Kind::F32, 999, 4, 16, 4);
        std::vector<std::vector<uint8_t>> fused(3, std::vector<uint8_t>(999)), plain = fused;
        uint8_t* fused_out[] = {fused[0].data(), fused[1].data(), fused[2].data()};
        uint8_t* plain_out[] = {plain[0].data(), plain[1].data(), plain[2].data()};
        table.bin_columns(positions, held, fused_out);
        table.TableView::bin_columns(positions, held, plain_out);
        EXPECT_EQ(fused, plain) << (wide ? "float64" : "float32");
    }
}

// Fitting and binning a training column together (one sort for both on long columns) must give
// the thresholds, bit for bit, and the cells of fitting first and binning after. Several seeds,
// so that the first zero in row order, which a threshold at 0 copies, is -0.0 in some columns.
TEST(ContinuousBinFit, FitTransformMatchesFitThenTransform) {
    const float specials[] = {0.0f, -0.0f, kInf, -kInf, std::numeric_limits<float>::denorm_min(), 1.0f};
    for (uint32_t seed : {5u, 6u, 8u}) {
        std::mt19937 g(seed);
        std::uniform_int_distribution<int> pick(0, 19);
        std::normal_distribution<float> normal(0.0f, 50.0f);
        for (size_t n : {1000, 20000}) {
            std::vector<OptF> cells;
            for (size_t i = 0; i < n; ++i) {
                const int k = pick(g);
                cells.push_back(k < 6 ? OptF{specials[k]} : k == 6 ? kNone : OptF{std::round(normal(g)) / 4.0f});
            }
            const auto column = column_of(cells);
            for (uint64_t n_bin : {2, 30, 254}) {
                ContinuousBin want, got;
                want.n_bin = got.n_bin = n_bin;
                want.fit(column);
                std::vector<uint8_t> want_cells(n), got_cells(n, 77);
                want.transform_column(column, want_cells.data());
                got.fit_transform(column, "", got_cells.data());
                ASSERT_EQ(got.n_bin, want.n_bin);
                ASSERT_EQ(got.threshold.size(), want.threshold.size());
                for (size_t k = 0; k < want.threshold.size(); ++k)
                    ASSERT_EQ(std::bit_cast<uint32_t>(got.threshold[k]), std::bit_cast<uint32_t>(want.threshold[k]));
                ASSERT_EQ(got_cells, want_cells) << n << " rows, seed " << seed << ", " << n_bin << " bins";
            }
        }
    }
}

// The fast sort must leave exactly the bits a stable comparison sort leaves: equal values (0.0
// and -0.0 above all, whose order decides the sign a threshold is written with) keep their order.
TEST(StableSortFloats, MatchesStableComparisonSortBitForBit) {
    std::mt19937 g(1);
    std::uniform_int_distribution<int> pick(0, 9);
    std::normal_distribution<float> normal(0.0f, 1e3f);
    std::vector<float> values;
    for (size_t i = 0; i < 50000; ++i) values.push_back(pick(g) < 4 ? kEdges[pick(g) % 9] : std::round(normal(g)) / 8.0f);
    std::vector<float> want = values;
    std::stable_sort(want.begin(), want.end());
    quorvelin::stable_sort_floats(values);
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint32_t>(values[i]), std::bit_cast<uint32_t>(want[i])) << "position " << i;
}

// Categories: most frequent first, ties by first appearance, every NaN a category of its own,
// signed zeros one category; at most 254 kept, the rarer ones and unseen values sharing bin 254,
// and without pooling an unseen value goes one past the fitted bins.
TEST(DiscreteBinFit, CategoriesAndTheirBins) {
    std::vector<OptF> three_hundred;  // counts 3 (1200..1299), 2 (1100..1199), 1 (1000..1099)
    for (int i = 299; i >= 0; --i) three_hundred.push_back(1000.0f + i);
    for (int i = 100; i < 300; ++i) three_hundred.push_back(1000.0f + i);
    for (int i = 200; i < 300; ++i) three_hundred.push_back(1000.0f + i);
    std::vector<float> kept;
    for (int i = 299; i >= 46; --i) kept.push_back(1000.0f + i);
    std::vector<OptF> at_limit, past_limit;
    for (int i = 0; i < 254; ++i) at_limit.push_back(static_cast<float>(i));
    past_limit = at_limit;
    past_limit.push_back(254.0f);
    const struct {
        std::vector<OptF> column;
        uint64_t n_bin;
        std::vector<std::pair<float, uint8_t>> bins;
        std::vector<float> mapping;  // checked when not empty
    } cases[] = {
        {{3, 1, 3, kNone, 1, 2, 7, 7, 7}, 4, {}, {7, 3, 1, 2}},
        {{7, 5, 5, 7, 7, kNone, 2}, 3, {{7, 0}, {5, 1}, {2, 2}, {4, 3}}, {7, 5, 2}},
        {three_hundred, 255, {{1299, 0}, {1046, 253}, {1045, 254}, {1000, 254}, {-1, 254}}, kept},
        {at_limit, 254, {{253, 253}, {999, 254}}, {}},
        {past_limit, 255, {{254, 254}}, {}},
        {{0.0f, -0.0f, 1.0f}, 2, {{-0.0f, 0}, {0.0f, 0}, {1.0f, 1}}, {0.0f, 1.0f}},
        {{kNaN, 1, kNaN}, 3, {{kNaN, 3}, {1, 1}}, {}},
        {{kNone, kNone}, 0, {{5, 0}}, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const DiscreteBin bin = fitted_discrete(cases[i].column);
        EXPECT_EQ(bin.n_bin, cases[i].n_bin) << "case " << i;
        if (!cases[i].mapping.empty()) {
            EXPECT_EQ(bin.mapping, cases[i].mapping) << "case " << i;
        }
        for (const auto& [value, want] : cases[i].bins) EXPECT_EQ(bin.transform(value), want) << "case " << i;
    }
    EXPECT_FALSE(std::signbit(fitted_discrete({0.0f, -0.0f}).mapping[0]));  // the first appearance is kept
    const DiscreteBin nan = fitted_discrete({kNaN, 1, kNaN});
    EXPECT_TRUE(std::isnan(nan.mapping[0]) && std::isnan(nan.mapping[2]));
    // The bin count requested before fitting is not read.
    EXPECT_EQ(fitted_discrete({1, 2}, 0).n_bin, 2u);
}
