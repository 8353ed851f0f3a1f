// Turning a caller's table into a binned matrix, and the matrix accessors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "data/data_loader.hpp"
#include "data/dmatrix.hpp"
#include "test_util.hpp"

using quorvelin::BinsTransaction;
using quorvelin::DataLoader;
using quorvelin::DMatrix;
using quorvelin::kMissingBin;
using qtest::OptF;
using qtest::table_of;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr OptF kNone = std::nullopt;
using Headers = std::vector<std::string>;

struct LoaderArgs {
    std::vector<std::string> features;
    std::string y = "y";
    std::vector<std::string> treatments = {"t"};
    std::string weight = "";
    std::vector<std::string> cats = {};
    uint64_t n_bin = 30;
};

DataLoader make_loader(const LoaderArgs& a) {
    return DataLoader(a.features, a.y, a.treatments, a.weight, a.cats, a.n_bin, {}, {});
}

DMatrix load(DataLoader& loader, const Headers& headers, const std::vector<std::vector<OptF>>& rows) {
    return loader.from_memory(headers, table_of(rows));
}

}  // namespace

TEST(DataLoaderNew, BinCountLimit) {
    EXPECT_STOP_MSG(make_loader({.features = {"a"}, .n_bin = 255}), "n_bin 255 exceeds max 255");
    EXPECT_STOP_MSG(make_loader({.features = {"a"}, .n_bin = UINT64_MAX}),
                    "n_bin 18446744073709551615 exceeds max 255");
    EXPECT_EQ(make_loader({.features = {"a"}, .n_bin = 254}).n_bin, 254u);
}

// Tables the loader refuses, each stopping before the matrix is made.
TEST(DataLoaderFromMemory, RefusedTablesStop) {
    const struct {
        LoaderArgs args;
        Headers headers;
        std::vector<std::vector<OptF>> rows;
        const char* message;  // null: any message
    } cases[] = {
        {{.features = {"a", "c", "b"}}, {"a", "y", "t"}, {{1, 0, 0}}, "Column is missing: c"},
        {{.features = {"a"}}, {"a", "y", "t"}, {{1, kNone, 0}}, nullptr},            // missing outcome
        {{.features = {"a"}}, {"a", "y", "t"}, {{1, 0, kNone}}, nullptr},            // missing treatment
        {{.features = {"a"}, .weight = "w"}, {"a", "y", "t", "w"}, {{1, 0, 0, kNone}}, nullptr},
        {{.features = {"a"}}, {"a", "y", "t"}, {}, nullptr},                          // no rows with a treatment
        {{.features = {"a"}, .treatments = {"t", "nope"}}, {"a", "y", "t"}, {{1, 0, 1}}, nullptr},
        {{.features = {"a"}, .treatments = {}}, {"a", "y"}, {{1, 0}, {2}}, nullptr},  // a short row
        {{.features = {"a"}}, {"a", "y", "t"}, {{1, 0, 0}, {kNaN, 0, 1}}, nullptr},   // NaN in a continuous feature
        {{.features = {"a"}, .n_bin = 0}, {"a", "y", "t"}, {{1, 0, 0}}, "attempt to divide by zero"},
    };
    for (const auto& c : cases) {
        DataLoader loader = make_loader(c.args);
        if (c.message) {
            EXPECT_STOP_MSG(load(loader, c.headers, c.rows), c.message);
        } else {
            EXPECT_STOPS(load(loader, c.headers, c.rows));
        }
        if (c.message && c.message[0] == 'C') {
            EXPECT_TRUE(loader.continuous_bins.empty());  // stopped before any binning
        }
    }
}

TEST(DataLoaderFromMemory, BuildsEveryColumn) {
    DataLoader loader = make_loader({.features = {"num", "cat"}, .weight = "w", .cats = {"cat", "other"}, .n_bin = 2});
    const DMatrix m = load(loader, {"t", "cat", "w", "num", "y"},
                           {{0, 5, 0.5f, 1, 1}, {1, 6, 2, 2, 0}, {1, 5, 1, kNone, 1}, {0, kNone, 3, 3, 0}});
    ASSERT_EQ(m.x.size(), 2u);
    // num: present values 1,2,3 with 2 bins: step 1, threshold 3 → bins 0, 0, missing, 1.
    EXPECT_EQ(m.x[0], (std::vector<uint8_t>{0, 0, kMissingBin, 1}));
    // cat: 5 twice, 6 once.
    EXPECT_EQ(m.x[1], (std::vector<uint8_t>{0, 1, 0, kMissingBin}));
    EXPECT_EQ(m.is_cat, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(m.feature_names, (std::vector<std::string>{"num", "cat"}));
    EXPECT_EQ(m.y, (std::vector<float>{1, 0, 1, 0}));
    ASSERT_EQ(m.treatments.size(), 1u);
    EXPECT_EQ(m.treatments[0], (std::vector<uint8_t>{0, 1, 1, 0}));
    EXPECT_EQ(m.n_treatments, (std::vector<uint64_t>{2}));
    EXPECT_EQ(m.weight, (std::vector<float>{0.5f, 2, 1, 3}));
    EXPECT_EQ(m.n_bins.at("num"), 2u);
    EXPECT_EQ(m.n_bins.at("cat"), 2u);
    EXPECT_EQ(m.n_rows(), 4u);
    EXPECT_EQ(m.get_bin(0, 3), std::optional<uint8_t>(1));
    EXPECT_FALSE(m.get_bin(0, 2).has_value());
    EXPECT_EQ(loader.continuous_bins.at("num").threshold, (std::vector<float>{3}));
    EXPECT_EQ(loader.discrete_bins.at("cat").mapping, (std::vector<float>{5, 6}));
}

// The columns a table gives: treatment codes, the weight and outcome columns found by name,
// headers repeated or missing, rows of several lengths, categories from NaN and with no bins.
TEST(DataLoaderFromMemory, ColumnsOfTheMatrix) {
    const struct {
        const char* name;
        LoaderArgs args;
        Headers headers;
        std::vector<std::vector<OptF>> rows;
        std::vector<uint8_t> x0;  // feature 0's bins; not checked when empty
        std::vector<std::vector<uint8_t>> treatments;
        std::vector<uint64_t> n_treatments;
        std::vector<float> y, weight;
    } cases[] = {
        {"treatment codes saturate", {.features = {"a"}}, {"a", "y", "t"},
         {{1, 0, 0}, {2, 0, 1}, {3, 0, 2.9f}, {4, 0, -1}, {5, 0, 300}, {6, 0, kNaN}}, {},
         {{0, 1, 2, 0, 255, 0}}, {256}, {0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1}},
        {"no treatment columns", {.features = {"a"}, .treatments = {}}, {"a", "y", "t"}, {{1, 0, 1}}, {}, {}, {},
         {0}, {1}},
        {"first treatment column absent", {.features = {"a"}, .treatments = {"nope", "t"}}, {"a", "y", "t"},
         {{1, 0, 1}}, {}, {}, {}, {0}, {1}},
        {"a feature may be a treatment", {.features = {"a"}, .treatments = {"t", "a"}}, {"a", "y", "t"},
         {{4, 0, 1}, {2, 0, 0}}, {}, {{1, 0}, {4, 2}}, {2, 5}, {0, 0}, {1, 1}},
        {"no rows", {.features = {"a"}}, {"a", "y"}, {}, {}, {}, {}, {}, {}},
        {"a repeated header: the first", {.features = {"a"}, .cats = {"a"}}, {"a", "y", "a", "t"},
         {{1, 0, 9, 0}, {2, 0, 9, 1}, {2, 0, 9, 0}}, {1, 0, 0}, {{0, 1, 0}}, {2}, {0, 0, 0}, {1, 1, 1}},
        {"an empty weight name matches no ordinary header", {.features = {"a"}, .y = ""}, {"a", "y", "t", "w"},
         {{1, 1, 0, 7}, {2, 0, 1, 8}}, {}, {{0, 1}}, {2}, {}, {1, 1}},
        {"... but an empty header", {.features = {"a"}}, {"a", "", "t", "y"}, {{1, 4, 0, 0}, {2, 5, 1, 1}}, {},
         {{0, 1}}, {2}, {0, 1}, {4, 5}},
        {"weight column absent", {.features = {"a"}, .weight = "w"}, {"a", "y", "t"}, {{1, 0, 0}}, {}, {{0}}, {1},
         {0}, {1}},
        {"rows of several lengths", {.features = {"a"}, .treatments = {}}, {"a", "y", "unused"},
         {{1, 0, 7}, {2, 1}, {3, 0, 8, 9}}, {}, {}, {}, {0, 1, 0}, {1, 1, 1}},
        {"no bins serve a categorical feature", {.features = {"c"}, .cats = {"c"}, .n_bin = 0}, {"c", "y", "t"},
         {{1, 0, 0}, {2, 0, 1}}, {0, 1}, {{0, 1}}, {2}, {0, 0}, {1, 1}},
        // The NaN is a category of its own that not even a NaN matches afterwards.
        {"NaN is a category", {.features = {"a"}, .cats = {"a"}}, {"a", "y", "t"}, {{1, 0, 0}, {kNaN, 0, 1}},
         {0, 2}, {{0, 1}}, {2}, {0, 0}, {1, 1}},
    };
    for (const auto& c : cases) {
        DataLoader loader = make_loader(c.args);
        const DMatrix m = load(loader, c.headers, c.rows);
        if (!c.x0.empty()) {
            EXPECT_EQ(m.x[0], c.x0) << c.name;
        }
        EXPECT_EQ(m.treatments, c.treatments) << c.name;
        EXPECT_EQ(m.n_treatments, c.n_treatments) << c.name;
        EXPECT_EQ(m.y, c.y) << c.name;
        EXPECT_EQ(m.weight, c.weight) << c.name;
    }
}

TEST(DataLoaderFromMemory, BinsAreFittedOnceAndReused) {
    DataLoader loader = make_loader({.features = {"a", "c"}, .cats = {"c"}, .n_bin = 2});
    load(loader, {"a", "c", "y", "t"}, {{1, 10, 0, 0}, {2, 10, 0, 1}, {3, 20, 0, 0}, {4, 30, 0, 1}});
    const auto cont = loader.continuous_bins;
    const auto disc = loader.discrete_bins;
    EXPECT_EQ(cont.at("a").threshold, (std::vector<float>{4}));
    // A second table with another range and other categories, columns in another order.
    const DMatrix m = load(loader, {"t", "y", "c", "a"}, {{0, 0, 40, 100}, {1, 0, 20, 150}, {0, 0, 10, -5}});
    EXPECT_EQ(loader.continuous_bins, cont);
    EXPECT_EQ(loader.discrete_bins, disc);
    EXPECT_EQ(m.x[0], (std::vector<uint8_t>{1, 1, 0}));
    EXPECT_EQ(m.x[1], (std::vector<uint8_t>{3, 1, 0}));  // 40 was never seen: one past the 3 fitted bins
    EXPECT_EQ(m.n_bins.at("a"), 2u);
    EXPECT_EQ(m.n_bins.at("c"), 3u);
}

TEST(DataLoaderFromMemory, HeaderOrderDoesNotMatter) {
    DataLoader a = make_loader({.features = {"p", "q"}, .cats = {"q"}});
    DataLoader b = make_loader({.features = {"p", "q"}, .cats = {"q"}});
    const DMatrix ma = load(a, {"p", "q", "y", "t"}, {{1, 5, 0, 0}, {2, 6, 1, 1}, {3, 5, 0, 1}});
    const DMatrix mb = load(b, {"t", "y", "q", "p"}, {{0, 0, 5, 1}, {1, 1, 6, 2}, {1, 0, 5, 3}});
    EXPECT_EQ(ma.x, mb.x);
    EXPECT_EQ(ma.y, mb.y);
    EXPECT_EQ(ma.treatments, mb.treatments);
}

TEST(DataLoaderFromMemory, NBinsListsEveryFittedRecord) {
    DataLoader loader = make_loader({.features = {"a"}});
    loader.discrete_bins["elsewhere"] = quorvelin::DiscreteBin{7, {1, 2, 3, 4, 5, 6, 7}};
    const DMatrix m = load(loader, {"a", "y", "t"}, {{1, 0, 0}});
    EXPECT_EQ(m.n_bins.at("elsewhere"), 7u);
    EXPECT_EQ(m.n_bins.at("a"), 1u);
}

TEST(BinsTransaction, AStoppedLoadKeepsOnlyTheBinsThatWereThere) {
    DataLoader only_a = make_loader({.features = {"a"}});
    load(only_a, {"a", "y", "t"}, {{1, 0, 0}, {2, 0, 1}});
    DataLoader loader = make_loader({.features = {"a", "b"}});
    loader.continuous_bins = only_a.continuous_bins;
    const auto before = loader.continuous_bins;
    ASSERT_EQ(before.size(), 1u);
    // The row too short for "b" stops the call after "a" is binned; a missing outcome stops
    // after every feature is binned. Either way only the bins held before survive.
    for (const auto& [headers, rows] :
         std::vector<std::pair<Headers, std::vector<std::vector<OptF>>>>{{{"a", "y", "t", "b"}, {{1, 0, 0, 5}, {2, 0, 1}}},
                                                               {{"a", "b", "y", "t"}, {{1, 2, kNone, 0}}}}) {
        BinsTransaction bins(loader);
        EXPECT_STOPS(load(loader, headers, rows));
        EXPECT_GE(loader.continuous_bins.size(), 1u);
    }
    EXPECT_EQ(loader.continuous_bins, before);
    {
        BinsTransaction bins(loader);
        load(loader, {"a", "b", "y", "t"}, {{1, 2, 0, 0}, {3, 4, 1, 1}});
        bins.commit();
    }
    EXPECT_EQ(loader.continuous_bins.count("b"), 1u);
}

TEST(DMatrixAccessors, StopsAndSorting) {
    DMatrix empty;
    EXPECT_STOPS(empty.n_rows());

    qtest::MatrixInput input;
    input.x = {{2, kMissingBin, 1, 2, 0, kMissingBin, 1}};
    input.n_bins = {3};
    const DMatrix m = qtest::make_matrix(input);
    EXPECT_STOPS(m.get_bin(0, 7));
    EXPECT_STOPS(m.get_bin(1, 0));
    EXPECT_EQ(m.bins_of(0), 3u);

    std::vector<quorvelin::RowId> rows{0, 1, 2, 3, 4, 5, 6}, scratch(7);
    m.sort_by_feature(0, rows.data(), rows.size(), scratch.data());
    // Ascending by bin, missing last, ties in their previous order.
    EXPECT_EQ(rows, (std::vector<quorvelin::RowId>{4, 2, 6, 0, 3, 1, 5}));
    std::vector<quorvelin::RowId> sub{6, 5, 3, 2, 1, 0}, scratch2(6);
    m.sort_by_feature(0, sub.data(), sub.size(), scratch2.data());
    EXPECT_EQ(sub, (std::vector<quorvelin::RowId>{6, 2, 3, 0, 5, 1}));

    DMatrix unnamed = m;
    unnamed.n_bins.clear();
    EXPECT_STOPS(unnamed.bins_of(0));
}
