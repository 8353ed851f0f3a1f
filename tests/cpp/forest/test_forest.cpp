// Forest training and prediction, on the calling thread and on workers.
#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "forest/forest.hpp"
#include "tree/route.hpp"
#include "test_util.hpp"

using namespace quorvelin;
using qtest::OptF;

namespace {

const std::vector<std::string> kHeaders{"x0", "x1", "y", "x2", "t", "w"};

// x0 continuous, x1 categorical (0..5), x2 continuous with gaps; the treatment effect depends
// on x0 and x1.
RowTable make_rows(uint32_t seed, size_t n, uint8_t n_t = 2, bool binary = true, float weight_scale = 1.0f,
                   bool bad_outcome = false) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(0.0f, 10.0f);
    std::vector<std::vector<OptF>> rows;
    for (size_t i = 0; i < n; ++i) {
        const float x0 = u(gen), x2 = u(gen);
        const float x1 = static_cast<float>(gen() % 6);
        const uint8_t t = static_cast<uint8_t>(i % n_t);
        const bool responds = t != 0 && (x0 < 4.0f || x1 == 2.0f);
        float y;
        if (binary)
            y = std::bernoulli_distribution(responds ? 0.8 : 0.3)(gen) ? 1.0f : 0.0f;
        else
            y = (responds ? 3.0f : 0.0f) + u(gen) / 5.0f;
        if (bad_outcome && i % 10 == 5) y = 2.0f;
        const float w = weight_scale * (0.5f + static_cast<float>(gen() % 4) * 0.25f);
        rows.push_back({x0, x1, y, gen() % 7 == 0 ? OptF{} : OptF{x2}, static_cast<float>(t), w});
    }
    return qtest::table_of(rows);
}

TreeConfig forest_config(uint64_t n_tree, uint64_t n_thread, std::optional<uint64_t> seed = 7) {
    TreeConfig c;
    c.feature_cols = {"x0", "x1", "x2"};
    c.cat_cols = {"x1"};
    c.treatment_cols = {"t"};
    c.y_col = "y";
    c.weight_col = "w";
    c.n_bin = 10;
    c.min_samples_leaf = 20;
    c.min_samples_treatment = 5;
    c.max_features = 2;
    c.max_depth = 4;
    c.n_tree = n_tree;
    c.n_thread = n_thread;
    c.seed = seed;
    return c;
}

DMatrix table(Forest& forest, const RowTable& rows) {
    return forest.loader.from_memory(kHeaders, rows);
}

Forest trained(ModelKind kind, const TreeConfig& c, const RowTable& rows) {
    Forest forest(kind, c);
    forest.fit(table(forest, rows));
    return forest;
}

void expect_same_lists(const RowLists& a, const RowLists& b) {
    ASSERT_EQ(a.n_rows, b.n_rows);
    for (size_t r = 0; r < a.n_rows; ++r) {
        ASSERT_EQ(a.len[r], b.len[r]);
        for (size_t j = 0; j < a.len[r]; ++j) ASSERT_TRUE(qtest::same_bits(a.row(r)[j], b.row(r)[j])) << "row " << r;
    }
}

}  // namespace

TEST(WorkPlan, TreesPerWorker) {
    EXPECT_EQ(work_plan(10, 4), (std::vector<uint64_t>{3, 3, 2, 2}));
    EXPECT_EQ(work_plan(3, 8), (std::vector<uint64_t>{1, 1, 1}));
    EXPECT_EQ(work_plan(11, 3), (std::vector<uint64_t>{4, 4, 3}));
    EXPECT_TRUE(work_plan(0, 4).empty());
    EXPECT_STOP_MSG(work_plan(5, 0), "attempt to divide by zero");
}

// Settings and states that cannot fit or predict stop, and a stopped call keeps the trees.
TEST(ForestFit, RefusalsLeaveTheForestAsItWas) {
    const RowTable rows = make_rows(1, 200);
    for (uint64_t n_tree : {0, 5}) {
        Forest forest(ModelKind::Classifier, forest_config(n_tree, 0));
        EXPECT_STOP_MSG(forest.fit(table(forest, rows)), "attempt to divide by zero");
        EXPECT_TRUE(forest.trees.empty());
    }
    for (uint64_t threads : {1, 3}) {
        Forest unfitted(ModelKind::Classifier, forest_config(4, threads));
        EXPECT_STOPS(unfitted.predict(table(unfitted, rows)));
    }
    auto none = trained(ModelKind::Classifier, forest_config(0, 4), rows);
    EXPECT_TRUE(none.trees.empty());
    EXPECT_STOPS(none.predict(table(none, rows)));

    const RowTable bad = make_rows(6, 300, 2, true, 1.0f, true);  // some outcomes of 2
    for (uint64_t threads : {1, 2}) {
        auto forest = trained(ModelKind::Classifier, forest_config(3, 1), rows);
        const auto before = forest.trees;
        forest.config.n_thread = threads;
        EXPECT_STOPS(forest.fit(table(forest, bad)));
        forest.config.subsample = 2.0f;
        EXPECT_STOPS(forest.fit(table(forest, rows)));
        ASSERT_EQ(forest.trees.size(), before.size());
        for (size_t i = 0; i < before.size(); ++i) EXPECT_TRUE(qtest::same_tree(forest.trees[i].tree, before[i].tree));
        forest.config.n_tree = 5;  // more configured than held: the workers cannot share them out
        if (threads > 1) {
            EXPECT_STOPS(forest.predict(table(forest, rows)));
        }
        forest.config.n_tree = 3;
        forest.config.n_thread = 0;
        EXPECT_STOP_MSG(forest.predict(table(forest, rows)), "attempt to divide by zero");
    }
    // Only the control group: every leaf gives an empty list.
    const RowTable control_only = make_rows(15, 200, 1);
    for (uint64_t threads : {1, 2}) {
        auto forest = trained(ModelKind::Classifier, forest_config(3, 1), control_only);
        forest.config.n_thread = threads;
        EXPECT_STOP_MSG(forest.predict(table(forest, control_only)), "assertion failed: n_col > 0");
    }
}

TEST(ForestFit, SeededFitsAreIdenticalAndTheirTreesDiffer) {
    // The classifier on two groups, the regressor on three.
    for (const bool binary : {true, false}) {
        const RowTable rows = make_rows(2, 500, binary ? 2 : 3, binary);
        const ModelKind kind = binary ? ModelKind::Classifier : ModelKind::Regressor;
        auto a = trained(kind, forest_config(5, 1, 7), rows);
        auto b = trained(kind, forest_config(5, 1, 7), rows);
        ASSERT_EQ(a.trees.size(), 5u);
        EXPECT_EQ(a.to_text(), b.to_text());
        const RowLists p = a.predict(table(a, rows));
        expect_same_lists(p, b.predict(table(b, rows)));
        for (size_t r = 0; r < p.n_rows; ++r) ASSERT_EQ(p.len[r], binary ? 1u : 2u);
        // The trees of one forest differ from each other (each has its own draws).
        bool any_different = false;
        for (size_t i = 1; i < 5; ++i) any_different |= !qtest::same_tree(a.trees[0].tree, a.trees[i].tree);
        EXPECT_TRUE(any_different);
    }
}

// Every tree is grown and counted on any number of workers; with a stream per tree, the same trees.
TEST(ForestFit, PerTreeStreamsGiveTheSameTreesOnAnyThreadCount) {
    const RowTable rows = make_rows(6, 800);
    TreeConfig c = forest_config(7, 1, 13);
    c.seed_per_tree = true;
    const Forest one = trained(ModelKind::Classifier, c, rows);
    for (uint64_t threads : {2, 3, 8}) {
        c.n_thread = threads;
        Forest many(ModelKind::Classifier, c);
        std::atomic<uint64_t> grown{0};
        many.fit(table(many, rows), {}, &grown);
        EXPECT_EQ(grown.load(), 7u);
        ASSERT_EQ(many.trees.size(), 7u);
        EXPECT_EQ(many.predict(many.loader.from_memory({"x0", "x1", "x2"}, RowTable{})).n_rows, 0u);
        for (size_t i = 0; i < 7; ++i)
            EXPECT_TRUE(qtest::same_tree(one.trees[i].tree, many.trees[i].tree)) << threads << " threads, tree " << i;
    }
    // Tree i draws from stream i + 1: the first tree is not the shared stream's first tree.
    const Forest shared = trained(ModelKind::Classifier, forest_config(7, 1, 13), rows);
    EXPECT_FALSE(qtest::same_tree(one.trees[0].tree, shared.trees[0].tree));
    // Only a forest that asks for it carries the key in its text, and reads it back.
    EXPECT_EQ(shared.to_text().find("seed_per_tree"), std::string::npos);
    EXPECT_TRUE(Forest::from_state(ModelKind::Classifier, one.to_text()).config.seed_per_tree);
}

// The prediction is the mean of the trees in list order, divided by the number held; workers
// add in another order, within the float summation bound 2 (N - 1) eps sum |x| / N.
TEST(ForestPredict, MeanOfTheTreesOnAnyThreadCount) {
    const RowTable rows = make_rows(8, 600);
    auto forest = trained(ModelKind::Classifier, forest_config(6, 1), rows);
    const DMatrix data = table(forest, rows);
    std::vector<RowLists> per_tree;
    for (const auto& learner : forest.trees) per_tree.push_back(predict_tree(learner.tree, data));
    const RowLists one = forest.predict(table(forest, rows));
    for (size_t r = 0; r < one.n_rows; ++r) {
        ASSERT_EQ(one.len[r], 1u);
        float sum = per_tree[0].row(r)[0];
        for (size_t t = 1; t < per_tree.size(); ++t) sum = sum + per_tree[t].row(r)[0];
        ASSERT_TRUE(qtest::same_bits(one.row(r)[0], sum / 6.0f)) << "row " << r;
    }
    for (uint64_t threads : {2, 4, 16}) {
        forest.config.n_thread = threads;
        const RowLists many = forest.predict(table(forest, rows));
        for (size_t r = 0; r < one.n_rows; ++r) {
            double sum_abs = 0.0;
            for (const RowLists& p : per_tree) sum_abs += std::fabs(p.row(r)[0]);
            ASSERT_NEAR(one.row(r)[0], many.row(r)[0], 2.0 * 5.0 * FLT_EPSILON * sum_abs / 6.0 + 1e-30)
                << "row " << r << " threads " << threads;
        }
    }
    // Fewer trees configured than held: the calling thread averages every learner, the workers
    // sum only the first n_tree but still divide by the number held.
    forest.config.n_tree = 2;
    forest.config.n_thread = 1;
    expect_same_lists(forest.predict(table(forest, rows)), one);
    forest.config.n_thread = 2;
    const RowLists first_two = forest.predict(table(forest, rows));
    for (size_t r = 0; r < first_two.n_rows; ++r)
        ASSERT_TRUE(qtest::same_bits(first_two.row(r)[0], (per_tree[0].row(r)[0] + per_tree[1].row(r)[0]) / 6.0f))
            << "row " << r;
}
