// Growth on a counted sample (distinct rows with multiplicities, children derived from their
// parent's tallies) must give the trees the plain growth gives: every row tallied as often as
// it was drawn, in ascending row order.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "forest/grow.hpp"
#include "forest/random.hpp"
#include "test_util.hpp"

using namespace quorvelin;

namespace {

// The same criterion without its own find_node_splits: the learner's default then spells each
// counted node out row by row and asks the plain tallies.
class Plain final : public Criterion {
public:
    explicit Plain(std::unique_ptr<Criterion> inner) : inner_(std::move(inner)) {}
    RowCodes row_codes(const DMatrix& data) const override { return inner_->row_codes(data); }
    bool order_free(const RowCodes& rc, uint64_t n) const override { return inner_->order_free(rc, n); }
    SplitInfo find_best_split(const DMatrix& data, const RowCodes& rc, uint64_t node, uint64_t feature,
                              std::span<const RowId> rows) override {
        return inner_->find_best_split(data, rc, node, feature, rows);
    }
    std::vector<SplitInfo>& find_best_splits(const DMatrix& data, const RowCodes& rc, uint64_t node,
                                             std::span<const uint64_t> features, std::span<const RowId> rows) override {
        return inner_->find_best_splits(data, rc, node, features, rows);
    }

    void summarise(Tree& tree, const DMatrix& data, const RowCodes& rc, std::span<const RowId> rows) const override {
        inner_->summarise(tree, data, rc, rows);
    }

private:
    std::unique_ptr<Criterion> inner_;
};

enum class Weights { Unit, SmallIntegers, Fractional, IntegersBeyondExact };

struct Case {
    std::string name;
    ModelKind kind;
    Weights weights;
    uint8_t n_t;
    bool counted;  // whether the fit is order-free, so the counted path runs
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

DMatrix case_data(const Case& c, uint64_t seed) {
    std::mt19937 gen(static_cast<uint32_t>(seed));
    DMatrix m = qtest::random_matrix(gen, 3000, 8, 30, c.n_t, c.kind == ModelKind::Classifier, c.weights == Weights::Fractional);
    for (size_t r = 0; r < m.weight.size(); ++r) {
        if (c.weights == Weights::SmallIntegers) m.weight[r] = static_cast<float>(r % 4);
        // Exact one by one, but totals pass 2^24: the order matters again.
        if (c.weights == Weights::IntegersBeyondExact) m.weight[r] = 16384.0f + static_cast<float>(r % 3);
    }
    return m;
}

class CountedGrowth : public ::testing::TestWithParam<Case> {};

TEST_P(CountedGrowth, SameTreesAsPlainGrowth) {
    const Case& c = GetParam();
    for (uint64_t seed : {3u, 11u}) {
        const DMatrix m = case_data(c, seed);
        for (float subsample : {1.0f, 0.5f}) {
            const TreeConfig config = qtest::learn_config(6, 4, subsample);
            std::unique_ptr<Criterion> fast = make_criterion(c.kind, config);
            Plain plain(make_criterion(c.kind, config));
            const RowCodes rc = fast->row_codes(m);
            const uint64_t k = saturating_u64(subsample * static_cast<float>(m.n_rows()));
            ASSERT_EQ(fast->order_free(rc, k), c.counted);
            TreeGrower fast_grower(config, *fast), plain_grower(config, plain);
            Random fast_random(seed), plain_random(seed);
            // Several trees in a row: the grower and the criterion keep buffers between them.
            for (int tree = 0; tree < 4; ++tree) {
                const Tree a = fast_grower.grow(m, rc, fast_random);
                const Tree b = plain_grower.grow(m, rc, plain_random);
                EXPECT_GT(a.n_nodes(), 7u) << "too shallow to exercise derived children";
                EXPECT_TRUE(qtest::same_tree(a, b)) << c.name << " seed " << seed << " subsample " << subsample
                                                    << " tree " << tree;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Weights, CountedGrowth,
    ::testing::Values(Case{"unit", ModelKind::Classifier, Weights::Unit, 2, true},
                      Case{"small_integers", ModelKind::Classifier, Weights::SmallIntegers, 2, true},
                      Case{"three_groups", ModelKind::Classifier, Weights::Unit, 3, true},
                      Case{"fractional", ModelKind::Classifier, Weights::Fractional, 2, false},
                      Case{"beyond_exact", ModelKind::Classifier, Weights::IntegersBeyondExact, 2, false},
                      Case{"regressor", ModelKind::Regressor, Weights::Unit, 2, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
