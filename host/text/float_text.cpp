// Shortest round-trip text of 32-bit floats, by std::to_chars on the float itself.
#include "text/float_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace host::text {

std::string FloatText(float value) {
    if (std::isnan(value)) return "nan";
    // Shortest round trip needs at most 9 significant digits, a sign, a point and "e-45".
    std::array<char, 32> text{};
    const std::to_chars_result done = std::to_chars(text.data(), text.data() + text.size(), value);
    if (done.ec != std::errc{}) return "nan";
    return std::string(text.data(), done.ptr);
}

double FloatAsDecimal(float value) {
    if (!std::isfinite(value)) return static_cast<double>(value);
    return std::strtod(FloatText(value).c_str(), nullptr);
}

}  // namespace host::text
