#pragma once
// Compact JSON text as the model file stores it: no spaces, a fixed escape set for strings, and
// 32-bit floats in their shortest round-trip form. Everything appends to one output string so a
// whole model is built without intermediate copies.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvelin::json {

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

}  // namespace quorvelin::json
