#pragma once
// Compact JSON text as the model file stores it: no spaces, a fixed escape set for strings, and
// 32-bit floats in their shortest round-trip form. Everything appends to one output string so a
// whole model is built without intermediate copies. Reading is strict: every record is checked
// against the JSON grammar and its expected keys, and every failure names its line and column.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <simdjson.h>

namespace quorvelin::json {

// ================================================================================================
// Writing
// ================================================================================================

void put_size(std::string& out, uint64_t value);
// Shortest digits that read back to the same 32-bit value, laid out by the file's five rules;
// NaN and infinities become null.
void put_float(std::string& out, float value);
// A quoted string: only the quotation mark, the backslash and the bytes below 0x20 are escaped;
// every other byte, UTF-8 sequences included, is copied as it is.
void put_string(std::string& out, std::string_view text);
void put_bool(std::string& out, bool value);
inline void put_null(std::string& out) { out += "null"; }

// `"key":`, with the key escaped like any string.
void put_key(std::string& out, std::string_view key);

// `[e0,e1,...]`, each element written by `put_element(out, element)`.
template <class T, class F>
void put_list(std::string& out, const std::vector<T>& list, F&& put_element) {
    out += '[';
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        put_element(out, list[i]);
    }
    out += ']';
}

// A stored value by its type: sizes, floats, booleans, strings, null for an empty optional,
// and lists of any of these.
inline void put_value(std::string& out, bool value) { put_bool(out, value); }
inline void put_value(std::string& out, float value) { put_float(out, value); }
inline void put_value(std::string& out, const std::string& value) { put_string(out, value); }
template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>)
void put_value(std::string& out, T value) {
    put_size(out, value);
}
template <class T>
void put_value(std::string& out, const std::vector<T>& list);

template <class T>
void put_value(std::string& out, const std::optional<T>& value) {
    if (value)
        put_value(out, *value);
    else
        put_null(out);
}

template <class T>
void put_value(std::string& out, const std::vector<T>& list) {
    put_list(out, list, [](std::string& o, const T& element) { put_value(o, element); });
}

// One object written member by member: `{`, then `"key":value` for each member with commas
// between them, then `}` on close().
class Object {
public:
    explicit Object(std::string& out) : out_(out) { out_ += '{'; }

    // Starts a member; the caller writes its value into the returned string.
    std::string& key(std::string_view name) {
        if (!first_) out_ += ',';
        first_ = false;
        put_key(out_, name);
        return out_;
    }

    template <class T>
    void field(std::string_view name, const T& value) {
        put_value(key(name), value);
    }

    void close() { out_ += '}'; }

private:
    std::string& out_;
    bool first_ = true;
};

// ================================================================================================
// Reading
// ================================================================================================

namespace od = simdjson::ondemand;

// 1-based line and column (in characters) of a byte offset, counting from `first_line`.
std::pair<size_t, size_t> line_column(std::string_view text, size_t offset, size_t first_line);
std::string position_text(size_t line, size_t column);

// A text in a message, cut to a readable length.
std::string shorten(std::string_view s);
std::string type_name(od::json_type t);

// A key of a record; one that may be left out is `optional`.
struct Key {
    std::string_view name;
    bool optional;
    // An opt-in key added after the record's array form was fixed: it may appear in the object
    // form only, after every positional key, so arrays written before it keep their length.
    bool object_only = false;
};

// One record being read: one JSON value on one line of the file. Every failure names the
// problem and where in the file it is.
class Reader {
public:
    Reader(std::string_view text, size_t line);

    [[noreturn]] void fail_offset(size_t offset, const std::string& what) const;
    [[noreturn]] void fail(const char* at, const std::string& what) const;
    // A failure reported by the parser, located at `at` when known, else where the parser stopped.
    [[noreturn]] void fail_code(simdjson::error_code code, const char* at);

    void check(simdjson::error_code code, const char* at = nullptr) {
        if (code) fail_code(code, at);
    }

    // Where a value starts; read before the value is consumed.
    const char* where(od::value& v) { return v.raw_json_token().data(); }

    od::json_type type(od::value& v, const char* at);

    // The text of a number token, checked against the JSON grammar: the parser looks at numbers
    // lazily, so a skipped or hand-read token is not otherwise validated.
    std::string_view number_token(od::value& v, const char* at);

    // Raw control characters are not allowed inside JSON strings; `body` is the first byte after
    // the opening quotation mark.
    void check_string_body(const char* body);

    std::string read_string(od::value& v);
    bool read_bool(od::value& v);
    void read_null(od::value& v, const char* at);
    // Whether the value is null, consuming it if so.
    bool read_if_null(od::value& v);

    // A non-negative integer without fraction or exponent, at most `max`.
    uint64_t read_size(od::value& v, uint64_t max = std::numeric_limits<uint64_t>::max(),
                       const char* what = "a size (an integer 0 to 18446744073709551615)");
    std::optional<uint64_t> read_optional_size(od::value& v);

    // Any JSON number, rounded to 32 bits; null stands for a value that was not finite when saved
    // and reads as NaN.
    float read_float(od::value& v);

    od::array get_array(od::value& v, const char* at, const char* what);

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

    std::vector<std::string> read_string_list(od::value& v);
    std::vector<float> read_float_list(od::value& v);

    // Consumes a value whose content is not needed, still checking that it is valid JSON.
    // `depth` counts the arrays and objects already entered, so that no nesting exhausts the stack.
    void skip(od::value& v, size_t depth = 0);

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
    // The key of a field, checked like any string; `key_at` is set to its opening quotation mark.
    std::string_view read_key(od::field& f, const char*& key_at);

    template <class F>
    void read_fields(od::object& o, const char* at, std::span<const Key> keys, F& on_value) {
        uint64_t seen = 0;
        std::unordered_set<std::string> others;
        for (auto item : o) {
            od::field f;
            check(std::move(item).get(f));
            const char* key_at = nullptr;
            const std::string_view key = read_key(f, key_at);
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
    void read_values(od::array& a, const char* at, std::span<const Key> all_keys, F& on_value) {
        size_t positional = 0;
        while (positional < all_keys.size() && !all_keys[positional].object_only) ++positional;
        const std::span<const Key> keys = all_keys.first(positional);
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
    [[noreturn]] void root_unbalanced(const char* start, char closer);
    const char* first_non_space() const;

    std::string_view text_;
    size_t line_;
    simdjson::padded_string buf_;
    od::parser parser_;
    od::document doc_;
    bool started_ = false;
};

}  // namespace quorvelin::json
