// Meter values as text: the shortest digits that read back as the same 32-bit float; and what an
// EX register gets from a value as typed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "core/write_request.h"
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
        {51.6f, "51.6"},
        {0.91f, "0.91"},
        {230.1f, "230.1"},
        {-7.0f, "-7"},
        {1234.0f, "1234"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {1e6f, "1e+06"},
        {49.9f, "49.9"},
        {0.5f, "0.5"},
        {16777216.0f, "16777216"},
        {1e-7f, "1e-07"},
        {3.4028235e38f, "3.4028235e+38"},
        {1.4e-45f, "1e-45"},
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

// The register holds signed 32-bit whole numbers; the driver's conversion (truncation toward
// zero, low 32 bits, 0 for NaN) is what --raw sends, and each refusal says what that would be.
TEST(ExValueCheck, RefusesWhatTheRegisterCannotHoldAsWritten) {
    struct Case {
        double typed;
        std::int32_t sent;
        const char* problem;  // "" when the register holds it
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {0, 0, ""},
        {-5, -5, ""},
        {70000, 70000, ""},
        {16777216, 16777216, ""},
        {2147483520, 2147483520, ""},  // the largest float below 2^31
        {-2147483648.0, INT32_MIN, ""},
        {12.7, 12, "has a fraction"},
        {-0.5, 0, "has a fraction"},
        {nan, 0, "is not a number"},
        {inf, 0, "is infinite"},
        {-inf, 0, "is infinite"},
        {2147483647, INT32_MIN, "is not exact in the 32-bit float"},  // the float is 2^31
        {2147483648.0, INT32_MIN, "is outside the register's range"},
        {-2147483649.0, INT32_MIN, "is outside the register's range"},
        {1e10, 1410065408, "is outside the register's range"},
        {16777217, 16777216, "is not exact in the 32-bit float"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        const host::core::ExValueCheck check = host::core::CheckExValue(c.typed);
        EXPECT_EQ(check.sent, c.sent);
        if (*c.problem == '\0') {
            EXPECT_EQ(check.problem, "");
        } else {
            EXPECT_EQ(check.problem.rfind(c.problem, 0), 0u) << check.problem;
            EXPECT_NE(check.problem.find("the driver would send " + std::to_string(c.sent)),
                      std::string::npos)
                << check.problem;
        }
    }
}

}  // namespace
