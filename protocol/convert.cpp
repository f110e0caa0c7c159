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
constexpr std::array<double, 23> kPowersOfTen{1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
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
int ReadExponentDigits(std::string_view t, std::size_t* pos) {
    int e = 0;
    while (*pos < t.size() && IsDigit(t[*pos])) {
        if (e < 100000) e = e * 10 + (t[*pos] - '0');
        ++*pos;
    }
    return e;
}

// An exponent part: marker, optional sign, at least one digit. Leaves `pos` alone (the
// marker is not consumed) when it is incomplete.
int ReadExponent(std::string_view t, std::size_t* pos, char marker) {
    if (*pos >= t.size() || Lower(t[*pos]) != marker) return 0;
    std::size_t p = *pos + 1;
    bool negative = false;
    if (p < t.size() && (t[p] == '+' || t[p] == '-')) negative = t[p++] == '-';
    if (p >= t.size() || !IsDigit(t[p])) return 0;
    const int e = ReadExponentDigits(t, &p);
    *pos = p;
    return negative ? -e : e;
}

}  // namespace

bool ScanFloat(std::string_view text, float* value) {
    const std::string_view t = Bounded(text, kMaxFieldChars);
    std::size_t pos = 0;
    while (pos < t.size() && IsSpace(t[pos])) ++pos;
    bool negative = false;
    if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) negative = t[pos++] == '-';

    std::uint32_t magnitude = 0;
    if (StartsWithWord(t, pos, "inf")) {
        // "inf", or "infinity" whole: the conversion reads on once it sees the "i" of
        // "infinity", and a text that stops short of its end ("infi", "infin") converts nothing.
        constexpr std::size_t kInfLength = 3;
        if (pos + kInfLength < t.size() && Lower(t[pos + kInfLength]) == 'i' &&
            !StartsWithWord(t, pos, "infinity")) {
            return false;
        }
        magnitude = kInfinityBits;
    } else if (StartsWithWord(t, pos, "nan")) {
        magnitude = kQuietNanBits;  // any "(n-char-sequence)" behind it carries no payload here
    } else if (pos + 1 < t.size() && t[pos] == '0' && Lower(t[pos + 1]) == 'x') {
        // Once past "0x" the conversion wants a hexadecimal digit, before or after the point:
        // "0x" and "0xp1" convert nothing.
        if (!((pos + 2 < t.size() && HexValue(t[pos + 2]) >= 0) ||
              (pos + 3 < t.size() && t[pos + 2] == '.' && HexValue(t[pos + 3]) >= 0))) {
            return false;
        }
        // Hexadecimal: at most six digits fit in eight characters, so h stays exact.
        std::size_t p = pos + 2;
        std::uint64_t h = 0;
        int e2 = 0;
        while (p < t.size() && HexValue(t[p]) >= 0)
            h = h * 16 + static_cast<unsigned>(HexValue(t[p++]));
        if (p < t.size() && t[p] == '.') {
            ++p;
            while (p < t.size() && HexValue(t[p]) >= 0) {
                h = h * 16 + static_cast<unsigned>(HexValue(t[p++]));
                e2 -= 4;
            }
        }
        e2 += ReadExponent(t, &p, 'p');
        magnitude = BinaryToFloat(h, e2);
    } else {
        // Decimal: digits, optional point, digits; at least one digit in all. Eight characters
        // hold at most eight digits, so m stays below 10^8.
        std::size_t p = pos;
        std::uint64_t m = 0;
        int e10 = 0;
        int digits = 0;
        while (p < t.size() && IsDigit(t[p])) {
            m = m * 10 + static_cast<unsigned>(t[p++] - '0');
            ++digits;
        }
        if (p < t.size() && t[p] == '.') {
            ++p;
            while (p < t.size() && IsDigit(t[p])) {
                m = m * 10 + static_cast<unsigned>(t[p++] - '0');
                --e10;
                ++digits;
            }
        }
        if (digits == 0) return false;
        e10 += ReadExponent(t, &p, 'e');
        magnitude = DecimalToFloat(m, e10);
    }
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
