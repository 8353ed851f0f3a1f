// What every split criterion owes the learner, checked for each one in one typed suite: the
// same split as a plain scan written over the per-row oracle tallies, the same records batched
// as one by one, repeated rows counting as doubled weights, and clear stops on bad data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "criteria/kl.hpp"
#include "criteria/regression.hpp"
#include "support/oracles.hpp"
#include "test_util.hpp"

using namespace quorvelin;

namespace {

struct PlainResult {
    std::optional<uint8_t> value;
    float gain = 0.0f, importance = 0.0f;
};

// Totals per row of a tally: the last slot of a cumulated row, the sum of a categorical one.
std::vector<float> totals(const Matrix& table, bool is_cat) {
    std::vector<float> out;
    for (const auto& row : table) {
        float s = 0.0f;
        if (is_cat)
            for (float v : row) s = s + v;
        else
            s = row.back();
        out.push_back(s);
    }
    return out;
}

struct KL {
    static constexpr bool binary_outcome = true;
    struct Settings {
        uint64_t leaf, treatment, n_reg;
        bool normalization;
    };
    static Settings draw(std::mt19937& gen, int trial) {
        return {gen() % 30, gen() % 12, gen() % 20, trial % 3 != 0};
    }
    static KLCriterion make(const Settings& s) { return KLCriterion(s.leaf, s.treatment, s.n_reg, 0.9f, s.normalization); }
    static RowCodes codes(const DMatrix& m) { return prepare_classifier_rows(m); }

    static float divergence_of(const Matrix& s) {
        float d = 0.0f;
        for (size_t t = 1; t < s.size(); ++t) d = d + kl_divergence(s[t][0], s[0][0]);
        return d;
    }

    static PlainResult plain(const DMatrix& m, uint64_t f, const std::vector<RowId>& rows, const Settings& st) {
        const bool is_cat = m.is_cat[f];
        const uint64_t nb = m.n_bins.at(m.feature_names[f]), n_t = m.n_treatments[0];
        const auto c = oracle::class_tally(m, f, is_cat, rows, nb, n_t);
        const Matrix total{totals(c[0], is_cat), totals(c[1], is_cat)};
        const Matrix parent = oracle::count_reg(total, std::nullopt, st.treatment, st.n_reg);
        const float d_parent = divergence_of(parent);
        PlainResult out;
        for (uint64_t k = 0; k < nb; ++k) {
            Matrix left(2, std::vector<float>(n_t));
            for (size_t cls = 0; cls < 2; ++cls)
                for (size_t t = 0; t < n_t; ++t) left[cls][t] = c[cls][t][k];
            const Matrix sl = oracle::count_reg(left, parent, st.treatment, st.n_reg);
            const Matrix sr = oracle::count_reg(oracle::subtract(total, left), parent, st.treatment, st.n_reg);
            float n_l = 0.0f, n_r = 0.0f, m_l = INFINITY, m_r = INFINITY;
            for (size_t t = 0; t < n_t; ++t) {
                n_l = n_l + sl[t][1];
                n_r = n_r + sr[t][1];
                m_l = std::isnan(m_l) || std::isnan(sl[t][1]) ? NAN : std::min(m_l, sl[t][1]);
                m_r = std::isnan(m_r) || std::isnan(sr[t][1]) ? NAN : std::min(m_r, sr[t][1]);
            }
            const float fl = static_cast<float>(st.leaf), ft = static_cast<float>(st.treatment);
            if (n_l < fl || n_r < fl || m_l < ft || m_r < ft || n_l <= 0.0f || n_r <= 0.0f) continue;
            const float norm = st.normalization ? oracle::normalization_factor(0.9f, parent, sl) : 1.0f;
            const float w = n_l / (n_l + n_r);
            const float d_l = divergence_of(sl), d_r = divergence_of(sr);
            const float gain = ((d_l * w + d_r * (1.0f - w)) - d_parent) / norm;
            if (gain > out.gain) {
                out = {static_cast<uint8_t>(k), gain, (d_l * n_l + d_r * n_r) - d_parent * (n_l + n_r)};
            }
        }
        return out;
    }
};

struct Regression {
    static constexpr bool binary_outcome = false;
    struct Settings {
        float alpha;
    };
    static Settings draw(std::mt19937& gen, int) { return {static_cast<float>(gen() % 10) / 10.0f}; }
    static RegressionCriterion make(const Settings& s) { return RegressionCriterion(s.alpha); }
    static RowCodes codes(const DMatrix& m) { return prepare_regressor_rows(m); }

    static PlainResult plain(const DMatrix& m, uint64_t f, const std::vector<RowId>& rows, const Settings& st) {
        const bool is_cat = m.is_cat[f];
        const uint64_t nb = m.n_bins.at(m.feature_names[f]), n_t = m.n_treatments[0];
        const auto& x = m.x[f];
        const auto& g = m.treatments[0];
        Matrix s = oracle::Tally::sum(x, g, m.y, m.weight, rows, n_t, nb + 1);
        Matrix q = oracle::Tally::second(x, g, m.y, m.weight, rows, n_t, nb + 1);
        Matrix w = oracle::Tally::weight(x, g, m.weight, rows, n_t, nb + 1);
        if (!is_cat) {
            oracle::cumulate(s);
            oracle::cumulate(q);
            oracle::cumulate(w);
        }
        const std::vector<float> ps = totals(s, is_cat), pq = totals(q, is_cat), pn = totals(w, is_cat);
        // Control (group 0) against the first treatment (group 1).
        const float parent_cost = node_cost({ps[0], pq[0], pn[0]}, {ps[1], pq[1], pn[1]}, st.alpha);
        const float n_parent = pn[0] + pn[1];
        PlainResult out;
        for (uint64_t k = 0; k < nb; ++k) {
            const GroupTotals l0{s[0][k], q[0][k], w[0][k]}, l1{s[1][k], q[1][k], w[1][k]};
            const GroupTotals r0{ps[0] - l0.s, pq[0] - l0.q, pn[0] - l0.n};
            const GroupTotals r1{ps[1] - l1.s, pq[1] - l1.q, pn[1] - l1.n};
            const float n_left = l0.n + l1.n, n_right = r0.n + r1.n;
            const float gain = (parent_cost - (node_cost(l0, l1, st.alpha) * n_left) / n_parent) -
                               (n_right * node_cost(r0, r1, st.alpha)) / n_parent;
            if (gain > out.gain) out = {static_cast<uint8_t>(k), gain, gain};
        }
        return out;
    }
};

template <class C>
class CriterionContract : public ::testing::Test {};
using Criteria = ::testing::Types<KL, Regression>;
TYPED_TEST_SUITE(CriterionContract, Criteria);

std::vector<RowId> bootstrap(std::mt19937& gen, size_t n) {
    std::vector<RowId> rows;
    for (size_t i = 0; i < n; ++i) rows.push_back(static_cast<RowId>(gen() % n));
    return rows;
}

}  // namespace

TYPED_TEST(CriterionContract, AgreesWithAPlainScan) {
    using C = TypeParam;
    std::mt19937 gen(21);
    int with_value = 0;
    for (int trial = 0; trial < 60; ++trial) {
        DMatrix m = qtest::random_matrix(gen, 100 + gen() % 400, 2, 25, static_cast<uint8_t>(2 + trial % 3),
                                         C::binary_outcome, trial % 2 == 0);
        m.is_cat[1] = 1;
        const std::vector<RowId> rows = bootstrap(gen, m.n_rows());
        const typename C::Settings settings = C::draw(gen, trial);
        const RowCodes rc = C::codes(m);
        for (uint64_t f = 0; f < 2; ++f) {
            auto criterion = C::make(settings);
            const SplitInfo r = criterion.find_best_split(m, rc, 0, f, rows);
            const PlainResult p = C::plain(m, f, rows, settings);
            ASSERT_EQ(r.value.has_value(), p.value.has_value()) << "trial " << trial << " feature " << f;
            if (!p.value) continue;
            ++with_value;
            ASSERT_EQ((*r.value)[0], *p.value) << "trial " << trial << " feature " << f;
            ASSERT_TRUE(qtest::same_bits(r.gain, p.gain)) << "trial " << trial << " feature " << f;
            ASSERT_TRUE(qtest::same_bits(r.gain_importance, p.importance)) << "trial " << trial;
        }
    }
    EXPECT_GT(with_value, 20);
}

TYPED_TEST(CriterionContract, BatchedSearchMatchesOneByOne) {
    using C = TypeParam;
    std::mt19937 gen(44);
    for (int trial = 0; trial < 40; ++trial) {
        const uint8_t n_t = static_cast<uint8_t>(2 + trial % 17);  // up to 34 codes: both paths
        DMatrix m = qtest::random_matrix(gen, 50 + gen() % 400, 5, 30, n_t, C::binary_outcome, trial % 2 == 0);
        m.is_cat[1] = m.is_cat[3] = 1;
        m.x[3][0] = static_cast<uint8_t>(m.n_bins.at("f3"));  // an unseen category
        m.finalize();
        const std::vector<RowId> rows = bootstrap(gen, m.n_rows());
        std::vector<uint64_t> features{4, 1, 3, 0, 2};
        std::shuffle(features.begin(), features.end(), gen);
        features.resize(1 + trial % 5);
        const RowCodes rc = C::codes(m);
        auto batch = C::make(C::draw(gen, trial));
        auto single = batch;
        const std::vector<SplitInfo> got = batch.find_best_splits(m, rc, 3, features, rows);
        ASSERT_EQ(got.size(), features.size());
        for (size_t j = 0; j < features.size(); ++j)
            ASSERT_TRUE(qtest::same_split(got[j], single.find_best_split(m, rc, 3, features[j], rows)))
                << "trial " << trial << " feature " << features[j];
    }
}

TYPED_TEST(CriterionContract, RepeatedRowsEqualDoubledWeights) {
    using C = TypeParam;
    std::mt19937 gen(8);
    for (int trial = 0; trial < 10; ++trial) {
        DMatrix unit = qtest::random_matrix(gen, 100 + gen() % 200, 2, 12, 2, C::binary_outcome, false);
        // Whole outcomes keep every sum exact, so adding a row twice equals adding it doubled.
        for (float& y : unit.y) y = std::round(y);
        DMatrix doubled = unit;
        for (float& w : doubled.weight) w = 2.0f;
        std::vector<RowId> twice;
        for (RowId r = 0; r < unit.n_rows(); ++r) twice.insert(twice.end(), {r, r});
        const typename C::Settings settings = C::draw(gen, trial);
        auto a = C::make(settings), b = C::make(settings);
        EXPECT_TRUE(qtest::same_split(a.find_best_split(doubled, C::codes(doubled), 0, 0, qtest::all_rows(unit.n_rows())),
                                      b.find_best_split(unit, C::codes(unit), 0, 0, twice)))
            << "trial " << trial;
    }
}

TYPED_TEST(CriterionContract, NothingToSplitGivesNoCandidate) {
    using C = TypeParam;
    std::mt19937 gen(3);
    DMatrix m = qtest::random_matrix(gen, 200, 1, 5, 2, C::binary_outcome, false);
    auto criterion = C::make(C::draw(gen, 1));
    // Every cell missing and no bin: only the missing slot, so no candidate at all.
    std::fill(m.x[0].begin(), m.x[0].end(), kMissingBin);
    m.n_bins["f0"] = 0;
    m.finalize();
    const SplitInfo none = criterion.find_best_split(m, C::codes(m), 0, 0, qtest::all_rows(200));
    EXPECT_FALSE(none.value.has_value());
    EXPECT_EQ(none.gain, 0.0f);
    // Zero weights make every candidate's gain NaN, and a NaN gain never wins.
    DMatrix weightless = qtest::random_matrix(gen, 200, 1, 5, 2, C::binary_outcome, false);
    std::fill(weightless.weight.begin(), weightless.weight.end(), 0.0f);
    const SplitInfo nan = criterion.find_best_split(weightless, C::codes(weightless), 0, 0, qtest::all_rows(200));
    EXPECT_FALSE(nan.value.has_value());
    EXPECT_EQ(nan.gain, 0.0f);
}

TYPED_TEST(CriterionContract, BadInputsStop) {
    using C = TypeParam;
    std::mt19937 gen(4);
    const DMatrix m = qtest::random_matrix(gen, 50, 1, 5, 2, C::binary_outcome, false);
    auto criterion = C::make(C::draw(gen, 1));
    const auto rows = qtest::all_rows(50);
    EXPECT_STOPS(criterion.find_best_split(m, C::codes(m), 0, 1, rows));  // no feature 1
    DMatrix unnamed = m;
    unnamed.n_bins.clear();
    EXPECT_STOPS(criterion.find_best_split(unnamed, C::codes(unnamed), 0, 0, rows));
    DMatrix untreated = m;
    untreated.treatments.clear();
    untreated.n_treatments.clear();
    EXPECT_STOPS(criterion.find_best_split(untreated, C::codes(untreated), 0, 0, rows));
}
