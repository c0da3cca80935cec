#include "units/TerminalText.h"

#include <cstdint>

namespace tralux {
namespace {

void AppendOctal(std::string& out, unsigned char byte) {
    out += '\\';
    out += static_cast<char>('0' + (byte >> 6));
    out += static_cast<char>('0' + ((byte >> 3) & 7));
    out += static_cast<char>('0' + (byte & 7));
}

void AppendControl(std::string& out, unsigned char byte) {
    static const char Letters[] = "abtnvfr";  // \a (7) to \r (13)
    if (byte >= 7 && byte <= 13) {
        out += '\\';
        out += Letters[byte - 7];
    } else {
        AppendOctal(out, byte);
    }
}

// The length of the well-formed UTF-8 character at text[at] of a code point from U+00A0 up
// (shortest form, no surrogates); 0 for anything else.
size_t PrintableUtf8Length(const std::string& text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    uint32_t point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        point = point << 6 | (next & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF) ||
        point < 0xA0) {
        return 0;
    }
    return length;
}

std::string Escaped(const std::string& text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if ((byte >= 0x20 && byte != 0x7F) || (keepLineBreaks && byte == '\n')) {
                out += static_cast<char>(byte);
            } else {
                AppendControl(out, byte);
            }
            ++at;
            continue;
        }
        const size_t length = PrintableUtf8Length(text, at);
        if (length == 0) {
            AppendOctal(out, byte);
            ++at;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}

}  // namespace

std::string TerminalSafeText(const std::string& text) {
    return Escaped(text, false);
}

std::string TerminalSafeLines(const std::string& text) {
    return Escaped(text, true);
}

}  // namespace tralux
