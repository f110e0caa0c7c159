// Escaping bytes for display, and hex.
#include "text/text_escape.h"

#include <algorithm>

namespace host::text {

namespace {

constexpr auto kHexDigits = std::to_array<char>(
    {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'});
static_assert(kHexDigits.size() == 16);

void AppendHex(std::string& out, unsigned char byte) {
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xFu];
}

}  // namespace

std::string Escaped(std::string_view bytes, std::span<const CharEscape> escapes, bool hexRest) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const auto named = std::find_if(escapes.begin(), escapes.end(),
                                        [c](const CharEscape& escape) { return escape.c == c; });
        if (named != escapes.end()) {
            out += named->text;
        } else if (hexRest && (byte < 0x20 || byte >= 0x7F)) {
            out += "\\x";
            AppendHex(out, byte);
        } else {
            out += c;
        }
    }
    return out;
}

std::string Hex(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) AppendHex(out, static_cast<unsigned char>(c));
    return out;
}

}  // namespace host::text
