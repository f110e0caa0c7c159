// The simulator's pieces on their own: framing against the protocol's worked frames, the
// field encoder read back the way the driver reads, the request splitter, the values file
// and fault options.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "faults.h"
#include "meter_frame.h"
#include "model.h"
#include "numbers.h"
#include "replies.h"
#include "values_file.h"

namespace {

using namespace std::string_literals;

TEST(SimFrame, ChecksumWorkedValues) {
    struct Case {
        std::string counted;
        char expected;
    };
    const Case cases[] = {
        {"006010", '}'},
        {"00701H1", 'I'},
        // A negative sum wraps in 16 bits: 65482 mod 92 gives h, a plain residue H.
        {"006\0\0\0"s, 'h'},
        {"", '"'},
    };
    for (const Case& c : cases) EXPECT_EQ(sim::Checksum(c.counted), c.expected) << c.counted;
}

TEST(SimFrame, BuildsTheProtocolsExampleFrames) {
    struct Case {
        std::string body;
        std::string frame;
    };
    const Case cases[] = {
        {"010", "!006010}\r\n"},
        {"01H1", "!00701H1I\r\n"},
        {"01P0A", "!00801P0Ap\r\n"},
        {"01U00", "!00801U00d\r\n"},
        {"01Q0F", "!00801Q0Fv\r\n"},
        {"01R0001", "!01001R0001w\r\n"},
        {"01R010C", "!01001R010C.\r\n"},
        {"01A0A0102", "!01201A0A0102;\r\n"},
        {"0141", "!00701415\r\n"},
        {"0142", "!00701426\r\n"},
        {"01a0A010000000C", "!01801a0A010000000Cj\r\n"},
        {"01a0A01FFFFFFFF", "!01801a0A01FFFFFFFFO\r\n"},
        {"01a0A01", "!01001a0A01;\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(sim::BuildFrame(c.body), c.frame) << c.body;
}

// The driver's reading of a decimal field: "%f", times 1000 for a kilo field with a point.
double DriverValue(const std::string& text, bool kilo) {
    float value = 0;
    EXPECT_EQ(std::sscanf(text.c_str(), "%f", &value), 1) << text;
    if (kilo && text.find('.') != std::string::npos) value *= 1000;
    return value;
}

TEST(SimModel, FieldTextsReadBackAsTheValue) {
    struct Case {
        double value;
        int width;
        bool kilo;
        std::string text;
    };
    const Case cases[] = {
        {1250, 4, true, "1.25"},     {230.4, 4, true, "0.23"},   {230.4, 6, true, "0.2304"},
        {0.5, 4, false, "0.50"},     {50.0, 4, false, "50.0"},   {-1.5, 5, false, "-1.50"},
        {12.5, 5, false, "12.50"},   {31050, 6, true, "31.050"}, {7, 4, false, "7.00"},
        {1e12, 6, true, "99999."},   {1e12, 4, false, "9999"},   {-1e12, 5, true, "-999."},
        {123456, 6, true, "123.46"}, {0, 2, false, "00"},
    };
    for (const Case& c : cases) {
        const std::string text = sim::FormatField(c.value, c.width, c.kilo);
        EXPECT_EQ(text, c.text) << c.value;
        EXPECT_EQ(text.size(), static_cast<std::size_t>(c.width));
        // A kilo field always carries its point: without one the driver would not scale it.
        if (c.kilo) {
            EXPECT_NE(text.find('.'), std::string::npos) << text;
        }
    }
    // Across the ranges the meters use, what the driver reads is the value rounded to the
    // field's last digit.
    for (double value = 0.25; value < 9e4; value *= 1.37) {
        for (const int width : {4, 5, 6}) {
            for (const bool kilo : {false, true}) {
                const std::string text = sim::FormatField(value, width, kilo);
                ASSERT_EQ(text.size(), static_cast<std::size_t>(width));
                const auto point = text.find('.');
                const int decimals =
                    point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
                const double unit = std::pow(10.0, -decimals) * (kilo ? 1000 : 1);
                const double limit =
                    kilo ? std::pow(10.0, width - 1) * 1000 : std::pow(10.0, width);
                if (value >= limit) continue;  // clamped, checked above
                EXPECT_LE(std::fabs(DriverValue(text, kilo) - value), unit / 2 + value * 1e-6)
                    << value << " as " << text;
            }
        }
    }
    EXPECT_EQ(sim::FormatStatus(31), "1F");
    EXPECT_EQ(sim::FormatStatus(255), "FF");
}

TEST(SimModel, PlainAndHBlocksHaveTheirWidths) {
    sim::Meter meter(1, 99);
    for (int tick = 0; tick < 50; ++tick) {
        meter.Tick();
        const std::string plain = meter.PlainData();
        ASSERT_EQ(plain.size(), 201u);
        std::size_t at = 0;
        for (int field = 0; field < sim::kPlainFieldCount; ++field) {
            const auto [width, kilo] = sim::kPlainFields[static_cast<std::size_t>(field)];
            const std::string text = plain.substr(at, static_cast<std::size_t>(width));
            at += static_cast<std::size_t>(width);
            if (field == sim::kStatusField) {
                EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
                continue;
            }
            float value = 0;
            EXPECT_EQ(std::sscanf(text.c_str(), "%f", &value), 1) << field << ": " << text;
            if (kilo) {
                EXPECT_NE(text.find('.'), std::string::npos) << field << ": " << text;
            }
        }
        for (int block = 1; block <= sim::kHBlockCount; ++block) {
            const std::string h = meter.HData(block);
            ASSERT_EQ(h.size(), 34u * 5u);
            EXPECT_NE(h[0], 'X');
        }
    }
}

TEST(SimSplitter, FindsRequestsInTheByteStream) {
    const auto now = std::chrono::steady_clock::now();
    sim::RequestSplitter splitter;
    // Noise first, a request in two reads with its NUL, a frame with a bad checksum, a
    // marker with no length behind it, and one more request whose NUL comes late.
    splitter.Feed("\r\nxx!0080", now);
    EXPECT_FALSE(splitter.Next());
    splitter.Feed("1P0Ap\r\n\0"s + "!00601ZZ\r\n!!AB" + "!006010}\r\n", now);
    auto first = splitter.Next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, "!00801P0Ap\r\n\0"s);
    EXPECT_EQ(first->body, "01P0A");
    EXPECT_TRUE(first->checksumOk);
    EXPECT_EQ(splitter.TakeNoise(), "\r\nxx");
    auto second = splitter.Next();
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->checksumOk);
    auto third = splitter.Next();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->body, "010");
    EXPECT_TRUE(third->checksumOk);
    EXPECT_EQ(splitter.TakeNoise(), "!!AB");
    splitter.Feed("\0"s, now);
    EXPECT_FALSE(splitter.Next());
    EXPECT_EQ(splitter.TakeNoise(), "");
    // A frame that stops arriving is given up after the gap, not before.
    splitter.Feed("!00701H", now);
    EXPECT_FALSE(splitter.Next());
    EXPECT_FALSE(
        splitter.Expire(now + std::chrono::milliseconds(50), std::chrono::milliseconds(100)));
    EXPECT_TRUE(
        splitter.Expire(now + std::chrono::milliseconds(150), std::chrono::milliseconds(100)));
    EXPECT_EQ(splitter.TakeNoise(), "!00701H");
    EXPECT_FALSE(splitter.Pending());
}

TEST(SimValues, SettingsLandInTheReplies) {
    sim::MeterSet meters;
    meters.emplace(1, sim::Meter(1, 5));
    meters.emplace(7, sim::Meter(7, 5));
    std::string tc13;
    for (int field = 0; field < 33; ++field) tc13 += "0A ";
    sim::LoadValuesText(
        "# pinned values\n"
        "plain.0 = 1250\n"
        "plain.9 = \"0.50\"   # text as sent\n"
        "07:plain.31 = 31\n"
        "h2.5 = 12.5\n"
        "tr3 = 0A 0A 00FF\n"
        "tc13 = " +
            tc13 +
            "\n"
            "ex.10.1 = 42\n"
            "ex.10.2 = -2\n"
            "ex.3.4 = 0xFFFFFFFE\n",
        "test", meters);
    for (auto& [address, meter] : meters) {
        meter.Tick();  // pinned values do not move
        const std::string plain = meter.PlainData();
        EXPECT_EQ(plain.substr(0, 4), "1.25");
        EXPECT_EQ(plain.substr(45, 4), "0.50");
        EXPECT_EQ(plain.substr(163, 2), address == 7 ? "1F" : "01");
        EXPECT_EQ(meter.HData(2).substr(25, 5), "12.50");
        EXPECT_EQ(meter.TData("tr3"), "0A0A00FF");
        EXPECT_EQ(meter.TData("tc13").substr(0, 4), "0A0A");
        EXPECT_EQ(meter.ExRegister(10, 1), 42);
        EXPECT_EQ(meter.ExRegister(10, 2), -2);
        EXPECT_EQ(meter.ExRegister(3, 4), -2);
    }
}

TEST(SimValues, RefusesWhatDoesNotFit) {
    const char* bad[] = {
        "plain.40 = 1",
        "plain.0 = \"1.2\"",
        "plain.0 = abc",
        "plain.31 = 256",
        "h7.0 = 1",
        "h1.34 = 1",
        "tr9 = 00 00 0000",
        "tr1 = 00 00 000",
        "tr1 = 00 00",
        "ty1 = 00 00 00",
        "ex.10 = 1",
        "ex.256.0 = 1",
        "ex.10.1 = 4294967296",
        "ex.10.1 = 1.5",
        "05:plain.0 = 1",
        "plain.0",
        "volts = 230",
    };
    for (const char* line : bad) {
        sim::MeterSet meters;
        meters.emplace(1, sim::Meter(1, 1));
        try {
            sim::LoadValuesText("\n"s + line + "\n", "file", meters);
            ADD_FAILURE() << "accepted: " << line;
        } catch (const std::runtime_error& error) {
            // The error names where it is.
            EXPECT_EQ(std::string(error.what()).rfind("file:2: ", 0), 0u) << error.what();
        }
    }
}

TEST(SimFaults, OptionSyntax) {
    const sim::FaultRule rule = sim::ParseFault("delay=250:p=0.3:meter=07:nth=3");
    EXPECT_EQ(rule.mode, sim::FaultMode::Delay);
    EXPECT_EQ(rule.argument, 250);
    EXPECT_DOUBLE_EQ(rule.probability.value_or(-1), 0.3);
    EXPECT_EQ(rule.meter.value_or(-1), 7);
    EXPECT_EQ(rule.nth.value_or(-1), 3);
    EXPECT_EQ(sim::ParseFault("chunks").argument, 20);
    const sim::FaultRule echo = sim::ParseFault("echo:meter=07:p=0.5");
    EXPECT_EQ(echo.mode, sim::FaultMode::Echo);
    EXPECT_EQ(echo.meter.value_or(-1), 7);
    for (const char* bad : {"", "loud", "delay", "delay=x", "silent=3", "hx:p=2", "echo=1",
                            "hx:p=", "hx:meter=100", "hx:nth=0", "hx:colour=red", "len6:nth=-1"}) {
        EXPECT_THROW(sim::ParseFault(bad), std::invalid_argument) << bad;
    }
}

// Echo is chosen per request, answered or not; nth counts answered requests only, and echo
// rules never shape a reply.
TEST(SimFaults, EchoIsChosenPerRequest) {
    std::vector<sim::FaultRule> rules{sim::ParseFault("echo:meter=07"),
                                      sim::ParseFault("echo:nth=2")};
    sim::FaultPlan plan(std::move(rules), 1);
    EXPECT_EQ(plan.Echoes(7, std::nullopt), std::vector<std::string>{"echo:meter=07"});
    EXPECT_TRUE(plan.Echoes(1, std::nullopt).empty());
    EXPECT_TRUE(plan.Echoes(1, 1).empty());
    EXPECT_EQ(plan.Echoes(1, 2), std::vector<std::string>{"echo:nth=2"});
    EXPECT_EQ(plan.Echoes(7, 2), (std::vector<std::string>{"echo:meter=07", "echo:nth=2"}));
    sim::Reply reply;
    reply.address = "07";
    reply.command = '0';
    const sim::Transmission out = plan.Shape(reply, 7, 2);
    EXPECT_TRUE(out.applied.empty());
    EXPECT_EQ(out.bytes, sim::BuildFrame("070"));
}

// A reply that names another meter is a whole frame, its checksum summed over the new address.
TEST(SimFaults, AddressNamesAnotherMeterInASoundFrame) {
    EXPECT_EQ(sim::ParseFault("address=15:meter=05").argument, 15);
    for (const char* bad : {"address", "address=100", "address=x"}) {
        EXPECT_THROW(sim::ParseFault(bad), std::invalid_argument) << bad;
    }
    sim::FaultPlan plan({sim::ParseFault("address=15:meter=05")}, 1);
    sim::Reply reply;
    reply.address = "05";
    reply.command = '0';
    reply.data = "1.25";
    EXPECT_EQ(plan.Shape(reply, 5, 1).bytes, sim::BuildFrame("1501.25"));
    EXPECT_EQ(plan.Shape(reply, 6, 2).bytes, sim::BuildFrame("0501.25")) << "meter 06 untouched";
}

TEST(SimNumbers, ParsersTakeWhatTheyShouldAndNothingElse) {
    EXPECT_EQ(sim::ParseInteger("07", 0, 99, "meter"), 7);
    EXPECT_EQ(sim::ParseInteger("0", 0, 0, "n"), 0);
    EXPECT_EQ(sim::ParseInteger("2147483647", 0, INT32_MAX, "n"), INT32_MAX);
    for (const char* bad : {"", "-1", "+1", " 1", "1 ", "1x", "0x10", "100", "2147483648"}) {
        EXPECT_THROW(sim::ParseInteger(bad, 0, 99, "n"), std::invalid_argument) << bad;
    }
    EXPECT_DOUBLE_EQ(sim::ParseReal("12.5"), 12.5);
    EXPECT_DOUBLE_EQ(sim::ParseReal("-1e3"), -1000);
    for (const char* bad : {"", "abc", "1.5x", "inf", "nan"}) {
        EXPECT_THROW(sim::ParseReal(bad), std::invalid_argument) << bad;
    }
    struct Case {
        const char* text;
        std::int32_t value;
    };
    for (const Case& c :
         {Case{"42", 42}, Case{"-7", -7}, Case{"0x2A", 42}, Case{"0XFFFFFFFE", -2},
          Case{"4294967295", -1}, Case{"-2147483648", INT32_MIN}, Case{"010", 10}}) {
        EXPECT_EQ(sim::ParseRegister(c.text), c.value) << c.text;
    }
    for (const char* bad :
         {"", "-", "0x", "4294967296", "-2147483649", "1.5", "0x-1", "0xG", "--1"}) {
        EXPECT_THROW(sim::ParseRegister(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
