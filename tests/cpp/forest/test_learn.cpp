// Growing one tree and routing rows down it.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "forest/learn.hpp"
#include "test_util.hpp"

using namespace quorvelin;
using qtest::all_rows;
using qtest::make_matrix;
using qtest::MatrixInput;

namespace {

constexpr uint8_t M = kMissingBin;

DMatrix bins_only(std::vector<std::vector<uint8_t>> x, std::vector<uint8_t> is_cat = {}) {
    MatrixInput s;
    s.x = std::move(x);
    s.is_cat = std::move(is_cat);
    for (size_t f = 0; f < s.x.size(); ++f) s.n_bins.push_back(255);
    return make_matrix(std::move(s));
}

SplitInfo split_record(uint64_t node, uint64_t feature, uint8_t value, bool iscat, Matrix summary = {{0}, {0}}) {
    SplitInfo s;
    s.node_id = node;
    s.feature_id = feature;
    s.iscat = iscat;
    s.value = std::vector<uint8_t>{value};
    s.summary = std::move(summary);
    return s;
}

std::vector<RowId> segment(const Partition& p, uint64_t node) {
    const auto r = p.rows(node);
    return {r.begin(), r.end()};
}

TreeConfig learn_config(uint64_t max_depth = 4, uint64_t max_features = 10, float subsample = 1.0f) {
    TreeConfig c;
    c.min_samples_leaf = 10;
    c.min_samples_treatment = 3;
    c.n_reg = 5;
    c.normalization = true;
    c.max_depth = max_depth;
    c.max_features = max_features;
    c.subsample = subsample;
    return c;
}

bool goes_left(const SplitInfo& r, uint8_t cell) {
    if (cell == M) return false;
    return r.iscat ? cell == (*r.value)[0] : cell <= (*r.value)[0];
}

// The leaf one row reaches, walking the tree row by row.
uint64_t leaf_of(const Tree& t, const DMatrix& m, RowId row) {
    uint64_t node = 0;
    while (t.left_children[node]) {
        const SplitInfo& r = *t.split[node];
        node = goes_left(r, m.x[r.feature_id][row]) ? *t.left_children[node] : *t.right_children[node];
    }
    return node;
}

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
            node = goes_left(r, m.x[r.feature_id][row]) ? *t.left_children[node] : *t.right_children[node];
        }
    }
    return out;
}

// Everything a grown tree must satisfy, given the seed it was grown from.
template <class Learn>
void check_grown(const Learn& learner, const DMatrix& m, uint64_t max_depth, uint64_t seed, float subsample = 1.0f) {
    const Tree& t = learner.tree;
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

TEST(LearnSplit, ThresholdTest) {
    ClassifierLearn learner{TreeConfig{}};
    const DMatrix m = bins_only({{3, M, 1, 2, 0}});
    learner.partition = Partition::subsample(all_rows(5));
    EXPECT_EQ(learner.split(split_record(0, 0, 2, false), m), 3u);
    // Sorted keys 0, 1, 2, 3, missing.
    EXPECT_EQ(learner.partition.index, (std::vector<RowId>{4, 2, 3, 0, 1}));
}

TEST(LearnSplit, ThresholdTestIsStable) {
    ClassifierLearn learner{TreeConfig{}};
    const DMatrix m = bins_only({{1, 0, 1, 0, M, 2, M, 0}});
    learner.partition = Partition::subsample({0, 1, 2, 3, 4, 5, 6, 7, 3});
    EXPECT_EQ(learner.split(split_record(0, 0, 0, false), m), 4u);
    EXPECT_EQ(learner.partition.index, (std::vector<RowId>{1, 3, 7, 3, 0, 2, 5, 4, 6}));
}

TEST(LearnSplit, OnlyTheNodesSegmentMoves) {
    ClassifierLearn learner{TreeConfig{}};
    const DMatrix m = bins_only({{5, 4, 3, 2, 1, 0}});
    learner.partition = Partition::subsample(all_rows(6));
    learner.partition.split(0, 2);  // node 1: rows 0, 1; node 2: rows 2..5
    EXPECT_EQ(learner.split(split_record(2, 0, 1, false), m), 2u);
    EXPECT_EQ(learner.partition.index, (std::vector<RowId>{0, 1, 5, 4, 3, 2}));
}

TEST(LearnSplit, CategoricalTest) {
    ClassifierLearn learner{TreeConfig{}};
    const DMatrix m = bins_only({{4, 1, 4, M, 4}});
    learner.partition = Partition::subsample(all_rows(5));
    EXPECT_EQ(learner.split(split_record(0, 0, 4, true), m), 3u);
    EXPECT_EQ(learner.partition.index, (std::vector<RowId>{0, 4, 2, 3, 1}));
}

TEST(LearnSplit, TinySegments) {
    RegressorLearn learner{TreeConfig{}};
    const DMatrix m = bins_only({{2, 3}});
    for (bool iscat : {true, false}) {
        learner.partition = Partition::subsample({0});
        EXPECT_EQ(learner.split(split_record(0, 0, 2, iscat), m), 1u);
        learner.partition = Partition::subsample({1});
        EXPECT_EQ(learner.split(split_record(0, 0, 2, iscat), m), 0u);
        learner.partition = Partition::subsample({});
        EXPECT_EQ(learner.split(split_record(0, 0, 2, iscat), m), 0u);
    }
}

TEST(LearnSplit, MissingCellsGoRightWhateverTheSplitBin) {
    // A split bin of 255 (which a stored model may hold) must not pull missing cells left.
    ClassifierLearn learner{TreeConfig{}};
    const DMatrix m = bins_only({{M, 3, M}});
    learner.partition = Partition::subsample(all_rows(3));
    EXPECT_EQ(learner.split(split_record(0, 0, 255, true), m), 0u);
    learner.partition = Partition::subsample(all_rows(3));
    EXPECT_EQ(learner.split(split_record(0, 0, 255, false), m), 1u);
    EXPECT_EQ(learner.partition.index[0], 1u);
}

TEST(LearnSplit, RecordsThatCannotSplitStop) {
    ClassifierLearn learner{TreeConfig{}};
    const DMatrix m = bins_only({{0, 1}});
    learner.partition = Partition::subsample(all_rows(2));
    SplitInfo none = split_record(0, 0, 0, false);
    none.value.reset();
    EXPECT_STOPS(learner.split(none, m));
    SplitInfo empty = split_record(0, 0, 0, false);
    empty.value = std::vector<uint8_t>{};
    EXPECT_STOPS(learner.split(empty, m));
    EXPECT_STOPS(learner.split(split_record(0, 3, 0, false), m));
    EXPECT_STOPS(learner.split(split_record(4, 0, 0, false), m));
}

namespace {

// Strong signal on feature 0: group 1 responds only when bin 0 is even.
DMatrix signal_data(uint64_t seed, size_t n = 600, size_t features = 4, uint8_t n_t = 2, bool binary = true) {
    std::mt19937 gen(static_cast<uint32_t>(seed));
    return qtest::random_matrix(gen, n, features, 8, n_t, binary, false);
}

template <class Learn>
Learn fitted(const TreeConfig& c, const DMatrix& m, uint64_t seed) {
    Learn learner(c);
    Random random(seed);
    const RowCodes rc = Learn::StrategyType::prepare(m);
    learner.fit(m, rc, random);
    return learner;
}

}  // namespace

TEST(LearnFit, GrownTreesAreConsistent) {
    for (uint64_t seed = 0; seed < 8; ++seed) {
        DMatrix m = signal_data(seed, 500 + 100 * seed, 4, static_cast<uint8_t>(2 + seed % 2));
        m.is_cat[1] = 1;
        const uint64_t depth = 1 + seed % 5;
        const ClassifierLearn c = fitted<ClassifierLearn>(learn_config(depth, 2 + seed % 3), m, seed);
        check_grown(c, m, depth, seed);
        EXPECT_GT(c.tree.level.size(), 1u) << "seed " << seed;

        DMatrix r = signal_data(seed + 100, 400, 3, 2, false);
        r.is_cat[2] = 1;
        const RegressorLearn g = fitted<RegressorLearn>(learn_config(depth, 3, 0.7f), r, seed);
        check_grown(g, r, depth, seed, 0.7f);
        EXPECT_GT(g.tree.level.size(), 1u) << "seed " << seed;
    }
}

TEST(LearnFit, SameSeedSameTree) {
    const DMatrix m = signal_data(3);
    const auto a = fitted<ClassifierLearn>(learn_config(5, 2), m, 42);
    const auto b = fitted<ClassifierLearn>(learn_config(5, 2), m, 42);
    EXPECT_TRUE(qtest::same_tree(a.tree, b.tree));
    const auto c = fitted<ClassifierLearn>(learn_config(5, 2), m, 43);
    EXPECT_FALSE(qtest::same_tree(a.tree, c.tree));
}

TEST(LearnFit, TheSampleIsTheFirstDraw) {
    // The root's summary counts exactly the replayed bootstrap sample.
    const DMatrix m = signal_data(4, 50);
    for (float subsample : {0.5f, 1.0f, 0.3f}) {
        const auto learner = fitted<ClassifierLearn>(learn_config(3, 10, subsample), m, 9);
        check_grown(learner, m, 3, 9, subsample);
    }
}

TEST(LearnFit, SubsampleSizes) {
    const DMatrix m = signal_data(5, 7);
    struct Case {
        float subsample;
        float rows;
    };
    for (const Case& c : {Case{0.5f, 3}, Case{1.0f, 7}, Case{0.0f, 0}, Case{-2.0f, 0}, Case{NAN, 0}, Case{0.99f, 6}}) {
        const auto learner = fitted<ClassifierLearn>(learn_config(2, 10, c.subsample), m, 1);
        const Matrix& root = learner.tree.split[0]->summary;
        EXPECT_EQ(root[0][1] + root[1][1], c.rows) << "subsample " << c.subsample;
    }
    EXPECT_STOP_MSG((fitted<ClassifierLearn>(learn_config(2, 10, 1.5f), m, 1)), "assertion failed: n >= k");
}

TEST(LearnFit, DepthZeroKeepsTheRootsRecord) {
    const DMatrix m = signal_data(6, 2000);
    TreeConfig c = learn_config(0, 10);
    const auto learner = fitted<ClassifierLearn>(c, m, 3);
    EXPECT_EQ(learner.tree.level.size(), 1u);
    ASSERT_TRUE(learner.tree.split[0].has_value());
    EXPECT_TRUE(learner.tree.split[0]->value.has_value());  // a split was found but not made
    // Every row predicts from the root.
    ClassifierLearn copy = learner;
    const RowLists p = copy.predict(m);
    const auto root = learner.tree.get_uplift(0);
    for (size_t r = 0; r < m.n_rows(); ++r) {
        ASSERT_EQ(p.len[r], root.size());
        for (size_t j = 0; j < root.size(); ++j) ASSERT_EQ(p.row(r)[j], root[j]);
    }
}

TEST(LearnFit, NoCandidateFeatureStops) {
    const DMatrix m = signal_data(7, 50);
    EXPECT_STOPS((fitted<ClassifierLearn>(learn_config(3, 0), m, 1)));
    DMatrix no_features = m;
    no_features.x.clear();
    no_features.is_cat.clear();
    no_features.feature_names.clear();
    no_features.finalize();
    EXPECT_STOPS((fitted<ClassifierLearn>(learn_config(3, 10), no_features, 1)));
}

TEST(LearnFit, EqualGainsKeepTheFeatureDrawnFirst) {
    // Two identical feature columns give identical gains.
    DMatrix m = signal_data(8, 800, 1);
    m.x.push_back(m.x[0]);
    m.is_cat.push_back(0);
    m.feature_names.push_back("f1");
    m.n_bins["f1"] = m.n_bins.at("f0");
    m.finalize();
    for (uint64_t seed = 0; seed < 6; ++seed) {
        const auto learner = fitted<ClassifierLearn>(learn_config(0, 2), m, seed);
        Random replay(seed);
        replay.choose(800, 800, true);
        const auto order = replay.choose(2, 2, false);
        ASSERT_TRUE(learner.tree.split[0]->value.has_value());
        EXPECT_EQ(learner.tree.split[0]->feature_id, order[0]) << "seed " << seed;
    }
}

TEST(LearnFit, WithoutAnySplitTheFirstCandidateIsKept) {
    // Only the control group: no criterion result has a value.
    DMatrix m = signal_data(9, 100, 3);
    std::fill(m.treatments[0].begin(), m.treatments[0].end(), 0);
    m.n_treatments[0] = 1;
    for (uint64_t seed = 0; seed < 6; ++seed) {
        const auto learner = fitted<ClassifierLearn>(learn_config(3, 2), m, seed);
        Random replay(seed);
        replay.choose(100, 100, true);
        const auto order = replay.choose(3, 2, false);
        ASSERT_EQ(learner.tree.level.size(), 1u);
        EXPECT_FALSE(learner.tree.split[0]->value.has_value());
        EXPECT_EQ(learner.tree.split[0]->feature_id, order[0]);
    }
}

TEST(LearnPredict, RoutesLikeTheTrainingTests) {
    // Root: feature 0 at most bin 1 goes left (leaf 1). Node 2: feature 1 equal to category 2
    // goes left (leaf 3), else right (leaf 4).
    ClassifierLearn learner{TreeConfig{}};
    Tree& t = learner.tree;
    t.add_split(0, split_record(0, 0, 1, false));
    t.add_left(0);
    t.add_right(0);
    t.add_split(1, split_record(1, 0, 0, false, {{0.10f}, {0.25f}, {0.05f}}));
    t.add_split(2, split_record(2, 1, 2, true));
    t.add_left(2);
    t.add_right(2);
    t.add_split(3, split_record(3, 0, 0, false, {{0.5f}, {0.75f}, {1.0f}}));
    t.add_split(4, split_record(4, 0, 0, false, {{0.0f}, {-1.0f}, {2.0f}}));
    const DMatrix m = bins_only({{0, 1, 2, M, 5, 2, 0, 2},
                                 {9, 2, 2, 2, M, 3, 9, 2}},
                                {0, 1});
    const RowLists p = learner.predict(m);
    const std::vector<int> leaf{1, 1, 3, 3, 4, 4, 1, 3};
    const Matrix uplift{{}, {0.25f - 0.10f, 0.05f - 0.10f}, {}, {0.25f, 0.5f}, {-1.0f, 2.0f}};
    ASSERT_EQ(p.n_rows, 8u);
    for (size_t r = 0; r < 8; ++r) {
        ASSERT_EQ(p.len[r], 2u) << "row " << r;
        EXPECT_EQ(p.row(r)[0], uplift[leaf[r]][0]) << "row " << r;
        EXPECT_EQ(p.row(r)[1], uplift[leaf[r]][1]) << "row " << r;
    }
    EXPECT_NEAR(p.row(0)[0], 0.15f, 1e-7);
    EXPECT_NEAR(p.row(0)[1], -0.05f, 1e-7);
    // Rows 2 and 7 are the same row: the same list.
    EXPECT_EQ(p.row(2)[0], p.row(7)[0]);
    // A second prediction rebuilds the partition and gives the same answer.
    const RowLists again = learner.predict(m);
    EXPECT_EQ(again.values, p.values);
    // Row-by-row routing agrees.
    RowLists sum(8, 2);
    ASSERT_TRUE(learner.predict_add(m, sum, true));
    EXPECT_EQ(sum.values, p.values);
}

TEST(LearnPredict, MissingCellsGoRightEvenAgainstBin255) {
    // Split bins of 255, as a stored model may hold: a missing cell still goes right.
    for (bool iscat : {false, true}) {
        ClassifierLearn learner{TreeConfig{}};
        Tree& t = learner.tree;
        t.add_split(0, split_record(0, 0, 255, iscat));
        t.add_left(0);
        t.add_right(0);
        t.add_split(1, split_record(1, 0, 0, false, {{0.0f}, {1.0f}}));
        t.add_split(2, split_record(2, 0, 0, false, {{0.0f}, {2.0f}}));
        const DMatrix m = bins_only({{M, 7, M}});
        const float expected_7 = iscat ? 2.0f : 1.0f;  // 7 <= 255 goes left; 7 == 255 does not
        const RowLists p = learner.predict(m);
        EXPECT_EQ(p.row(0)[0], 2.0f);
        EXPECT_EQ(p.row(1)[0], expected_7);
        EXPECT_EQ(p.row(2)[0], 2.0f);
        RowLists sum(3, 1);
        ASSERT_TRUE(learner.predict_add(m, sum, true));
        EXPECT_EQ(sum.row(0)[0], 2.0f);
        EXPECT_EQ(sum.row(1)[0], expected_7);
        EXPECT_EQ(sum.row(2)[0], 2.0f);
    }
}

TEST(LearnPredict, EmptyAndBrokenInputs) {
    ClassifierLearn learner{TreeConfig{}};
    learner.tree.add_split(0, split_record(0, 0, 1, false, {{0.1f}, {0.3f}}));
    const RowLists none = learner.predict(bins_only({{}}));
    EXPECT_EQ(none.n_rows, 0u);
    EXPECT_STOPS(learner.predict(DMatrix{}));
    // A root-only tree whose record has a value still predicts from its own summary.
    const RowLists p = learner.predict(bins_only({{0, 5, M}}));
    for (size_t r = 0; r < 3; ++r) EXPECT_EQ(p.row(r)[0], 0.3f - 0.1f);
    // A split node without a record cannot route.
    ClassifierLearn broken{TreeConfig{}};
    broken.tree.add_left(0);
    broken.tree.add_right(0);
    broken.tree.add_split(1, split_record(1, 0, 0, false));
    broken.tree.add_split(2, split_record(2, 0, 0, false));
    EXPECT_STOPS(broken.predict(bins_only({{0, 1}})));
}

TEST(LearnPredict, BatchRoutingMatchesARowByRowWalk) {
    for (uint64_t seed = 0; seed < 6; ++seed) {
        DMatrix train = signal_data(seed + 20, 800, 4, static_cast<uint8_t>(2 + seed % 3));
        train.is_cat[1] = 1;
        train.is_cat[3] = 1;
        auto learner = fitted<ClassifierLearn>(learn_config(6, 3), train, seed);
        DMatrix test = signal_data(seed + 40, 300, 4, static_cast<uint8_t>(2 + seed % 3));
        test.is_cat = train.is_cat;
        // Bins the training data never had, as unseen categories carry.
        test.x[1][0] = 8;
        test.x[3][1] = 8;
        const RowLists p = learner.predict(test);
        ASSERT_EQ(p.n_rows, test.n_rows());
        for (RowId r = 0; r < test.n_rows(); ++r) {
            const auto u = learner.tree.get_uplift(leaf_of(learner.tree, test, r));
            ASSERT_EQ(p.len[r], u.size());
            for (size_t j = 0; j < u.size(); ++j) ASSERT_EQ(p.row(r)[j], u[j]) << "row " << r;
        }
    }
}

TEST(LearnPredict, RowByRowSumsMatchTheSegmentRouting) {
    for (uint64_t seed = 0; seed < 4; ++seed) {
        DMatrix train = signal_data(seed + 60, 700, 4, 3);
        train.is_cat[2] = 1;
        auto a = fitted<ClassifierLearn>(learn_config(5, 3), train, seed);
        auto b = fitted<ClassifierLearn>(learn_config(5, 3), train, seed + 1);
        DMatrix test = signal_data(seed + 80, 250, 4, 3);
        test.is_cat = train.is_cat;
        const RowLists pa = a.predict(test), pb = b.predict(test);
        RowLists sum(test.n_rows(), 2);
        ASSERT_TRUE(a.predict_add(test, sum, true));
        for (size_t r = 0; r < sum.n_rows; ++r) {
            ASSERT_EQ(sum.len[r], pa.len[r]);
            for (size_t j = 0; j < 2; ++j) ASSERT_TRUE(qtest::same_bits(sum.row(r)[j], pa.row(r)[j]));
        }
        ASSERT_TRUE(b.predict_add(test, sum, false));
        for (size_t r = 0; r < sum.n_rows; ++r)
            for (size_t j = 0; j < 2; ++j) ASSERT_TRUE(qtest::same_bits(sum.row(r)[j], pa.row(r)[j] + pb.row(r)[j]));
        // Lists of another width are left to the caller.
        RowLists narrow(test.n_rows(), 1);
        EXPECT_FALSE(a.predict_add(test, narrow, true));
    }
}
