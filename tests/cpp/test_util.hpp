#pragma once
// Shared helpers of the C++ unit tests: stop assertions, hand-built tables and matrices, and a
// structural comparison of trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "data/data_loader.hpp"
#include "data/dmatrix.hpp"
#include "error.hpp"
#include "forest/grow.hpp"
#include "forest/random.hpp"
#include "io/model_file.hpp"
#include "tree/tree.hpp"

namespace qtest {

using quorvelin::kMissingBin;
using OptF = std::optional<float>;

// The message of the stop `body` ends with, or "<no stop>" when it ends without one.
template <class Body>
std::string stop_message(Body&& body) {
    try {
        body();
    } catch (const quorvelin::Stop& e) {
        return e.what();
    }
    return "<no stop>";
}

#define EXPECT_STOP_MSG(stmt, msg) EXPECT_EQ(::qtest::stop_message([&] { stmt; }), std::string(msg))
#define EXPECT_STOPS(stmt) EXPECT_NE(::qtest::stop_message([&] { stmt; }), "<no stop>")

inline bool same_bits(float a, float b) {
    uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return x == y;
}

inline quorvelin::FeatureColumn column_of(const std::vector<OptF>& cells) {
    quorvelin::FeatureColumn c;
    for (const OptF& v : cells) {
        c.values.push_back(v ? *v : 0.0f);
        c.present.push_back(v ? 1 : 0);
    }
    return c;
}

inline quorvelin::RowTable table_of(const std::vector<std::vector<OptF>>& rows) {
    quorvelin::RowTable t;
    for (const auto& row : rows) {
        for (const OptF& v : row) t.push(v ? *v : 0.0f, v.has_value());
        t.end_row();
    }
    return t;
}

// A binned table built by hand. Feature f is named "f<f>"; n_bins holds one entry per feature.
struct MatrixInput {
    std::vector<std::vector<uint8_t>> x;  // kMissingBin for a missing cell
    std::vector<uint8_t> is_cat;          // defaults to all continuous
    std::vector<uint64_t> n_bins;         // per feature
    std::vector<float> y;
    std::vector<uint8_t> treatment;       // first treatment column; empty for none
    std::vector<float> weight;            // defaults to 1.0 per row
};

inline quorvelin::DMatrix make_matrix(MatrixInput input) {
    quorvelin::DMatrix m;
    const size_t n_features = input.x.size();
    const size_t n = n_features ? input.x[0].size() : input.y.size();
    m.x = std::move(input.x);
    m.y = std::move(input.y);
    if (!input.treatment.empty()) {
        uint8_t largest = 0;
        for (uint8_t t : input.treatment) largest = std::max(largest, t);
        m.n_treatments.push_back(static_cast<uint64_t>(largest) + 1);
        m.treatments.push_back(std::move(input.treatment));
    }
    m.weight = input.weight.empty() ? std::vector<float>(n, 1.0f) : std::move(input.weight);
    m.is_cat = input.is_cat.empty() ? std::vector<uint8_t>(n_features, 0) : std::move(input.is_cat);
    for (size_t f = 0; f < n_features; ++f) {
        std::string name = "f";
        name += std::to_string(f);
        m.feature_names.push_back(name);
        if (f < input.n_bins.size()) m.n_bins[name] = input.n_bins[f];
    }
    m.finalize();
    return m;
}

// One group of identical rows: `count` rows of bin `bin`, treatment `group`, outcome `y`.
struct RowGroup {
    uint8_t bin;
    uint8_t group;
    float y;
    int count;
};

// A one-feature matrix from groups of rows, in the order given.
inline quorvelin::DMatrix one_feature(const std::vector<RowGroup>& groups, uint64_t n_bins, bool is_cat = false,
                                      float weight = 1.0f) {
    MatrixInput s;
    s.x.resize(1);
    for (const RowGroup& g : groups)
        for (int i = 0; i < g.count; ++i) {
            s.x[0].push_back(g.bin);
            s.treatment.push_back(g.group);
            s.y.push_back(g.y);
            s.weight.push_back(weight);
        }
    s.is_cat = {static_cast<uint8_t>(is_cat)};
    s.n_bins = {n_bins};
    return make_matrix(std::move(s));
}

inline std::vector<quorvelin::RowId> all_rows(uint64_t n) {
    std::vector<quorvelin::RowId> rows(n);
    for (uint64_t i = 0; i < n; ++i) rows[i] = static_cast<quorvelin::RowId>(i);
    return rows;
}

// Random classifier/regressor data: n_features continuous features with up to max_bins bins
// (about one cell in eight missing), n_t treatment groups, outcomes 0/1 or real values.
inline quorvelin::DMatrix random_matrix(std::mt19937& gen, size_t n, size_t n_features, uint64_t max_bins,
                                        uint8_t n_t, bool binary_y, bool random_weights) {
    MatrixInput s;
    s.x.assign(n_features, std::vector<uint8_t>(n));
    std::uniform_int_distribution<int> missing(0, 7);
    std::uniform_int_distribution<int> group(0, n_t - 1);
    std::uniform_real_distribution<float> real(-3.0f, 5.0f);
    std::uniform_real_distribution<float> w(0.1f, 3.0f);
    for (size_t f = 0; f < n_features; ++f) {
        // Feature 0 carries the signal, so it gets a few bins at least.
        const uint64_t drawn = 1 + gen() % max_bins;
        const uint64_t nb = f == 0 ? std::max<uint64_t>(drawn, 4) : drawn;
        s.n_bins.push_back(nb);
        std::uniform_int_distribution<int> bin(0, static_cast<int>(nb) - 1);
        for (size_t r = 0; r < n; ++r) s.x[f][r] = missing(gen) == 0 ? kMissingBin : static_cast<uint8_t>(bin(gen));
    }
    for (size_t r = 0; r < n; ++r) {
        const uint8_t t = static_cast<uint8_t>(group(gen));
        s.treatment.push_back(t);
        if (binary_y) {
            // An effect that depends on feature 0, so splits have something to find.
            const bool high = n_features > 0 && s.x[0][r] != kMissingBin && s.x[0][r] % 2 == 0;
            const double p = t == 0 ? 0.3 : (high ? 0.8 : 0.2);
            s.y.push_back(std::bernoulli_distribution(p)(gen) ? 1.0f : 0.0f);
        } else {
            const float shift = (t != 0 && n_features > 0 && s.x[0][r] != kMissingBin && s.x[0][r] < 2) ? 4.0f : 0.0f;
            s.y.push_back(real(gen) + shift);
        }
        s.weight.push_back(random_weights ? w(gen) : 1.0f);
    }
    // Make sure every group occurs, so n_treatments is n_t.
    for (uint8_t t = 0; t < n_t && t < n; ++t) s.treatment[t] = t;
    return make_matrix(std::move(s));
}

// Split records and trees compare by their model-file text: every float is written with the
// shortest digits that read back to its bits, so equal text means equal bits.
inline ::testing::AssertionResult same_text(const std::string& a, const std::string& b) {
    if (a == b) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << "\n  differs from\n" << b;
}

inline ::testing::AssertionResult same_split(const quorvelin::SplitInfo& a, const quorvelin::SplitInfo& b) {
    return same_text(quorvelin::split_info_json(a), quorvelin::split_info_json(b));
}

inline ::testing::AssertionResult same_tree(const quorvelin::Tree& a, const quorvelin::Tree& b) {
    return same_text(quorvelin::tree_json(a), quorvelin::tree_json(b));
}

// A binned table of the given columns, every feature allowed 255 bins.
inline quorvelin::DMatrix bins_only(std::vector<std::vector<uint8_t>> x, std::vector<uint8_t> is_cat = {}) {
    MatrixInput s;
    s.x = std::move(x);
    s.is_cat = std::move(is_cat);
    for (size_t f = 0; f < s.x.size(); ++f) s.n_bins.push_back(255);
    return make_matrix(std::move(s));
}

inline quorvelin::SplitInfo split_record(uint64_t node, uint64_t feature, uint8_t value, bool is_cat,
                                         quorvelin::Matrix summary = {{0}, {0}}) {
    quorvelin::SplitInfo s;
    s.node_id = node;
    s.feature_id = feature;
    s.is_cat = is_cat;
    s.value = std::vector<uint8_t>{value};
    s.summary = std::move(summary);
    return s;
}

// The routing rule written out independently of the library: a missing cell goes right, a
// categorical test is equality, a continuous one "at most".
inline bool left_by_rule(const quorvelin::SplitInfo& r, uint8_t cell) {
    if (cell == kMissingBin) return false;
    return r.is_cat ? cell == (*r.value)[0] : cell <= (*r.value)[0];
}

// The leaf one row reaches, walking the tree row by row.
inline uint64_t leaf_of(const quorvelin::Tree& t, const quorvelin::DMatrix& m, quorvelin::RowId row) {
    uint64_t node = 0;
    while (t.left_children[node]) {
        const quorvelin::SplitInfo& r = *t.split[node];
        node = left_by_rule(r, m.x[r.feature_id][row]) ? *t.left_children[node] : *t.right_children[node];
    }
    return node;
}

inline quorvelin::TreeConfig learn_config(uint64_t max_depth = 4, uint64_t max_features = 10, float subsample = 1.0f) {
    quorvelin::TreeConfig c;
    c.min_samples_leaf = 10;
    c.min_samples_treatment = 3;
    c.n_reg = 5;
    c.normalization = true;
    c.max_depth = max_depth;
    c.max_features = max_features;
    c.subsample = subsample;
    return c;
}

// Strong signal on feature 0: group 1 responds only when bin 0 is even.
inline quorvelin::DMatrix signal_data(uint64_t seed, size_t n = 600, size_t features = 4, uint8_t n_t = 2,
                                      bool binary = true) {
    std::mt19937 gen(static_cast<uint32_t>(seed));
    return random_matrix(gen, n, features, 8, n_t, binary, false);
}

// One tree grown on `m` from a source seeded with `seed`, as a forest of one tree grows it.
inline quorvelin::Tree grown_tree(quorvelin::ModelKind kind, const quorvelin::TreeConfig& c, const quorvelin::DMatrix& m,
                                  uint64_t seed) {
    std::unique_ptr<quorvelin::Criterion> criterion = quorvelin::make_criterion(kind, c);
    quorvelin::Random random(seed);
    const quorvelin::RowCodes rc = criterion->row_codes(m);
    quorvelin::TreeGrower grower(c, *criterion);
    return grower.grow(m, rc, random);
}

}  // namespace qtest
