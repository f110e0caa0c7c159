// The simulator's number parsers.
#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace sim {

int ParseInteger(const std::string& text, int low, int high, const std::string& what) {
    // from_chars takes no blanks or "+" and reports overflow, so "digits only" is its own test.
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text[0] == '-' || error != std::errc{} || stop != end) {
        throw std::invalid_argument("bad " + what + " \"" + text + "\"");
    }
    if (value < low || value > high) {
        throw std::invalid_argument(what + " " + text + " out of range " + std::to_string(low) +
                                    ".." + std::to_string(high));
    }
    return value;
}

double ParseReal(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) {
        throw std::invalid_argument("not a number: \"" + text + "\"");
    }
    return value;
}

std::int32_t ParseRegister(const std::string& text) {
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    const bool negative = !hex && text.rfind('-', 0) == 0;
    const std::size_t from = hex ? 2 : negative ? 1 : 0;
    std::uint64_t magnitude = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + from, end, magnitude, hex ? 16 : 10);
    const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : UINT32_MAX;
    if (text.size() == from || error != std::errc{} || stop != end || magnitude > limit) {
        throw std::invalid_argument("EX registers take a 32-bit integer, not \"" + text + "\"");
    }
    const auto bits = static_cast<std::uint32_t>(negative ? 0 - magnitude : magnitude);
    return static_cast<std::int32_t>(bits);
}

}  // namespace sim
