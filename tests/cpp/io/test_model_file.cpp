// The model file: exact text of every record, strict reading with positioned errors, the
// section structure, checks of loaded trees, atomic saving, and robustness against damaged files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "error.hpp"
#include "io/model_file.hpp"
#include "forest/forest.hpp"
#include "test_util.hpp"

using namespace quorvelin;
namespace fs = std::filesystem;

namespace {

std::string read_data(const std::string& name) {
    std::ifstream in(std::string(QUORVELIN_TEST_DATA) + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

ContinuousBin cbin(uint64_t n_bin, std::vector<float> threshold) {
    ContinuousBin b;
    b.n_bin = n_bin;
    b.threshold = std::move(threshold);
    return b;
}

const char* const kGoldenFiles[] = {"model_unusual_names.txt", "model_large_seed.txt", "model_nan_summary.txt"};

// The message of the stop `body` ends with, or a failure marker when it does not stop.
template <class Body>
std::string stop_message(Body&& body) {
    try {
        body();
    } catch (const Stop& e) {
        return e.what();
    }
    return "<no stop>";
}

#define EXPECT_STOP_CONTAINS(stmt, part)                                                      \
    do {                                                                                      \
        const std::string msg_ = stop_message([&] { stmt; });                                 \
        EXPECT_NE(msg_.find(part), std::string::npos) << "message: " << msg_ << "\nwanted: " << (part); \
    } while (0)

// A configuration line in the file's own form, with every key.
const std::string kConfigLine =
    R"({"index_cols":[],"feature_cols":["a","b"],"cat_cols":["b"],"treatment_cols":["t"],"y_col":"y",)"
    R"("weight_col":"","n_bin":30,"min_samples_leaf":5,"min_samples_treatment":0,"n_reg":5,"alpha":0.9496,)"
    R"("normalization":false,"max_features":10,"max_depth":2,"n_tree":2,"subsample":0.5,"n_thread":1,"seed":42})";

std::string replace_once(std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "no `" << from << "` in the text";
    else s.replace(at, from.size(), to);
    return s;
}

// The forest a text describes, read as load reads a file, and its text as save writes it.
Forest load_text(const std::string& text) { return Forest::from_text(ModelKind::Classifier, text); }
std::string save_text(const Forest& m) { return m.to_text(); }

// A scratch directory removed at the end of the test.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "qv-model-file-XXXXXX").string();
        if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
        path = templ;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Float text
// ---------------------------------------------------------------------------------------------

struct FloatCase {
    float value;
    const char* text;
};

class FloatTextTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatTextTest, LaysOutShortestDigits) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Rules, FloatTextTest,
    ::testing::Values(
        // rule 1: integral, decimal point at most 13 digits in
        FloatCase{1.0f, "1.0"}, FloatCase{250.0f, "250.0"}, FloatCase{-574238460.0f, "-574238460.0"},
        FloatCase{16777216.0f, "16777216.0"}, FloatCase{1e12f, "1000000000000.0"},
        FloatCase{9.999999e12f, "9999999000000.0"},
        // rule 2: decimal point inside the digits
        FloatCase{12.75f, "12.75"}, FloatCase{-12.75f, "-12.75"}, FloatCase{1.5f, "1.5"},
        FloatCase{123456.79f, "123456.79"}, FloatCase{0.9496f, "0.9496"},
        // rule 3: small, up to five zeros after the point
        FloatCase{0.5f, "0.5"}, FloatCase{0.001f, "0.001"}, FloatCase{0.036687467f, "0.036687467"},
        FloatCase{1e-6f, "0.000001"}, FloatCase{1.5e-6f, "0.0000015"}, FloatCase{-9.9e-6f, "-0.0000099"},
        // rule 4: one digit with exponent
        FloatCase{1e-7f, "1e-7"}, FloatCase{3e20f, "3e20"}, FloatCase{1e13f, "1e13"}, FloatCase{-2e-7f, "-2e-7"},
        FloatCase{1e-45f, "1e-45"},
        // rule 5: several digits with exponent
        FloatCase{1.5e-7f, "1.5e-7"}, FloatCase{1.5e13f, "1.5e13"}, FloatCase{3.4028235e38f, "3.4028235e38"},
        FloatCase{1.1754944e-38f, "1.1754944e-38"}, FloatCase{-1.2345e-10f, "-1.2345e-10"},
        // zeros and non-finite values
        FloatCase{0.0f, "0.0"}, FloatCase{-0.0f, "-0.0"},
        FloatCase{std::numeric_limits<float>::quiet_NaN(), "null"},
        FloatCase{std::numeric_limits<float>::infinity(), "null"},
        FloatCase{-std::numeric_limits<float>::infinity(), "null"}));

// Every finite text reads back to the same bits and has no more digits than needed.
TEST(FloatText, RoundTripsRandomBitPatterns) {
    std::mt19937 gen(12345);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t bits = gen();
        float f;
        std::memcpy(&f, &bits, 4);
        const std::string text = float_text(f);
        if (!std::isfinite(f)) {
            ASSERT_EQ(text, "null");
            continue;
        }
        ASSERT_EQ(text.find('+'), std::string::npos) << text;
        const float back = std::strtof(text.c_str(), nullptr);
        ASSERT_TRUE(qtest::same_bits(f, back)) << text;
    }
}

// ---------------------------------------------------------------------------------------------
// String escapes
// ---------------------------------------------------------------------------------------------

TEST(JsonString, EscapesOnlyQuoteBackslashAndControls) {
    const struct {
        std::string in;
        const char* out;
    } cases[] = {
        {"age", R"("age")"},
        {"tab\tname", R"("tab\tname")"},
        {"q\"t", R"("q\"t")"},
        {"back\\slash", R"("back\\slash")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {std::string("\x01\x1f\x0b", 3), R"("\u0001\u001f\u000b")"},
        {std::string("a\0b", 3), R"("a\u0000b")"},
        {"a/b", R"("a/b")"},
        {"\x7f", "\"\x7f\""},
        {"région €", "\"région €\""},
        {"", R"("")"},
    };
    for (const auto& c : cases) EXPECT_EQ(json_string(c.in), c.out);
}

// ---------------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------------

TEST(RecordText, ConfigKeysInOrderAndSeedNull) {
    TreeConfig c;
    c.feature_cols = {"tab\tname", "age"};
    c.cat_cols = {"age"};
    c.treatment_cols = {"treatment"};
    c.y_col = "outcome";
    c.n_bin = 30;
    c.min_samples_leaf = 5;
    c.min_samples_treatment = 0;
    c.n_reg = 5;
    c.alpha = 0.9496f;
    c.normalization = false;
    c.max_features = 10;
    c.max_depth = 2;
    c.n_tree = 3;
    c.subsample = 0.5f;
    c.n_thread = 1;
    c.seed = 42;
    EXPECT_EQ(config_json(c),
              R"({"index_cols":[],"feature_cols":["tab\tname","age"],"cat_cols":["age"],"treatment_cols":["treatment"],)"
              R"("y_col":"outcome","weight_col":"","n_bin":30,"min_samples_leaf":5,"min_samples_treatment":0,"n_reg":5,)"
              R"("alpha":0.9496,"normalization":false,"max_features":10,"max_depth":2,"n_tree":3,"subsample":0.5,)"
              R"("n_thread":1,"seed":42})");
    c.seed.reset();
    EXPECT_NE(config_json(c).find(R"("n_thread":1,"seed":null})"), std::string::npos);
    c.seed = std::numeric_limits<uint64_t>::max();
    EXPECT_NE(config_json(c).find(R"("seed":18446744073709551615})"), std::string::npos);
    EXPECT_EQ(read_config(config_json(c)), c);
}

TEST(RecordText, BinsSplitAndTree) {
    EXPECT_EQ(continuous_bin_json(cbin(3, {25.5f, 40.0f})), R"({"n_bin":3,"threshold":[25.5,40.0]})");
    EXPECT_EQ(continuous_bin_json(cbin(1, {})), R"({"n_bin":1,"threshold":[]})");
    EXPECT_EQ(discrete_bin_json(DiscreteBin{2, {-2.6f, std::nanf("")}}), R"({"n_bin":2,"mapping":[-2.6,null]})");

    SplitInfo s;
    s.node_id = 0;
    s.value = std::vector<uint8_t>{16};
    s.gain = 0.15926114f;
    s.gain_importance = 62.271114f;
    s.summary = {{0.32692307f, 104.0f}, {0.4489796f, 98.0f}};
    EXPECT_EQ(split_info_json(s),
              R"({"node_id":0,"feature_id":0,"treatment_id":0,"iscat":false,"value":[16],"gain":0.15926114,)"
              R"("gain_importance":62.271114,"summary":[[0.32692307,104.0],[0.4489796,98.0]]})");

    Tree t;
    t.add_split(0, s);
    t.add_left(0);
    t.add_right(0);
    SplitInfo leaf;
    leaf.node_id = 1;
    leaf.is_cat = true;
    leaf.summary = {{1.0f}};
    t.add_split(1, leaf);
    const std::string text = tree_json(t);
    EXPECT_EQ(text.rfind(R"({"level":[0,1,1],"left_children":[1,null,null],"right_children":[2,null,null],"split":[{)", 0),
              0u);
    EXPECT_NE(text.find(R"("iscat":true,"value":null,"gain":0.0,)"), std::string::npos);
    EXPECT_NE(text.find(R"(,null]})"), std::string::npos);  // node 2 has no record
    EXPECT_TRUE(qtest::same_tree(read_tree(text), t));
}

// Each golden file is real output of a trained model; reading it and writing it again must give
// back every byte.
class GoldenTest : public ::testing::TestWithParam<const char*> {};

TEST_P(GoldenTest, ReadAndRewriteIsIdentity) {
    const std::string text = read_data(GetParam());
    ASSERT_FALSE(text.empty());
    const Forest m = load_text(text);
    EXPECT_EQ(m.loader.continuous_bins.size() + m.loader.discrete_bins.size(), m.config.feature_cols.size());
    EXPECT_EQ(save_text(m), text);
    // Reading the rewritten text gives equal records.
    const Forest again = load_text(save_text(m));
    EXPECT_EQ(again.config, m.config);
    EXPECT_EQ(again.loader.continuous_bins, m.loader.continuous_bins);
    ASSERT_EQ(again.trees.size(), m.trees.size());
    for (size_t t = 0; t < m.trees.size(); ++t) EXPECT_TRUE(qtest::same_tree(again.trees[t].tree, m.trees[t].tree));
}

TEST_P(GoldenTest, BinSectionOrderDoesNotMatter) {
    const std::string text = read_data(GetParam());
    ModelReader reader(text);
    const size_t f = reader.config().feature_cols.size();
    // Reverse the bin sections.
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find("\n\n", start)) != std::string::npos; start = at + 2)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    std::reverse(parts.begin() + 1, parts.begin() + 1 + static_cast<long>(f));
    std::string shuffled = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) shuffled += "\n\n" + parts[i];
    ASSERT_NE(shuffled, text);
    EXPECT_EQ(save_text(load_text(shuffled)), text);
}

INSTANTIATE_TEST_SUITE_P(Files, GoldenTest, ::testing::ValuesIn(kGoldenFiles));

TEST(GoldenFiles, SpecialValuesReadBack) {
    const Forest names = load_text(read_data("model_unusual_names.txt"));
    EXPECT_EQ(names.config.feature_cols,
              (std::vector<std::string>{"région", "income", "tab\tname", "x1", "q\"t", "age"}));
    ASSERT_TRUE(names.loader.discrete_bins.count("tab\tname"));
    EXPECT_EQ(names.loader.discrete_bins.at("tab\tname").n_bin, 38u);
    EXPECT_EQ(names.config.seed, std::optional<uint64_t>(0));

    const Forest seed = load_text(read_data("model_large_seed.txt"));
    EXPECT_EQ(seed.config.seed, std::optional<uint64_t>(18446744073709551614ull));
    EXPECT_TRUE(seed.loader.continuous_bins.count("back\\slash"));
    ASSERT_EQ(seed.trees.size(), 1u);
    EXPECT_FALSE(seed.trees[0].tree.split[2]->value.has_value());

    // A summary entry stored as null (NaN when saved) loads as NaN.
    const Forest nan = load_text(read_data("model_nan_summary.txt"));
    bool found_nan = false;
    for (const auto& [config, t] : nan.trees)
        for (const auto& s : t.split)
            for (const auto& row : s->summary)
                for (float v : row) found_nan |= std::isnan(v);
    EXPECT_TRUE(found_nan);
}

TEST(ModelText, SavingTwiceGivesSameBytesAndFollowsFeatureOrder) {
    TreeConfig c;
    c.feature_cols = {"zeta", "alpha", "mid"};
    c.cat_cols = {"mid"};
    c.n_tree = 0;
    std::unordered_map<std::string, ContinuousBin> cont;
    for (int i = 0; i < 20; ++i) cont["extra" + std::to_string(i)] = cbin(1, {});
    cont["zeta"] = cbin(2, {1.0f});
    cont["alpha"] = cbin(2, {2.0f});
    std::unordered_map<std::string, DiscreteBin> disc{{"mid", DiscreteBin{1, {3.0f}}}};
    DataLoader a(c.feature_cols, "", {}, "", c.cat_cols, 30, cont, disc);
    const std::string text = model_text(c, a, {});
    // A loader filled in another order gives the same text.
    std::unordered_map<std::string, ContinuousBin> cont2;
    for (int i = 19; i >= 0; --i) cont2["extra" + std::to_string(i)] = cbin(1, {});
    cont2["alpha"] = cont["alpha"];
    cont2["zeta"] = cont["zeta"];
    DataLoader b(c.feature_cols, "", {}, "", c.cat_cols, 30, cont2, disc);
    EXPECT_EQ(model_text(c, b, {}), text);
    EXPECT_LT(text.find("Continuous\nzeta\n"), text.find("Continuous\nalpha\n"));
    EXPECT_LT(text.find("Continuous\nalpha\n"), text.find("Continuous\nextra0\n"));
    EXPECT_LT(text.find("Continuous\nextra0\n"), text.find("Continuous\nextra1\n"));
    EXPECT_LT(text.find("Continuous\nextra19\n"), text.find("Discrete\nmid\n"));
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
}

TEST(ModelText, NoFeaturesNoTrees) {
    TreeConfig c;
    c.n_tree = 0;
    DataLoader loader({}, "", {}, "", {}, 30, {}, {});
    const std::string text = model_text(c, loader, {});
    EXPECT_EQ(text, config_json(c) + "\n\n");
    const Forest m = load_text(text);
    EXPECT_EQ(m.config, c);
    EXPECT_TRUE(m.trees.empty());
}

// ---------------------------------------------------------------------------------------------
// Reading one record
// ---------------------------------------------------------------------------------------------

TEST(ReadConfig, SeedAbsentWhenNullOrMissing) {
    EXPECT_EQ(read_config(kConfigLine).seed, std::optional<uint64_t>(42));
    EXPECT_FALSE(read_config(replace_once(kConfigLine, R"("seed":42)", R"("seed":null)")).seed.has_value());
    EXPECT_FALSE(read_config(replace_once(kConfigLine, R"(,"seed":42)", "")).seed.has_value());
    EXPECT_EQ(read_config(replace_once(kConfigLine, "42", "18446744073709551615")).seed,
              std::optional<uint64_t>(18446744073709551615ull));
    EXPECT_EQ(read_config(replace_once(kConfigLine, "42", "0")).seed, std::optional<uint64_t>(0));
}

TEST(ReadConfig, KeysInAnyOrderUnknownKeysSkippedWhitespaceAround) {
    const TreeConfig base = read_config(kConfigLine);
    EXPECT_EQ(base.feature_cols, (std::vector<std::string>{"a", "b"}));
    EXPECT_FLOAT_EQ(base.alpha, 0.9496f);
    // Move "seed" to the front, add unknown keys of every kind, and pad with whitespace.
    std::string moved = replace_once(kConfigLine, R"(,"seed":42)", "");
    moved = replace_once(moved, "{", R"({"seed":42,"note":{"x":[1,-2.5e3,true,false,null,"s\u00e9"]},"zz":[], )");
    moved = " \t\r" + moved + "\r \t";
    EXPECT_EQ(read_config(moved), base);
    // The same record as an array of its values in key order.
    const std::string as_array =
        R"([[],["a","b"],["b"],["t"],"y","",30,5,0,5,0.9496,false,10,2,2,0.5,1,42])";
    EXPECT_EQ(read_config(as_array), base);
    EXPECT_STOP_CONTAINS(read_config(R"([[],["a","b"],["b"],["t"],"y","",30,5,0,5,0.9496,false,10,2,2,0.5,1])"),
                         "holds 18 values, found 17");
}

TEST(ReadConfig, EscapedStringsDecode) {
    const std::string line = replace_once(kConfigLine, R"("y_col":"y")", R"("y_col":"\u00e9\ud83d\ude00\t\"\/")");
    EXPECT_EQ(read_config(line).y_col, "é\xF0\x9F\x98\x80\t\"/");
    const std::string key_escaped = replace_once(kConfigLine, R"("n_reg")", R"("n\u005freg")");
    EXPECT_EQ(read_config(key_escaped).n_reg, 5u);
}

TEST(ReadConfig, FloatsAcceptAnyNumberAndNull) {
    auto alpha = [](const std::string& v) { return read_config(replace_once(kConfigLine, "0.9496", v)).alpha; };
    EXPECT_EQ(alpha("1"), 1.0f);
    EXPECT_EQ(alpha("-3"), -3.0f);
    EXPECT_TRUE(qtest::same_bits(alpha("-0"), -0.0f));
    EXPECT_EQ(alpha("2.5E2"), 250.0f);
    EXPECT_EQ(alpha("1e-400"), 0.0f);
    EXPECT_STOP_CONTAINS(alpha("1e39"), "out of range");
    EXPECT_STOP_CONTAINS(alpha("-3.5e38"), "out of range");
    EXPECT_EQ(alpha("3.4028235e38"), 3.4028235e38f);
    EXPECT_EQ(alpha("3.40282356e38"), 3.4028235e38f);  // still rounds to the largest float
    // 2^24 + 1 as an integer rounds once, to even (2^24).
    EXPECT_EQ(alpha("16777217"), 16777216.0f);
    // An integer beyond 64 bits still reads.
    EXPECT_EQ(alpha("100000000000000000000000"), 1e23f);
    EXPECT_TRUE(std::isnan(alpha("null")));
    EXPECT_STOP_CONTAINS(alpha("1e400"), "out of range");
    EXPECT_STOP_CONTAINS(alpha("\"0.5\""), "expected a number, found a string");
    EXPECT_STOP_CONTAINS(alpha("NaN"), "model file line 1");
    EXPECT_STOP_CONTAINS(alpha(".5"), "model file line 1");
    EXPECT_STOP_CONTAINS(alpha("1."), "invalid number `1.`");
    EXPECT_STOP_CONTAINS(alpha("01"), "invalid number `01`");
    EXPECT_STOP_CONTAINS(alpha("+1"), "model file line 1");
}

struct BadRecord {
    std::string from, to;  // replacement applied to kConfigLine
    std::string message;   // part of the expected message
};

class BadConfigTest : public ::testing::TestWithParam<BadRecord> {};

TEST_P(BadConfigTest, StopsWithPositionedMessage) {
    const BadRecord& c = GetParam();
    const std::string line = replace_once(kConfigLine, c.from, c.to);
    const std::string msg = stop_message([&] { read_config(line, 7); });
    EXPECT_NE(msg.find(c.message), std::string::npos) << msg;
    EXPECT_EQ(msg.rfind("model file line 7, column ", 0), 0u) << msg;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfigTest,
    ::testing::Values(
        BadRecord{R"("n_reg":5,)", R"("n_reg":5,"n_reg":5,)", "key `n_reg` appears twice"},
        BadRecord{R"("n_reg":5,)", R"("n_reg":5,"zz":1,"zz":2,)", "key `zz` appears twice"},
        BadRecord{R"("alpha":0.9496,)", "", "key `alpha` is missing"},
        BadRecord{R"("n_bin":30)", R"("n_bin":1.0)", "found `1.0`"},
        BadRecord{R"("n_bin":30)", R"("n_bin":-1)", "found `-1`"},
        BadRecord{R"("n_bin":30)", R"("n_bin":1e3)", "found `1e3`"},
        BadRecord{R"("n_bin":30)", R"("n_bin":"30")", "found a string"},
        BadRecord{R"("n_bin":30)", R"("n_bin":null)", "found null"},
        BadRecord{"42", "18446744073709551616", "found `18446744073709551616`"},
        BadRecord{"42", "-42", "found `-42`"},
        BadRecord{R"("normalization":false)", R"("normalization":0)", "expected true or false"},
        BadRecord{R"("normalization":false)", R"("normalization":fals)", "invalid literal"},
        BadRecord{R"("y_col":"y")", R"("y_col":7)", "expected a string"},
        BadRecord{R"("y_col":"y")", "\"y_col\":\"a\tb\"", "control character inside a string"},
        BadRecord{R"("y_col":"y")", R"("y_col":"\x")", "invalid escape"},
        BadRecord{R"("y_col":"y")", R"("y_col":"\ud800")", "model file line 7"},
        BadRecord{R"("feature_cols":["a","b"])", R"("feature_cols":["a",2])", "expected a string"},
        BadRecord{R"("feature_cols":["a","b"])", R"("feature_cols":"a")", "expected an array of strings"},
        BadRecord{R"("n_reg":5,)", R"("n_reg":5,"x":[1,2,],)", "model file line 7"},
        BadRecord{R"("n_reg":5,)", R"("n_reg":5,"x":[01],)", "invalid number `01`"},
        BadRecord{R"("n_reg":5,)", R"("n_reg":5,"x":{"a":nul},)", "invalid literal"},
        BadRecord{R"("n_reg":5,)", R"("n_reg":5 ,,)", "model file line 7"},
        BadRecord{R"("seed":42})", R"("seed":42} x)", "unexpected text after the record"},
        BadRecord{R"("seed":42})", R"("seed":42}{})", "unexpected text after the record"},
        BadRecord{R"("seed":42})", R"("seed":42)", "the record ends before its closing `}`"},
        BadRecord{R"("seed":42})", R"("seed":[42})", "model file line 7"},
        BadRecord{R"("seed":42})", R"("seed":42}})", "model file line 7"}));

TEST(ReadRecord, ErrorColumnPointsAtTheProblem) {
    // `"n_reg"` appears a second time right after the first one.
    const std::string line = replace_once(kConfigLine, R"("n_reg":5,)", R"("n_reg":5,"n_reg":5,)");
    const size_t column = line.find(R"("n_reg")", line.find(R"("n_reg")") + 1) + 1;
    EXPECT_EQ(stop_message([&] { read_config(line, 3); }),
              "model file line 3, column " + std::to_string(column) + ": key `n_reg` appears twice");
    // Columns count characters, so a non-ASCII name before the problem counts once.
    const std::string wide = replace_once(line, R"(["a","b"])", R"(["éé","b"])");
    EXPECT_EQ(stop_message([&] { read_config(wide, 3); }),
              "model file line 3, column " + std::to_string(column + 1) + ": key `n_reg` appears twice");
}

TEST(ReadRecord, NotOneJsonValue) {
    EXPECT_STOP_CONTAINS(read_config("", 4), "model file line 4, column 1: expected a JSON record, found an empty line");
    EXPECT_STOP_CONTAINS(read_config(" \t", 4), "model file line 4");
    EXPECT_STOP_CONTAINS(read_config("42"), "expected an object, found a number");
    EXPECT_STOP_CONTAINS(read_config("\"x\""), "expected an object, found a string");
    EXPECT_STOP_CONTAINS(read_config(kConfigLine + "\n"), "found a line feed");
    EXPECT_STOP_CONTAINS(read_config(std::string(3000, '[') + std::string(3000, ']')), "model file line 1");
    EXPECT_STOP_CONTAINS(read_config(R"({"a":"unterminated)"), "model file line 1");
}

TEST(ReadBins, LimitsOfByteSizedBins) {
    auto list = [](size_t n) {
        std::string s = "[";
        for (size_t i = 0; i < n; ++i) {
            if (i) s += ',';
            s += std::to_string(i);
        }
        return s + "]";
    };
    EXPECT_EQ(read_continuous_bin(R"({"n_bin":254,"threshold":)" + list(253) + "}").threshold.size(), 253u);
    EXPECT_STOP_CONTAINS(read_continuous_bin(R"({"n_bin":255,"threshold":)" + list(254) + "}"), "254 thresholds");
    EXPECT_STOP_CONTAINS(read_continuous_bin(R"({"n_bin":256,"threshold":[]})"), "n_bin 256");
    EXPECT_EQ(read_discrete_bin(R"({"n_bin":255,"mapping":)" + list(254) + "}").mapping.size(), 254u);
    EXPECT_STOP_CONTAINS(read_discrete_bin(R"({"n_bin":255,"mapping":)" + list(255) + "}"), "255 categories");
    EXPECT_STOP_CONTAINS(read_discrete_bin(R"({"n_bin":256,"mapping":[]})"), "n_bin 256");
    // Keys in any order, null entries as NaN.
    const DiscreteBin d = read_discrete_bin(R"({"mapping":[1,null],"n_bin":3})");
    EXPECT_EQ(d.n_bin, 3u);
    ASSERT_EQ(d.mapping.size(), 2u);
    EXPECT_TRUE(std::isnan(d.mapping[1]));
    EXPECT_STOP_CONTAINS(read_continuous_bin(R"({"n_bin":3})", 9), "model file line 9, column 1: key `threshold` is missing");
}

TEST(ReadSplit, ValueIsOptionalAndByteSized) {
    auto tree_with = [](const std::string& split) {
        return R"({"level":[0],"left_children":[null],"right_children":[null],"split":[)" + split + "]}";
    };
    const std::string full =
        R"({"node_id":0,"feature_id":1,"treatment_id":2,"iscat":true,"value":[255,0],"gain":1,"gain_importance":2.5,"summary":[[1,2],[3]]})";
    const Tree t = read_tree(tree_with(full));
    ASSERT_TRUE(t.split[0].has_value());
    EXPECT_EQ(t.split[0]->value, (std::vector<uint8_t>{255, 0}));
    EXPECT_EQ(t.split[0]->feature_id, 1u);
    EXPECT_TRUE(t.split[0]->is_cat);
    EXPECT_EQ(t.split[0]->summary, (Matrix{{1.0f, 2.0f}, {3.0f}}));
    EXPECT_FALSE(read_tree(tree_with(replace_once(full, "[255,0]", "null"))).split[0]->value.has_value());
    EXPECT_FALSE(read_tree(tree_with(replace_once(full, R"("value":[255,0],)", ""))).split[0]->value.has_value());
    EXPECT_TRUE(read_tree(tree_with(replace_once(full, "[255,0]", "[]"))).split[0]->value->empty());
    EXPECT_STOP_CONTAINS(read_tree(tree_with(replace_once(full, "255", "256"))), "found `256`");
    EXPECT_STOP_CONTAINS(read_tree(tree_with(replace_once(full, "255", "-1"))), "found `-1`");
    EXPECT_STOP_CONTAINS(read_tree(tree_with(replace_once(full, R"("gain":1,)", ""))), "key `gain` is missing");
    EXPECT_STOP_CONTAINS(read_tree(tree_with(replace_once(full, "[[1,2],[3]]", "[1,2]"))), "expected an array of numbers");
    EXPECT_STOP_CONTAINS(read_tree(tree_with("7")), "expected an object, found a number");
    EXPECT_FALSE(read_tree(tree_with("null")).split[0].has_value());
    // Array form of a split record inside a tree.
    const Tree a = read_tree(tree_with(R"([0,1,2,true,[4],1,2.5,[[1]]])"));
    EXPECT_EQ(a.split[0]->value, (std::vector<uint8_t>{4}));
}

// ---------------------------------------------------------------------------------------------
// Sections
// ---------------------------------------------------------------------------------------------

namespace {

const std::string kTreeLine =
    R"({"level":[0,1,1],"left_children":[1,null,null],"right_children":[2,null,null],"split":[)"
    R"({"node_id":0,"feature_id":0,"treatment_id":0,"iscat":false,"value":[1],"gain":0.5,"gain_importance":1.0,"summary":[[0.1,10.0],[0.2,12.0]]},)"
    R"({"node_id":1,"feature_id":1,"treatment_id":0,"iscat":false,"value":null,"gain":0.0,"gain_importance":0.0,"summary":[[0.1,5.0],[0.3,6.0]]},)"
    R"({"node_id":2,"feature_id":1,"treatment_id":0,"iscat":false,"value":null,"gain":0.0,"gain_importance":0.0,"summary":[[0.1,5.0],[0.1,6.0]]}]})";

// A small valid file: two features, two trees.
std::string small_file() {
    return kConfigLine + "\n\n" + "Continuous\na\n" + R"({"n_bin":3,"threshold":[1.5,3.0]})" + "\n\n" +
           "Discrete\nb\n" + R"({"n_bin":2,"mapping":[7.0,8.0]})" + "\n\n" + kConfigLine + "\n" + kTreeLine + "\n\n" +
           kConfigLine + "\n" + kTreeLine + "\n\n";
}

}  // namespace

TEST(ModelReaderTest, ReadsSmallFile) {
    const Forest m = load_text(small_file());
    EXPECT_EQ(m.loader.continuous_bins.at("a").threshold, (std::vector<float>{1.5f, 3.0f}));
    EXPECT_EQ(m.loader.discrete_bins.at("b").mapping, (std::vector<float>{7.0f, 8.0f}));
    ASSERT_EQ(m.trees.size(), 2u);
    EXPECT_EQ(m.trees[1].tree.left_children[0], std::optional<uint64_t>(1));
    EXPECT_EQ(save_text(m), small_file());
    // Parts after the last tree are ignored, and so are extra lines of a section.
    EXPECT_EQ(load_text(small_file() + "anything\n\nelse").trees.size(), 2u);
    EXPECT_EQ(load_text(replace_once(small_file(), "Continuous\na\n{\"n_bin\":3,\"threshold\":[1.5,3.0]}",
                                     "Continuous\na\n{\"n_bin\":3,\"threshold\":[1.5,3.0]}\nignored"))
                  .loader.continuous_bins.at("a")
                  .n_bin,
              3u);
    // A repeated name replaces the earlier record.
    const std::string repeated = replace_once(small_file(), "Discrete\nb\n", "Continuous\na\n");
    const std::string fixed = replace_once(repeated, R"({"n_bin":2,"mapping":[7.0,8.0]})", R"({"n_bin":1,"threshold":[]})");
    ModelReader r(fixed);
    EXPECT_EQ(r.continuous_bins().at("a").n_bin, 1u);
    EXPECT_TRUE(r.discrete_bins().empty());
}

TEST(ModelReaderTest, StructuralFailures) {
    const std::string file = small_file();
    // Lower-case type, or any other first line.
    EXPECT_STOP_MSG(ModelReader r_(replace_once(file, "Continuous\n", "continuous\n")), "bin_type continuous unknown");
    EXPECT_STOP_MSG(ModelReader r_(replace_once(file, "Discrete\n", "Discrete \n")), "bin_type Discrete  unknown");
    // A bin section of two lines.
    EXPECT_STOP_CONTAINS(ModelReader r_(replace_once(file, "Discrete\nb\n{\"n_bin\":2,\"mapping\":[7.0,8.0]}", "Discrete\nb")),
                         "model file line 7, column 1: bin section 2 of 2 has 2 lines");
    // Saved before the first fit: no bin sections at all.
    EXPECT_STOP_MSG(ModelReader r_(kConfigLine + "\n\n"),
                    "model file has 1 section, but the configuration needs 5 (1 configuration, 2 bins, 2 trees)");
    // An empty part where a bin section should be.
    EXPECT_STOP_CONTAINS(ModelReader r_(kConfigLine + "\n\n\n\n"), "model file line 3, column 1: bin section 1 of 2 has 1 line");
    // Line feeds turned into CR LF: no blank line anywhere, the whole file is one part.
    std::string crlf;
    for (char c : file) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_STOPS(ModelReader r(crlf));
    // Only the configuration.
    EXPECT_STOP_MSG(ModelReader r_(kConfigLine),
                    "model file has 1 section, but the configuration needs 5 (1 configuration, 2 bins, 2 trees)");
}

TEST(ModelReaderTest, TreeSectionFailures) {
    const std::string file = small_file();
    // Cut after the first tree: the second one is missing.
    const std::string one_tree = file.substr(0, file.rfind(kConfigLine));
    {
        ModelReader r(one_tree);
        TreeConfig c;
        Tree t;
        r.read_tree_at(0, c, t);
        EXPECT_STOP_MSG(r.read_tree_at(1, c, t),
                        "model file has 4 sections, but the configuration needs 5 (1 configuration, 2 bins, 2 trees)");
    }
    // An empty part where the second tree should be: its configuration line does not parse.
    {
        const std::string text = one_tree + "\n\n";  // the reader keeps views into its text
        ModelReader r(text);
        TreeConfig c;
        Tree t;
        EXPECT_STOP_MSG(r.read_tree_at(1, c, t), "model file line 14, column 1: expected a JSON record, found an empty line");
    }
    // A tree section with only its configuration line.
    {
        const std::string text = one_tree + kConfigLine;
        ModelReader r(text);
        TreeConfig c;
        Tree t;
        EXPECT_STOP_CONTAINS(r.read_tree_at(1, c, t), "model file line 14");
        EXPECT_STOP_CONTAINS(r.read_tree_at(1, c, t), "the tree line is missing");
    }
    // Errors in the tree line name its file line (the second tree's tree line is line 15).
    {
        const size_t last = file.rfind(R"("gain":0.5)");
        std::string bad = file;
        bad.replace(last, 10, R"("gain":0.5,"gain":0.5)");
        ModelReader r(bad);
        TreeConfig c;
        Tree t;
        r.read_tree_at(0, c, t);
        EXPECT_STOP_CONTAINS(r.read_tree_at(1, c, t), "model file line 15, column ");
        EXPECT_STOP_CONTAINS(r.read_tree_at(1, c, t), "key `gain` appears twice");
    }
    // A bin record error names the record's line.
    EXPECT_STOP_CONTAINS(ModelReader r_(replace_once(file, "[7.0,8.0]", "[7.0,8.0,]")), "model file line 9, column");
    // An n_bin above the loader's limit is not the reader's business.
    EXPECT_EQ(ModelReader(replace_once(file, R"("n_bin":30)", R"("n_bin":300)")).config().n_bin, 300u);
    // A huge n_tree with a short file stops at the first missing tree.
    const std::string huge_text = replace_once(file, R"("n_tree":2)", R"("n_tree":18446744073709551615)");
    ModelReader huge(huge_text);
    TreeConfig c;
    Tree t;
    EXPECT_STOP_CONTAINS(huge.read_tree_at(2, c, t), "needs 18446744073709551618 (1 configuration, 2 bins, 18446744073709551615 trees)");
    EXPECT_STOPS(huge.read_tree_at(std::numeric_limits<size_t>::max(), c, t));
}

// ---------------------------------------------------------------------------------------------
// Checks of loaded trees
// ---------------------------------------------------------------------------------------------

namespace {

Tree valid_tree() { return read_tree(kTreeLine); }

}  // namespace

TEST(ValidateTree, AcceptsGrownTrees) {
    EXPECT_NO_THROW(validate_tree(valid_tree(), 2, 0));
    Tree root_only;
    SplitInfo s;
    s.summary = {{1.0f}};
    root_only.add_split(0, s);
    EXPECT_NO_THROW(validate_tree(root_only, 0, 0));
    for (const char* name : kGoldenFiles) EXPECT_NO_THROW(load_text(read_data(name))) << name;
}

struct TreeDamage {
    const char* name;
    void (*damage)(Tree&);
    const char* message;
};

class ValidateTreeTest : public ::testing::TestWithParam<TreeDamage> {};

TEST_P(ValidateTreeTest, Rejects) {
    Tree t = valid_tree();
    GetParam().damage(t);
    EXPECT_STOP_MSG(validate_tree(t, 2, 3), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, ValidateTreeTest,
    ::testing::Values(
        TreeDamage{"lengths", [](Tree& t) { t.split.pop_back(); },
                   "tree 3: its node lists differ in length (level 3, left_children 3, right_children 3, split 2)"},
        TreeDamage{"empty",
                   [](Tree& t) {
                       t.level.clear();
                       t.left_children.clear();
                       t.right_children.clear();
                       t.split.clear();
                   },
                   "tree 3: it has no nodes"},
        TreeDamage{"left only", [](Tree& t) { t.right_children[0].reset(); },
                   "tree 3, node 0: it has a left child but no right child"},
        TreeDamage{"right only", [](Tree& t) { t.right_children[1] = 2; },
                   "tree 3, node 1: it has a right child but no left child"},
        TreeDamage{"child points back", [](Tree& t) { t.left_children[0] = 0; },
                   "tree 3, node 0: child 0 is not a node after it (the tree has 3 nodes)"},
        TreeDamage{"child outside", [](Tree& t) { t.right_children[0] = 3; },
                   "tree 3, node 0: child 3 is not a node after it (the tree has 3 nodes)"},
        TreeDamage{"same child twice", [](Tree& t) { t.right_children[0] = 1; },
                   "tree 3, node 0: its left and right child are the same node"},
        TreeDamage{"shared child",
                   [](Tree& t) {
                       t.level = {0, 1, 1, 2};
                       t.left_children = {1, 3, std::nullopt, std::nullopt};
                       t.right_children = {2, 2, std::nullopt, std::nullopt};
                       t.split.push_back(t.split[2]);
                       t.split[1]->value = std::vector<uint8_t>{0};
                       t.split[3]->node_id = 3;
                   },
                   "tree 3, node 1: child 2 already has another parent"},
        TreeDamage{"no record", [](Tree& t) { t.split[2].reset(); }, "tree 3, node 2: it has no split record"},
        TreeDamage{"no value", [](Tree& t) { t.split[0]->value.reset(); },
                   "tree 3, node 0: it has children but its split record has no split value"},
        TreeDamage{"empty value", [](Tree& t) { t.split[0]->value = std::vector<uint8_t>{}; },
                   "tree 3, node 0: it has children but its split record has no split value"},
        TreeDamage{"unknown feature", [](Tree& t) { t.split[0]->feature_id = 2; },
                   "tree 3, node 0: it tests feature 2, but the model has 2 features"},
        TreeDamage{"foreign record", [](Tree& t) { t.split[0]->node_id = 1; },
                   "tree 3, node 0: it holds the split record of node 1"},
        TreeDamage{"empty summary row", [](Tree& t) { t.split[2]->summary[1].clear(); },
                   "tree 3, node 2: summary row 1 has no column 0"}),
    [](const ::testing::TestParamInfo<TreeDamage>& info) {
        std::string n = info.param.name;
        for (char& c : n)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------

TEST(CheckStorable, RefusesNamesThatBreakSections) {
    TreeConfig c;
    c.feature_cols = {"a", "b"};
    DataLoader ok({"a", "b"}, "", {}, "", {}, 30, {{"a", ContinuousBin{}}}, {{"b", DiscreteBin{}}});
    EXPECT_NO_THROW(check_storable(c, ok));
    c.feature_cols = {"a", ""};
    EXPECT_STOP_CONTAINS(check_storable(c, ok), "empty name");
    c.feature_cols = {"a", "two\nlines"};
    EXPECT_STOP_CONTAINS(check_storable(c, ok), R"("two\nlines" holds a line feed)");
    c.feature_cols = {"a", "b"};
    DataLoader bad_bin({"a", "b"}, "", {}, "", {}, 30, {{"x\ny", ContinuousBin{}}}, {});
    EXPECT_STOP_CONTAINS(check_storable(c, bad_bin), "line feed");
    DataLoader empty_bin({"a", "b"}, "", {}, "", {}, 30, {}, {{"", DiscreteBin{}}});
    EXPECT_STOP_CONTAINS(check_storable(c, empty_bin), "empty name");
}

namespace {

size_t entries_in(const fs::path& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

TEST(WriteFileAtomic, WritesReplacesAndReadsBack) {
    TempDir dir;
    const std::string path = dir.file("model.txt");
    write_file_atomic(path, "first version, long\n\n");
    EXPECT_EQ(read_model_file(path), "first version, long\n\n");
    write_file_atomic(path, "second\n\n");
    EXPECT_EQ(read_model_file(path), "second\n\n");
    write_file_atomic(path, "");
    EXPECT_EQ(read_model_file(path), "");
    EXPECT_EQ(entries_in(dir.path), 1u);  // no temporary file left behind
    // Through a symbolic link, the file it points to is replaced and the link stays.
    const std::string link = dir.file("link.txt");
    fs::create_symlink(path, link);
    write_file_atomic(link, "through the link");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(path), "through the link");
    fs::remove(link);
    // A relative path in the current directory.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path);
    write_file_atomic("relative.txt", "x");
    fs::current_path(cwd);
    EXPECT_EQ(slurp(dir.file("relative.txt")), "x");
}

TEST(WriteFileAtomic, PermissionsFollowTheCreationMask) {
    TempDir dir;
    for (mode_t mask : {mode_t(022), mode_t(077), mode_t(0)}) {
        const mode_t old = ::umask(mask);
        const std::string path = dir.file(std::string("m").append(std::to_string(mask)));
        write_file_atomic(path, "x");
        ::umask(old);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask) << "mask " << mask;
    }
    // An existing file keeps its own permission bits, as when overwritten in place.
    const std::string kept = dir.file("kept");
    spit(kept, "old");
    ::chmod(kept.c_str(), 0640);
    write_file_atomic(kept, "new");
    struct stat st {};
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(WriteFileAtomic, FailuresNameThePathAndLeaveTargetAlone) {
    TempDir dir;
    const std::string missing = dir.file("no/such/dir/model.txt");
    EXPECT_STOP_MSG(write_file_atomic(missing, "x"), ("cannot write model file '" + missing + "': No such file or directory").c_str());
    EXPECT_STOP_CONTAINS(write_file_atomic("", "x"), "cannot write model file ''");
    // The target is a directory: the rename fails after the text was written.
    const std::string sub = dir.file("sub");
    fs::create_directory(sub);
    spit(sub + "/inside", "keep");
    EXPECT_STOP_CONTAINS(write_file_atomic(sub, "x"), "cannot write model file '" + sub + "': ");
    EXPECT_EQ(entries_in(dir.path), 1u);

    // A write that fails half way (the file size limit) leaves the old file as it was.
    const std::string target = dir.file("model.txt");
    spit(target, "the old model");
    struct rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string msg = stop_message([&] { write_file_atomic(target, std::string(100000, 'x')); });
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(msg, "cannot write model file '" + target + "': File too large");
    EXPECT_EQ(slurp(target), "the old model");
    EXPECT_EQ(entries_in(dir.path), 2u);  // sub and model.txt, no temporary file
}

TEST(ReadModelFile, FailuresNameThePath) {
    TempDir dir;
    const std::string missing = dir.file("absent.txt");
    EXPECT_STOP_MSG(read_model_file(missing), ("cannot read model file '" + missing + "': No such file or directory").c_str());
    EXPECT_STOP_MSG(read_model_file(dir.path.string()),
                    ("cannot read model file '" + dir.path.string() + "': Is a directory").c_str());
    const std::string bad = dir.file("latin1.txt");
    spit(bad, "{}\n\nok\ncaf\xe9\n");
    EXPECT_STOP_MSG(read_model_file(bad),
                    ("cannot read model file '" + bad + "': the content is not valid UTF-8 (line 4, column 4)").c_str());
    spit(bad, "\xed\xa0\x80");  // an encoded surrogate
    EXPECT_STOP_CONTAINS(read_model_file(bad), "not valid UTF-8");
}

// The forest's own save and load use all of the above.
TEST(ForestFile, SaveLoadKeepsTheText) {
    TempDir dir;
    const std::string text = read_data("model_nan_summary.txt");
    const std::string in = dir.file("in.txt"), out = dir.file("out.txt");
    spit(in, text);
    const Forest forest = Forest::load(ModelKind::Regressor, in);
    EXPECT_EQ(forest.trees.size(), 3u);
    EXPECT_EQ(forest.to_text(), text);
    forest.save(out);
    EXPECT_EQ(slurp(out), text);
    // The same file loads as the other kind.
    EXPECT_EQ(Forest::load(ModelKind::Classifier, out).to_text(), text);
    // The loader's refusal of n_bin comes before any tree is read.
    spit(in, replace_once(replace_once(text, R"("n_bin":3,)", R"("n_bin":300,)"), "\"n_tree\":3", "\"n_tree\":9"));
    EXPECT_STOP_MSG(Forest::load(ModelKind::Regressor, in), "n_bin 300 exceeds max 255");
    // A damaged tree is refused with the tree and node named.
    spit(in, replace_once(text, "\"left_children\":[1,", "\"left_children\":[0,"));
    EXPECT_STOP_CONTAINS(Forest::load(ModelKind::Regressor, in), "tree 0, node 0: ");
}

// ---------------------------------------------------------------------------------------------
// Damaged files (the fuzz target replays a corpus of them; see tests/fuzz)
// ---------------------------------------------------------------------------------------------

TEST(DamagedFiles, EveryTruncationStops) {
    // Cutting a valid file anywhere before its last tree leaves it unloadable, never half-loaded.
    const std::string text = read_data("model_large_seed.txt");
    const size_t last_tree = text.rfind("\n\n", text.size() - 3);
    for (size_t n = 0; n < last_tree; ++n) EXPECT_STOPS(load_text(text.substr(0, n))) << "length " << n;
}

namespace quorvelin {
namespace {

// A value nested a million levels deep under an unknown key must be refused, not recursed
// into until the stack runs out.
TEST(ReaderLimits, DeeplyNestedUnknownValueIsRefusedWithoutCrashing) {
    std::string line = "{\"n_bin\":1,\"threshold\":[],\"x\":";
    line.append(1000000, '[');
    line.append(1000000, ']');
    line += '}';
    try {
        read_continuous_bin(line);
        FAIL() << "a million nested arrays were accepted";
    } catch (const Stop& e) {
        EXPECT_NE(std::string(e.what()).find("nested too deeply"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace quorvelin

TEST(ReadConfig, SeedPerTreeOnlyInTheObjectForm) {
    EXPECT_FALSE(read_config(kConfigLine).seed_per_tree);
    const std::string on = replace_once(kConfigLine, R"(,"seed":42)", R"(,"seed":42,"seed_per_tree":true)");
    EXPECT_TRUE(read_config(on).seed_per_tree);
    TreeConfig c = read_config(on);
    EXPECT_EQ(read_config(config_json(c)), c);  // written back and read again
    c.seed_per_tree = false;
    EXPECT_EQ(config_json(c).find("seed_per_tree"), std::string::npos);
    // The array form keeps its 18 positional values; a 19th is one too many.
    EXPECT_STOP_CONTAINS(read_config(R"([[],["a","b"],["b"],["t"],"y","",30,5,0,5,0.9496,false,10,2,2,0.5,1,42,true])"),
                         "holds 18 values, found more");
}
