// What every split criterion owes the learner. A typed suite checks each one against a plain
// scan over the per-row oracle tallies, in float and bit for bit, and for the same records
// batched as one by one, and clear stops on bad data. Then the other classifier criteria and
// the all-arms regressor against a plain scan written straight from the definitions in double
// precision, several treatment groups throughout.
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
        const oracle::Tallies t = oracle::tally(m, f, rows, nb + 1, !is_cat);
        const Matrix(&c)[2] = t.by_class;
        const Matrix total{totals(c[0], is_cat), totals(c[1], is_cat)};
        const Matrix parent = oracle::count_reg(total, std::nullopt, st.treatment, st.n_reg);
        const float d_parent = divergence_of(parent);
        PlainResult out;
        for (uint64_t k = 0; k < nb; ++k) {
            Matrix left(2, std::vector<float>(n_t));
            for (size_t cls = 0; cls < 2; ++cls)
                for (size_t t = 0; t < n_t; ++t) left[cls][t] = c[cls][t][k];
            const Matrix sl = oracle::count_reg(left, parent, st.treatment, st.n_reg);
            Matrix right = total;
            for (size_t cls = 0; cls < 2; ++cls)
                for (size_t t = 0; t < n_t; ++t) right[cls][t] = total[cls][t] - left[cls][t];
            const Matrix sr = oracle::count_reg(right, parent, st.treatment, st.n_reg);
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
        const uint64_t nb = m.n_bins.at(m.feature_names[f]);
        const oracle::Tallies t = oracle::tally(m, f, rows, nb + 1, !is_cat);
        const Matrix &s = t.sum, &q = t.second, &w = t.weight;
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

// The definitions in double precision.
struct Definition {
    double leaf, treatment, n_reg, alpha;
    bool normalization;
};

struct Plain {
    std::optional<int> value;
    double gain = 0;
    double runner_up = 0;  // the best gain of any other candidate, to skip near ties
};

bool goes_left(uint8_t bin, int k, bool is_cat) {
    return bin != kMissingBin && (is_cat ? bin == k : bin <= k);
}

double gini(double a, double b) { return 1 - a * a - b * b; }

double pair_div(UpliftCriterion c, double p, double q) {
    const double d = p - q;
    if (c == UpliftCriterion::Chi) return d * d / std::max(q, 1e-6) + d * d / std::max(1 - q, 1e-6);
    return 2 * d * d;
}

double score(UpliftCriterion c, const std::vector<double>& rate) {
    if (c == UpliftCriterion::CTS) return *std::max_element(rate.begin(), rate.end());
    double s = 0;
    for (size_t t = 1; t < rate.size(); ++t) s += pair_div(c, rate[t], rate[0]);
    return s;
}

double normalization(UpliftCriterion c, const std::vector<double>& n, const std::vector<double>& l, double alpha) {
    double n_t = 0, l_t = 0;
    for (size_t i = 1; i < n.size(); ++i) n_t += n[i], l_t += l[i];
    auto share = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    const double all = n[0] + n_t, pc = share(l[0], n[0]);
    double j = alpha * gini(n_t / all, n[0] / all) * pair_div(c, share(l_t, n_t), pc);
    for (size_t i = 1; i < n.size(); ++i) {
        const double pi = share(l[i], n[i]);
        j += (1 - alpha) * gini(n[i] / (n[i] + n[0]), n[0] / (n[i] + n[0])) * pair_div(c, pi, pc);
        j += n[i] / all * gini(pi, 1 - pi);
    }
    return j + n[0] / all * gini(pc, 1 - pc) + 0.5;
}

void note(Plain& best, int k, double gain) {
    if (gain > best.gain) {
        if (best.value) best.runner_up = std::max(best.runner_up, best.gain);
        best.value = k, best.gain = gain;
    } else {
        best.runner_up = std::max(best.runner_up, gain);
    }
}

Plain plain_classifier(const DMatrix& m, UpliftCriterion c, const Definition& s) {
    const size_t n_t = m.n_treatments[0];
    const bool is_cat = m.is_cat[0];
    const int n_bins = static_cast<int>(m.n_bins.at("f0"));
    std::vector<double> w0(n_t), w1(n_t);
    for (size_t r = 0; r < m.y.size(); ++r) (m.y[r] >= 1 ? w1 : w0)[m.treatments[0][r]] += m.weight[r];
    std::vector<double> parent_rate(n_t), parent_n(n_t);
    for (size_t t = 0; t < n_t; ++t) {
        parent_n[t] = w0[t] + w1[t];
        parent_rate[t] = parent_n[t] > 0 ? w1[t] / parent_n[t] : 0;
    }
    const double parent_score = score(c, parent_rate);
    Plain best;
    for (int k = 0; k < n_bins; ++k) {
        std::vector<double> l0(n_t), l1(n_t);
        for (size_t r = 0; r < m.y.size(); ++r)
            if (goes_left(m.x[0][r], k, is_cat)) (m.y[r] >= 1 ? l1 : l0)[m.treatments[0][r]] += m.weight[r];
        std::vector<double> lr(n_t), ln(n_t), rr(n_t), rn(n_t);
        double n_left = 0, n_right = 0;
        bool too_small = false;
        for (size_t t = 0; t < n_t; ++t) {
            ln[t] = l0[t] + l1[t];
            rn[t] = parent_n[t] - ln[t];
            const double r1 = w1[t] - l1[t];
            auto shrunk = [&](double ones, double n) {
                return n > s.treatment ? (ones + parent_rate[t] * s.n_reg) / (n + s.n_reg) : parent_rate[t];
            };
            lr[t] = shrunk(l1[t], ln[t]);
            rr[t] = shrunk(r1, rn[t]);
            n_left += ln[t], n_right += rn[t];
            too_small = too_small || ln[t] < s.treatment || rn[t] < s.treatment;
        }
        if (too_small || n_left < s.leaf || n_right < s.leaf || n_left <= 0 || n_right <= 0) continue;
        double gain;
        if (c == UpliftCriterion::DDP) {
            gain = 0;
            for (size_t t = 1; t < n_t; ++t) gain += std::fabs((lr[t] - lr[0]) - (rr[t] - rr[0]));
        } else {
            const double w = n_left / (n_left + n_right);
            gain = w * score(c, lr) + (1 - w) * score(c, rr) - parent_score;
            if (s.normalization && c != UpliftCriterion::CTS) gain /= normalization(c, parent_n, ln, s.alpha);
        }
        note(best, k, gain);
    }
    return best;
}

struct Moments {
    double s = 0, q = 0, n = 0;
};

double cost(const Moments& c, const Moments& t, double alpha) {
    const double tau = t.s / t.n - c.s / c.n;
    const double v = (t.q / t.n - t.s * t.s / (t.n * t.n)) / t.n + (c.q / c.n - c.s * c.s / (c.n * c.n)) / c.n;
    return alpha * std::fabs(t.n - c.n) + v - tau * tau;
}

Plain plain_all_arms(const DMatrix& m, const Definition& s) {
    const size_t n_t = m.n_treatments[0];
    const bool is_cat = m.is_cat[0];
    const int n_bins = static_cast<int>(m.n_bins.at("f0"));
    auto totals = [&](auto&& keep) {
        std::vector<Moments> g(n_t);
        for (size_t r = 0; r < m.y.size(); ++r) {
            if (!keep(r)) continue;
            Moments& x = g[m.treatments[0][r]];
            x.s += m.y[r] * m.weight[r], x.q += m.y[r] * m.y[r] * m.weight[r], x.n += m.weight[r];
        }
        return g;
    };
    const std::vector<Moments> parent = totals([](size_t) { return true; });
    Plain best;
    for (int k = 0; k < n_bins; ++k) {
        const auto left = totals([&](size_t r) { return goes_left(m.x[0][r], k, is_cat); });
        const auto right = totals([&](size_t r) { return !goes_left(m.x[0][r], k, is_cat); });
        double n_left = 0, n_right = 0;
        bool too_small = false;
        for (size_t t = 0; t < n_t; ++t) {
            n_left += left[t].n, n_right += right[t].n;
            too_small = too_small || left[t].n < s.treatment || right[t].n < s.treatment;
        }
        if (too_small || n_left < s.leaf || n_right < s.leaf || n_left <= 0 || n_right <= 0) continue;
        double gain = 0;
        for (size_t t = 1; t < n_t; ++t) {
            const double np = parent[0].n + parent[t].n;
            gain += cost(parent[0], parent[t], s.alpha) -
                    cost(left[0], left[t], s.alpha) * (left[0].n + left[t].n) / np -
                    cost(right[0], right[t], s.alpha) * (right[0].n + right[t].n) / np;
        }
        note(best, k, gain);
    }
    return best;
}

// Engine and plain scan agree on the winner and its gain, unless two candidates are too close to
// call in single precision.
void expect_same(const SplitInfo& got, const Plain& want, const char* what) {
    if (!want.value) {
        EXPECT_FALSE(got.value) << what;
        return;
    }
    ASSERT_TRUE(got.value) << what;
    const double scale = std::max(1.0, std::fabs(want.gain));
    EXPECT_NEAR(got.gain, want.gain, 1e-4 * scale) << what;
    if (want.gain - want.runner_up > 1e-3 * scale) {
        EXPECT_EQ((*got.value)[0], *want.value) << what;
    }
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

// Nothing to split gives no candidate; data the criterion cannot read stops.
TYPED_TEST(CriterionContract, NoCandidateOrAStop) {
    using C = TypeParam;
    std::mt19937 gen(3);
    const DMatrix m = qtest::random_matrix(gen, 200, 1, 5, 2, C::binary_outcome, false);
    auto criterion = C::make(C::draw(gen, 1));
    const auto rows = qtest::all_rows(200);
    auto best = [&](const DMatrix& d, uint64_t f = 0) { return criterion.find_best_split(d, C::codes(d), 0, f, rows); };
    // Every cell missing and no bin leaves only the missing slot; zero weights make every gain
    // NaN, and a NaN gain never wins.
    DMatrix missing = m, weightless = m;
    std::fill(missing.x[0].begin(), missing.x[0].end(), kMissingBin);
    missing.n_bins["f0"] = 0;
    missing.finalize();
    std::fill(weightless.weight.begin(), weightless.weight.end(), 0.0f);
    for (const DMatrix* d : {&missing, &weightless}) {
        const SplitInfo none = best(*d);
        EXPECT_FALSE(none.value.has_value());
        EXPECT_EQ(none.gain, 0.0f);
    }
    DMatrix unnamed = m, untreated = m;
    unnamed.n_bins.clear();
    untreated.treatments.clear();
    untreated.n_treatments.clear();
    EXPECT_STOPS(best(m, 1));  // no feature 1
    EXPECT_STOPS(best(unnamed));
    EXPECT_STOPS(best(untreated));
}

// Every table: one feature, continuous or categorical, with unit or drawn weights.
TEST(CriteriaScan, EveryCriterionMatchesTheDefinitions) {
    std::mt19937 gen(11);
    int compared = 0, with_split = 0;
    auto check = [&](const SplitInfo& got, const Plain& want, const char* what) {
        expect_same(got, want, what);
        ++compared;
        with_split += want.value.has_value();
    };
    for (uint8_t n_t : {2, 3, 4})
        for (bool is_cat : {false, true})
            for (bool weights : {false, true})
                for (int trial = 0; trial < 4; ++trial) {
                    DMatrix m = qtest::random_matrix(gen, 240, 1, 8, n_t, true, weights);
                    m.is_cat[0] = is_cat;
                    const auto rows = qtest::all_rows(m.n_rows());
                    const RowCodes rc = prepare_classifier_rows(m);
                    // KL: the plain scan above and the hand-computed scans of test_kl.cpp.
                    for (UpliftCriterion c : {UpliftCriterion::ED, UpliftCriterion::Chi, UpliftCriterion::CTS,
                                              UpliftCriterion::DDP})
                        for (bool norm : {false, true}) {
                            KLCriterion engine(8, 3, 10, 0.9f, norm, c);
                            check(engine.find_best_split(m, rc, 0, 0, rows), plain_classifier(m, c, {8, 3, 10, 0.9, norm}),
                                  uplift_criterion_name(c).data());
                        }

                    DMatrix r = qtest::random_matrix(gen, 240, 1, 8, n_t, false, weights);
                    r.is_cat[0] = is_cat;
                    const RowCodes rr = prepare_regressor_rows(r);
                    for (double leaf : {0.0, 20.0}) {
                        RegressionCriterion engine(0.9f, {static_cast<float>(leaf), 4.0f});
                        check(engine.find_best_split(r, rr, 0, 0, rows), plain_all_arms(r, {leaf, 4, 0, 0.9, false}),
                              "all_arms");
                    }
                    if (n_t == 2) {  // one treatment, no minimums: all arms is the specified regressor
                        RegressionCriterion first(0.9f), all(0.9f, {0.0f, 0.0f});
                        EXPECT_TRUE(qtest::same_split(first.find_best_split(r, rr, 0, 0, rows),
                                                      all.find_best_split(r, rr, 0, 0, rows)));
                    }
                }
    EXPECT_GT(with_split, compared / 2);  // the tables do have something to split on
}
