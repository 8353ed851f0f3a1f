// Reading the model file: its bytes, its records, its sections, and the checks a loaded tree
// must pass before it routes any row.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

#include "error.hpp"
#include "io/json.hpp"
#include "io/model_file.hpp"

namespace quorvelin {

namespace {

// Offset of the first byte that breaks UTF-8 (overlong forms, surrogates and values above
// U+10FFFF included), for the error message once the fast check has failed.
size_t first_invalid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return i;
        }
        if (i + len > s.size()) return i;
        for (size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return i;
        i += len;
    }
    return s.size();
}

}  // namespace

std::string read_model_file(const std::string& path) {
    auto failed = [&](int err) -> void {
        stop("cannot read model file '" + path + "': " + std::system_category().message(err));
    };
    if (path.find('\0') != std::string::npos) failed(EINVAL);
    // Non-blocking, so that a FIFO without a writer is refused instead of waiting forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) failed(errno);
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        failed(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        // A device such as /dev/zero would be read until memory runs out.
        if (S_ISDIR(st.st_mode)) failed(EISDIR);
        stop("cannot read model file '" + path + "': it is not a regular file");
    }
    if (st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            failed(err);
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!simdjson::validate_utf8(text.data(), text.size())) {
        const auto [line, column] = json::line_column(text, first_invalid_utf8(text), 1);
        stop("cannot read model file '" + path + "': the content is not valid UTF-8 (line " + std::to_string(line) +
             ", column " + std::to_string(column) + ")");
    }
    return text;
}

namespace {

namespace od = simdjson::ondemand;
using json::position_text;
using json::Reader;

// A member of a record: the key it is stored under and the variable its value is read into.
template <class T>
struct Member {
    std::string_view key;
    T& value;
    bool optional;
    bool object_only = false;
};

template <class T>
Member<T> member(std::string_view key, T& value) {
    return {key, value, false};
}

// A member the record may leave out; its variable then keeps the value it had.
template <class T>
Member<T> optional_member(std::string_view key, T& value) {
    return {key, value, true};
}

// An opt-in member that only the object form can hold (see json::Key::object_only); it comes
// after every positional member.
template <class T>
Member<T> extension_member(std::string_view key, T& value) {
    return {key, value, true, true};
}

SplitInfo read_split(Reader& j, od::value& v);

// A member's value, read by the member's type.
void read_value(Reader& j, od::value& x, uint64_t& v) { v = j.read_size(x); }
void read_value(Reader& j, od::value& x, float& v) { v = j.read_float(x); }
void read_value(Reader& j, od::value& x, bool& v) { v = j.read_bool(x); }
void read_value(Reader& j, od::value& x, std::string& v) { v = j.read_string(x); }
void read_value(Reader& j, od::value& x, std::optional<uint64_t>& v) { v = j.read_optional_size(x); }
void read_value(Reader& j, od::value& x, std::vector<std::string>& v) { v = j.read_string_list(x); }
void read_value(Reader& j, od::value& x, std::vector<float>& v) { v = j.read_float_list(x); }

// The levels of a tree's nodes.
void read_value(Reader& j, od::value& x, std::vector<uint64_t>& v) {
    v.clear();
    j.for_each(x, "an array of sizes", [&](od::value& e) { v.push_back(j.read_size(e)); });
}

// The left or right child links of a tree's nodes.
void read_value(Reader& j, od::value& x, std::vector<std::optional<uint64_t>>& v) {
    v.clear();
    j.for_each(x, "an array of node ids or nulls", [&](od::value& e) { v.push_back(j.read_optional_size(e)); });
}

// The split value of a split record.
void read_value(Reader& j, od::value& x, std::optional<std::vector<uint8_t>>& v) {
    if (j.read_if_null(x)) {
        v.reset();
        return;
    }
    std::vector<uint8_t> bins;
    j.for_each(x, "null or an array of bin indices", [&](od::value& e) {
        bins.push_back(static_cast<uint8_t>(j.read_size(e, 255, "a bin index (an integer 0 to 255)")));
    });
    v = std::move(bins);
}

// The summary of a split record.
void read_value(Reader& j, od::value& x, Matrix& v) {
    v.clear();
    j.for_each(x, "an array of arrays of numbers", [&](od::value& row) { v.push_back(j.read_float_list(row)); });
}

// The split records of a tree's nodes.
void read_value(Reader& j, od::value& x, std::vector<std::optional<SplitInfo>>& v) {
    v.clear();
    j.for_each(x, "an array of split records or nulls", [&](od::value& e) {
        if (j.read_if_null(e))
            v.emplace_back();
        else
            v.emplace_back(read_split(j, e));
    });
}

// Reads a record into its members, whose keys are the record's keys in their stored order.
// `v` is the record's value, or null for the record that makes up the whole line.
template <class... T>
void read_members(Reader& j, od::value* v, Member<T>... members) {
    const std::array<json::Key, sizeof...(T)> keys{json::Key{members.key, members.optional, members.object_only}...};
    const auto on_value = [&](size_t i, od::value& x) {
        size_t k = 0;
        ((k++ == i ? read_value(j, x, members.value) : void()), ...);
    };
    if (v)
        j.read_record(*v, keys, on_value);
    else
        j.read_root(keys, on_value);
}

SplitInfo read_split(Reader& j, od::value& v) {
    SplitInfo s;
    read_members(j, &v,
                 member("node_id", s.node_id), member("feature_id", s.feature_id),
                 member("treatment_id", s.treatment_id), member("iscat", s.is_cat),
                 optional_member("value", s.value), member("gain", s.gain),
                 member("gain_importance", s.gain_importance), member("summary", s.summary));
    return s;
}

// Bin indices are one byte and 255 marks a missing cell: larger records would make bins that
// collide with it.
constexpr size_t kMaxThresholds = 253;
constexpr uint64_t kMaxStoredBins = 255;

// Stops when a bin record of the given type holds more than `most` entries (named `what`), or
// more bins than a byte can index.
void check_bin_size(const Reader& j, const char* type, size_t count, const char* what, size_t most, uint64_t n_bin) {
    const std::string record = std::string("a ") + type + " bin record ";
    if (count > most)
        j.fail_offset(0, record + "holds " + std::to_string(count) + " " + what + ", at most " +
                             std::to_string(most) + " are possible");
    if (n_bin > kMaxStoredBins)
        j.fail_offset(0, record + "has n_bin " + std::to_string(n_bin) + ", at most " +
                             std::to_string(kMaxStoredBins) + " is possible");
}

}  // namespace

TreeConfig read_config(std::string_view json, size_t line) {
    Reader j(json, line);
    TreeConfig c;
    c.seed.reset();
    read_members(j, nullptr,
                 member("index_cols", c.index_cols), member("feature_cols", c.feature_cols),
                 member("cat_cols", c.cat_cols), member("treatment_cols", c.treatment_cols),
                 member("y_col", c.y_col), member("weight_col", c.weight_col),
                 member("n_bin", c.n_bin), member("min_samples_leaf", c.min_samples_leaf),
                 member("min_samples_treatment", c.min_samples_treatment), member("n_reg", c.n_reg),
                 member("alpha", c.alpha), member("normalization", c.normalization),
                 member("max_features", c.max_features), member("max_depth", c.max_depth),
                 member("n_tree", c.n_tree), member("subsample", c.subsample),
                 member("n_thread", c.n_thread), optional_member("seed", c.seed),
                 extension_member("seed_per_tree", c.seed_per_tree),
                 extension_member("evaluation_function", c.evaluation_function),
                 extension_member("regression_criterion", c.regression_criterion),
                 extension_member("honesty", c.honesty),
                 extension_member("estimation_sample_size", c.estimation_sample_size));
    try {
        check_settings(c);
    } catch (const Stop& e) {
        j.fail_offset(0, e.what());
    }
    return c;
}

ContinuousBin read_continuous_bin(std::string_view json, size_t line) {
    Reader j(json, line);
    ContinuousBin b;
    read_members(j, nullptr, member("n_bin", b.n_bin), member("threshold", b.threshold));
    check_bin_size(j, "continuous", b.threshold.size(), "thresholds", kMaxThresholds, b.n_bin);
    b.prepare();
    return b;
}

DiscreteBin read_discrete_bin(std::string_view json, size_t line) {
    Reader j(json, line);
    DiscreteBin b;
    read_members(j, nullptr, member("n_bin", b.n_bin), member("mapping", b.mapping));
    check_bin_size(j, "discrete", b.mapping.size(), "categories", kMaxCategories, b.n_bin);
    return b;
}

Tree read_tree(std::string_view json, size_t line) {
    Reader j(json, line);
    Tree t;
    read_members(j, nullptr, member("level", t.level), member("left_children", t.left_children),
                 member("right_children", t.right_children), member("split", t.split));
    return t;
}

namespace {

std::vector<std::string_view> cut(std::string_view text, std::string_view sep) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(sep, start);
        if (at == std::string_view::npos) break;
        out.push_back(text.substr(start, at - start));
        start = at + sep.size();
    }
    out.push_back(text.substr(start));
    return out;
}

std::string u128_text(unsigned __int128 v) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v);
    return s;
}

[[noreturn]] void too_few_sections(const std::vector<std::string_view>& parts, const TreeConfig& config) {
    size_t sections = parts.size();
    if (sections > 1 && parts.back().empty()) --sections;  // the text after the final blank line
    const uint64_t f = config.feature_cols.size(), t = config.n_tree;
    const unsigned __int128 needed = static_cast<unsigned __int128>(1) + f + t;
    stop("model file has " + std::to_string(sections) + (sections == 1 ? " section" : " sections") +
         ", but the configuration needs " + u128_text(needed) + " (1 configuration, " + std::to_string(f) +
         (f == 1 ? " bin, " : " bins, ") + std::to_string(t) + (t == 1 ? " tree)" : " trees)"));
}

}  // namespace

void read_tree_section(std::string_view text, TreeConfig& config, Tree& tree, size_t first_line) {
    const std::vector<std::string_view> lines = cut(text, "\n");
    config = read_config(lines[0], first_line);
    if (lines.size() < 2)
        stop(position_text(first_line, lines[0].size() + 1) +
             ": the tree section ends after its configuration line; the tree line is missing");
    tree = read_tree(lines[1], first_line + 1);
}

ModelReader::ModelReader(std::string_view text, ReadMode mode) : mode_(mode) {
    parts_ = cut(text, "\n\n");
    first_line_.reserve(parts_.size());
    size_t line = 1;
    for (std::string_view part : parts_) {
        first_line_.push_back(line);
        line += static_cast<size_t>(std::count(part.begin(), part.end(), '\n')) + 2;
    }

    config_ = read_config(parts_[0], first_line_[0]);

    const size_t f = config_.feature_cols.size();
    if (mode_ == ReadMode::File) {
        for (size_t i = 1; i <= f; ++i) {
            if (!has_section(i)) too_few_sections(parts_, config_);
            read_bin_section(i);
        }
        n_bin_sections_ = f;
        return;
    }
    // A pickled state holds the bins fitted so far, in any number, and the trees after them.
    size_t i = 1;
    for (; i < parts_.size(); ++i) {
        if (!parts_[i].starts_with("Continuous\n") && !parts_[i].starts_with("Discrete\n")) break;
        read_bin_section(i);
    }
    n_bin_sections_ = i - 1;
    for (; i < parts_.size(); ++i)
        if (!parts_[i].empty()) tree_parts_.push_back(i);
}

void ModelReader::read_bin_section(size_t i) {
    const size_t f = config_.feature_cols.size();
    const std::vector<std::string_view> lines = cut(parts_[i], "\n");
    if (lines.size() < 3)
        stop(position_text(first_line_[i], 1) + ": bin section " + std::to_string(i) + " of " + std::to_string(f) +
             " has " + std::to_string(lines.size()) + (lines.size() == 1 ? " line" : " lines") +
             ", but needs three (the bin type, the feature name and the bin record)");
    const std::string name(lines[1]);
    if (lines[0] == "Continuous")
        continuous_[name] = read_continuous_bin(lines[2], first_line_[i] + 2);
    else if (lines[0] == "Discrete")
        discrete_[name] = read_discrete_bin(lines[2], first_line_[i] + 2);
    else
        stop("bin_type " + std::string(lines[0]) + " unknown");
}

bool ModelReader::has_section(size_t i) const {
    // The empty text after the final blank line of a complete file is not a section; treating
    // it as a missing one gives a clearer message than an empty record would.
    return i + 1 < parts_.size() || (i < parts_.size() && !parts_[i].empty());
}

uint64_t ModelReader::n_trees() const {
    return mode_ == ReadMode::File ? config_.n_tree : tree_parts_.size();
}

void ModelReader::read_tree_at(size_t t, TreeConfig& config, Tree& tree) const {
    size_t i;
    if (mode_ == ReadMode::File) {
        const size_t f = n_bin_sections_;
        // Both terms are bounded by the number of parts when the part exists, so an
        // overflowing index simply means the part is missing.
        if (t >= parts_.size() || f >= parts_.size() || !has_section(1 + f + t)) too_few_sections(parts_, config_);
        i = 1 + f + t;
    } else {
        if (t >= tree_parts_.size()) stop("the model state has no tree " + std::to_string(t));
        i = tree_parts_[t];
    }
    read_tree_section(parts_[i], config, tree, first_line_[i]);
}

std::vector<FittedTree> ModelReader::read_trees() const {
    // An untrained state travels without trees; a trained one with exactly n_tree, as a file must.
    if (mode_ == ReadMode::State && !tree_parts_.empty() && tree_parts_.size() != config_.n_tree)
        stop("model state holds " + std::to_string(tree_parts_.size()) + " tree sections, but n_tree is " +
             std::to_string(config_.n_tree));
    std::vector<FittedTree> trees;
    std::optional<size_t> n_groups;
    const uint64_t n = n_trees();
    for (uint64_t t = 0; t < n; ++t) {
        FittedTree fitted;
        read_tree_at(t, fitted.config, fitted.tree);
        validate_tree(fitted.tree, config_.feature_cols.size(), t);
        validate_tree_in_model(fitted.tree, t, config_.feature_cols, continuous_, discrete_, n_groups);
        trees.push_back(std::move(fitted));
    }
    return trees;
}

void validate_tree(const Tree& tree, size_t n_features, size_t tree_index) {
    const std::string name = "tree " + std::to_string(tree_index);
    const size_t n = tree.level.size();
    if (tree.left_children.size() != n || tree.right_children.size() != n || tree.split.size() != n)
        stop(name + ": its node lists differ in length (level " + std::to_string(n) + ", left_children " +
             std::to_string(tree.left_children.size()) + ", right_children " +
             std::to_string(tree.right_children.size()) + ", split " + std::to_string(tree.split.size()) + ")");
    if (n == 0) stop(name + ": it has no nodes");

    std::vector<char> has_parent(n, 0);
    for (size_t node = 0; node < n; ++node) {
        const std::string where = name + ", node " + std::to_string(node) + ": ";
        const auto& left = tree.left_children[node];
        const auto& right = tree.right_children[node];
        if (left.has_value() != right.has_value())
            stop(where + (left ? "it has a left child but no right child" : "it has a right child but no left child"));
        if (!tree.split[node]) stop(where + "it has no split record");
        const SplitInfo& s = *tree.split[node];
        for (size_t r = 0; r < s.summary.size(); ++r)
            if (s.summary[r].empty()) stop(where + "summary row " + std::to_string(r) + " has no column 0");
        if (!left) continue;

        if (*left == *right) stop(where + "its left and right child are the same node");
        // Children always come after their parent and have one parent each, which rules out
        // cycles and nodes reached twice.
        for (const uint64_t child : {*left, *right}) {
            if (child <= node || child >= n)
                stop(where + "child " + std::to_string(child) + " is not a node after it (the tree has " +
                     std::to_string(n) + " nodes)");
            if (has_parent[child]) stop(where + "child " + std::to_string(child) + " already has another parent");
            has_parent[child] = 1;
        }
        if (s.node_id != node)
            stop(where + "it holds the split record of node " + std::to_string(s.node_id));
        if (!s.value || s.value->empty()) stop(where + "it has children but its split record has no split value");
        if (s.feature_id >= n_features)
            stop(where + "it tests feature " + std::to_string(s.feature_id) + ", but the model has " +
                 std::to_string(n_features) + (n_features == 1 ? " feature" : " features"));
    }
}

void validate_tree_in_model(const Tree& tree, size_t tree_index, const std::vector<std::string>& feature_cols,
                            const std::unordered_map<std::string, ContinuousBin>& continuous,
                            const std::unordered_map<std::string, DiscreteBin>& discrete,
                            std::optional<size_t>& n_groups) {
    const std::string name = "tree " + std::to_string(tree_index);
    for (size_t node = 0; node < tree.n_nodes(); ++node) {
        const SplitInfo& s = *tree.split[node];
        if (!n_groups) {
            if (s.summary.size() > kMaxGroups)
                stop(name + ", node " + std::to_string(node) + ": its summary has " + std::to_string(s.summary.size()) +
                     " rows, but a model has at most " + std::to_string(kMaxGroups) + " treatment groups");
            n_groups = s.summary.size();
        }
        if (s.summary.size() != *n_groups)
            stop(name + ", node " + std::to_string(node) + ": its summary has " + std::to_string(s.summary.size()) +
                 " rows, but the model's summaries have one per treatment group (" + std::to_string(*n_groups) + ")");
        if (!tree.left_children[node]) continue;
        const std::string& feature = feature_cols[s.feature_id];
        if (!continuous.count(feature) && !discrete.count(feature))
            stop(name + ", node " + std::to_string(node) + ": it splits on feature " + feature +
                 ", which has no bin record in the model");
    }
}

}  // namespace quorvelin
