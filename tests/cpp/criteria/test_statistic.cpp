// Per-node tallies by group and bin slot, and the Matrix operations.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "criteria/linalg.hpp"
#include "criteria/statistic.hpp"
#include "test_util.hpp"

using namespace quorvelin;
using qtest::all_rows;
using qtest::make_matrix;
using qtest::MatrixInput;

namespace {

using Row = std::vector<float>;

// One feature with the given bins (group 0 unless told), weights 1.
DMatrix single(std::vector<uint8_t> bins, uint64_t n_bins, std::vector<uint8_t> groups = {},
               std::vector<float> y = {}, std::vector<float> w = {}) {
    MatrixInput s;
    const size_t n = bins.size();
    s.x = {std::move(bins)};
    s.n_bins = {n_bins};
    s.treatment = groups.empty() ? std::vector<uint8_t>(n, 0) : std::move(groups);
    s.y = y.empty() ? std::vector<float>(n, 0.0f) : std::move(y);
    s.weight = std::move(w);
    return make_matrix(std::move(s));
}

}  // namespace

TEST(CountNoY, CumulativeAndCategoricalReadings) {
    const DMatrix m = single({0, 0, 2}, 3);
    const auto rows = all_rows(3);
    const Statistic cont = CountNoY::calculate(m, 0, false, 0, rows, 3, 1);
    EXPECT_EQ(cont.values, (Matrix{{2, 2, 3, 3}}));
    EXPECT_EQ(cont.feature_id, 0u);
    EXPECT_EQ(cont.treatment_id, 0u);
    EXPECT_FALSE(cont.is_cat);
    const Statistic cat = CountNoY::calculate(m, 0, true, 0, rows, 3, 1);
    EXPECT_EQ(cat.values, (Matrix{{2, 0, 1, 0}}));
    EXPECT_TRUE(cat.is_cat);
}

TEST(Count, OutcomeClassesByTruncation) {
    // Weights 1, 2, 4, 8, 16 tell the rows apart: 0.0, 0.9 and -3.0 are class 0, 1.0 and 1.9
    // class 1.
    const DMatrix m = single({0, 0, 0, 0, 0}, 1, {}, {0.0f, 0.9f, 1.0f, -3.0f, 1.9f}, {1, 2, 4, 8, 16});
    const auto t = Count::calculate(m, 0, true, 0, all_rows(5), 1, 1);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], (Matrix{{11, 0}}));
    EXPECT_EQ(t[1], (Matrix{{20, 0}}));
    const DMatrix nan_y = single({0}, 1, {}, {NAN});
    EXPECT_EQ(Count::calculate(nan_y, 0, true, 0, all_rows(1), 1, 1)[0], (Matrix{{1, 0}}));
    const DMatrix two = single({0, 0}, 1, {}, {1.0f, 2.0f});
    EXPECT_STOPS(Count::calculate(two, 0, true, 0, all_rows(2), 1, 1));
    EXPECT_NO_THROW(Count::calculate(two, 0, true, 0, std::vector<RowId>{0}, 1, 1));
}

TEST(Count, GroupsAndSlots) {
    // Two groups, two bins plus missing; cumulative reading.
    const DMatrix m = single({0, 1, kMissingBin, 1, 0}, 2, {0, 1, 1, 0, 1}, {1, 0, 1, 1, 0});
    const auto t = Count::calculate(m, 0, false, 0, all_rows(5), 2, 2);
    EXPECT_EQ(t[0], (Matrix{{0, 0, 0}, {1, 2, 2}}));
    EXPECT_EQ(t[1], (Matrix{{1, 2, 2}, {0, 0, 1}}));
}

TEST(SumAndSecondOrderSum, WeightedMoments) {
    const DMatrix m = single({1, 1}, 2, {}, {2.0f, 3.0f}, {0.5f, 2.0f});
    const auto rows = all_rows(2);
    EXPECT_EQ(Sum::calculate(m, 0, true, 0, rows, 2, 1).values, (Matrix{{0, 7, 0}}));
    EXPECT_EQ(SecondOrderSum::calculate(m, 0, true, 0, rows, 2, 1).values, (Matrix{{0, 20, 0}}));
    EXPECT_EQ(Sum::calculate(m, 0, false, 0, rows, 2, 1).values, (Matrix{{0, 7, 7}}));
    EXPECT_EQ(CountNoY::calculate(m, 0, false, 0, rows, 2, 1).values, (Matrix{{0, 2.5f, 2.5f}}));
}

TEST(Tallies, AllMissingRowsLandInTheLastSlot) {
    const DMatrix m = single({kMissingBin, kMissingBin, kMissingBin}, 3, {}, {1, 2, 3}, {1, 1, 2});
    const auto rows = all_rows(3);
    EXPECT_EQ(CountNoY::calculate(m, 0, false, 0, rows, 3, 1).values, (Matrix{{0, 0, 0, 4}}));
    EXPECT_EQ(CountNoY::calculate(m, 0, true, 0, rows, 3, 1).values, (Matrix{{0, 0, 0, 4}}));
    EXPECT_EQ(Sum::calculate(m, 0, false, 0, rows, 3, 1).values, (Matrix{{0, 0, 0, 9}}));
}

TEST(Tallies, BinEqualToTheBinCountSharesTheMissingSlot) {
    // An unseen category carries bin n_bins; it is tallied with the missing cells.
    const DMatrix m = single({0, 2, kMissingBin}, 2);
    EXPECT_EQ(CountNoY::calculate(m, 0, true, 0, all_rows(3), 2, 1).values, (Matrix{{1, 0, 2}}));
    const DMatrix beyond = single({0, 3}, 2);
    EXPECT_STOPS(CountNoY::calculate(beyond, 0, true, 0, all_rows(2), 2, 1));
}

TEST(Tallies, RepeatedRowsCountEachTime) {
    const DMatrix m = single({0, 1}, 2, {}, {1, 3});
    const std::vector<RowId> rows{1, 0, 1, 1};
    EXPECT_EQ(CountNoY::calculate(m, 0, true, 0, rows, 2, 1).values, (Matrix{{1, 3, 0}}));
    EXPECT_EQ(Sum::calculate(m, 0, true, 0, rows, 2, 1).values, (Matrix{{1, 9, 0}}));
    const DMatrix classes = single({0, 1}, 2, {}, {1, 0});
    const auto c = Count::calculate(classes, 0, true, 0, rows, 2, 1);
    EXPECT_EQ(c[0], (Matrix{{0, 3, 0}}));
    EXPECT_EQ(c[1], (Matrix{{1, 0, 0}}));
}

TEST(Tallies, EmptyRowsGiveFullShapeZeros) {
    const DMatrix m = single({0, 1}, 4, {0, 2});
    const std::vector<RowId> none;
    const Matrix zeros(3, Row(5, 0.0f));
    EXPECT_EQ(CountNoY::calculate(m, 0, false, 0, none, 4, 3).values, zeros);
    EXPECT_EQ(Sum::calculate(m, 0, true, 0, none, 4, 3).values, zeros);
    EXPECT_EQ(SecondOrderSum::calculate(m, 0, false, 0, none, 4, 3).values, zeros);
    const auto c = Count::calculate(m, 0, false, 0, none, 4, 3);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0], zeros);
    EXPECT_EQ(c[1], zeros);
}

TEST(Tallies, BadInputsStop) {
    const DMatrix m = single({0, 1}, 2, {0, 1});
    const auto rows = all_rows(2);
    EXPECT_STOPS(CountNoY::calculate(m, 1, false, 0, rows, 2, 2));                        // no feature 1
    EXPECT_STOPS(CountNoY::calculate(m, 0, false, 1, rows, 2, 2));                        // no treatment column 1
    EXPECT_STOPS(CountNoY::calculate(m, 0, false, 0, std::vector<RowId>{2}, 2, 2));        // row out of range
    EXPECT_STOPS(CountNoY::calculate(m, 0, false, 0, rows, 2, 1));                        // group 1 >= n_t
    EXPECT_STOPS(Sum::calculate(m, 0, false, 0, rows, 0, 2));                             // bin 1 beyond 1 slot
}

TEST(MatrixOps, AddSubtractColumn) {
    const Matrix a{{1, 2, 3}, {4, 5}};
    const Matrix b{{10, 20, 30}, {40, 50, 60}, {7}};
    EXPECT_EQ(add(a, b), (Matrix{{11, 22, 33}, {44, 55}}));  // b's extra row and column ignored
    EXPECT_EQ(subtract(a, b), (Matrix{{-9, -18, -27}, {-36, -45}}));
    EXPECT_STOPS(add(b, a));  // a has no row 2
}

TEST(MatrixOps, ShapeRules) {
    const Matrix empty_first{{}, {1, 2}};
    EXPECT_STOP_MSG(add(empty_first, empty_first), "assertion failed: n_col > 0");
    EXPECT_STOP_MSG(subtract(empty_first, Matrix{{1}, {1}}), "assertion failed: n_col > 0");
    EXPECT_STOP_MSG(divide_scalar(empty_first, 2.0f), "assertion failed: n_col > 0");
    EXPECT_TRUE(add(Matrix{}, Matrix{{1}}).empty());
    EXPECT_TRUE(divide_scalar(Matrix{}, 0.0f).empty());
    EXPECT_STOPS(add(Matrix{{1}, {2}}, Matrix{{1}}));  // b shorter than a
    EXPECT_EQ(column(Matrix{{1, 2}, {3, 4}}, 1), (Row{2, 4}));
    EXPECT_STOPS(column(Matrix{{1, 2}, {3}}, 1));
}

TEST(MatrixOps, DivideScalar) {
    const Matrix a{{1, -2}, {3, 4, 5}};
    EXPECT_EQ(divide_scalar(a, 2.0f), (Matrix{{0.5f, -1}, {1.5f, 2}}));  // rows cut to the first row's width
    for (float zero : {0.0f, -0.0f}) {
        const Matrix z = divide_scalar(a, zero);
        ASSERT_EQ(z, (Matrix{{0, 0}, {0, 0}}));
        for (const auto& row : z)
            for (float v : row) EXPECT_FALSE(std::signbit(v));
    }
}

TEST(RowListsOps, FollowTheMatrixRules) {
    RowLists a(2, 3), b(2, 3);
    a.len = {2, 2};
    b.len = {2, 1};
    a.row(0)[0] = 1, a.row(0)[1] = 2, a.row(1)[0] = 3, a.row(1)[1] = 4;
    b.row(0)[0] = 10, b.row(0)[1] = 20, b.row(1)[0] = 30;
    add_into(a, b);
    EXPECT_EQ(a.to_matrix(), (Matrix{{11, 22}, {33}}));
    EXPECT_EQ(divide_scalar(a, 2.0f).to_matrix(), (Matrix{{5.5f, 11}, {16.5f}}));
    EXPECT_EQ(divide_scalar(a, -0.0f).to_matrix(), (Matrix{{0, 0}, {0}}));
    RowLists hollow(1, 1);
    EXPECT_STOP_MSG(add_into(hollow, hollow), "assertion failed: n_col > 0");
    EXPECT_STOP_MSG(divide_scalar(hollow, 1.0f), "assertion failed: n_col > 0");
    RowLists none(0, 0);
    EXPECT_EQ(divide_scalar(none, 3.0f).n_rows, 0u);
}

// The criteria tally through the flat form; it must give the Matrix form's numbers bit for bit.
TEST(FlatTallies, BitIdenticalToTheMatrixForms) {
    std::mt19937 gen(17);
    for (int trial = 0; trial < 40; ++trial) {
        const uint8_t n_t = static_cast<uint8_t>(1 + trial % 4);
        const size_t n = 1 + gen() % 400;
        DMatrix cls = qtest::random_matrix(gen, n, 3, 40, n_t, true, true);
        DMatrix reg = qtest::random_matrix(gen, n, 3, 40, n_t, false, true);
        const RowCodes rc_cls = prepare_classifier_rows(cls);
        const RowCodes rc_reg = n_t >= 2 ? prepare_regressor_rows(reg) : RowCodes{};
        // A bootstrap-like row list with repeats.
        std::vector<RowId> rows;
        for (size_t i = 0; i < n; ++i) rows.push_back(static_cast<RowId>(gen() % n));
        for (size_t f = 0; f < 3; ++f) {
            const uint64_t nb = cls.n_bins.at(cls.feature_names[f]);
            const size_t slots = nb + 1;
            const auto count = Count::cat(cls.x[f], cls.treatments[0], cls.y, cls.weight, rows, n_t, slots);
            std::vector<float> flat(2 * n_t * slots, 0.0f);
            tally_weights(cls.x[f], cls.max_bin[f], rows, rc_cls, slots, flat.data());
            for (size_t c = 0; c < 2; ++c)
                for (size_t t = 0; t < n_t; ++t)
                    for (size_t s = 0; s < slots; ++s)
                        ASSERT_TRUE(qtest::same_bits(count[c][t][s], flat[(c * n_t + t) * slots + s]))
                            << "class " << c << " group " << t << " slot " << s;
            if (n_t < 2) continue;
            const uint64_t rnb = reg.n_bins.at(reg.feature_names[f]);
            const size_t rslots = rnb + 1;
            const Matrix sum = Sum::cat(reg.x[f], reg.treatments[0], reg.y, reg.weight, rows, n_t, rslots);
            const Matrix second = SecondOrderSum::cat(reg.x[f], reg.treatments[0], reg.y, reg.weight, rows, n_t, rslots);
            const Matrix weight = CountNoY::cat(reg.x[f], reg.treatments[0], reg.weight, rows, n_t, rslots);
            std::vector<float> fs(n_t * rslots, 0.0f), fq(fs), fw(fs);
            tally_moments(reg.x[f], reg.max_bin[f], rows, rc_reg, rslots, fs.data(), fq.data(), fw.data());
            for (size_t t = 0; t < n_t; ++t)
                for (size_t s = 0; s < rslots; ++s) {
                    ASSERT_TRUE(qtest::same_bits(sum[t][s], fs[t * rslots + s]));
                    ASSERT_TRUE(qtest::same_bits(second[t][s], fq[t * rslots + s]));
                    ASSERT_TRUE(qtest::same_bits(weight[t][s], fw[t * rslots + s]));
                }
        }
    }
}

TEST(FlatTallies, RunningSumsMatchCalculate) {
    std::mt19937 gen(5);
    DMatrix m = qtest::random_matrix(gen, 300, 1, 30, 3, false, true);
    const auto rows = all_rows(300);
    const uint64_t nb = m.n_bins.at("f0");
    const Statistic s = Sum::calculate(m, 0, false, 0, rows, nb, 3);
    const RowCodes rc = prepare_regressor_rows(m);
    std::vector<float> fs(3 * (nb + 1), 0.0f), fq(fs), fw(fs);
    tally_moments(m.x[0], m.max_bin[0], rows, rc, nb + 1, fs.data(), fq.data(), fw.data());
    for (size_t t = 0; t < 3; ++t) {
        cumulate(fs.data() + t * (nb + 1), nb + 1);
        for (size_t k = 0; k <= nb; ++k) ASSERT_TRUE(qtest::same_bits(s.values[t][k], fs[t * (nb + 1) + k]));
    }
}

TEST(FlatTallies, RowsThatCannotBeTalliedStop) {
    // Outcome 2 is no class: only a node holding that row stops.
    const DMatrix m = single({0, 1, 0}, 2, {0, 1, 1}, {0, 2, 1});
    const RowCodes rc = prepare_classifier_rows(m);
    std::vector<float> table(2 * 2 * 3, 0.0f);
    EXPECT_NO_THROW(tally_weights(m.x[0], m.max_bin[0], std::vector<RowId>{0, 2}, rc, 3, table.data()));
    EXPECT_STOPS(tally_weights(m.x[0], m.max_bin[0], std::vector<RowId>{0, 1}, rc, 3, table.data()));
    // A bin beyond the table stops instead of writing past it.
    const DMatrix wide = single({0, 5}, 2, {0, 1}, {0, 1});
    const RowCodes rw = prepare_classifier_rows(wide);
    std::fill(table.begin(), table.end(), 0.0f);
    EXPECT_STOPS(tally_weights(wide.x[0], wide.max_bin[0], all_rows(2), rw, 3, table.data()));
}

// The batched tallies (several features in one pass) must give the Matrix forms' numbers too.
TEST(BatchTallies, BitIdenticalToTheMatrixForms) {
    std::mt19937 gen(23);
    int batched = 0;
    for (int trial = 0; trial < 30; ++trial) {
        const uint8_t n_t = static_cast<uint8_t>(2 + trial % 7);
        const size_t n = 1 + gen() % 500, nf = 1 + gen() % 6;
        DMatrix cls = qtest::random_matrix(gen, n, nf, 60, n_t, true, true);
        DMatrix reg = cls;
        for (float& y : reg.y) y = static_cast<float>(gen() % 1000) / 37.0f - 9.0f;
        // An unseen category carries the bin count itself, and a feature may use all 254 bins.
        if (nf > 1) {
            cls.x[1][0] = static_cast<uint8_t>(cls.n_bins.at("f1"));
            cls.n_bins["f0"] = 254;
        }
        cls.finalize();
        reg.x = cls.x;
        reg.n_bins = cls.n_bins;
        reg.finalize();
        const RowCodes rc_cls = prepare_classifier_rows(cls), rc_reg = prepare_regressor_rows(reg);
        std::vector<RowId> rows;
        for (size_t i = 0; i < n + gen() % 50; ++i) rows.push_back(static_cast<RowId>(gen() % n));
        std::vector<uint64_t> features;
        for (size_t k = 0; k < 1 + gen() % 5; ++k) features.push_back(gen() % nf);

        if (batch_ready(cls, rc_cls, features)) {
            ++batched;
            const size_t per = rc_cls.n_codes * kSlotStride;
            std::vector<float> tables(features.size() * per, 0.0f);
            tally_weights_batch(cls, features, rows, rc_cls, tables.data());
            for (size_t j = 0; j < features.size(); ++j) {
                const uint64_t f = features[j];
                const size_t slots = cls.n_bins.at(cls.feature_names[f]) + 1;
                const auto c = Count::cat(cls.x[f], cls.treatments[0], cls.y, cls.weight, rows, n_t, slots);
                for (size_t k = 0; k < 2; ++k)
                    for (size_t t = 0; t < n_t; ++t)
                        for (size_t s = 0; s < slots; ++s)
                            ASSERT_TRUE(qtest::same_bits(c[k][t][s], tables[j * per + (k * n_t + t) * kSlotStride + s]))
                                << "trial " << trial << " feature " << f << " slot " << s;
            }
        }
        if (batch_ready(reg, rc_reg, features)) {
            ++batched;
            const size_t table = rc_reg.n_codes * kSlotStride;
            std::vector<float> tables(features.size() * 3 * table, 0.0f);
            std::vector<float> scratch;
            tally_moments_batch(reg, features, rows, rc_reg, tables.data(), scratch);
            for (size_t j = 0; j < features.size(); ++j) {
                const uint64_t f = features[j];
                const size_t slots = reg.n_bins.at(reg.feature_names[f]) + 1;
                const Matrix s1 = Sum::cat(reg.x[f], reg.treatments[0], reg.y, reg.weight, rows, n_t, slots);
                const Matrix s2 = SecondOrderSum::cat(reg.x[f], reg.treatments[0], reg.y, reg.weight, rows, n_t, slots);
                const Matrix s0 = CountNoY::cat(reg.x[f], reg.treatments[0], reg.weight, rows, n_t, slots);
                const float* base = tables.data() + j * 3 * table;
                for (size_t t = 0; t < n_t; ++t)
                    for (size_t s = 0; s < slots; ++s) {
                        ASSERT_TRUE(qtest::same_bits(s1[t][s], base[t * kSlotStride + s]));
                        ASSERT_TRUE(qtest::same_bits(s2[t][s], base[table + t * kSlotStride + s]));
                        ASSERT_TRUE(qtest::same_bits(s0[t][s], base[2 * table + t * kSlotStride + s]));
                    }
            }
        }
    }
    EXPECT_GT(batched, 20);
}

TEST(BatchTallies, RefusedWhereTheCheckedPathIsNeeded) {
    const DMatrix m = single({0, 1, 0}, 2, {0, 1, 1}, {0, 2, 1});
    const std::vector<uint64_t> f0{0};
    EXPECT_FALSE(batch_ready(m, prepare_classifier_rows(m), f0));  // a row with outcome 2
    const DMatrix ok = single({0, 1, 0}, 2, {0, 1, 1}, {0, 1, 1});
    EXPECT_TRUE(batch_ready(ok, prepare_classifier_rows(ok), f0));
    EXPECT_FALSE(batch_ready(ok, prepare_classifier_rows(ok), std::vector<uint64_t>{1}));  // no such feature
    const DMatrix wide = single({0, 5}, 2, {0, 1}, {0, 1});  // a bin beyond its record's count
    EXPECT_FALSE(batch_ready(wide, prepare_classifier_rows(wide), f0));
}
