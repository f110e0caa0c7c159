// Code page 437 to UTF-8: the upper half of the code page, as Unicode code points.
#include "core/cp437.h"

#include <array>
#include <cstdint>

namespace host::core {

namespace {

constexpr std::array<char16_t, 128> kUpperHalf{
    u'Ç', u'ü', u'é', u'â', u'ä', u'à', u'å', u'ç',      u'ê', u'ë', u'è', u'ï', u'î', u'ì', u'Ä',
    u'Å', u'É', u'æ', u'Æ', u'ô', u'ö', u'ò', u'û',      u'ù', u'ÿ', u'Ö', u'Ü', u'¢', u'£', u'¥',
    u'₧', u'ƒ', u'á', u'í', u'ó', u'ú', u'ñ', u'Ñ',      u'ª', u'º', u'¿', u'⌐', u'¬', u'½', u'¼',
    u'¡', u'«', u'»', u'░', u'▒', u'▓', u'│', u'┤',      u'╡', u'╢', u'╖', u'╕', u'╣', u'║', u'╗',
    u'╝', u'╜', u'╛', u'┐', u'└', u'┴', u'┬', u'├',      u'─', u'┼', u'╞', u'╟', u'╚', u'╔', u'╩',
    u'╦', u'╠', u'═', u'╬', u'╧', u'╨', u'╤', u'╥',      u'╙', u'╘', u'╒', u'╓', u'╫', u'╪', u'┘',
    u'┌', u'█', u'▄', u'▌', u'▐', u'▀', u'α', u'ß',      u'Γ', u'π', u'Σ', u'σ', u'µ', u'τ', u'Φ',
    u'Θ', u'Ω', u'δ', u'∞', u'φ', u'ε', u'∩', u'≡',      u'±', u'≥', u'≤', u'⌠', u'⌡', u'÷', u'≈',
    u'°', u'∙', u'·', u'√', u'ⁿ', u'²', u'■', u'\u00A0',
};

void AppendUtf8(std::string& out, char16_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string Cp437ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        const auto byte = static_cast<std::uint8_t>(ch);
        AppendUtf8(out, byte < 0x80 ? char16_t{byte} : kUpperHalf[byte - 0x80]);
    }
    return out;
}

}  // namespace host::core
