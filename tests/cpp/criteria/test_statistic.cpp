// Per-node tallies by group and bin slot, against hand counts and the per-row oracle.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "criteria/linalg.hpp"
#include "criteria/statistic.hpp"
#include "support/oracles.hpp"
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

Matrix as_rows(const std::vector<float>& flat, size_t n_rows, size_t n_slots) {
    Matrix out(n_rows);
    for (size_t r = 0; r < n_rows; ++r) out[r].assign(flat.begin() + r * n_slots, flat.begin() + (r + 1) * n_slots);
    return out;
}

// The library's class tallies of feature 0: one row per code (class * n_t + group).
Matrix class_table(const DMatrix& m, std::span<const RowId> rows) {
    const RowCodes rc = prepare_classifier_rows(m);
    const size_t n_slots = m.bins_of(0) + 1;
    std::vector<float> flat(rc.n_codes * n_slots, 0.0f);
    tally_weights(m.x[0], m.max_bin[0], rows, rc, n_slots, flat.data());
    return as_rows(flat, rc.n_codes, n_slots);
}

// The library's moment tallies of feature 0 (Σ y·w, Σ y²·w, Σ w): one row per group.
std::vector<Matrix> moment_tables(const DMatrix& m, std::span<const RowId> rows) {
    const RowCodes rc = prepare_regressor_rows(m);
    const size_t n_slots = m.bins_of(0) + 1, cells = rc.n_codes * n_slots;
    std::vector<float> flat(3 * cells, 0.0f);
    tally_moments(m.x[0], m.max_bin[0], rows, rc, n_slots, flat.data(), flat.data() + cells, flat.data() + 2 * cells);
    std::vector<Matrix> out;
    for (size_t k = 0; k < 3; ++k)
        out.push_back(as_rows({flat.begin() + k * cells, flat.begin() + (k + 1) * cells}, rc.n_codes, n_slots));
    return out;
}

}  // namespace

TEST(ClassTally, OutcomeClassesByTruncation) {
    // Weights 1, 2, 4, 8, 16 tell the rows apart: 0.0, 0.9, -3.0 and NaN are class 0, 1.0 and
    // 1.9 class 1; 2.0 cannot be tallied.
    const DMatrix m = single({0, 0, 0, 0, 0, 0}, 1, {}, {0.0f, 0.9f, 1.0f, -3.0f, 1.9f, NAN}, {1, 2, 4, 8, 16, 32});
    EXPECT_EQ(class_table(m, all_rows(6)), (Matrix{{43, 0}, {20, 0}}));
    const DMatrix two = single({0, 0}, 1, {}, {1.0f, 2.0f});
    EXPECT_STOPS(class_table(two, all_rows(2)));
    EXPECT_EQ(class_table(two, std::vector<RowId>{0}), (Matrix{{0, 0}, {1, 0}}));
}

TEST(Tallies, HandCountedCases) {
    struct Case {
        const char* name;
        DMatrix data;
        std::vector<RowId> rows;
        Matrix sum, second, weight;  // group 1's row is the second
    };
    const Case cases[] = {
        {"weighted moments", single({1, 1}, 2, {1, 1}, {2.0f, 3.0f}, {0.5f, 2.0f}), all_rows(2),
         {{0, 0, 0}, {0, 7, 0}}, {{0, 0, 0}, {0, 20, 0}}, {{0, 0, 0}, {0, 2.5f, 0}}},
        {"all missing go to the last slot", single({kMissingBin, kMissingBin, kMissingBin}, 3, {1, 1, 1}, {1, 2, 3}, {1, 1, 2}),
         all_rows(3), {{0, 0, 0, 0}, {0, 0, 0, 9}}, {{0, 0, 0, 0}, {0, 0, 0, 23}}, {{0, 0, 0, 0}, {0, 0, 0, 4}}},
        {"bin equal to the bin count shares the missing slot", single({0, 2, kMissingBin}, 2, {1, 1, 1}, {1, 1, 1}),
         all_rows(3), {{0, 0, 0}, {1, 0, 2}}, {{0, 0, 0}, {1, 0, 2}}, {{0, 0, 0}, {1, 0, 2}}},
        {"repeated rows count each time", single({0, 1}, 2, {1, 1}, {1, 3}), {1, 0, 1, 1},
         {{0, 0, 0}, {1, 9, 0}}, {{0, 0, 0}, {1, 27, 0}}, {{0, 0, 0}, {1, 3, 0}}},
        {"no rows: zeros of the full shape", single({0, 1}, 4, {0, 2}), {},
         Matrix(3, Row(5, 0.0f)), Matrix(3, Row(5, 0.0f)), Matrix(3, Row(5, 0.0f))},
    };
    for (const Case& c : cases) {
        const std::vector<Matrix> t = moment_tables(c.data, c.rows);
        EXPECT_EQ(t[0], c.sum) << c.name;
        EXPECT_EQ(t[1], c.second) << c.name;
        EXPECT_EQ(t[2], c.weight) << c.name;
    }
    // Repeated rows in the class tallies, and a bin beyond the slots.
    EXPECT_EQ(class_table(single({0, 1}, 2, {}, {1, 0}), std::vector<RowId>{1, 0, 1, 1}), (Matrix{{0, 3, 0}, {1, 0, 0}}));
    EXPECT_STOPS(class_table(single({0, 3}, 2), all_rows(2)));
}

TEST(RowListsOps, FollowTheMatrixRules) {
    RowLists a(2, 3), b(2, 3);
    a.len = {2, 2};
    b.len = {2, 1};
    a.row(0)[0] = 1, a.row(0)[1] = 2, a.row(1)[0] = 3, a.row(1)[1] = 4;
    b.row(0)[0] = 10, b.row(0)[1] = 20, b.row(1)[0] = 30;
    auto lists = [](const RowLists& l) {
        Matrix out;
        for (size_t i = 0; i < l.n_rows; ++i) out.emplace_back(l.row(i), l.row(i) + l.len[i]);
        return out;
    };
    add_into(a, b);
    EXPECT_EQ(lists(a), (Matrix{{11, 22}, {33}}));
    EXPECT_EQ(lists(divide_scalar(a, 2.0f)), (Matrix{{5.5f, 11}, {16.5f}}));
    EXPECT_EQ(lists(divide_scalar(a, -0.0f)), (Matrix{{0, 0}, {0}}));
    RowLists hollow(1, 1);
    EXPECT_STOP_MSG(add_into(hollow, hollow), "assertion failed: n_col > 0");
    EXPECT_STOP_MSG(divide_scalar(hollow, 1.0f), "assertion failed: n_col > 0");
    RowLists none(0, 0);
    EXPECT_EQ(divide_scalar(none, 3.0f).n_rows, 0u);
}

// The one-feature and the batched tallies (several features in one pass) must give the per-row
// oracle's numbers bit for bit. `at(t, s)` reads the library's table of group t, slot s.
void expect_tallies(const oracle::Tallies& want, size_t n_t, size_t slots, bool classes,
                    const std::function<float(size_t table, size_t t, size_t s)>& at) {
    const Matrix* tables[] = {&want.by_class[0], &want.by_class[1], &want.sum, &want.second, &want.weight};
    for (size_t k = classes ? 0 : 2; k < (classes ? 2 : 5); ++k)
        for (size_t t = 0; t < n_t; ++t)
            for (size_t s = 0; s < slots; ++s)
                ASSERT_TRUE(qtest::same_bits((*tables[k])[t][s], at(classes ? k : k - 2, t, s)))
                    << "table " << k << " group " << t << " slot " << s;
}

TEST(BatchTallies, BitIdenticalToThePerRowOracle) {
    std::mt19937 gen(23);
    int batched = 0;
    for (int trial = 0; trial < 30; ++trial) {
        SCOPED_TRACE(trial);
        const uint8_t n_t = static_cast<uint8_t>(2 + trial % 7);
        const size_t n = 1 + gen() % 500, nf = 1 + gen() % 6;
        DMatrix cls = qtest::random_matrix(gen, n, nf, 60, n_t, true, true);
        // An unseen category carries the bin count itself, and a feature may use all 254 bins.
        if (nf > 1) {
            cls.x[1][0] = static_cast<uint8_t>(cls.n_bins.at("f1"));
            cls.n_bins["f0"] = 254;
        }
        cls.finalize();
        DMatrix reg = cls;
        for (float& y : reg.y) y = static_cast<float>(gen() % 1000) / 37.0f - 9.0f;
        const RowCodes rc_cls = prepare_classifier_rows(cls), rc_reg = prepare_regressor_rows(reg);
        std::vector<RowId> rows;
        for (size_t i = 0; i < n + gen() % 50; ++i) rows.push_back(static_cast<RowId>(gen() % n));
        std::vector<uint64_t> features;
        for (size_t k = 0; k < 1 + gen() % 5; ++k) features.push_back(gen() % nf);
        for (uint64_t f : features) {
            const size_t slots = cls.bins_of(f) + 1;
            std::vector<float> flat(2 * n_t * slots, 0.0f);
            tally_weights(cls.x[f], cls.max_bin[f], rows, rc_cls, slots, flat.data());
            expect_tallies(oracle::tally(cls, f, rows, slots), n_t, slots, true,
                           [&](size_t k, size_t t, size_t s) { return flat[(k * n_t + t) * slots + s]; });
            std::vector<float> moments(3 * n_t * slots, 0.0f);
            float* m = moments.data();
            tally_moments(reg.x[f], reg.max_bin[f], rows, rc_reg, slots, m, m + n_t * slots, m + 2 * n_t * slots);
            expect_tallies(oracle::tally(reg, f, rows, slots), n_t, slots, false,
                           [&](size_t k, size_t t, size_t s) { return moments[(k * n_t + t) * slots + s]; });
        }
        if (batch_ready(cls, rc_cls, features)) {
            ++batched;
            const size_t per = rc_cls.n_codes * kSlotStride;
            std::vector<float> tables(features.size() * per, 0.0f);
            tally_weights_batch(cls, features, rows, rc_cls, tables.data());
            for (size_t j = 0; j < features.size(); ++j)
                expect_tallies(oracle::tally(cls, features[j], rows, cls.bins_of(features[j]) + 1), n_t,
                               cls.bins_of(features[j]) + 1, true, [&](size_t k, size_t t, size_t s) {
                                   return tables[j * per + (k * n_t + t) * kSlotStride + s];
                               });
        }
        if (batch_ready(reg, rc_reg, features)) {
            ++batched;
            const size_t table = rc_reg.n_codes * kSlotStride;
            std::vector<float> tables(features.size() * 3 * table, 0.0f), scratch;
            tally_moments_batch(reg, features, rows, rc_reg, tables.data(), scratch);
            for (size_t j = 0; j < features.size(); ++j)
                expect_tallies(oracle::tally(reg, features[j], rows, reg.bins_of(features[j]) + 1), n_t,
                               reg.bins_of(features[j]) + 1, false, [&](size_t k, size_t t, size_t s) {
                                   return tables[j * 3 * table + k * table + t * kSlotStride + s];
                               });
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
