#include "json.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace quorvelin::json {

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

}  // namespace quorvelin::json
