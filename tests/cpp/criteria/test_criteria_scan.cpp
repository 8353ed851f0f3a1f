// Every classifier criterion and the all-arms regressor against a plain scan over all
// thresholds: children built row by row, rates, shrinkage, sizes and gains in double precision,
// written straight from the definitions. Several treatment groups throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "criteria/kl.hpp"
#include "criteria/regression.hpp"
#include "test_util.hpp"

using namespace quorvelin;

namespace {

struct Settings {
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

double kl(double p, double q) {
    if (q < 1.1920929e-07) return 0;
    q = std::min(std::max(q, 1e-6), 0.999999);
    if (p < 1.1920929e-07) return -std::log(1 - q);
    if (1 - p < 1.1920929e-07) return -std::log(q);
    return p * std::log(p / q) + (1 - p) * std::log((1 - p) / (1 - q));
}

double gini(double a, double b) { return 1 - a * a - b * b; }

double pair_div(UpliftCriterion c, double p, double q) {
    const double d = p - q;
    if (c == UpliftCriterion::Chi) return d * d / std::max(q, 1e-6) + d * d / std::max(1 - q, 1e-6);
    if (c == UpliftCriterion::KL) return kl(p, q);
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

Plain plain_classifier(const DMatrix& m, UpliftCriterion c, const Settings& s) {
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

Plain plain_all_arms(const DMatrix& m, const Settings& s) {
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

TEST(CriteriaScan, ClassifierCriteriaMatchThePlainScan) {
    std::mt19937 gen(11);
    int compared = 0, with_split = 0;
    for (uint8_t n_t : {2, 3, 4})
        for (bool is_cat : {false, true})
            for (bool weights : {false, true})
                for (int trial = 0; trial < 4; ++trial) {
                    DMatrix m = qtest::random_matrix(gen, 240, 1, 8, n_t, true, weights);
                    m.is_cat[0] = is_cat;
                    const RowCodes rc = prepare_classifier_rows(m);
                    const auto rows = qtest::all_rows(m.n_rows());
                    for (UpliftCriterion c : {UpliftCriterion::KL, UpliftCriterion::ED, UpliftCriterion::Chi,
                                              UpliftCriterion::CTS, UpliftCriterion::DDP})
                        for (bool norm : {false, true}) {
                            if (c == UpliftCriterion::KL && norm) continue;  // its own factor: test_kl
                            const Settings s{8, 3, 10, 0.9, norm};
                            KLCriterion engine(8, 3, 10, 0.9f, norm, c);
                            const SplitInfo got = engine.find_best_split(m, rc, 0, 0, rows);
                            const Plain want = plain_classifier(m, c, s);
                            expect_same(got, want, uplift_criterion_name(c).data());
                            ++compared;
                            with_split += want.value.has_value();
                        }
                }
    EXPECT_GT(with_split, compared / 2);  // the tables do have something to split on
}

TEST(CriteriaScan, AllArmsRegressorMatchesThePlainScan) {
    std::mt19937 gen(5);
    int with_split = 0, compared = 0;
    for (uint8_t n_t : {2, 3, 4})
        for (bool is_cat : {false, true})
            for (bool weights : {false, true})
                for (int trial = 0; trial < 4; ++trial) {
                    DMatrix m = qtest::random_matrix(gen, 240, 1, 8, n_t, false, weights);
                    m.is_cat[0] = is_cat;
                    const RowCodes rc = prepare_regressor_rows(m);
                    for (double leaf : {0.0, 20.0}) {
                        RegressionCriterion engine(0.9f, {static_cast<float>(leaf), 4.0f});
                        const SplitInfo got = engine.find_best_split(m, rc, 0, 0, qtest::all_rows(m.n_rows()));
                        const Plain want = plain_all_arms(m, {leaf, 4, 0, 0.9, false});
                        expect_same(got, want, "all_arms");
                        ++compared;
                        with_split += want.value.has_value();
                    }
                }
    EXPECT_GT(with_split, compared / 2);
}

TEST(CriteriaScan, AllArmsIsTheSpecifiedRegressorForOneTreatmentWithoutMinimums) {
    std::mt19937 gen(9);
    for (int trial = 0; trial < 10; ++trial) {
        const DMatrix m = qtest::random_matrix(gen, 120, 1, 8, 2, false, trial % 2 == 1);
        const RowCodes rc = prepare_regressor_rows(m);
        RegressionCriterion first(0.9f), all(0.9f, {0.0f, 0.0f});
        const auto rows = qtest::all_rows(m.n_rows());
        EXPECT_TRUE(qtest::same_split(first.find_best_split(m, rc, 0, 0, rows), all.find_best_split(m, rc, 0, 0, rows)));
    }
}
