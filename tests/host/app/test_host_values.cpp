// Meter values as text: the shortest digits that read back as the same 32-bit float.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "text/float_text.h"

namespace {

using host::text::FloatAsDecimal;
using host::text::FloatText;

TEST(FloatText, ValuesAMeterSendsKeepTheirDigits) {
    struct Case {
        float value;
        const char* text;
    };
    const Case cases[] = {
        {51.6f, "51.6"},     {0.91f, "0.91"},     {230.1f, "230.1"},       {-7.0f, "-7"},
        {1234.0f, "1234"},   {0.0f, "0"},         {-0.0f, "-0"},           {1e6f, "1e+06"},
        {49.9f, "49.9"},     {0.5f, "0.5"},       {16777216.0f, "16777216"}, {1e-7f, "1e-07"},
        {3.4028235e38f, "3.4028235e+38"},         {1.4e-45f, "1e-45"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FloatText(c.value), c.text);
    }
    EXPECT_EQ(FloatText(std::numeric_limits<float>::quiet_NaN()), "nan");
    EXPECT_EQ(FloatText(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(FloatText(-std::numeric_limits<float>::infinity()), "-inf");
}

// Every text reads back as the same float, and none is longer than nine significant digits
// need (printf's %.9g): a sweep of bit patterns across the whole range, normal and subnormal.
TEST(FloatText, ReadsBackAsTheSameFloatInNineDigitsAtMost) {
    for (std::uint32_t bits = 1; bits < 0x7F800000u; bits += 0x00012345u) {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        const std::string text = FloatText(value);
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
        char nine[32];
        std::snprintf(nine, sizeof nine, "%.9g", static_cast<double>(value));
        EXPECT_LE(text.size(), std::strlen(nine)) << text << " against " << nine;
    }
}

// A writer of doubles (the JSON library) prints the float's own digits when given
// FloatAsDecimal, and the widened double's when given the float.
TEST(FloatText, DoubleWritersPrintTheFloatsDigits) {
    EXPECT_EQ(nlohmann::json(FloatAsDecimal(0.91f)).dump(), "0.91");
    EXPECT_EQ(nlohmann::json(FloatAsDecimal(51.6f)).dump(), "51.6");
    EXPECT_EQ(nlohmann::json(FloatAsDecimal(-7.0f)).dump(), "-7.0");
    EXPECT_NE(nlohmann::json(static_cast<double>(0.91f)).dump(), "0.91");
    EXPECT_TRUE(std::isnan(FloatAsDecimal(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_EQ(FloatAsDecimal(std::numeric_limits<float>::infinity()),
              std::numeric_limits<double>::infinity());
    EXPECT_EQ(static_cast<float>(FloatAsDecimal(0.91f)), 0.91f);
}

}  // namespace
