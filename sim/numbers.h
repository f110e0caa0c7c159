// The simulator's number parsers, one for each kind of number its options and values file hold.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// A decimal integer of digits only (no sign, no blanks) from `low` to `high`. Throws
// std::invalid_argument: "bad WHAT "TEXT"" when the text is no such number, "WHAT TEXT out of
// range LOW..HIGH" when it lies outside.
int ParseInteger(const std::string& text, int low, int high, const std::string& what);

// A finite number as strtod reads it, filling the whole text. Throws std::invalid_argument
// ("not a number: "TEXT"").
double ParseReal(const std::string& text);

// A 32-bit register value: decimal (possibly negative) or hexadecimal behind "0x"; values up to
// 2^32 - 1 stand for their two's-complement pattern. A leading zero is no octal marker. Throws
// std::invalid_argument.
std::int32_t ParseRegister(const std::string& text);

}  // namespace sim
