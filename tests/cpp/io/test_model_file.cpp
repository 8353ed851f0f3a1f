// The model file: exact text of every record, strict reading with errors that say where, the
// section structure, checks of loaded trees, and atomic saving. Random damage to whole files is
// the fuzz target's job (tests/fuzz, replayed by CTest); here each distinct refusal is named once.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "forest/forest.hpp"
#include "io/model_file.hpp"
#include "test_util.hpp"

using namespace quorvelin;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read_data(const std::string& name) { return slurp(std::string(QUORVELIN_TEST_DATA) + "/" + name); }

const char* const kGoldenFiles[] = {"model_unusual_names.txt", "model_large_seed.txt", "model_nan_summary.txt"};

std::string replace_once(std::string s, const std::string& from, const std::string& to) {
    const size_t at = s.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "no `" << from << "` in the text";
    else s.replace(at, from.size(), to);
    return s;
}

Forest load_text(const std::string& text) { return Forest::from_text(ModelKind::Classifier, text); }

// "[0,1,...,n-1]"
std::string count_list(size_t n) {
    std::string s = "[";
    for (size_t i = 0; i < n; ++i) {
        if (i) s += ',';
        s += std::to_string(i);
    }
    return s + "]";
}

// A configuration line in the file's own form, every key in its order.
const std::string kConfigLine =
    R"({"index_cols":[],"feature_cols":["a","b"],"cat_cols":["b"],"treatment_cols":["t"],"y_col":"y",)"
    R"("weight_col":"","n_bin":30,"min_samples_leaf":5,"min_samples_treatment":0,"n_reg":5,"alpha":0.9496,)"
    R"("normalization":false,"max_features":10,"max_depth":2,"n_tree":2,"subsample":0.5,"n_thread":1,"seed":42})";

const std::string kTreeLine =
    R"({"level":[0,1,1],"left_children":[1,null,null],"right_children":[2,null,null],"split":[)"
    R"({"node_id":0,"feature_id":0,"treatment_id":0,"iscat":false,"value":[1],"gain":0.5,"gain_importance":1.0,"summary":[[0.1,10.0],[0.2,12.0]]},)"
    R"({"node_id":1,"feature_id":1,"treatment_id":0,"iscat":false,"value":null,"gain":0.0,"gain_importance":0.0,"summary":[[0.1,5.0],[0.3,6.0]]},)"
    R"({"node_id":2,"feature_id":1,"treatment_id":0,"iscat":false,"value":null,"gain":0.0,"gain_importance":0.0,"summary":[[0.1,5.0],[0.1,6.0]]}]})";

// Two features, two trees; lines 1 (configuration), 5 and 9 (bins), 12 and 15 (trees).
std::string small_file() {
    return kConfigLine + "\n\n" + "Continuous\na\n" + R"({"n_bin":3,"threshold":[1.5,3.0]})" + "\n\n" +
           "Discrete\nb\n" + R"({"n_bin":2,"mapping":[7.0,8.0]})" + "\n\n" + kConfigLine + "\n" + kTreeLine + "\n\n" +
           kConfigLine + "\n" + kTreeLine + "\n\n";
}

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
    size_t entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(path), fs::directory_iterator()));
    }
};

}  // namespace

TEST(FloatText, ShortestDigitsInEachLayout) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::pair<float, const char*> cases[] = {
        {1.0f, "1.0"}, {-574238460.0f, "-574238460.0"}, {9.999999e12f, "9999999000000.0"},  // integral
        {12.75f, "12.75"}, {123456.79f, "123456.79"}, {0.9496f, "0.9496"},                  // point inside
        {0.001f, "0.001"}, {1e-6f, "0.000001"}, {-9.9e-6f, "-0.0000099"},                   // small
        {1e-7f, "1e-7"}, {1e13f, "1e13"}, {1e-45f, "1e-45"},                                // one digit, exponent
        {1.5e-7f, "1.5e-7"}, {3.4028235e38f, "3.4028235e38"}, {-1.2345e-10f, "-1.2345e-10"},
        {0.0f, "0.0"}, {-0.0f, "-0.0"}, {std::nanf(""), "null"}, {inf, "null"}, {-inf, "null"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(float_text(value), text) << text;
    // Every finite text reads back to the same bits.
    std::mt19937 gen(12345);
    for (int i = 0; i < 100000; ++i) {
        const uint32_t bits = gen();
        float f;
        std::memcpy(&f, &bits, 4);
        if (!std::isfinite(f)) continue;
        const std::string text = float_text(f);
        ASSERT_EQ(text.find('+'), std::string::npos) << text;
        ASSERT_TRUE(qtest::same_bits(f, std::strtof(text.c_str(), nullptr))) << text;
    }
}

TEST(RecordText, EscapesKeysAndLayout) {
    const std::pair<std::string, const char*> strings[] = {
        {"tab\tname", R"("tab\tname")"}, {"q\"t\\", R"("q\"t\\")"}, {"\b\f\n\r", R"("\b\f\n\r")"},
        {std::string("\x01\x1f\0", 3), R"("\u0001\u001f\u0000")"}, {"a/b\x7f é", "\"a/b\x7f é\""}};
    for (const auto& [in, out] : strings) EXPECT_EQ(json_string(in), out);

    TreeConfig c = read_config(kConfigLine);
    EXPECT_EQ(config_json(c), kConfigLine);  // keys in the file's order
    c.seed.reset();
    EXPECT_NE(config_json(c).find(R"("n_thread":1,"seed":null})"), std::string::npos);
    c.seed = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(read_config(config_json(c)), c);

    EXPECT_EQ(discrete_bin_json(DiscreteBin{2, {-2.6f, std::nanf("")}}), R"({"n_bin":2,"mapping":[-2.6,null]})");
    Tree partial = read_tree(kTreeLine);
    partial.split[2].reset();
    EXPECT_NE(tree_json(partial).find(R"(,null]})"), std::string::npos);
    EXPECT_TRUE(qtest::same_tree(read_tree(tree_json(partial)), partial));
}

// Each golden file is real output of a trained model: read and written again it gives back every
// byte, whatever order its bin sections come in.
class GoldenTest : public ::testing::TestWithParam<const char*> {};

TEST_P(GoldenTest, ReadAndRewriteIsIdentity) {
    const std::string text = read_data(GetParam());
    ASSERT_FALSE(text.empty());
    const Forest m = load_text(text);
    EXPECT_EQ(m.to_text(), text);
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find("\n\n", start)) != std::string::npos; start = at + 2)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    std::reverse(parts.begin() + 1, parts.begin() + 1 + static_cast<long>(m.config.feature_cols.size()));
    std::string shuffled = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) shuffled += "\n\n" + parts[i];
    EXPECT_EQ(load_text(shuffled).to_text(), text);
}

INSTANTIATE_TEST_SUITE_P(Files, GoldenTest, ::testing::ValuesIn(kGoldenFiles));

// Bin records of features the configuration does not name follow the named ones, by name.
TEST(ModelText, RecordsBeyondTheFeaturesFollowByName) {
    TreeConfig c;
    c.feature_cols = {"zeta", "mid"};
    c.cat_cols = {"mid"};
    c.n_tree = 0;
    std::unordered_map<std::string, ContinuousBin> cont;
    for (int i = 0; i < 12; ++i) cont["extra" + std::to_string(i)] = ContinuousBin{};
    cont["zeta"] = ContinuousBin{};
    const std::unordered_map<std::string, DiscreteBin> disc{{"mid", DiscreteBin{1, {3.0f}}}};
    const std::string text = model_text(c, DataLoader(c.feature_cols, "", {}, "", c.cat_cols, 30, cont, disc), {});
    EXPECT_LT(text.find("Continuous\nzeta\n"), text.find("Continuous\nextra0\n"));
    EXPECT_LT(text.find("Continuous\nextra10\n"), text.find("Continuous\nextra2\n"));
    EXPECT_LT(text.find("Continuous\nextra11\n"), text.find("Discrete\nmid\n"));
    TreeConfig empty;
    empty.n_tree = 0;
    EXPECT_EQ(model_text(empty, DataLoader({}, "", {}, "", {}, 30, {}, {}), {}), config_json(empty) + "\n\n");
    EXPECT_TRUE(load_text(config_json(empty) + "\n\n").trees.empty());
}

TEST(ReadRecords, AcceptedForms) {
    const TreeConfig base = read_config(kConfigLine);
    EXPECT_EQ(base.seed, std::optional<uint64_t>(42));
    EXPECT_FALSE(read_config(replace_once(kConfigLine, "42", "null")).seed);
    EXPECT_FALSE(read_config(replace_once(kConfigLine, R"(,"seed":42)", "")).seed);
    // Keys in any order, unknown keys of every kind skipped, whitespace around the record.
    std::string moved = replace_once(kConfigLine, R"(,"seed":42)", "");
    moved = replace_once(moved, "{", R"({"seed":42,"note":{"x":[1,-2.5e3,true,false,null,"s\u00e9"]},"zz":[], )");
    EXPECT_EQ(read_config(" \t\r" + moved + "\r \t"), base);
    // The array form: the values in key order.
    EXPECT_EQ(read_config(R"([[],["a","b"],["b"],["t"],"y","",30,5,0,5,0.9496,false,10,2,2,0.5,1,42])"), base);
    EXPECT_EQ(read_config(replace_once(kConfigLine, R"("y_col":"y")", R"("y_col":"\u00e9\ud83d\ude00\t\"\/")")).y_col,
              "é\xF0\x9F\x98\x80\t\"/");
    EXPECT_EQ(read_config(replace_once(kConfigLine, R"("n_reg")", R"("n\u005freg")")).n_reg, 5u);

    const std::pair<const char*, float> floats[] = {
        {"-3", -3.0f}, {"-0", -0.0f}, {"2.5E2", 250.0f}, {"1e-400", 0.0f}, {"3.40282356e38", 3.4028235e38f},
        {"16777217", 16777216.0f}, {"100000000000000000000000", 1e23f}};
    for (const auto& [text, value] : floats)
        EXPECT_TRUE(qtest::same_bits(read_config(replace_once(kConfigLine, "0.9496", text)).alpha, value)) << text;
    EXPECT_TRUE(std::isnan(read_config(replace_once(kConfigLine, "0.9496", "null")).alpha));

    // Byte-sized bins at their limits; null entries read as NaN.
    EXPECT_EQ(read_continuous_bin(R"({"n_bin":254,"threshold":)" + count_list(253) + "}").threshold.size(), 253u);
    EXPECT_EQ(read_discrete_bin(R"({"n_bin":255,"mapping":)" + count_list(254) + "}").mapping.size(), 254u);
    EXPECT_TRUE(std::isnan(read_discrete_bin(R"({"mapping":[1,null],"n_bin":3})").mapping[1]));

    // A split value is optional (null or absent) and may hold several bytes; a record may be null.
    auto first_split = [](const std::string& from, const std::string& to) {
        return read_tree(replace_once(kTreeLine, from, to)).split[0];
    };
    EXPECT_EQ(first_split("[1]", "[255,0]")->value, (std::vector<uint8_t>{255, 0}));
    EXPECT_FALSE(first_split("[1]", "null")->value);
    EXPECT_FALSE(first_split(R"("value":[1],)", "")->value);
    EXPECT_FALSE(read_tree(R"({"level":[0],"left_children":[null],"right_children":[null],"split":[null]})").split[0]);
}

TEST(ModelReader, SectionsOfASmallFile) {
    const Forest m = load_text(small_file());
    EXPECT_EQ(m.loader.continuous_bins.at("a").threshold, (std::vector<float>{1.5f, 3.0f}));
    EXPECT_EQ(m.loader.discrete_bins.at("b").mapping, (std::vector<float>{7.0f, 8.0f}));
    ASSERT_EQ(m.trees.size(), 2u);
    EXPECT_EQ(m.to_text(), small_file());
    // Parts after the last tree and extra lines of a section are ignored.
    EXPECT_EQ(load_text(small_file() + "anything\n\nelse").trees.size(), 2u);
    EXPECT_EQ(load_text(replace_once(small_file(), "[1.5,3.0]}", "[1.5,3.0]}\nignored")).trees.size(), 2u);
    // A repeated name replaces the earlier record.
    const std::string repeated = replace_once(replace_once(small_file(), "Discrete\nb\n", "Continuous\na\n"),
                                              R"({"n_bin":2,"mapping":[7.0,8.0]})", R"({"n_bin":1,"threshold":[]})");
    ModelReader r(repeated);
    EXPECT_EQ(r.continuous_bins().at("a").n_bin, 1u);
    EXPECT_TRUE(r.discrete_bins().empty());
}

// Files that are not valid: one case per distinct refusal, each with the message it must give.
struct Malformed {
    const char* name;
    std::string from, to;  // the first `from` of small_file() becomes `to`; an empty `from`: the whole file
    size_t line;           // the file line the message starts with; 0 for a message without a position
    std::string message;   // part of the message
};

class MalformedFile : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedFile, StopsWithTheMessage) {
    const Malformed& c = GetParam();
    const std::string text = c.from.empty() ? c.to : replace_once(small_file(), c.from, c.to);
    const std::string msg = qtest::stop_message([&] { load_text(text); });
    EXPECT_NE(msg.find(c.message), std::string::npos) << msg;
    if (c.line) {
        EXPECT_EQ(msg.rfind("model file line " + std::to_string(c.line) + ", column ", 0), 0u) << msg;
    }
}

const std::string kFirstTree = kConfigLine + "\n" + kTreeLine + "\n\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedFile,
    ::testing::Values(
        // The configuration record.
        Malformed{"dup_key", R"("n_reg":5,)", R"("n_reg":5,"n_reg":5,)", 1, "key `n_reg` appears twice"},
        Malformed{"dup_unknown_key", R"("n_reg":5,)", R"("n_reg":5,"zz":1,"zz":2,)", 1, "key `zz` appears twice"},
        Malformed{"missing_key", R"("alpha":0.9496,)", "", 1, "key `alpha` is missing"},
        Malformed{"fraction", R"("n_bin":30)", R"("n_bin":1.0)", 1, "found `1.0`"},
                        Malformed{"int_string", R"("n_bin":30)", R"("n_bin":"30")", 1, "found a string"},
        Malformed{"int_null", R"("n_bin":30)", R"("n_bin":null)", 1, "found null"},
        Malformed{"seed_65_bits", "42", "18446744073709551616", 1, "found `18446744073709551616`"},
        Malformed{"bool", "false", "0", 1, "expected true or false"},
        Malformed{"literal", "false", "fals", 1, "invalid literal"},
        Malformed{"string_type", R"("y_col":"y")", R"("y_col":7)", 1, "expected a string"},
        Malformed{"control", R"("y_col":"y")", "\"y_col\":\"a\tb\"", 1, "control character inside a string"},
        Malformed{"escape", R"("y_col":"y")", R"("y_col":"\x")", 1, "invalid escape"},
        Malformed{"lone_surrogate", R"("y_col":"y")", R"("y_col":"\ud800")", 1, ""},
        Malformed{"string_list", R"(["a","b"])", R"("a")", 1, "expected an array of strings"},
        Malformed{"trailing_comma", R"("n_reg":5,)", R"("n_reg":5,"x":[1,2,],)", 1, ""},
        Malformed{"leading_zero", R"("n_reg":5,)", R"("n_reg":5,"x":[01],)", 1, "invalid number `01`"},
        Malformed{"after_record", R"("seed":42})", R"("seed":42} x)", 1, "unexpected text after the record"},
        Malformed{"unclosed", R"("seed":42})", R"("seed":42)", 1, "the record ends before its closing `}`"},
        Malformed{"float_range", "0.9496", "1e39", 1, "out of range"},
        Malformed{"float_string", "0.9496", "\"0.5\"", 1, "expected a number, found a string"},
        Malformed{"float_point", "0.9496", "1.", 1, "invalid number `1.`"},
        Malformed{"float_nan", "0.9496", "NaN", 1, ""},
                Malformed{"empty_line", kConfigLine, "", 1, "expected a JSON record, found an empty line"},
        Malformed{"not_object", kConfigLine, "42", 1, "expected an object, found a number"},
        Malformed{"too_deep", kConfigLine, std::string(3000, '[') + std::string(3000, ']'), 1, ""},
        Malformed{"array_short", kConfigLine, R"([[],["a","b"],["b"],["t"],"y","",30,5,0,5,0.9496,false,10,2,2,0.5,1])",
                  0, "holds 18 values, found 17"},
        Malformed{"array_long", kConfigLine,
                  R"([[],["a","b"],["b"],["t"],"y","",30,5,0,5,0.9496,false,10,2,2,0.5,1,42,true])", 0,
                  "holds 18 values, found more"},
        // Opt-in settings take named values only.
        Malformed{"unknown_criterion", R"("seed":42})", R"("seed":42,"evaluation_function":"kl"})", 0, ""},
        Malformed{"unknown_regression", R"("seed":42})", R"("seed":42,"regression_criterion":"every"})", 0, ""},
                Malformed{"estimation_one", R"("seed":42})", R"("seed":42,"estimation_sample_size":1.0})", 0, ""},
                Malformed{"honesty_number", R"("seed":42})", R"("seed":42,"honesty":1})", 0, ""},
        // Bin sections.
        Malformed{"bin_type", "Continuous\n", "continuous\n", 0, "bin_type continuous unknown"},
        Malformed{"bin_two_lines", R"(b
{"n_bin":2,"mapping":[7.0,8.0]})", "b", 7, "bin section 2 of 2 has 2 lines"},
        Malformed{"bin_record", "[7.0,8.0]", "[7.0,8.0,]", 9, ""},
        Malformed{"bin_no_threshold", R"(,"threshold":[1.5,3.0])", "", 5, "key `threshold` is missing"},
        Malformed{"bin_n_256", R"({"n_bin":3,"threshold":[1.5,3.0]})", R"({"n_bin":256,"threshold":[]})", 5,
                  "n_bin 256"},
        Malformed{"bin_254_thresholds", "[1.5,3.0]", count_list(254), 5, "254 thresholds"},
        Malformed{"bin_255_categories", "[7.0,8.0]", count_list(255), 9, "255 categories"},
        Malformed{"loader_n_bin", R"("n_bin":30)", R"("n_bin":300)", 0, "n_bin 300 exceeds max 255"},
        // Sections.
        Malformed{"config_only", "", kConfigLine, 0,
                  "model file has 1 section, but the configuration needs 5 (1 configuration, 2 bins, 2 trees)"},
        Malformed{"empty_bin_part", "", kConfigLine + "\n\n\n\n", 3, "bin section 1 of 2 has 1 line"},
        Malformed{"one_tree_of_two", kFirstTree + kFirstTree, kFirstTree, 0,
                  "model file has 4 sections, but the configuration needs 5"},
        Malformed{"tree_line_missing", kFirstTree + kFirstTree, kFirstTree + kConfigLine, 14,
                  "the tree line is missing"},
        Malformed{"huge_n_tree", R"("n_tree":2)", R"("n_tree":18446744073709551615)", 0,
                  "needs 18446744073709551618 (1 configuration, 2 bins, 18446744073709551615 trees)"},
        // Tree records.
        Malformed{"tree_dup_key", R"("gain":0.5)", R"("gain":0.5,"gain":0.5)", 12, "key `gain` appears twice"},
        Malformed{"split_value_256", R"("value":[1])", R"("value":[256])", 12, "found `256`"},
        Malformed{"summary_not_rows", "[[0.1,10.0],[0.2,12.0]]", "[0.1,10.0]", 12, "expected an array of numbers"},
        Malformed{"split_not_object", R"("split":[{"node_id":0)", R"("split":[7,{"node_id":0)", 12,
                  "expected an object, found a number"},
        Malformed{"tree_checked", "\"left_children\":[1,", "\"left_children\":[0,", 0, "tree 0, node 0: "}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST(ReadRecords, ErrorColumnCountsCharacters) {
    const std::string line = replace_once(kConfigLine, R"("n_reg":5,)", R"("n_reg":5,"n_reg":5,)");
    const size_t column = line.find(R"("n_reg")", line.find(R"("n_reg")") + 1) + 1;
    EXPECT_EQ(qtest::stop_message([&] { read_config(line, 3); }),
              "model file line 3, column " + std::to_string(column) + ": key `n_reg` appears twice");
    const std::string wide = replace_once(line, R"(["a","b"])", R"(["éé","b"])");
    EXPECT_EQ(qtest::stop_message([&] { read_config(wide, 3); }),
              "model file line 3, column " + std::to_string(column + 1) + ": key `n_reg` appears twice");
    // Nested a million levels deep under an unknown key: refused, not recursed into.
    std::string deep = R"({"n_bin":1,"threshold":[],"x":)";
    deep.append(1000000, '[').append(1000000, ']') += '}';
    EXPECT_NE(qtest::stop_message([&] { read_continuous_bin(deep); }).find("nested too deeply"), std::string::npos);
}

TEST(DamagedFiles, EveryTruncationStops) {
    // Cut anywhere before its last tree, a valid file is unloadable, never half-loaded.
    const std::string text = read_data("model_large_seed.txt");
    const size_t last_tree = text.rfind("\n\n", text.size() - 3);
    for (size_t n = 0; n < last_tree; ++n) EXPECT_STOPS(load_text(text.substr(0, n))) << "length " << n;
}

struct TreeDamage {
    const char* name;
    void (*damage)(Tree&);
    const char* message;
};

class ValidateTreeTest : public ::testing::TestWithParam<TreeDamage> {};

TEST_P(ValidateTreeTest, Rejects) {
    Tree t = read_tree(kTreeLine);
    EXPECT_NO_THROW(validate_tree(t, 2, 3));
    GetParam().damage(t);
    EXPECT_STOP_MSG(validate_tree(t, 2, 3), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, ValidateTreeTest,
    ::testing::Values(
        TreeDamage{"lengths", [](Tree& t) { t.split.pop_back(); },
                   "tree 3: its node lists differ in length (level 3, left_children 3, right_children 3, split 2)"},
        TreeDamage{"empty", [](Tree& t) { t = Tree{{}, {}, {}, {}}; }, "tree 3: it has no nodes"},
        TreeDamage{"left_only", [](Tree& t) { t.right_children[0].reset(); },
                   "tree 3, node 0: it has a left child but no right child"},
        TreeDamage{"right_only", [](Tree& t) { t.right_children[1] = 2; },
                   "tree 3, node 1: it has a right child but no left child"},
        TreeDamage{"child_back", [](Tree& t) { t.left_children[0] = 0; },
                   "tree 3, node 0: child 0 is not a node after it (the tree has 3 nodes)"},
        TreeDamage{"child_outside", [](Tree& t) { t.right_children[0] = 3; },
                   "tree 3, node 0: child 3 is not a node after it (the tree has 3 nodes)"},
        TreeDamage{"same_child", [](Tree& t) { t.right_children[0] = 1; },
                   "tree 3, node 0: its left and right child are the same node"},
        TreeDamage{"shared_child",
                   [](Tree& t) {
                       t.level = {0, 1, 1, 2};
                       t.left_children = {1, 3, std::nullopt, std::nullopt};
                       t.right_children = {2, 2, std::nullopt, std::nullopt};
                       t.split.push_back(t.split[2]);
                       t.split[1]->value = std::vector<uint8_t>{0};
                       t.split[3]->node_id = 3;
                   },
                   "tree 3, node 1: child 2 already has another parent"},
        TreeDamage{"no_record", [](Tree& t) { t.split[2].reset(); }, "tree 3, node 2: it has no split record"},
        TreeDamage{"no_value", [](Tree& t) { t.split[0]->value = std::vector<uint8_t>{}; },
                   "tree 3, node 0: it has children but its split record has no split value"},
        TreeDamage{"unknown_feature", [](Tree& t) { t.split[0]->feature_id = 2; },
                   "tree 3, node 0: it tests feature 2, but the model has 2 features"},
        TreeDamage{"foreign_record", [](Tree& t) { t.split[0]->node_id = 1; },
                   "tree 3, node 0: it holds the split record of node 1"},
        TreeDamage{"empty_summary_row", [](Tree& t) { t.split[2]->summary[1].clear(); },
                   "tree 3, node 2: summary row 1 has no column 0"}),
    [](const ::testing::TestParamInfo<TreeDamage>& info) { return std::string(info.param.name); });

TEST(CheckStorable, RefusesNamesThatBreakSections) {
    TreeConfig c;
    c.feature_cols = {"a", "b"};
    const DataLoader ok({"a", "b"}, "", {}, "", {}, 30, {{"a", ContinuousBin{}}}, {{"b", DiscreteBin{}}});
    EXPECT_NO_THROW(check_storable(c, ok));
    for (const auto& [name, message] : {std::pair{"", "empty name"}, {"two\nlines", R"("two\nlines" holds a line feed)"}}) {
        c.feature_cols = {"a", name};
        EXPECT_NE(qtest::stop_message([&] { check_storable(c, ok); }).find(message), std::string::npos) << message;
    }
    c.feature_cols = {"a", "b"};
    EXPECT_STOPS(check_storable(c, DataLoader({"a", "b"}, "", {}, "", {}, 30, {{"x\ny", ContinuousBin{}}}, {})));
    EXPECT_STOPS(check_storable(c, DataLoader({"a", "b"}, "", {}, "", {}, 30, {}, {{"", DiscreteBin{}}})));
}

TEST(WriteFileAtomic, WritesReplacesAndReadsBack) {
    TempDir dir;
    const std::string path = dir.file("model.txt");
    write_file_atomic(path, "first version, long\n\n");
    write_file_atomic(path, "second\n\n");
    EXPECT_EQ(read_model_file(path), "second\n\n");
    EXPECT_EQ(dir.entries(), 1u);  // no temporary file left behind
    // A new file follows the creation mask; an existing one keeps its permission bits.
    for (mode_t mask : {mode_t(022), mode_t(077)}) {
        const mode_t old = ::umask(mask);
        const std::string made = dir.file("m" + std::to_string(mask));
        write_file_atomic(made, "x");
        ::umask(old);
        EXPECT_EQ(fs::status(made).permissions(), static_cast<fs::perms>(0666 & ~mask)) << "mask " << mask;
    }
    ::chmod(path.c_str(), 0640);
    write_file_atomic(path, "new");
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0640));
}

TEST(WriteFileAtomic, FailuresNameThePathAndLeaveTargetAlone) {
    TempDir dir;
    const std::string missing = dir.file("no/such/dir/model.txt");
    EXPECT_STOP_MSG(write_file_atomic(missing, "x"),
                    ("cannot write model file '" + missing + "': No such file or directory").c_str());
    // The target is a directory: the rename fails after the text was written.
    const std::string sub = dir.file("sub");
    fs::create_directory(sub);
    EXPECT_STOPS(write_file_atomic(sub, "x"));
    EXPECT_EQ(dir.entries(), 1u);
    // A write that fails half way (the file size limit) leaves the old file as it was.
    const std::string target = dir.file("model.txt");
    spit(target, "the old model");
    struct rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string msg = qtest::stop_message([&] { write_file_atomic(target, std::string(100000, 'x')); });
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(msg, "cannot write model file '" + target + "': File too large");
    EXPECT_EQ(slurp(target), "the old model");
    EXPECT_EQ(dir.entries(), 2u);  // sub and model.txt, no temporary file
}

TEST(ReadModelFile, FailuresNameThePath) {
    TempDir dir;
    const std::string missing = dir.file("absent.txt");
    EXPECT_STOP_MSG(read_model_file(missing),
                    ("cannot read model file '" + missing + "': No such file or directory").c_str());
    EXPECT_STOP_MSG(read_model_file(dir.path.string()),
                    ("cannot read model file '" + dir.path.string() + "': Is a directory").c_str());
    const std::string bad = dir.file("latin1.txt");
    spit(bad, "{}\n\nok\ncaf\xe9\n");
    EXPECT_STOP_MSG(read_model_file(bad),
                    ("cannot read model file '" + bad + "': the content is not valid UTF-8 (line 4, column 4)").c_str());
    spit(bad, "\xed\xa0\x80");  // an encoded surrogate
    EXPECT_STOPS(read_model_file(bad));
    // The forest's own save and load keep the text, for either kind.
    const std::string text = read_data("model_nan_summary.txt");
    const std::string in = dir.file("in.txt"), out = dir.file("out.txt");
    spit(in, text);
    Forest::load(ModelKind::Regressor, in).save(out);
    EXPECT_EQ(slurp(out), text);
    EXPECT_EQ(Forest::load(ModelKind::Classifier, out).to_text(), text);
}

// The opt-in settings: absent at their defaults (the configuration line is the specified one),
// written by name only when set, and read back.
TEST(ReadRecords, OptInSettingsWrittenOnlyWhenSet) {
    const TreeConfig base = read_config(kConfigLine);
    const struct {
        const char* key;
        void (*set)(TreeConfig&);
    } cases[] = {
        {R"("evaluation_function":"Chi")", [](TreeConfig& c) { c.evaluation_function = "Chi"; }},
        {R"("regression_criterion":"all_arms")", [](TreeConfig& c) { c.regression_criterion = "all_arms"; }},
        {R"("honesty":true)", [](TreeConfig& c) { c.honesty = true; }},
        {R"("estimation_sample_size":0.3)", [](TreeConfig& c) { c.estimation_sample_size = 0.3f; }},
        {R"("seed_per_tree":true)", [](TreeConfig& c) { c.seed_per_tree = true; }},
    };
    TreeConfig all = base;
    for (const auto& k : cases) {
        TreeConfig c = base;
        k.set(c);
        k.set(all);
        const std::string line = config_json(c);
        EXPECT_TRUE(line.ends_with(std::string(R"("seed":42,)") + k.key + "}")) << line;
        EXPECT_EQ(read_config(line), c) << line;
    }
    EXPECT_EQ(read_config(config_json(all)), all);
}
