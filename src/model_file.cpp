#include "model_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <span>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <simdjson.h>

#include "error.hpp"
#include "json.hpp"

namespace quorvelin {

// ================================================================================================
// Writing
// ================================================================================================

std::string float_text(float value) {
    std::string out;
    json::put_float(out, value);
    return out;
}

std::string json_string(std::string_view text) {
    std::string out;
    json::put_string(out, text);
    return out;
}

namespace {

void put_string_list(std::string& out, const std::vector<std::string>& list) {
    out += '[';
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        json::put_string(out, list[i]);
    }
    out += ']';
}

void put_float_list(std::string& out, const std::vector<float>& list) {
    out += '[';
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        json::put_float(out, list[i]);
    }
    out += ']';
}

void put_optional_size(std::string& out, const std::optional<uint64_t>& v) {
    if (v)
        json::put_size(out, *v);
    else
        json::put_null(out);
}

void put_config(std::string& out, const TreeConfig& c) {
    out += '{';
    json::put_key(out, "index_cols");
    put_string_list(out, c.index_cols);
    out += ',';
    json::put_key(out, "feature_cols");
    put_string_list(out, c.feature_cols);
    out += ',';
    json::put_key(out, "cat_cols");
    put_string_list(out, c.cat_cols);
    out += ',';
    json::put_key(out, "treatment_cols");
    put_string_list(out, c.treatment_cols);
    out += ',';
    json::put_key(out, "y_col");
    json::put_string(out, c.y_col);
    out += ',';
    json::put_key(out, "weight_col");
    json::put_string(out, c.weight_col);
    out += ',';
    json::put_key(out, "n_bin");
    json::put_size(out, c.n_bin);
    out += ',';
    json::put_key(out, "min_samples_leaf");
    json::put_size(out, c.min_samples_leaf);
    out += ',';
    json::put_key(out, "min_samples_treatment");
    json::put_size(out, c.min_samples_treatment);
    out += ',';
    json::put_key(out, "n_reg");
    json::put_size(out, c.n_reg);
    out += ',';
    json::put_key(out, "alpha");
    json::put_float(out, c.alpha);
    out += ',';
    json::put_key(out, "normalization");
    json::put_bool(out, c.normalization);
    out += ',';
    json::put_key(out, "max_features");
    json::put_size(out, c.max_features);
    out += ',';
    json::put_key(out, "max_depth");
    json::put_size(out, c.max_depth);
    out += ',';
    json::put_key(out, "n_tree");
    json::put_size(out, c.n_tree);
    out += ',';
    json::put_key(out, "subsample");
    json::put_float(out, c.subsample);
    out += ',';
    json::put_key(out, "n_thread");
    json::put_size(out, c.n_thread);
    out += ',';
    json::put_key(out, "seed");
    put_optional_size(out, c.seed);
    out += '}';
}

void put_continuous_bin(std::string& out, const ContinuousBin& b) {
    out += '{';
    json::put_key(out, "n_bin");
    json::put_size(out, b.n_bin);
    out += ',';
    json::put_key(out, "threshold");
    put_float_list(out, b.threshold);
    out += '}';
}

void put_discrete_bin(std::string& out, const DiscreteBin& b) {
    out += '{';
    json::put_key(out, "n_bin");
    json::put_size(out, b.n_bin);
    out += ',';
    json::put_key(out, "mapping");
    put_float_list(out, b.mapping);
    out += '}';
}

void put_split_info(std::string& out, const SplitInfo& s) {
    out += '{';
    json::put_key(out, "node_id");
    json::put_size(out, s.node_id);
    out += ',';
    json::put_key(out, "feature_id");
    json::put_size(out, s.feature_id);
    out += ',';
    json::put_key(out, "treatment_id");
    json::put_size(out, s.treatment_id);
    out += ',';
    json::put_key(out, "iscat");
    json::put_bool(out, s.iscat);
    out += ',';
    json::put_key(out, "value");
    if (s.value) {
        out += '[';
        for (size_t i = 0; i < s.value->size(); ++i) {
            if (i) out += ',';
            json::put_size(out, (*s.value)[i]);
        }
        out += ']';
    } else {
        json::put_null(out);
    }
    out += ',';
    json::put_key(out, "gain");
    json::put_float(out, s.gain);
    out += ',';
    json::put_key(out, "gain_importance");
    json::put_float(out, s.gain_importance);
    out += ',';
    json::put_key(out, "summary");
    out += '[';
    for (size_t i = 0; i < s.summary.size(); ++i) {
        if (i) out += ',';
        put_float_list(out, s.summary[i]);
    }
    out += ']';
    out += '}';
}

void put_links(std::string& out, const std::vector<std::optional<uint64_t>>& links) {
    out += '[';
    for (size_t i = 0; i < links.size(); ++i) {
        if (i) out += ',';
        put_optional_size(out, links[i]);
    }
    out += ']';
}

void put_tree(std::string& out, const Tree& t) {
    out += '{';
    json::put_key(out, "level");
    out += '[';
    for (size_t i = 0; i < t.level.size(); ++i) {
        if (i) out += ',';
        json::put_size(out, t.level[i]);
    }
    out += ']';
    out += ',';
    json::put_key(out, "left_children");
    put_links(out, t.left_children);
    out += ',';
    json::put_key(out, "right_children");
    put_links(out, t.right_children);
    out += ',';
    json::put_key(out, "split");
    out += '[';
    for (size_t i = 0; i < t.split.size(); ++i) {
        if (i) out += ',';
        if (t.split[i])
            put_split_info(out, *t.split[i]);
        else
            json::put_null(out);
    }
    out += ']';
    out += '}';
}

// The order of bin sections is free for readers, but two saves of one model must give the same
// bytes: names follow the feature order, and any record whose name is not a feature comes after,
// sorted.
template <class Map>
std::vector<typename Map::const_pointer> ordered_records(const Map& map, const std::vector<std::string>& features) {
    std::vector<typename Map::const_pointer> out;
    out.reserve(map.size());
    std::unordered_set<std::string_view> taken;
    for (const std::string& name : features) {
        auto it = map.find(name);
        if (it != map.end() && taken.insert(it->first).second) out.push_back(&*it);
    }
    std::vector<typename Map::const_pointer> rest;
    for (const auto& entry : map)
        if (!taken.count(entry.first)) rest.push_back(&entry);
    std::sort(rest.begin(), rest.end(), [](auto a, auto b) { return a->first < b->first; });
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

}  // namespace

std::string config_json(const TreeConfig& config) {
    std::string out;
    put_config(out, config);
    return out;
}

std::string continuous_bin_json(const ContinuousBin& bin) {
    std::string out;
    put_continuous_bin(out, bin);
    return out;
}

std::string discrete_bin_json(const DiscreteBin& bin) {
    std::string out;
    put_discrete_bin(out, bin);
    return out;
}

std::string split_info_json(const SplitInfo& info) {
    std::string out;
    put_split_info(out, info);
    return out;
}

std::string tree_json(const Tree& tree) {
    std::string out;
    put_tree(out, tree);
    return out;
}

std::string tree_section_text(const TreeConfig& config, const Tree& tree) {
    std::string out;
    put_config(out, config);
    out += '\n';
    put_tree(out, tree);
    return out;
}

std::string model_text(const TreeConfig& config, const DataLoader& loader, const std::vector<std::string>& tree_sections) {
    std::string out;
    put_config(out, config);
    out += "\n\n";
    for (const auto* entry : ordered_records(loader.continuous_bins, config.feature_cols)) {
        out += "Continuous\n";
        out += entry->first;
        out += '\n';
        put_continuous_bin(out, entry->second);
        out += "\n\n";
    }
    for (const auto* entry : ordered_records(loader.discrete_bins, config.feature_cols)) {
        out += "Discrete\n";
        out += entry->first;
        out += '\n';
        put_discrete_bin(out, entry->second);
        out += "\n\n";
    }
    for (const std::string& section : tree_sections) {
        out += section;
        out += "\n\n";
    }
    return out;
}

namespace {

// A name in a message, quoted and with control characters made visible.
std::string shown_name(std::string_view name) { return json_string(name); }

void check_name(std::string_view name, const char* where) {
    if (name.empty())
        stop(std::string("cannot save the model: ") + where +
             " has an empty name, which the model file cannot hold (a bin section would lose its name line)");
    if (name.find('\n') != std::string_view::npos)
        stop(std::string("cannot save the model: ") + where + " " + shown_name(name) +
             " holds a line feed, which the model file cannot hold (names are stored as raw lines)");
}

}  // namespace

void check_storable(const TreeConfig& config, const DataLoader& loader) {
    for (const std::string& name : config.feature_cols) check_name(name, "feature column");
    for (const auto& entry : loader.continuous_bins) check_name(entry.first, "the bin record of feature");
    for (const auto& entry : loader.discrete_bins) check_name(entry.first, "the bin record of feature");
}

namespace {

std::string os_error(int err) { return std::system_category().message(err); }

[[noreturn]] void write_failed(const std::string& path, int err) {
    stop("cannot write model file '" + path + "': " + os_error(err));
}

// The process's file-creation mask. Reading it with umask() means setting it for a moment, which
// races with other threads creating files; the kernel reports it without that side effect.
mode_t current_umask() {
    if (FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            unsigned value = 0;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                std::fclose(f);
                return static_cast<mode_t>(value & 0777);
            }
        }
        std::fclose(f);
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

void write_file_atomic(const std::string& path, const std::string& text) {
    if (path.empty()) write_failed(path, ENOENT);
    if (path.find('\0') != std::string::npos) write_failed(path, EINVAL);

    // Saving to a symbolic link updates the file it points to, as writing in place would; the
    // new file must then be made next to that file for the rename to replace it.
    std::string target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }

    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    std::string temp = (slash == std::string::npos ? std::string() : dir) + ".quorvelin-save-XXXXXX";

    // An existing file keeps its permission bits, as it would when overwritten in place; a new one
    // gets the usual 0666 less the creation mask.
    mode_t mode = 0666 & ~current_umask();
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;

    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) write_failed(path, errno);

    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        write_failed(path, err);
    };

    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        if (n == 0) fail(EIO);
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::fchmod(fd, mode) != 0) fail(errno);
    if (::fsync(fd) != 0) fail(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        write_failed(path, err);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        write_failed(path, err);
    }
    // Make the new name durable too; a failure here cannot undo the save, so it is not reported.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

// ================================================================================================
// Reading
// ================================================================================================

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

// 1-based line and column (in characters) of a byte offset, counting from `first_line`.
std::pair<size_t, size_t> line_column(std::string_view text, size_t offset, size_t first_line) {
    offset = std::min(offset, text.size());
    size_t line = first_line, column = 1;
    for (size_t i = 0; i < offset; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
    return {line, column};
}

std::string position_text(size_t line, size_t column) {
    return "model file line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::string read_model_file(const std::string& path) {
    auto failed = [&](int err) -> void { stop("cannot read model file '" + path + "': " + os_error(err)); };
    if (path.find('\0') != std::string::npos) failed(EINVAL);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) failed(errno);
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
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
        const auto [line, column] = line_column(text, first_invalid_utf8(text), 1);
        stop("cannot read model file '" + path + "': the content is not valid UTF-8 (line " + std::to_string(line) +
             ", column " + std::to_string(column) + ")");
    }
    return text;
}

namespace {

namespace od = simdjson::ondemand;

// One record being read: one JSON value on one line of the file. Every failure names the
// problem and where in the file it is.
class Json {
public:
    Json(std::string_view text, size_t line) : text_(text), line_(line), buf_(text) {
        if (buf_.size() != text.size()) stop(position_text(line, 1) + ": out of memory reading the record");
        const size_t lf = text.find('\n');
        if (lf != std::string_view::npos) fail_offset(lf, "a record must stay on one line, found a line feed");
        if (auto err = parser_.iterate(buf_).get(doc_)) {
            // Only the structure scan ran: there is no position to report but the problem's own.
            const char* at = buf_.data() + text.size();
            if (err == simdjson::EMPTY) at = buf_.data();
            fail(at, describe(err));
        }
        started_ = true;
    }

    [[noreturn]] void fail_offset(size_t offset, const std::string& what) const {
        const auto [line, column] = line_column(text_, offset, line_);
        stop(position_text(line, column) + ": " + what);
    }

    [[noreturn]] void fail(const char* at, const std::string& what) const {
        size_t offset = text_.size();
        if (at && at >= buf_.data() && at <= buf_.data() + text_.size()) offset = static_cast<size_t>(at - buf_.data());
        fail_offset(offset, what);
    }

    // A failure reported by the parser, located at `at` when known, else where the parser stopped.
    [[noreturn]] void fail_code(simdjson::error_code code, const char* at) {
        if (!at && started_) {
            const char* loc = nullptr;
            if (doc_.current_location().get(loc) == simdjson::SUCCESS) at = loc;
        }
        if (!at) at = code == simdjson::EMPTY ? buf_.data() : buf_.data() + text_.size();
        fail(at, describe(code));
    }

    void check(simdjson::error_code code, const char* at = nullptr) {
        if (code) fail_code(code, at);
    }

    // Where a value starts; read before the value is consumed.
    const char* where(od::value& v) {
        return v.raw_json_token().data();
    }

    od::json_type type(od::value& v, const char* at) {
        od::json_type t;
        check(v.type().get(t), at);
        return t;
    }

    // The text of a number token, checked against the JSON grammar: the parser looks at numbers
    // lazily, so a skipped or hand-read token is not otherwise validated.
    std::string_view number_token(od::value& v, const char* at) {
        (void)at;
        std::string_view token = v.raw_json_token();
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '\r' ||
                                  token.back() == '\n'))
            token.remove_suffix(1);
        if (!valid_number(token)) fail(at, "invalid number `" + shorten(token) + "`");
        return token;
    }

    // Raw control characters are not allowed inside JSON strings; `body` is the first byte after
    // the opening quotation mark.
    void check_string_body(const char* body) {
        const char* end = buf_.data() + text_.size();
        for (const char* p = body; p < end; ++p) {
            if (*p == '\\') {
                ++p;
                continue;
            }
            if (*p == '"') return;
            if (static_cast<unsigned char>(*p) < 0x20) fail(p, "control character inside a string; it must be escaped");
        }
    }

    std::string read_string(od::value& v) {
        const char* at = where(v);
        const od::json_type t = type(v, at);
        if (t != od::json_type::string) fail(at, "expected a string, found " + type_name(t));
        check_string_body(at + 1);
        std::string_view s;
        check(v.get_string().get(s), at);
        return std::string(s);
    }

    bool read_bool(od::value& v) {
        const char* at = where(v);
        const od::json_type t = type(v, at);
        if (t != od::json_type::boolean) fail(at, "expected true or false, found " + type_name(t));
        bool b = false;
        if (v.get_bool().get(b)) fail(at, "invalid literal, expected true or false");
        return b;
    }

    void read_null(od::value& v, const char* at) {
        bool is_null = false;
        if (v.is_null().get(is_null) || !is_null) fail(at, "invalid literal, expected null");
    }

    // A non-negative integer without fraction or exponent, at most `max`.
    uint64_t read_size(od::value& v, uint64_t max = std::numeric_limits<uint64_t>::max(),
                       const char* what = "a size (an integer 0 to 18446744073709551615)") {
        const char* at = where(v);
        const od::json_type t = type(v, at);
        if (t != od::json_type::number) fail(at, std::string("expected ") + what + ", found " + type_name(t));
        const std::string_view token = number_token(v, at);
        uint64_t n = 0;
        const bool digits_only = std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; });
        const auto res = std::from_chars(token.data(), token.data() + token.size(), n);
        if (!digits_only || res.ec != std::errc() || res.ptr != token.data() + token.size() || n > max)
            fail(at, std::string("expected ") + what + ", found `" + shorten(token) + "`");
        return n;
    }

    std::optional<uint64_t> read_optional_size(od::value& v) {
        const char* at = where(v);
        if (type(v, at) == od::json_type::null) {
            read_null(v, at);
            return std::nullopt;
        }
        return read_size(v);
    }

    // Any JSON number, rounded to 32 bits; null stands for a value that was not finite when saved
    // and reads as NaN.
    float read_float(od::value& v) {
        const char* at = where(v);
        const od::json_type t = type(v, at);
        if (t == od::json_type::null) {
            read_null(v, at);
            return std::numeric_limits<float>::quiet_NaN();
        }
        if (t != od::json_type::number) fail(at, "expected a number, found " + type_name(t));
        const std::string_view token = number_token(v, at);
        float f = 0.0f;
        if (!number_to_float(token, f)) fail(at, "number `" + shorten(token) + "` is out of range");
        return f;
    }

    od::array get_array(od::value& v, const char* at, const char* what) {
        const od::json_type t = type(v, at);
        if (t != od::json_type::array) fail(at, std::string("expected ") + what + ", found " + type_name(t));
        od::array a;
        check(v.get_array().get(a), at);
        return a;
    }

    // Calls `element(value)` for each element of an array value.
    template <class F>
    void for_each(od::value& v, const char* what, F&& element) {
        const char* at = where(v);
        od::array a = get_array(v, at, what);
        for (auto item : a) {
            od::value e;
            check(std::move(item).get(e));
            element(e);
        }
    }

    std::vector<std::string> read_string_list(od::value& v) {
        std::vector<std::string> out;
        for_each(v, "an array of strings", [&](od::value& e) { out.push_back(read_string(e)); });
        return out;
    }

    std::vector<float> read_float_list(od::value& v) {
        std::vector<float> out;
        for_each(v, "an array of numbers", [&](od::value& e) { out.push_back(read_float(e)); });
        return out;
    }

    // Consumes a value whose content is not needed, still checking that it is valid JSON.
    void skip(od::value& v) {
        const char* at = where(v);
        switch (type(v, at)) {
            case od::json_type::object: {
                od::object o;
                check(v.get_object().get(o), at);
                for (auto item : o) {
                    od::field f;
                    check(std::move(item).get(f));
                    const char* key_at = f.key().raw() - 1;
                    check_string_body(key_at + 1);
                    std::string_view key;
                    check(f.unescaped_key().get(key), key_at);
                    skip(f.value());
                }
                break;
            }
            case od::json_type::array: {
                od::array a;
                check(v.get_array().get(a), at);
                for (auto item : a) {
                    od::value e;
                    check(std::move(item).get(e));
                    skip(e);
                }
                break;
            }
            case od::json_type::string: read_string(v); break;
            case od::json_type::number: number_token(v, at); break;
            case od::json_type::boolean: read_bool(v); break;
            case od::json_type::null: read_null(v, at); break;
        }
    }

    struct Key {
        std::string_view name;
        bool optional;
    };

    // Reads one record, an object with the given keys, or the same values as an array in key
    // order. `on_value(i, value)` reads the value of key i; a key that may be left out is simply
    // not reported.
    template <class F>
    void read_record(od::value& v, std::span<const Key> keys, F&& on_value) {
        const char* at = where(v);
        const od::json_type t = type(v, at);
        if (t == od::json_type::object) {
            od::object o;
            check(v.get_object().get(o), at);
            read_fields(o, at, keys, on_value);
        } else if (t == od::json_type::array) {
            od::array a;
            check(v.get_array().get(a), at);
            read_values(a, at, keys, on_value);
        } else {
            fail(at, "expected an object, found " + type_name(t));
        }
    }

    // The top-level record; nothing but whitespace may follow it.
    template <class F>
    void read_root(std::span<const Key> keys, F&& on_value) {
        od::json_type t;
        const char* start = first_non_space();
        check(doc_.type().get(t), start);
        if (t == od::json_type::object) {
            od::object o;
            if (doc_.get_object().get(o)) root_unbalanced(start, '}');
            read_fields(o, start, keys, on_value);
        } else if (t == od::json_type::array) {
            od::array a;
            if (doc_.get_array().get(a)) root_unbalanced(start, ']');
            read_values(a, start, keys, on_value);
        } else {
            fail(start, "expected an object, found " + type_name(t));
        }
        const char* rest = nullptr;
        if (doc_.current_location().get(rest) == simdjson::SUCCESS) fail(rest, "unexpected text after the record");
    }

private:
    template <class F>
    void read_fields(od::object& o, const char* at, std::span<const Key> keys, F& on_value) {
        uint64_t seen = 0;
        std::unordered_set<std::string> others;
        for (auto item : o) {
            od::field f;
            check(std::move(item).get(f));
            const char* key_at = f.key().raw() - 1;
            check_string_body(key_at + 1);
            std::string_view key;
            check(f.unescaped_key().get(key), key_at);
            size_t i = 0;
            while (i < keys.size() && keys[i].name != key) ++i;
            if (i < keys.size()) {
                if (seen & (uint64_t{1} << i)) fail(key_at, "key `" + std::string(key) + "` appears twice");
                seen |= uint64_t{1} << i;
                on_value(i, f.value());
            } else {
                if (!others.insert(std::string(key)).second)
                    fail(key_at, "key `" + shorten(key) + "` appears twice");
                skip(f.value());
            }
        }
        for (size_t i = 0; i < keys.size(); ++i)
            if (!(seen & (uint64_t{1} << i)) && !keys[i].optional)
                fail(at, "key `" + std::string(keys[i].name) + "` is missing");
    }

    template <class F>
    void read_values(od::array& a, const char* at, std::span<const Key> keys, F& on_value) {
        size_t i = 0;
        for (auto item : a) {
            od::value e;
            check(std::move(item).get(e));
            if (i >= keys.size())
                fail(where(e), "a record written as an array holds " + std::to_string(keys.size()) +
                                   " values, found more");
            on_value(i, e);
            ++i;
        }
        if (i < keys.size())
            fail(at, "a record written as an array holds " + std::to_string(keys.size()) + " values, found " +
                         std::to_string(i));
    }

    // The parser refuses a top-level value that does not end the text before reading it; find
    // out which of the two it is to say so.
    [[noreturn]] void root_unbalanced(const char* start, char closer) {
        const size_t begin = static_cast<size_t>(start - buf_.data());
        int depth = 0;
        bool in_string = false;
        for (size_t i = begin; i < text_.size(); ++i) {
            const char c = text_[i];
            if (in_string) {
                if (c == '\\')
                    ++i;
                else if (c == '"')
                    in_string = false;
            } else if (c == '"') {
                in_string = true;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (--depth == 0) {
                    size_t rest = i + 1;
                    while (rest < text_.size() && is_space(text_[rest])) ++rest;
                    if (rest < text_.size()) fail_offset(rest, "unexpected text after the record");
                    break;
                }
            }
        }
        if (depth > 0 || in_string)
            fail_offset(text_.size(), std::string("the record ends before its closing `") + closer + "`");
        fail(start, "unbalanced brackets in the record");
    }

    const char* first_non_space() const {
        size_t i = 0;
        while (i < text_.size() && is_space(text_[i])) ++i;
        return buf_.data() + i;
    }

    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    static std::string shorten(std::string_view s) {
        if (s.size() <= 40) return std::string(s);
        return std::string(s.substr(0, 37)) + "...";
    }

    static std::string type_name(od::json_type t) {
        switch (t) {
            case od::json_type::array: return "an array";
            case od::json_type::object: return "an object";
            case od::json_type::number: return "a number";
            case od::json_type::string: return "a string";
            case od::json_type::boolean: return "a boolean";
            case od::json_type::null: return "null";
        }
        return "an unknown value";
    }

    static std::string describe(simdjson::error_code code) {
        switch (code) {
            case simdjson::EMPTY: return "expected a JSON record, found an empty line";
            case simdjson::TAPE_ERROR: return "malformed JSON";
            case simdjson::INCOMPLETE_ARRAY_OR_OBJECT: return "unterminated array or object";
            case simdjson::UNCLOSED_STRING: return "unterminated string";
            case simdjson::STRING_ERROR: return "invalid escape in a string";
            case simdjson::T_ATOM_ERROR: return "invalid literal, expected true";
            case simdjson::F_ATOM_ERROR: return "invalid literal, expected false";
            case simdjson::N_ATOM_ERROR: return "invalid literal, expected null";
            case simdjson::NUMBER_ERROR: return "invalid number";
            case simdjson::DEPTH_ERROR: return "arrays and objects nested too deeply";
            case simdjson::UTF8_ERROR: return "invalid UTF-8";
            case simdjson::UNESCAPED_CHARS: return "control character inside a string; it must be escaped";
            case simdjson::CAPACITY: return "record too large";
            case simdjson::MEMALLOC: return "out of memory reading the record";
            default: return std::string("malformed JSON (") + simdjson::error_message(code) + ")";
        }
    }

    static bool valid_number(std::string_view s) {
        size_t i = 0;
        const size_t n = s.size();
        auto digit = [&](size_t k) { return k < n && s[k] >= '0' && s[k] <= '9'; };
        if (i < n && s[i] == '-') ++i;
        if (!digit(i)) return false;
        if (s[i] == '0') {
            ++i;
        } else {
            while (digit(i)) ++i;
        }
        if (i < n && s[i] == '.') {
            ++i;
            if (!digit(i)) return false;
            while (digit(i)) ++i;
        }
        if (i < n && (s[i] == 'e' || s[i] == 'E')) {
            ++i;
            if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
            if (!digit(i)) return false;
            while (digit(i)) ++i;
        }
        return i == n;
    }

    // Integers that fit 64 bits convert to float in one rounding; every other number goes
    // through double, rounded once more to float. A double overflow is out of range, an
    // underflow is zero.
    static bool number_to_float(std::string_view token, float& out) {
        const bool negative = token[0] == '-';
        const std::string_view body = token.substr(negative ? 1 : 0);
        if (body.find_first_of(".eE") == std::string_view::npos) {
            uint64_t mag = 0;
            const auto res = std::from_chars(body.data(), body.data() + body.size(), mag);
            if (res.ec == std::errc() && res.ptr == body.data() + body.size()) {
                if (!negative)
                    out = static_cast<float>(mag);
                else if (mag <= (uint64_t{1} << 63))
                    out = -static_cast<float>(mag);
                else
                    out = -static_cast<float>(static_cast<double>(mag));
                return true;
            }
        }
        double d = 0.0;
        const auto res = std::from_chars(token.data(), token.data() + token.size(), d);
        if (res.ec == std::errc::result_out_of_range) {
            if (magnitude_at_least_one(body)) return false;
            out = negative ? -0.0f : 0.0f;
            return true;
        }
        if (res.ec != std::errc() || res.ptr != token.data() + token.size()) return false;
        const double a = std::fabs(d);
        if (a >= 0x1.ffffffp+127)
            out = negative ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
        else if (a > FLT_MAX)
            out = negative ? -FLT_MAX : FLT_MAX;
        else
            out = static_cast<float>(d);
        return true;
    }

    // Whether a valid, non-zero number (without sign) is at least 1 in magnitude; only called
    // for numbers beyond the range of double, which are far from 1 either way.
    static bool magnitude_at_least_one(std::string_view body) {
        const size_t e = body.find_first_of("eE");
        const std::string_view mant = body.substr(0, e);
        const size_t dot = mant.find('.');
        const std::string_view int_part = mant.substr(0, dot);
        const std::string_view frac = dot == std::string_view::npos ? std::string_view() : mant.substr(dot + 1);
        int64_t lead;  // decimal exponent of the leading non-zero digit
        const size_t nz = int_part.find_first_not_of('0');
        if (nz != std::string_view::npos) {
            lead = static_cast<int64_t>(int_part.size() - nz) - 1;
        } else {
            const size_t fz = frac.find_first_not_of('0');
            lead = -static_cast<int64_t>(fz == std::string_view::npos ? 0 : fz) - 1;
        }
        int64_t exp = 0;
        if (e != std::string_view::npos) {
            std::string_view es = body.substr(e + 1);
            bool eneg = false;
            if (!es.empty() && (es[0] == '+' || es[0] == '-')) eneg = es[0] == '-', es.remove_prefix(1);
            for (char c : es) {
                exp = exp * 10 + (c - '0');
                if (exp > 1000000000) break;
            }
            if (eneg) exp = -exp;
        }
        return lead + exp >= 0;
    }

    std::string_view text_;
    size_t line_;
    simdjson::padded_string buf_;
    od::parser parser_;
    od::document doc_;
    bool started_ = false;
};

using Key = Json::Key;

constexpr Key kConfigKeys[] = {
    {"index_cols", false},    {"feature_cols", false},     {"cat_cols", false},
    {"treatment_cols", false}, {"y_col", false},           {"weight_col", false},
    {"n_bin", false},         {"min_samples_leaf", false}, {"min_samples_treatment", false},
    {"n_reg", false},         {"alpha", false},            {"normalization", false},
    {"max_features", false},  {"max_depth", false},        {"n_tree", false},
    {"subsample", false},     {"n_thread", false},         {"seed", true},
};

constexpr Key kContinuousKeys[] = {{"n_bin", false}, {"threshold", false}};
constexpr Key kDiscreteKeys[] = {{"n_bin", false}, {"mapping", false}};

constexpr Key kSplitKeys[] = {
    {"node_id", false}, {"feature_id", false}, {"treatment_id", false},    {"iscat", false},
    {"value", true},    {"gain", false},       {"gain_importance", false}, {"summary", false},
};

constexpr Key kTreeKeys[] = {{"level", false}, {"left_children", false}, {"right_children", false}, {"split", false}};

// Bin indices are one byte and 255 marks a missing cell: larger records would make bins that
// collide with it.
constexpr size_t kMaxThresholds = 253;
constexpr uint64_t kMaxStoredBins = 255;

SplitInfo read_split(Json& j, od::value& v) {
    SplitInfo s;
    j.read_record(v, kSplitKeys, [&](size_t i, od::value& x) {
        switch (i) {
            case 0: s.node_id = j.read_size(x); break;
            case 1: s.feature_id = j.read_size(x); break;
            case 2: s.treatment_id = j.read_size(x); break;
            case 3: s.iscat = j.read_bool(x); break;
            case 4: {
                const char* at = j.where(x);
                if (j.type(x, at) == od::json_type::null) {
                    j.read_null(x, at);
                    s.value.reset();
                } else {
                    std::vector<uint8_t> bins;
                    j.for_each(x, "null or an array of bin indices", [&](od::value& e) {
                        bins.push_back(static_cast<uint8_t>(j.read_size(e, 255, "a bin index (an integer 0 to 255)")));
                    });
                    s.value = std::move(bins);
                }
                break;
            }
            case 5: s.gain = j.read_float(x); break;
            case 6: s.gain_importance = j.read_float(x); break;
            case 7:
                s.summary.clear();
                j.for_each(x, "an array of arrays of numbers",
                           [&](od::value& row) { s.summary.push_back(j.read_float_list(row)); });
                break;
        }
    });
    return s;
}

}  // namespace

TreeConfig read_config(std::string_view json, size_t line) {
    Json j(json, line);
    TreeConfig c;
    c.seed.reset();
    j.read_root(kConfigKeys, [&](size_t i, od::value& x) {
        switch (i) {
            case 0: c.index_cols = j.read_string_list(x); break;
            case 1: c.feature_cols = j.read_string_list(x); break;
            case 2: c.cat_cols = j.read_string_list(x); break;
            case 3: c.treatment_cols = j.read_string_list(x); break;
            case 4: c.y_col = j.read_string(x); break;
            case 5: c.weight_col = j.read_string(x); break;
            case 6: c.n_bin = j.read_size(x); break;
            case 7: c.min_samples_leaf = j.read_size(x); break;
            case 8: c.min_samples_treatment = j.read_size(x); break;
            case 9: c.n_reg = j.read_size(x); break;
            case 10: c.alpha = j.read_float(x); break;
            case 11: c.normalization = j.read_bool(x); break;
            case 12: c.max_features = j.read_size(x); break;
            case 13: c.max_depth = j.read_size(x); break;
            case 14: c.n_tree = j.read_size(x); break;
            case 15: c.subsample = j.read_float(x); break;
            case 16: c.n_thread = j.read_size(x); break;
            case 17: c.seed = j.read_optional_size(x); break;
        }
    });
    return c;
}

ContinuousBin read_continuous_bin(std::string_view json, size_t line) {
    Json j(json, line);
    ContinuousBin b;
    j.read_root(kContinuousKeys, [&](size_t i, od::value& x) {
        if (i == 0)
            b.n_bin = j.read_size(x);
        else
            b.threshold = j.read_float_list(x);
    });
    if (b.threshold.size() > kMaxThresholds)
        j.fail_offset(0, "a continuous bin record holds " + std::to_string(b.threshold.size()) +
                             " thresholds, at most " + std::to_string(kMaxThresholds) + " are possible");
    if (b.n_bin > kMaxStoredBins)
        j.fail_offset(0, "a continuous bin record has n_bin " + std::to_string(b.n_bin) + ", at most " +
                             std::to_string(kMaxStoredBins) + " is possible");
    b.prepare();
    return b;
}

DiscreteBin read_discrete_bin(std::string_view json, size_t line) {
    Json j(json, line);
    DiscreteBin b;
    j.read_root(kDiscreteKeys, [&](size_t i, od::value& x) {
        if (i == 0)
            b.n_bin = j.read_size(x);
        else
            b.mapping = j.read_float_list(x);
    });
    if (b.mapping.size() > kMaxCategories)
        j.fail_offset(0, "a discrete bin record holds " + std::to_string(b.mapping.size()) +
                             " categories, at most " + std::to_string(kMaxCategories) + " are possible");
    if (b.n_bin > kMaxStoredBins)
        j.fail_offset(0, "a discrete bin record has n_bin " + std::to_string(b.n_bin) + ", at most " +
                             std::to_string(kMaxStoredBins) + " is possible");
    return b;
}

Tree read_tree(std::string_view json, size_t line) {
    Json j(json, line);
    Tree t;
    j.read_root(kTreeKeys, [&](size_t i, od::value& x) {
        switch (i) {
            case 0:
                t.level.clear();
                j.for_each(x, "an array of sizes", [&](od::value& e) { t.level.push_back(j.read_size(e)); });
                break;
            case 1:
            case 2: {
                auto& links = i == 1 ? t.left_children : t.right_children;
                links.clear();
                j.for_each(x, "an array of node ids or nulls",
                           [&](od::value& e) { links.push_back(j.read_optional_size(e)); });
                break;
            }
            case 3:
                t.split.clear();
                j.for_each(x, "an array of split records or nulls", [&](od::value& e) {
                    const char* at = j.where(e);
                    if (j.type(e, at) == od::json_type::null) {
                        j.read_null(e, at);
                        t.split.emplace_back();
                    } else {
                        t.split.emplace_back(read_split(j, e));
                    }
                });
                break;
        }
    });
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

}  // namespace

void read_tree_section(std::string_view text, TreeConfig& config, Tree& tree, size_t first_line) {
    const std::vector<std::string_view> lines = cut(text, "\n");
    config = read_config(lines[0], first_line);
    if (lines.size() < 2)
        stop(position_text(first_line, lines[0].size() + 1) +
             ": the tree section ends after its configuration line; the tree line is missing");
    tree = read_tree(lines[1], first_line + 1);
}

namespace {

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

ModelReader::ModelReader(std::string_view text) {
    parts_ = cut(text, "\n\n");
    first_line_.reserve(parts_.size());
    size_t line = 1;
    for (std::string_view part : parts_) {
        first_line_.push_back(line);
        line += static_cast<size_t>(std::count(part.begin(), part.end(), '\n')) + 2;
    }

    config_ = read_config(parts_[0], first_line_[0]);

    const size_t f = config_.feature_cols.size();
    for (size_t i = 1; i <= f; ++i) {
        if (!has_section(i)) too_few_sections(parts_, config_);
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
}

bool ModelReader::has_section(size_t i) const {
    // The empty text after the final blank line of a complete file is not a section; treating
    // it as a missing one gives a clearer message than an empty record would.
    return i + 1 < parts_.size() || (i < parts_.size() && !parts_[i].empty());
}

void ModelReader::read_tree_at(size_t t, TreeConfig& config, Tree& tree) const {
    const size_t f = config_.feature_cols.size();
    // Both terms are bounded by the number of parts when the part exists, so an overflowing
    // index simply means the part is missing.
    if (t >= parts_.size() || f >= parts_.size() || !has_section(1 + f + t)) too_few_sections(parts_, config_);
    const size_t i = 1 + f + t;
    read_tree_section(parts_[i], config, tree, first_line_[i]);
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

}  // namespace quorvelin
