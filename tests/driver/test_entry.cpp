// The entry point: dispatch, refusals of malformed call blocks, the information record.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "vpi_call.h"
#include "vpi_records.h"

namespace {

// Codes named or not: the entry point must cope with any.
std::int32_t Call(std::int32_t code, void* channel, void* argument) {
    return vpitest::CallCode(code, channel, argument, 3);
}

TEST(Entry, CodesWithoutOperationAndOutOfRangeAreRefusedUntouched) {
    std::array<std::uint8_t, 600> channel;
    std::array<std::uint8_t, 64> argument;
    channel.fill(0xA5);
    argument.fill(0x5A);
    for (std::int32_t code : {0, 8, 9, 10, -1, 16, 17, 255, 1 << 30, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(Call(code, channel.data(), argument.data()), VpiRefused) << code;
    }
    for (auto b : channel) ASSERT_EQ(b, 0xA5);
    for (auto b : argument) ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(VpiMain(nullptr), VpiRefused);
}

TEST(Entry, MissingChannelOrArgumentIsRefused) {
    ChannelState channel{};
    GateIoRecord gate{};
    // Operations that use the channel refuse a null one.
    for (std::int32_t code : {1, 2, 5, 6, 7, 11, 12, 13, 15}) {
        EXPECT_EQ(Call(code, nullptr, &gate), VpiRefused) << code;
    }
    // Operations that read an argument refuse a null one.
    for (std::int32_t code : {1, 3, 4, 5, 6, 7, 14, 15}) {
        EXPECT_EQ(Call(code, &channel, nullptr), VpiRefused) << code;
    }
}

TEST(Info, FillsExactlyTheRecordAndNeedsNoChannel) {
    // The record inside a larger host buffer: the bytes around it must stay as they were.
    std::array<std::uint8_t, sizeof(DriverInfo) + 32> host;
    host.fill(0xEE);
    auto* info = reinterpret_cast<DriverInfo*>(host.data() + 16);
    ASSERT_EQ(Call(static_cast<std::int32_t>(VpiOperation::Info), nullptr, info), VpiDone);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(host[i], 0xEE) << i;
    for (std::size_t i = 16 + sizeof(DriverInfo); i < host.size(); ++i)
        EXPECT_EQ(host[i], 0xEE) << i;

    EXPECT_EQ(info->driverCode, 70);
    EXPECT_STREQ(info->shortName, "SATEC, Powermeter");
    EXPECT_EQ(info->stateSize, 552);
    EXPECT_EQ(info->driverParameter, 4);
    EXPECT_EQ(info->defaultLine.baudRate, 9600);
    EXPECT_EQ(info->defaultLine.dataBits, 8);
    EXPECT_EQ(info->defaultLine.stopBits, 0);
    EXPECT_EQ(info->defaultLine.parity, 0);
    EXPECT_EQ(info->driverOption, 1);
}

TEST(Info, BannerIsTheBoxInCodePage437) {
    DriverInfo info{};
    ASSERT_EQ(Call(static_cast<std::int32_t>(VpiOperation::Info), nullptr, &info), VpiDone);
    const std::string banner = info.banner;
    ASSERT_EQ(banner.size(), 379u);
    ASSERT_EQ(banner.front(), '\n');
    std::array<std::string, 6> rows;
    for (std::size_t r = 0; r < 6; ++r) {
        rows[r] = banner.substr(1 + r * 63, 62);
        EXPECT_EQ(banner[1 + r * 63 + 62], '\n') << r;
        EXPECT_EQ(rows[r][0], ' ') << r;
    }
    auto repeat = [](unsigned char c, std::size_t n) {
        return std::string(n, static_cast<char>(c));
    };
    EXPECT_EQ(rows[0], " " + repeat(0xC9, 1) + repeat(0xCD, 59) + repeat(0xBB, 1));
    EXPECT_EQ(rows[1], " \xBA " + repeat(0xDB, 5) + repeat(0xB2, 6) + repeat(0xB1, 6) +
                           repeat(0xB0, 6) + " X E R B O " + repeat(0xB0, 6) + repeat(0xB1, 6) +
                           repeat(0xB2, 6) + repeat(0xDB, 5) + " \xBA");
    EXPECT_EQ(rows[2], " \xBA  SATEC - Powermeters series 280/288/290,driver Installed  \xBA");
    EXPECT_EQ(rows[3],
              " \xBA" + std::string(22, ' ') + "Ascii Protocol" + std::string(23, ' ') + "\xBA");
    EXPECT_EQ(rows[4].substr(0, 9), " \xBA       ");
    EXPECT_EQ(rows[4].substr(42, 12), "Version 7.00");
    EXPECT_EQ(rows[4].substr(62 - 8), "       \xBA");
    EXPECT_EQ(rows[5], " " + repeat(0xC8, 1) + repeat(0xCD, 59) + repeat(0xBC, 1));
    // The same constant text on every call.
    DriverInfo again{};
    ASSERT_EQ(Call(static_cast<std::int32_t>(VpiOperation::Info), nullptr, &again), VpiDone);
    EXPECT_EQ(again.banner, info.banner);
    EXPECT_EQ(again.shortName, info.shortName);
}

TEST(Query, AlwaysRefusesAndReadsNothing) {
    EXPECT_EQ(Call(static_cast<std::int32_t>(VpiOperation::Query), nullptr, nullptr), VpiRefused);
    ChannelState channel;
    std::memset(&channel, 0x77, sizeof channel);
    EXPECT_EQ(Call(static_cast<std::int32_t>(VpiOperation::Query), &channel, &channel), VpiRefused);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&channel);
    for (std::size_t i = 0; i < sizeof channel; ++i) ASSERT_EQ(bytes[i], 0x77);
}

}  // namespace
