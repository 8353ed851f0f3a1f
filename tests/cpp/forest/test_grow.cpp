// Growing one tree: the sample, the shape, the summaries and the choice among candidates.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "forest/grow.hpp"
#include "forest/random.hpp"
#include "test_util.hpp"
#include "tree/route.hpp"

using namespace quorvelin;
using qtest::learn_config;
using qtest::signal_data;

namespace {

// Per node and group, the weight, class-1 weight and outcome sum of the rows that reach it.
struct NodeTally {
    std::vector<double> w, w1, yw;
};

// Replays the learner's bootstrap sample (the first draw of its source) and routes every
// sampled row down the tree row by row.
std::vector<NodeTally> tally_sample(const Tree& t, const DMatrix& m, uint64_t seed, float subsample) {
    const uint64_t n = m.n_rows();
    const uint64_t k = saturating_u64(subsample * static_cast<float>(n));
    Random replay(seed);
    const auto sample = replay.choose(n, k, true);
    const size_t n_t = m.n_treatments[0];
    std::vector<NodeTally> out(t.level.size(), NodeTally{std::vector<double>(n_t), std::vector<double>(n_t),
                                                         std::vector<double>(n_t)});
    for (uint64_t row : sample) {
        uint64_t node = 0;
        while (true) {
            const uint8_t g = m.treatments[0][row];
            out[node].w[g] += m.weight[row];
            out[node].w1[g] += m.y[row] == 1.0f ? m.weight[row] : 0.0;
            out[node].yw[g] += m.y[row] * m.weight[row];
            if (!t.left_children[node]) break;
            const SplitInfo& r = *t.split[node];
            node = qtest::left_by_rule(r, m.x[r.feature_id][row]) ? *t.left_children[node] : *t.right_children[node];
        }
    }
    return out;
}

// Everything a grown tree must satisfy, given the seed it was grown from.
void check_grown(const Tree& t, const DMatrix& m, uint64_t max_depth, uint64_t seed, float subsample = 1.0f) {
    const size_t n = t.level.size();
    ASSERT_EQ(t.left_children.size(), n);
    ASSERT_EQ(t.right_children.size(), n);
    ASSERT_EQ(t.split.size(), n);
    const std::vector<NodeTally> tally = tally_sample(t, m, seed, subsample);
    // Depth-first numbering: the k-th split node in preorder has children 2k+1 and 2k+2.
    uint64_t next_child = 1;
    std::vector<uint64_t> stack{0};
    while (!stack.empty()) {
        const uint64_t node = stack.back();
        stack.pop_back();
        ASSERT_TRUE(t.split[node].has_value()) << "node " << node << " has no record";
        const SplitInfo& r = *t.split[node];
        EXPECT_EQ(r.node_id, node);
        EXPECT_LE(t.level[node], max_depth);
        // The summary describes exactly the sampled rows that reach the node.
        ASSERT_EQ(r.summary.size(), tally[node].w.size());
        for (size_t g = 0; g < r.summary.size(); ++g) {
            const double w = tally[node].w[g];
            if (r.summary[g].size() == 2) {
                EXPECT_EQ(r.summary[g][1], static_cast<float>(w)) << "node " << node << " group " << g;
                const float rate = w > 0 ? static_cast<float>(tally[node].w1[g]) / static_cast<float>(w) : 0.0f;
                EXPECT_EQ(r.summary[g][0], rate) << "node " << node << " group " << g;
            } else if (w == 0.0) {
                EXPECT_TRUE(std::isnan(r.summary[g][0]));
            } else {
                const double mean = tally[node].yw[g] / w;
                EXPECT_NEAR(r.summary[g][0], mean, 1e-4 * (1.0 + std::fabs(mean))) << "node " << node;
            }
        }
        if (!t.left_children[node]) {
            EXPECT_FALSE(t.right_children[node].has_value());
            EXPECT_TRUE(!r.value || t.level[node] >= max_depth) << "leaf " << node << " could have split";
            continue;
        }
        ASSERT_TRUE(r.value.has_value());
        EXPECT_LT(t.level[node], max_depth);
        const uint64_t l = *t.left_children[node], rt = *t.right_children[node];
        EXPECT_EQ(l, next_child);
        EXPECT_EQ(rt, next_child + 1);
        next_child += 2;
        EXPECT_EQ(t.level[l], t.level[node] + 1);
        EXPECT_EQ(t.level[rt], t.level[node] + 1);
        stack.push_back(rt);
        stack.push_back(l);
    }
    EXPECT_EQ(next_child, n);
}

}  // namespace

TEST(GrowTree, GrownTreesAreConsistent) {
    for (uint64_t seed = 0; seed < 8; ++seed) {
        DMatrix m = signal_data(seed, 500 + 100 * seed, 4, static_cast<uint8_t>(2 + seed % 2));
        m.is_cat[1] = 1;
        const uint64_t depth = 1 + seed % 5;
        const float subsample = std::array{1.0f, 0.5f, 0.3f}[seed % 3];
        const Tree c = qtest::grown_tree(ModelKind::Classifier, learn_config(depth, 2 + seed % 3, subsample), m, seed);
        check_grown(c, m, depth, seed, subsample);
        EXPECT_GT(c.level.size(), 1u) << "seed " << seed;

        DMatrix r = signal_data(seed + 100, 400, 3, 2, false);
        r.is_cat[2] = 1;
        const Tree g = qtest::grown_tree(ModelKind::Regressor, learn_config(depth, 3, 0.7f), r, seed);
        check_grown(g, r, depth, seed, 0.7f);
        EXPECT_GT(g.level.size(), 1u) << "seed " << seed;
    }
}

TEST(GrowTree, SubsampleSizes) {
    const DMatrix m = signal_data(5, 7);
    struct Case {
        float subsample;
        float rows;
    };
    for (const Case& c : {Case{0.5f, 3}, Case{1.0f, 7}, Case{0.0f, 0}, Case{-2.0f, 0}, Case{NAN, 0}, Case{0.99f, 6}}) {
        const auto learner = qtest::grown_tree(ModelKind::Classifier, learn_config(2, 10, c.subsample), m, 1);
        const Matrix& root = learner.split[0]->summary;
        EXPECT_EQ(root[0][1] + root[1][1], c.rows) << "subsample " << c.subsample;
    }
    EXPECT_STOP_MSG((qtest::grown_tree(ModelKind::Classifier, learn_config(2, 10, 1.5f), m, 1)), "assertion failed: n >= k");
}

TEST(GrowTree, DepthZeroKeepsTheRootsRecord) {
    const DMatrix m = signal_data(6, 2000);
    TreeConfig c = learn_config(0, 10);
    const auto learner = qtest::grown_tree(ModelKind::Classifier, c, m, 3);
    EXPECT_EQ(learner.level.size(), 1u);
    ASSERT_TRUE(learner.split[0].has_value());
    EXPECT_TRUE(learner.split[0]->value.has_value());  // a split was found but not made
    // Every row predicts from the root.
    const RowLists p = predict_tree(learner, m);
    const auto root = learner.get_uplift(0);
    for (size_t r = 0; r < m.n_rows(); ++r) {
        ASSERT_EQ(p.len[r], root.size());
        for (size_t j = 0; j < root.size(); ++j) ASSERT_EQ(p.row(r)[j], root[j]);
    }
}

TEST(GrowTree, NoCandidateFeatureStops) {
    const DMatrix m = signal_data(7, 50);
    EXPECT_STOPS((qtest::grown_tree(ModelKind::Classifier, learn_config(3, 0), m, 1)));
    DMatrix no_features = m;
    no_features.x.clear();
    no_features.is_cat.clear();
    no_features.feature_names.clear();
    no_features.finalize();
    EXPECT_STOPS((qtest::grown_tree(ModelKind::Classifier, learn_config(3, 10), no_features, 1)));
}

// Among equal gains (two identical feature columns), and where no feature splits at all (only
// the control group), the root keeps the record of the feature drawn first.
TEST(GrowTree, TiesKeepTheFeatureDrawnFirst) {
    DMatrix twins = signal_data(8, 800, 1);
    twins.x.push_back(twins.x[0]);
    twins.is_cat.push_back(0);
    twins.feature_names.push_back("f1");
    twins.n_bins["f1"] = twins.n_bins.at("f0");
    twins.finalize();
    DMatrix control_only = signal_data(9, 100, 3);
    std::fill(control_only.treatments[0].begin(), control_only.treatments[0].end(), 0);
    control_only.n_treatments[0] = 1;
    for (const DMatrix* m : {&twins, &control_only}) {
        const bool splits = m == &twins;
        for (uint64_t seed = 0; seed < 6; ++seed) {
            const auto learner = qtest::grown_tree(ModelKind::Classifier, learn_config(splits ? 0 : 3, 2), *m, seed);
            Random replay(seed);
            replay.choose(m->n_rows(), m->n_rows(), true);
            const auto order = replay.choose(m->x.size(), 2, false);
            ASSERT_EQ(learner.level.size(), 1u);
            EXPECT_EQ(learner.split[0]->value.has_value(), splits);
            EXPECT_EQ(learner.split[0]->feature_id, order[0]) << "seed " << seed;
        }
    }
}
