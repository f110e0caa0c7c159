// The driver's own "%f" and "%X" conversions: against the C library's strtof in the C locale
// over generated field texts, hexadecimal reading with widths, and a read through VpiMain
// while the process runs in a locale whose decimal separator is a comma.
#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "protocol.h"
#include "protocol_fixture.h"

namespace {

using namespace prototest;

std::uint32_t Bits(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

// True where "%f" gives up part-way through its input item although strtof would take a
// prefix of it: once past "0x" it wants a hexadecimal digit (before or after the point), and
// once past "infi" the whole of "infinity".
bool FormattedInputGivesUp(const std::string& text) {
    std::size_t p = text.find_first_not_of(" \t\n\v\f\r");
    if (p == std::string::npos) return false;
    if (text[p] == '+' || text[p] == '-') ++p;
    std::string rest = text.substr(p);
    for (char& c : rest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (rest.rfind("0x", 0) == 0) {
        const std::size_t digit = rest[2] == '.' ? 3 : 2;
        return digit >= rest.size() || !std::isxdigit(static_cast<unsigned char>(rest[digit]));
    }
    return rest.rfind("infi", 0) == 0 && rest.rfind("infinity", 0) != 0;
}

// Compares the driver's reading of `text` with strtof's: both convert or neither; equal bit
// patterns, or both not-a-number with the same sign. Where "%f" gives up part-way, nothing
// converts.
void ExpectLikeStrtof(const std::string& text) {
    char* end = nullptr;
    const float expected = std::strtof(text.c_str(), &end);
    const bool converts = end != text.c_str() && !FormattedInputGivesUp(text);
    float got = 12345.0f;
    const bool ok = protocol::ScanFloat(text, &got);
    ASSERT_EQ(ok, converts) << '"' << text << '"';
    if (!ok) return;
    if (std::isnan(expected)) {
        ASSERT_TRUE(std::isnan(got)) << '"' << text << '"';
        ASSERT_EQ(std::signbit(got), std::signbit(expected)) << '"' << text << '"';
    } else {
        ASSERT_EQ(Bits(got), Bits(expected))
            << '"' << text << "\" got " << got << " expected " << expected;
    }
}

TEST(ScanFloat, HandPickedTexts) {
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    const std::vector<std::string> texts{
        "1.25",
        "0.50",
        "0500",
        "-2.5",
        "+.5",
        "5.",
        ".",
        "-",
        "+",
        "",
        " ",
        "  \t12",
        "1e5",
        "1e",
        "1e+",
        "1e-",
        "1E-3",
        "2.5e-3x",
        "abc",
        "e5",
        ".e1",
        "--1",
        "+-1",
        "inf",
        "INF",
        "-Inf",
        "infinity",
        "INFINITX",
        "infin",
        "nan",
        "-NaN",
        "nan(12)",
        "nan(",
        "nan(x_1)",
        "0x1p3",
        "0x1.8p1",
        "0X.8",
        "0x",
        "0xg",
        "0x.",
        "0x.p1",
        "-0x10",
        "0x1p-149",
        "0x1p-150",
        "0x3p-150",
        "0x1p128",
        "0xFFFFFFp",
        "1e38",
        "3.4e38",
        "3.41e38",
        "3.5e38",
        "1e39",
        "1e-45",
        "1.4e-45",
        "7e-46",
        "8e-46",
        "1e-46",
        "1.17e-38",
        "16777217",
        "16777219",
        "33554435",
        "99999999",
        "0.1",
        "0.2",
        "0.3",
        "9.999999",
        "1e-10",
        "1e10",
        "1e11",
        "1e-11",
        "-0",
        "-0.0",
        "00000000",
        "1.5\0xx",
        "12345678",
        "4.2e-44",
        "2e-45",
        "7.01e-46",
        "1.0E+1",
        // Vertical tab and form feed are white space too; binary exponents far below the
        // smallest subnormal give zero, not a wrapped exponent.
        "\v2.5",
        "\f-1",
        "\v\f+.5",
        "0x1p-151",
        "0x1p-200",
        "0x1p-999",
        "0x8p-153",
        // Where the conversion gives up part-way: nothing converts.
        "infi",
        "-infini",
        "infinitY",
        "0xp1",
        "-0X",
        " +0x.",
        "0x.g",
    };
    for (const std::string& t : texts) ExpectLikeStrtof(t);
}

TEST(ScanFloat, GeneratedTextsAgreeWithTheLibrary) {
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    std::mt19937 rng(424242);
    const std::string alphabet = "0123456789.eE+- xXpPabcdfinINtyF(";
    auto pick = [&](const std::string& s) { return s[rng() % s.size()]; };
    for (int i = 0; i < 300000; ++i) {
        std::string t;
        const std::size_t length = 1 + rng() % 8;
        switch (i % 4) {
            case 0:  // anything from the alphabet
                for (std::size_t k = 0; k < length; ++k) t += pick(alphabet);
                break;
            case 1: {  // a decimal number with a point
                if (rng() % 3 == 0) t += pick("+- ");
                for (std::size_t k = 0; k < length; ++k) t += pick("0123456789");
                t.insert(rng() % (t.size() + 1), 1, '.');
                break;
            }
            default: {  // a significand and an exponent, reaching every range floats have
                if (rng() % 4 == 0) t += '-';
                const std::size_t digits = 1 + rng() % 4;
                for (std::size_t k = 0; k < digits; ++k) t += pick("0123456789");
                if (rng() % 2) t.insert(rng() % (t.size() + 1), 1, '.');
                t += 'e';
                const int e = static_cast<int>(rng() % 110) - 60;
                t += std::to_string(e);
                break;
            }
        }
        if (t.size() > 8) t.resize(8);
        ExpectLikeStrtof(t);
    }
}

TEST(ScanFloat, EveryDigitStringNearTheRoundingEdges) {
    // All eight-digit integers around 2^24 and 2^25, where ties to even decide.
    for (std::uint32_t n = 16777200; n < 16777300; ++n) ExpectLikeStrtof(std::to_string(n));
    for (std::uint32_t n = 33554400; n < 33554500; ++n) ExpectLikeStrtof(std::to_string(n));
    // Subnormals and the top of the range, digit by digit.
    for (int m = 1; m < 1000; ++m) {
        ExpectLikeStrtof(std::to_string(m) + "e-47");
        ExpectLikeStrtof(std::to_string(m) + "e-45");
        ExpectLikeStrtof(std::to_string(m) + "e36");
        ExpectLikeStrtof("0." + std::to_string(m) + "e39");
    }
}

TEST(ScanHex, WidthsSignsAndPrefixes) {
    const auto accepts = [](const std::string& text, std::size_t width, std::uint32_t expected) {
        std::uint32_t value = 0;
        EXPECT_EQ(protocol::ScanHex(text, width, &value), true) << text;
        EXPECT_EQ(value, expected) << text;
    };
    struct Case {
        std::string text;
        std::size_t width;
        std::uint32_t value;
    };
    // At most `width` digits of either case, after blanks and a sign; a minus negates.
    for (const Case& c :
         {Case{"1F", 2, 0x1F}, Case{"ff", 2, 0xFF}, Case{"0A", 2, 10}, Case{"123", 2, 0x12},
          Case{" 12", 2, 0x12}, Case{"\t\n5A", 2, 0x5A}, Case{"\v1F", 2, 0x1F},
          Case{"\f\rA", 1, 0xA}, Case{"-1", 2, 0xFFFFFFFFu}, Case{"+F", 2, 0xF}}) {
        accepts(c.text, c.width, c.value);
    }
    // "0x" and "0X" are a prefix only where a digit follows within the width; else the 0 is
    // the number.
    const std::size_t any = 100;
    for (const Case& c :
         {Case{"0x", 2, 0}, Case{"0xF", 2, 0}, Case{"0xF", 3, 0xF}, Case{"0xg", 3, 0},
          Case{"0x.", any, 0}, Case{"0X1", 3, 1}, Case{"0x00000A", any, 10}}) {
        accepts(c.text, c.width, c.value);
    }
    // With room to spare: eight digits at most, taken as 32 bits, and the number ends at the
    // first character that is no digit.
    using Number = std::pair<std::string, std::uint32_t>;
    for (const auto& [text, value] :
         {Number{"7FFFFFFF", 0x7FFFFFFFu}, Number{"80000000", 0x80000000u},
          Number{"fffffffe", 0xFFFFFFFEu}, Number{"-0000001", 0xFFFFFFFFu},
          Number{"123456789", 0x23456789u}, Number{"12 34", 0x12},
          Number{std::string("1\0"
                             "2",
                             3),
                 1}}) {
        accepts(text, any, value);
    }
    // Nothing a number can start with.
    for (const char* text : {"+", "x1", "", "G1"}) {
        std::uint32_t value = 0;
        EXPECT_EQ(protocol::ScanHex(text, 2, &value), false) << text;
    }
}

// A comma locale for the process, as a host may set one; empty when none can be set.
std::string SetCommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252", "German",
                             "de-DE", "fr_FR.UTF-8", "French"}) {
        if (std::setlocale(LC_ALL, name) != nullptr &&
            std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
            return name;
        }
        std::setlocale(LC_ALL, "C");
    }
    return {};
}

class CommaLocale : public ProtocolTest {
protected:
    void TearDown() override {
        std::setlocale(LC_ALL, "C");
        ProtocolTest::TearDown();
    }
};

TEST_F(CommaLocale, ReadsDecimalPointsWhateverTheHostLocale) {
    const std::string name = SetCommaLocale();
    if (name.empty()) {
        GTEST_SKIP() << "no locale with a comma decimal separator can be set here "
                        "(on Debian: localedef -i de_DE -f UTF-8 de_DE.UTF-8)";
    }
    // The locale is in force: the C library now stops at the point.
    ASSERT_EQ(std::strtof("1.25", nullptr), 1.0f) << name;

    std::string data;
    for (int w : {4, 4, 4, 5, 5, 5, 6, 6, 6, 4})
        data += std::string(static_cast<std::size_t>(w), '0');
    data.replace(0, 4, "1.25");
    data.replace(45, 4, "1.25");  // field 9, not scaled
    float values[10] = {};
    GateIoRecord gate = Gate(1, MEMTYPE_PLAIN, 10, values);
    Script({Reply(data)});
    ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
    EXPECT_EQ(values[0], 1250.0f);
    EXPECT_EQ(values[9], 1.25f);

    float h[2] = {};
    GateIoRecord hGate = Gate(1, MEMTYPE_H2, 2, h);
    Script({Reply("12.503,1e1")});
    ASSERT_EQ(Call(VpiOperation::Read, hGate), VpiDone);
    EXPECT_EQ(h[0], 12.5f);
    EXPECT_EQ(h[1], 3.0f);  // a comma is no decimal separator to the meter
}

}  // namespace
