// Display forms of bytes and texts: chosen characters escaped, the rest of what is not
// printable as \xHH, and plain hex. vpihost and metersim both show line bytes this way, so that
// a capture of one reads like the trace of the other.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace host::text {

// A character and the text that stands for it.
struct CharEscape {
    char c;
    const char* text;
};

// `bytes` with each character of `escapes` replaced by its text. With `hexRest`, every other
// byte below 0x20 or from 0x7F on becomes \xHH (upper-case); everything else stays as it is.
std::string Escaped(std::string_view bytes, std::span<const CharEscape> escapes, bool hexRest);

// Upper-case hex, two digits a byte, no separators.
std::string Hex(std::string_view bytes);

// Line bytes: \r, \n, \0 and the backslash by name, the rest of the unprintable bytes as \xHH.
inline constexpr std::array<CharEscape, 4> kLineEscapes{{
    {'\r', "\\r"},
    {'\n', "\\n"},
    {'\0', "\\0"},
    {'\\', "\\\\"},
}};

// Printable form of line bytes, escaped by kLineEscapes with \xHH for the rest.
inline std::string LineBytes(std::string_view bytes) {
    return Escaped(bytes, kLineEscapes, true);
}

}  // namespace host::text
