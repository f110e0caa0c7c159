// Text-to-number conversions of reply fields, written out so that they read "1.25" the same
// whatever locale the host process has set (the C library's scanf family follows the
// process locale's decimal separator) and so that nothing pulls allocation into the module.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "protocol.h"

namespace protocol {

namespace {

// White space as the C locale's isspace sees it.
constexpr bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// -1 when `c` is no hexadecimal digit.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

constexpr char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text a conversion may look at: at most `limit` characters, ending at a NUL.
std::string_view Bounded(std::string_view text, std::size_t limit) {
    std::size_t end = text.size() < limit ? text.size() : limit;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\0') {
            end = i;
            break;
        }
    }
    return text.substr(0, end);
}

// True when `text` at `pos` starts with `word` (lower case), case-insensitively.
bool StartsWithWord(std::string_view text, std::size_t pos, std::string_view word) {
    if (text.size() - pos < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (Lower(text[pos + i]) != word[i]) return false;
    }
    return true;
}

float FromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint32_t ToBits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// 2^e as a double, for e within the normal double range.
double PowerOfTwo(int e) {
    const std::uint64_t bits = static_cast<std::uint64_t>(1023 + e) << 52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

int BitLength(std::uint64_t v) {
    int n = 0;
    while (v != 0) {
        ++n;
        v >>= 1;
    }
    return n;
}

constexpr std::uint32_t kInfinityBits = 0x7F800000u;
constexpr std::uint32_t kQuietNanBits = 0x7FC00000u;
constexpr std::uint32_t kSignBit = 0x80000000u;

// Powers of ten that doubles hold exactly.
constexpr auto kPowersOfTen =
    std::to_array<double>({1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22});
static_assert(kPowersOfTen.size() == 23);

// An unsigned integer of fixed width, just enough for the exact comparisons below.
// Operands stay under 2^310 (see DecimalToFloatExact), so nothing is ever carried out of it.
struct BigInt {
    static constexpr std::size_t kLimbs = 10;
    std::array<std::uint32_t, kLimbs> limb{};

    explicit BigInt(std::uint64_t v) {
        limb[0] = static_cast<std::uint32_t>(v);
        limb[1] = static_cast<std::uint32_t>(v >> 32);
    }

    void MultiplySmall(std::uint32_t factor) {
        std::uint64_t carry = 0;
        for (std::uint32_t& l : limb) {
            const std::uint64_t product = std::uint64_t{l} * factor + carry;
            l = static_cast<std::uint32_t>(product);
            carry = product >> 32;
        }
    }

    void MultiplyPowerOfFive(int k) {
        constexpr std::uint32_t kFiveTo13 = 1220703125u;  // the largest power of 5 in 32 bits
        for (; k >= 13; k -= 13) MultiplySmall(kFiveTo13);
        for (; k > 0; --k) MultiplySmall(5);
    }

    void ShiftLeft(int bits) {
        const auto whole = static_cast<std::size_t>(bits / 32);
        const int part = bits % 32;
        for (std::size_t i = kLimbs; i-- > 0;) {
            std::uint32_t v = 0;
            if (i >= whole) {
                v = limb[i - whole] << part;
                if (part != 0 && i > whole) v |= limb[i - whole - 1] >> (32 - part);
            }
            limb[i] = v;
        }
    }

    friend int Compare(const BigInt& a, const BigInt& b) {
        for (std::size_t i = kLimbs; i-- > 0;) {
            if (a.limb[i] != b.limb[i]) return a.limb[i] < b.limb[i] ? -1 : 1;
        }
        return 0;
    }
};

// A positive finite float (or the infinity pattern, taken as 2^128) as mantissa × 2^exponent.
struct Dyadic {
    std::uint64_t mantissa;
    int exponent;
};

Dyadic Decompose(std::uint32_t bits) {
    const auto field = static_cast<int>(bits >> 23);
    const std::uint32_t fraction = bits & 0x7FFFFFu;
    if (field == 0) return {fraction, -149};
    return {fraction | 0x800000u, field - 150};
}

// Sign of m × 10^e10 − (the midpoint between the floats with patterns `low` and low + 1).
int CompareWithMidpoint(std::uint64_t m, int e10, std::uint32_t low) {
    const Dyadic a = Decompose(low);
    const Dyadic b = Decompose(low + 1);
    // Both at a's exponent (b's is equal or one higher), summed: the midpoint is
    // sum × 2^(a.exponent − 1).
    const std::uint64_t sum = a.mantissa + (b.mantissa << (b.exponent - a.exponent));
    const int midExponent = a.exponent - 1;

    // Compare lhs × 2^lhsExp with rhs × 2^rhsExp, both sides integers.
    BigInt lhs(m);
    BigInt rhs(sum);
    int lhsExp = 0;
    int rhsExp = midExponent;
    if (e10 >= 0) {
        lhs.MultiplyPowerOfFive(e10);
        lhsExp = e10;
    } else {
        // m × 10^−k against sum × 2^mid: m against sum × 5^k × 2^(mid + k).
        rhs.MultiplyPowerOfFive(-e10);
        rhsExp = midExponent - e10;
    }
    if (lhsExp >= rhsExp) {
        lhs.ShiftLeft(lhsExp - rhsExp);
    } else {
        rhs.ShiftLeft(rhsExp - lhsExp);
    }
    return Compare(lhs, rhs);
}

// m × 10^e10 correctly rounded (to nearest, ties to even), for m below 2^32 and e10 within
// −53 to 38. A double estimate lands within one float step of the answer; exact comparisons
// with the midpoints to its neighbours settle it. Sizes: m × 5^38 < 2^121, shifted by at most
// 188 bits; sum × 5^53 < 2^150, shifted by at most 157 bits; m shifted by at most 149 bits:
// all below 2^310.
std::uint32_t DecimalToFloatExact(std::uint64_t m, int e10) {
    double estimate = static_cast<double>(m);
    for (int k = e10; k > 0; k -= 22)
        estimate *= kPowersOfTen[static_cast<std::size_t>(k > 22 ? 22 : k)];
    for (int k = -e10; k > 0; k -= 22)
        estimate /= kPowersOfTen[static_cast<std::size_t>(k > 22 ? 22 : k)];
    std::uint32_t bits = ToBits(static_cast<float>(estimate));
    // Up: while the value lies above the midpoint to the next float (or on it, when the next
    // float is the even one).
    while (bits < kInfinityBits) {
        const int c = CompareWithMidpoint(m, e10, bits);
        if (c > 0 || (c == 0 && ((bits + 1) & 1u) == 0)) {
            ++bits;
        } else {
            break;
        }
    }
    while (bits > 0) {
        const int c = CompareWithMidpoint(m, e10, bits - 1);
        if (c < 0 || (c == 0 && ((bits - 1) & 1u) == 0)) {
            --bits;
        } else {
            break;
        }
    }
    return bits;
}

// The magnitude of m × 10^e10 as a float pattern.
std::uint32_t DecimalToFloat(std::uint64_t m, int e10) {
    if (m == 0) return 0;
    // m has at most 8 digits: below 10^(8 + e10) ≤ 10^−46, under half the smallest
    // subnormal (2^−150 ≈ 7e−46); from 10^39 on, above the largest float.
    if (e10 <= -54) return 0;
    if (e10 >= 39) return kInfinityBits;
    if (m < (1u << 24) && e10 >= -10 && e10 <= 10) {
        // m and 10^|e10| (5^10 < 2^24) are both floats; one operation carried out with at
        // least 50 bits and then rounded to float is correctly rounded.
        const double p = kPowersOfTen[static_cast<std::size_t>(e10 < 0 ? -e10 : e10)];
        const double v = e10 < 0 ? static_cast<double>(m) / p : static_cast<double>(m) * p;
        return ToBits(static_cast<float>(v));
    }
    if (e10 == 0) return ToBits(static_cast<float>(m));  // one rounding
    return DecimalToFloatExact(m, e10);
}

// The magnitude of h × 2^e2 as a float pattern; h below 2^53.
std::uint32_t BinaryToFloat(std::uint64_t h, int e2) {
    if (h == 0) return 0;
    const int top = BitLength(h) + e2;  // h × 2^e2 < 2^top
    if (top <= -150) return 0;          // at most half the smallest subnormal
    if (top > 128) return kInfinityBits;
    // Exact in double (e2 lies within −214 to 128), so the cast is the only rounding.
    return ToBits(static_cast<float>(static_cast<double>(h) * PowerOfTwo(e2)));
}

// Reads decimal digits of an exponent; saturates far beyond any float's range.
int ReadExponentDigits(std::string_view field, std::size_t* at) {
    int exponent = 0;
    while (*at < field.size() && IsDigit(field[*at])) {
        if (exponent < 100000) exponent = exponent * 10 + (field[*at] - '0');
        ++*at;
    }
    return exponent;
}

// An exponent part: marker, optional sign, at least one digit. Leaves `at` alone (the
// marker is not consumed) when it is incomplete.
int ReadExponent(std::string_view field, std::size_t* at, char marker) {
    if (*at >= field.size() || Lower(field[*at]) != marker) return 0;
    std::size_t next = *at + 1;
    bool negative = false;
    if (next < field.size() && (field[next] == '+' || field[next] == '-')) {
        negative = field[next++] == '-';
    }
    if (next >= field.size() || !IsDigit(field[next])) return 0;
    const int exponent = ReadExponentDigits(field, &next);
    *at = next;
    return negative ? -exponent : exponent;
}

// The digits of a number, read as one integer, and how many of them stood behind the point.
struct Significand {
    std::uint64_t value = 0;
    int digits = 0;          // all digits read, both sides of the point
    int fractionDigits = 0;  // those behind it
};

// The value of `c` as a digit of `radix` (10 or 16), or -1.
constexpr int DigitValue(char c, unsigned radix) {
    if (radix == 10) return IsDigit(c) ? c - '0' : -1;
    return HexValue(c);
}

// Digits of `radix`, at most one point among them, from `*at` on; `*at` ends behind the last
// one read. Eight characters hold at most eight digits, so the value stays exact.
Significand ReadSignificand(std::string_view field, std::size_t* at, unsigned radix) {
    Significand significand;
    bool behindPoint = false;
    for (; *at < field.size(); ++*at) {
        if (field[*at] == '.' && !behindPoint) {
            behindPoint = true;
            continue;
        }
        const int digit = DigitValue(field[*at], radix);
        if (digit < 0) break;
        significand.value = significand.value * radix + static_cast<unsigned>(digit);
        ++significand.digits;
        if (behindPoint) ++significand.fractionDigits;
    }
    return significand;
}

// "inf", or "infinity" whole, at `at`: the conversion reads on once it sees the "i" of
// "infinity", and a text that stops short of its end ("infi", "infin") converts nothing.
bool ScanInfinity(std::string_view field, std::size_t at, std::uint32_t* magnitude) {
    constexpr std::size_t kInfLength = 3;
    if (at + kInfLength < field.size() && Lower(field[at + kInfLength]) == 'i' &&
        !StartsWithWord(field, at, "infinity")) {
        return false;
    }
    *magnitude = kInfinityBits;
    return true;
}

// A hexadecimal float behind the "0x" that ends at `at`. Once past "0x" the conversion wants
// a hexadecimal digit, before or after the point: "0x" and "0xp1" convert nothing.
bool ScanHexFloat(std::string_view field, std::size_t at, std::uint32_t* magnitude) {
    const bool digitFirst = at < field.size() && HexValue(field[at]) >= 0;
    const bool pointThenDigit =
        at + 1 < field.size() && field[at] == '.' && HexValue(field[at + 1]) >= 0;
    if (!digitFirst && !pointThenDigit) return false;
    const Significand significand = ReadSignificand(field, &at, 16);
    // Each hexadecimal digit behind the point is four binary places.
    const int binaryExponent = ReadExponent(field, &at, 'p') - 4 * significand.fractionDigits;
    *magnitude = BinaryToFloat(significand.value, binaryExponent);
    return true;
}

// A decimal float at `at`: digits, optional point, digits, at least one digit in all.
bool ScanDecimalFloat(std::string_view field, std::size_t at, std::uint32_t* magnitude) {
    const Significand significand = ReadSignificand(field, &at, 10);
    if (significand.digits == 0) return false;
    const int decimalExponent = ReadExponent(field, &at, 'e') - significand.fractionDigits;
    *magnitude = DecimalToFloat(significand.value, decimalExponent);
    return true;
}

// The float pattern, without its sign, of the number at `at`; false when nothing converts.
bool ScanMagnitude(std::string_view field, std::size_t at, std::uint32_t* magnitude) {
    if (StartsWithWord(field, at, "inf")) return ScanInfinity(field, at, magnitude);
    if (StartsWithWord(field, at, "nan")) {
        *magnitude = kQuietNanBits;  // any "(n-char-sequence)" behind it carries no payload here
        return true;
    }
    if (at + 1 < field.size() && field[at] == '0' && Lower(field[at + 1]) == 'x') {
        return ScanHexFloat(field, at + 2, magnitude);
    }
    return ScanDecimalFloat(field, at, magnitude);
}

}  // namespace

bool ScanFloat(std::string_view text, float* value) {
    const std::string_view field = Bounded(text, kMaxFieldChars);
    std::size_t at = 0;
    while (at < field.size() && IsSpace(field[at])) ++at;
    bool negative = false;
    if (at < field.size() && (field[at] == '+' || field[at] == '-')) negative = field[at++] == '-';
    std::uint32_t magnitude = 0;
    if (!ScanMagnitude(field, at, &magnitude)) return false;
    *value = FromBits(negative ? (magnitude | kSignBit) : magnitude);
    return true;
}

bool ScanHex(std::string_view text, std::size_t width, std::uint32_t* value) {
    std::string_view t = Bounded(text, text.size());
    std::size_t pos = 0;
    while (pos < t.size() && IsSpace(t[pos])) ++pos;  // skipped white space is not counted
    if (t.size() - pos > width) t = t.substr(0, pos + width);
    bool negative = false;
    if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) negative = t[pos++] == '-';
    // "0x" is a prefix only when a digit follows within the width; otherwise the "0" is the
    // number, as strtoul reads it.
    if (pos + 2 < t.size() && t[pos] == '0' && Lower(t[pos + 1]) == 'x' &&
        HexValue(t[pos + 2]) >= 0) {
        pos += 2;
    }
    std::uint32_t n = 0;
    int digits = 0;
    while (pos < t.size() && HexValue(t[pos]) >= 0) {
        n = n * 16u + static_cast<std::uint32_t>(HexValue(t[pos++]));
        ++digits;
    }
    if (digits == 0) return false;
    *value = negative ? 0u - n : n;
    return true;
}

}  // namespace protocol
