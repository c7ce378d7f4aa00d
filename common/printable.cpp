#include "common/printable.h"

#include <cstdint>

namespace {

// The length of the valid UTF-8 sequence of a printable character at text[0], or 0 when
// there is none (a stray or overlong byte, a surrogate, a C1 control, beyond U+10FFFF).
size_t utf8_printable_length(const unsigned char* text, size_t left) {
    const unsigned char lead = text[0];
    size_t length;
    uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        code = code << 6 | (text[i] & 0x3F);
    }
    static const uint32_t k_smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < k_smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if (code <= 0x9F) return 0;  // C1 controls
    return length;
}

}  // namespace

std::string printable(const char* text, size_t size) {
    static const char k_hex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < size;) {
        const unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7F) {
            shown.push_back(static_cast<char>(c));
            ++i;
        } else if (c == '\n') {
            shown += "\\n";
            ++i;
        } else if (c == '\r') {
            shown += "\\r";
            ++i;
        } else if (c == '\t') {
            shown += "\\t";
            ++i;
        } else if (const size_t length = c >= 0x80 ? utf8_printable_length(bytes + i, size - i) : 0) {
            shown.append(text + i, length);
            i += length;
        } else {
            shown += "\\x";
            shown.push_back(k_hex[c >> 4]);
            shown.push_back(k_hex[c & 0xF]);
            ++i;
        }
    }
    return shown;
}

std::string printable(const std::string& text) { return printable(text.data(), text.size()); }
