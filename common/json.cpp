#include "common/json.h"

#include <cmath>
#include <cstdio>

namespace json {

const char k_null[] = "null";

namespace {

// The length of the valid UTF-8 sequence at text[0] (1 to 4 bytes), or 0 when there is none.
size_t utf8_sequence(const unsigned char* text, size_t size) {
    const unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (size < length || text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string string(const char* text, size_t size) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < size;) {
        const unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            const size_t length = utf8_sequence(bytes + i, size - i);
            if (length == 0) {
                out += "\xEF\xBF\xBD";  // U+FFFD for the stray byte, then on with the next one
                ++i;
                continue;
            }
            out.append(text + i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string string(const std::string& text) { return string(text.data(), text.size()); }

std::string number(int64_t value) { return std::to_string(value); }

std::string number(double value) {
    if (!std::isfinite(value)) return k_null;
    char text[64];
    int length = snprintf(text, sizeof(text), "%.6f", value);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(text)) return k_null;
    while (text[length - 1] == '0') --length;
    if (text[length - 1] == '.') --length;
    std::string out(text, static_cast<size_t>(length));
    return out == "-0" ? "0" : out;
}

object& object::add(const char* name, const std::string& value) {
    fields_ += fields_.empty() ? "{" : ",";
    fields_ += string(name) + ":" + value;
    return *this;
}

}  // namespace json
