// Binning features on several threads must give exactly what binning them one by one gives:
// the same cells, the same records, and on failure the same message and the same records left
// behind.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <string>

#include "data/data_loader.hpp"
#include "error.hpp"

namespace quorvelin {
namespace {

const std::vector<std::string> kFeatures = {"a", "b", "c", "d", "e", "f", "a", "g", "h"};

DataLoader make_loader(size_t workers) {
    DataLoader loader(kFeatures, "y", {"t"}, "", {"c", "g"}, 16, {}, {});
    loader.workers = workers;
    return loader;
}

// headers: the features (positions 0..7), then t and y; rows may be cut short or hold a NaN.
RowTable make_table(size_t n, std::optional<size_t> short_row, std::optional<size_t> nan_row) {
    std::mt19937 g(3);
    std::normal_distribution<float> normal(0.0f, 2.0f);
    std::uniform_int_distribution<int> cat(0, 5), pick(0, 19);
    RowTable t;
    for (size_t r = 0; r < n; ++r) {
        const size_t len = (short_row && *short_row == r) ? 5 : 10;
        for (size_t c = 0; c < len; ++c) {
            if (c == 8) t.push(static_cast<float>(r % 2), true);
            else if (c == 9) t.push(static_cast<float>(pick(g) < 6), true);
            else if (c == 2 || c == 6) t.push(static_cast<float>(cat(g)), pick(g) != 0);
            else if (nan_row && *nan_row == r && c == 4) t.push(std::nanf(""), true);
            else t.push(std::round(normal(g) * 8.0f) / 8.0f, pick(g) != 0);
        }
        t.end_row();
    }
    return t;
}

const std::vector<std::string> kHeaders = {"a", "b", "c", "d", "e", "f", "g", "h", "t", "y"};

struct Outcome {
    std::optional<DMatrix> matrix;
    std::string message;
    std::unordered_map<std::string, ContinuousBin> continuous;
    std::unordered_map<std::string, DiscreteBin> discrete;
};

Outcome load(size_t workers, const RowTable& table) {
    DataLoader loader = make_loader(workers);
    Outcome o;
    try {
        o.matrix = loader.from_memory(kHeaders, table);
    } catch (const Stop& e) {
        o.message = e.what();
    }
    o.continuous = loader.continuous_bins;
    o.discrete = loader.discrete_bins;
    return o;
}

class LoaderWorkers : public ::testing::TestWithParam<size_t> {};

// A whole table; row 40 ending after position 4, so that features f (5), g (6) and h (7)
// cannot be read from it; a NaN in continuous feature e.
TEST_P(LoaderWorkers, SameOutcomeAsOneByOne) {
    const struct {
        RowTable table;
        const char* message;  // part of the stop's message; null: the table loads
    } cases[] = {{make_table(3000, std::nullopt, std::nullopt), nullptr},
                 {make_table(200, 40, std::nullopt), "row 40 has 5 values, but column f is at position 5"},
                 {make_table(200, std::nullopt, 17), "column e"}};
    for (const auto& c : cases) {
        const Outcome one = load(1, c.table), many = load(GetParam(), c.table);
        ASSERT_EQ(one.matrix.has_value(), c.message == nullptr) << one.message;
        if (c.message) {
            EXPECT_NE(one.message.find(c.message), std::string::npos) << one.message;
        } else {
            EXPECT_EQ(one.matrix->x, many.matrix->x);
            EXPECT_EQ(one.matrix->n_bins, many.matrix->n_bins);
        }
        EXPECT_EQ(many.message, one.message);
        EXPECT_EQ(many.continuous, one.continuous);
        EXPECT_EQ(many.discrete, one.discrete);
    }
    // A stopped load keeps the records binned before the failing column.
    const Outcome cut = load(1, cases[1].table);
    EXPECT_EQ(cut.continuous.count("e"), 1u);
    EXPECT_EQ(cut.continuous.count("f"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Threads, LoaderWorkers, ::testing::Values(2, 3, 8));

}  // namespace
}  // namespace quorvelin
