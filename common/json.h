// The few pieces of JSON the program writes (--info's description of an input, --report's
// evidence record): strings escaped so that any text (file names, version texts from the
// input: control characters, quotes, bytes that are not UTF-8) yields valid JSON, numbers,
// and an object built field by field on one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace json {

// text as a JSON string, quotes included: '"' and '\' escaped, control characters (and DEL)
// as \n, \t, ... or \u00XX, valid UTF-8 kept as it is, and every byte that does not belong to
// a valid UTF-8 sequence (overlong forms, surrogates and code points past U+10FFFF included)
// replaced by U+FFFD.
std::string string(const char* text, size_t size);
std::string string(const std::string& text);

std::string number(int64_t value);
// With up to six decimals, trailing zeros dropped ("25", "29.97003", "0.04"); null when the
// value is not finite.
std::string number(double value);

extern const char k_null[];

// A JSON object on one line, its fields in the order they are added.
class object {
public:
    // value is JSON text already (json::string, json::number, k_null, another object's text).
    object& add(const char* name, const std::string& value);
    std::string text() const { return fields_.empty() ? "{}" : fields_ + "}"; }

private:
    std::string fields_;
};

}  // namespace json
