#include "io/json.hpp"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "error.hpp"

namespace quorvelin::json {

// ================================================================================================
// Writing
// ================================================================================================

void put_size(std::string& out, uint64_t value) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void put_float(std::string& out, float value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // The scientific form of to_chars carries the shortest round-trip digits and the decimal
    // exponent of the first digit; the layout is then decided from those two alone.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const char* p = buf;
    const char* end = res.ptr;
    if (p < end && *p == '-') {
        out += '-';
        ++p;
    }
    char digits[32];
    int n = 0;
    while (p < end && *p != 'e') {
        if (*p != '.' && n < static_cast<int>(sizeof digits)) digits[n++] = *p;
        ++p;
    }
    int exp10 = 0;
    if (p < end) {
        ++p;  // 'e'
        bool negative = false;
        if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
        std::from_chars(p, end, exp10);
        if (negative) exp10 = -exp10;
    }
    // value = digits x 10^k, kk = n + k is the position of the decimal point relative to the
    // first digit.
    const int kk = exp10 + 1;
    const int k = kk - n;
    const std::string_view d(digits, static_cast<size_t>(n));
    if (k >= 0 && kk <= 13) {
        out += d;
        out.append(static_cast<size_t>(k), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 13) {
        out += d.substr(0, static_cast<size_t>(kk));
        out += '.';
        out += d.substr(static_cast<size_t>(kk));
    } else if (kk > -6 && kk <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-kk), '0');
        out += d;
    } else {
        out += d[0];
        if (n > 1) {
            out += '.';
            out += d.substr(1);
        }
        out += 'e';
        char ebuf[16];
        const auto eres = std::to_chars(ebuf, ebuf + sizeof ebuf, kk - 1);
        out.append(ebuf, eres.ptr);
    }
}

void put_string(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    size_t run = 0;  // start of the pending run of bytes copied as they are
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0D: out += "\\r"; break;
            case 0x09: out += "\\t"; break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
        }
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

void put_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

void put_key(std::string& out, std::string_view key) {
    put_string(out, key);
    out += ':';
}


// ================================================================================================
// Reading
// ================================================================================================

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

std::string shorten(std::string_view s) {
    if (s.size() <= 40) return std::string(s);
    return std::string(s.substr(0, 37)) + "...";
}

std::string type_name(od::json_type t) {
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

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string describe(simdjson::error_code code) {
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

bool valid_number(std::string_view s) {
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

// Whether a valid, non-zero number (without sign) is at least 1 in magnitude; only called
// for numbers beyond the range of double, which are far from 1 either way.
bool magnitude_at_least_one(std::string_view body) {
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

// Integers that fit 64 bits convert to float in one rounding; every other number goes
// through double, rounded once more to float. A value beyond the float range is out of range,
// an underflow is zero.
bool number_to_float(std::string_view token, float& out) {
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
    // A number that rounds beyond the largest float has no 32-bit value: reading it as infinity
    // would store it as null and bring it back as NaN.
    if (a >= 0x1.ffffffp+127)
        return false;
    else if (a > FLT_MAX)
        out = negative ? -FLT_MAX : FLT_MAX;
    else
        out = static_cast<float>(d);
    return true;
}

}  // namespace

Reader::Reader(std::string_view text, size_t line) : text_(text), line_(line), buf_(text) {
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

void Reader::fail_offset(size_t offset, const std::string& what) const {
    const auto [line, column] = line_column(text_, offset, line_);
    stop(position_text(line, column) + ": " + what);
}

void Reader::fail(const char* at, const std::string& what) const {
    size_t offset = text_.size();
    if (at && at >= buf_.data() && at <= buf_.data() + text_.size()) offset = static_cast<size_t>(at - buf_.data());
    fail_offset(offset, what);
}

void Reader::fail_code(simdjson::error_code code, const char* at) {
    if (!at && started_) {
        const char* loc = nullptr;
        if (doc_.current_location().get(loc) == simdjson::SUCCESS) at = loc;
    }
    if (!at) at = code == simdjson::EMPTY ? buf_.data() : buf_.data() + text_.size();
    fail(at, describe(code));
}

od::json_type Reader::type(od::value& v, const char* at) {
    od::json_type t;
    check(v.type().get(t), at);
    return t;
}

std::string_view Reader::number_token(od::value& v, const char* at) {
    std::string_view token = v.raw_json_token();
    while (!token.empty() && is_space(token.back())) token.remove_suffix(1);
    if (!valid_number(token)) fail(at, "invalid number `" + shorten(token) + "`");
    return token;
}

void Reader::check_string_body(const char* body) {
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

std::string Reader::read_string(od::value& v) {
    const char* at = where(v);
    const od::json_type t = type(v, at);
    if (t != od::json_type::string) fail(at, "expected a string, found " + type_name(t));
    check_string_body(at + 1);
    std::string_view s;
    check(v.get_string().get(s), at);
    return std::string(s);
}

bool Reader::read_bool(od::value& v) {
    const char* at = where(v);
    const od::json_type t = type(v, at);
    if (t != od::json_type::boolean) fail(at, "expected true or false, found " + type_name(t));
    bool b = false;
    if (v.get_bool().get(b)) fail(at, "invalid literal, expected true or false");
    return b;
}

void Reader::read_null(od::value& v, const char* at) {
    bool is_null = false;
    if (v.is_null().get(is_null) || !is_null) fail(at, "invalid literal, expected null");
}

bool Reader::read_if_null(od::value& v) {
    const char* at = where(v);
    if (type(v, at) != od::json_type::null) return false;
    read_null(v, at);
    return true;
}

uint64_t Reader::read_size(od::value& v, uint64_t max, const char* what) {
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

std::optional<uint64_t> Reader::read_optional_size(od::value& v) {
    if (read_if_null(v)) return std::nullopt;
    return read_size(v);
}

float Reader::read_float(od::value& v) {
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

od::array Reader::get_array(od::value& v, const char* at, const char* what) {
    const od::json_type t = type(v, at);
    if (t != od::json_type::array) fail(at, std::string("expected ") + what + ", found " + type_name(t));
    od::array a;
    check(v.get_array().get(a), at);
    return a;
}

std::vector<std::string> Reader::read_string_list(od::value& v) {
    std::vector<std::string> out;
    for_each(v, "an array of strings", [&](od::value& e) { out.push_back(read_string(e)); });
    return out;
}

std::vector<float> Reader::read_float_list(od::value& v) {
    std::vector<float> out;
    for_each(v, "an array of numbers", [&](od::value& e) { out.push_back(read_float(e)); });
    return out;
}

void Reader::skip(od::value& v, size_t depth) {
    // Far beyond any record as written, and below the parser's own limit of 1024 levels, which
    // also counts the levels of the record around the skipped value.
    constexpr size_t kMaxDepth = 1000;
    const char* at = where(v);
    const od::json_type t = type(v, at);
    if ((t == od::json_type::object || t == od::json_type::array) && depth >= kMaxDepth)
        fail(at, describe(simdjson::DEPTH_ERROR));
    switch (t) {
        case od::json_type::object: {
            od::object o;
            check(v.get_object().get(o), at);
            for (auto item : o) {
                od::field f;
                check(std::move(item).get(f));
                const char* key_at = nullptr;
                read_key(f, key_at);
                skip(f.value(), depth + 1);
            }
            break;
        }
        case od::json_type::array: for_each(v, "an array", [&](od::value& e) { skip(e, depth + 1); }); break;
        case od::json_type::string: read_string(v); break;
        case od::json_type::number: number_token(v, at); break;
        case od::json_type::boolean: read_bool(v); break;
        case od::json_type::null: read_null(v, at); break;
    }
}

std::string_view Reader::read_key(od::field& f, const char*& key_at) {
    key_at = f.key().raw() - 1;
    check_string_body(key_at + 1);
    std::string_view key;
    check(f.unescaped_key().get(key), key_at);
    return key;
}

void Reader::root_unbalanced(const char* start, char closer) {
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

const char* Reader::first_non_space() const {
    size_t i = 0;
    while (i < text_.size() && is_space(text_[i])) ++i;
    return buf_.data() + i;
}

}  // namespace quorvelin::json
