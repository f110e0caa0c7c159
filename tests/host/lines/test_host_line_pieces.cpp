// The line tools' pieces over byte strings: scan lists, the listener's framing, the pairing of
// requests and replies, what a request asks for, the udev rule's text, and how line bytes and
// small codes are shown.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/name_table.h"
#include "lines/request_kinds.h"
#include "lines/scan_plan.h"
#include "lines/sniff_frames.h"
#include "lines/sniffer.h"
#include "lines/udev_rule.h"
#include "protocol.h"
#include "text/text_escape.h"
#include "vpi_families.h"

namespace {

using host::lines::FrameCheck;
using host::lines::SniffItem;

// ---- Scan lists ------------------------------------------------------------------------------

TEST(ScanPlan, AddressListsTakeNumbersAndRangesAndRefuseTheRest) {
    struct Case {
        const char* text;
        std::optional<std::vector<int>> addresses;
    };
    const Case cases[] = {
        {"1-5,3,42,07", std::vector<int>{1, 2, 3, 4, 5, 7, 42}},
        {"0-99", std::nullopt},  // checked by size below
        {"99", std::vector<int>{99}},
        {"0", std::vector<int>{0}},
        {"100", std::nullopt},
        {"5-3", std::nullopt},
        {"1,,2", std::nullopt},
        {"1,", std::nullopt},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {"1-", std::nullopt},
        {"a-b", std::nullopt},
        {" 1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto got = host::lines::ParseAddressList(c.text);
        if (std::string(c.text) == "0-99") {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->size(), 100u);
            continue;
        }
        EXPECT_EQ(got, c.addresses);
    }
}

TEST(ScanPlan, SettingsAreEveryCombinationBaudOutermost) {
    std::string error;
    const auto plan =
        host::lines::MakeScanPlan({"1", "9600,19200", "none,even", "8", "1,2"}, &error);
    ASSERT_TRUE(plan.has_value()) << error;
    ASSERT_EQ(plan->lines.size(), 8u);
    EXPECT_EQ(host::lines::ShortLineText(plan->lines[0]), "9600 8N1");
    EXPECT_EQ(host::lines::ShortLineText(plan->lines[1]), "9600 8N2");
    EXPECT_EQ(host::lines::ShortLineText(plan->lines[2]), "9600 8E1");
    EXPECT_EQ(host::lines::ShortLineText(plan->lines[7]), "19200 8E2");

    const auto automatic = host::lines::MakeScanPlan({"1", "auto", "auto", "auto", "auto"}, &error);
    ASSERT_TRUE(automatic.has_value()) << error;
    EXPECT_EQ(automatic->lines.size(), 7u * 3u * 2u * 2u);
    EXPECT_EQ(host::lines::ShortLineText(automatic->lines.front()), "9600 8N1");
    EXPECT_EQ(host::lines::ShortLineText(automatic->lines.back()), "1200 7O2");
    EXPECT_EQ(host::lines::ShortLineText({4800, 7, 1, 3}), "4800 7M1.5");

    // A rate the host's 16-bit record cannot carry is refused, not cut to 16 bits.
    EXPECT_FALSE(host::lines::MakeScanPlan({"1", "115200", "none", "8", "1"}, &error).has_value());
    EXPECT_NE(error.find("16 bits"), std::string::npos);
    EXPECT_FALSE(host::lines::MakeScanPlan({"1", "9600", "none", "9", "1"}, &error).has_value());
    EXPECT_FALSE(host::lines::MakeScanPlan({"1", "9600", "none", "8", "1.25"}, &error).has_value());
}

// ---- Framing -----------------------------------------------------------------------------------

// Frames as metersim (whose framing is its own) put them on the line.
const std::string kPlainRequest = std::string("!006010}\r\n");
const std::string kTrRequest = std::string("!00801P00_\r\n") + '\0';
const std::string kTrReply = "!01401PCB8F7926S\r\n";
const std::string kCommandRequest = "!00701426\r\n";

// The items of `stream`, one byte every 100 us from `startUs`, then silence.
std::vector<SniffItem> Split(const std::string& stream, std::int64_t startUs = 0) {
    host::lines::FrameSplitter splitter(60000);
    std::vector<SniffItem> items;
    std::int64_t t = startUs;
    for (char c : stream) splitter.Feed(static_cast<std::uint8_t>(c), t += 100, items);
    splitter.Idle(t + 1000, items);
    splitter.Flush(items);
    return items;
}

TEST(FrameSplitter, ResynchronisesOnTheMarkerAndKeepsNoiseApart) {
    const std::vector<SniffItem> items = Split("\r\n#?~" + kTrRequest + "!0a" + kTrReply + "zz");
    ASSERT_EQ(items.size(), 5u) << [&items] {
        std::string all;
        for (const SniffItem& i : items) all += "[" + i.bytes + "]";
        return all;
    }();
    EXPECT_FALSE(items[0].frame);
    EXPECT_EQ(items[0].bytes, "\r\n#?~");
    EXPECT_TRUE(items[1].frame);
    EXPECT_EQ(items[1].bytes, kTrRequest);  // the NUL behind CR LF is the request's
    EXPECT_EQ(items[1].check, FrameCheck::Ok);
    EXPECT_FALSE(items[2].frame);
    EXPECT_EQ(items[2].bytes, "!0a");  // a marker with no length field behind it
    EXPECT_EQ(items[3].bytes, kTrReply);
    EXPECT_EQ(items[3].check, FrameCheck::Ok);
    EXPECT_EQ(items[4].bytes, "zz");
    EXPECT_EQ(items[1].startUs, 600);
    EXPECT_EQ(items[1].endUs, 600 + 100 * static_cast<std::int64_t>(kTrRequest.size() - 1));
}

TEST(FrameSplitter, JudgesChecksumLengthAndFramesThatStopShort) {
    std::string badChecksum = kTrReply;
    badChecksum[15] = 'T';
    std::string noCrLf = kTrReply;
    noCrLf[16] = 'x';
    // 301 counted bytes, CR LF where they belong: too long for the protocol all the same.
    const std::string longFrame = "!301" + std::string(298, '0') + "0\r\n";
    struct Case {
        std::string stream;
        FrameCheck check;
    };
    const Case cases[] = {
        {badChecksum, FrameCheck::Checksum},
        {noCrLf, FrameCheck::Length},
        {longFrame, FrameCheck::Length},
        {kTrReply.substr(0, 9), FrameCheck::Truncated},  // then silence
    };
    for (const Case& c : cases) {
        const std::vector<SniffItem> items = Split(c.stream);
        ASSERT_EQ(items.size(), 1u) << c.stream;
        EXPECT_TRUE(items[0].frame);
        EXPECT_EQ(items[0].check, c.check) << c.stream;
        EXPECT_EQ(items[0].bytes, c.stream);
    }
    // A marker inside a frame ends it short; the new frame is whole.
    const std::vector<SniffItem> cut = Split(kTrReply.substr(0, 9) + kPlainRequest);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0].check, FrameCheck::Truncated);
    EXPECT_EQ(cut[1].bytes, kPlainRequest);
    EXPECT_EQ(cut[1].check, FrameCheck::Ok);
}

TEST(FrameSplitter, APauseShorterThanTheGapKeepsAFrameWhole) {
    host::lines::FrameSplitter splitter(60000);
    std::vector<SniffItem> items;
    for (std::size_t i = 0; i < 4; ++i) splitter.Feed(kTrReply[i], 100, items);
    splitter.Idle(50000, items);  // the header, then 50 ms of silence
    EXPECT_TRUE(items.empty());
    for (std::size_t i = 4; i < kTrReply.size(); ++i) splitter.Feed(kTrReply[i], 50100, items);
    splitter.Idle(50200, items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].check, FrameCheck::Ok);
    EXPECT_EQ(items[0].startUs, 100);
}

// ---- What a request asks for -----------------------------------------------------------------

std::string Built(std::int32_t memtype, std::int32_t index, std::int32_t count) {
    GateIoRecord gate{};
    gate.plcAddress = 42;
    gate.memtype = memtype;
    gate.index = index;
    gate.count = count;
    std::array<float, 36> values{};
    gate.values = values.data();
    std::array<std::uint8_t, protocol::kExWriteCapacity> buffer{};
    std::size_t size = 0;
    if (memtype == MEMTYPE_INDEX_ZERO) {
        size = protocol::BuildCommandRequest(gate, 1.0f, buffer);
    } else if (count < 0) {
        gate.count = -count;
        size = protocol::BuildExWriteRequest(gate, buffer);
    } else {
        size = protocol::BuildReadRequest(gate, buffer);
    }
    return std::string(reinterpret_cast<const char*>(buffer.data()), size);
}

TEST(RequestKinds, EveryReadRequestTheDriverBuildsIsToldBack) {
    for (const FamilyInfo& family : kFamilies) {
        if (family.read == ReadKind::None || family.read == ReadKind::Ex) continue;
        for (std::int32_t m = family.firstMemtype; m <= family.lastMemtype; ++m) {
            const host::lines::RequestInfo info =
                host::lines::DescribeRequest(Built(m, 1, family.count));
            EXPECT_EQ(info.kind, host::lines::RequestKind::Read) << m;
            EXPECT_EQ(info.memtype, m);
            EXPECT_EQ(info.meter, 42);
            EXPECT_EQ(info.count, family.count);
        }
    }
    struct Named {
        std::int32_t memtype;
        const char* gate;
        const char* command;
    };
    const Named named[] = {{MEMTYPE_PLAIN, "plain", "0"},  {MEMTYPE_H2, "H2", "H2"},
                           {MEMTYPE_TR1, "TR1", "P00"},    {MEMTYPE_TK3, "TK3", "P0A"},
                           {MEMTYPE_TY2, "TY2", "U01"},    {MEMTYPE_TD16, "TD16", "Q0F"},
                           {MEMTYPE_TC13, "TC13", "R0101"}};
    for (const Named& n : named) {
        const host::lines::RequestInfo info = host::lines::DescribeRequest(Built(n.memtype, 1, 1));
        EXPECT_EQ(info.gate, n.gate);
        EXPECT_EQ(info.command, n.command);
    }
}

TEST(RequestKinds, ExReadsWritesAndCommandsAndWhatIsNoRequest) {
    const host::lines::RequestInfo read =
        host::lines::DescribeRequest(Built(MEMTYPE_EX, 0x0A01, 2));
    EXPECT_EQ(read.kind, host::lines::RequestKind::Read);
    EXPECT_EQ(read.gate, "EX 10/1 x2");
    EXPECT_EQ(read.index, 0x0A01);
    EXPECT_EQ(read.count, 2);
    const host::lines::RequestInfo write =
        host::lines::DescribeRequest(Built(MEMTYPE_EX, 0x0A03, -3));
    EXPECT_EQ(write.kind, host::lines::RequestKind::ExWrite);
    EXPECT_EQ(write.gate, "EX write 10/3 x3");
    EXPECT_TRUE(host::lines::IsWrite(write));
    const host::lines::RequestInfo command =
        host::lines::DescribeRequest(Built(MEMTYPE_INDEX_ZERO, 0, 0));
    EXPECT_EQ(command.kind, host::lines::RequestKind::Command);
    EXPECT_EQ(command.gate, "command 1");

    for (const std::string& notRequest :
         {kTrReply, std::string("!00801P0a?\r\n"), std::string("!0060x0}\r\n"),
          kPlainRequest.substr(0, 8)}) {
        EXPECT_EQ(host::lines::DescribeRequest(notRequest).kind, host::lines::RequestKind::None)
            << notRequest;
    }
}

// ---- Pairing
// -------------------------------------------------------------------------------------

// A sniffer that heard `frames` (each from its start time in microseconds) and then a quiet
// line, and what it said.
struct Listener {
    explicit Listener(std::initializer_list<std::pair<std::string, std::int64_t>> frames) {
        for (const auto& [bytes, startUs] : frames) {
            for (const SniffItem& item : Split(bytes, startUs - 100)) sniffer.Take(item);
        }
        sniffer.Finish();
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::vector<host::lines::SniffRecord> records;
    host::lines::Sniffer sniffer{
        [this](const host::lines::SniffRecord& r) { records.push_back(r); }};
};

std::string Framed(const std::string& body) {
    std::string frame = "!" + std::string(3 - std::to_string(body.size() + 3).size(), '0') +
                        std::to_string(body.size() + 3) + body + " \r\n";
    frame[frame.size() - 3] = static_cast<char>(protocol::FrameChecksum(
        std::span(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size())));
    return frame;
}

TEST(Sniffer, PairsAReadWithItsReplyAndDecodesItAsTheDriverDoes) {
    Listener line({{kTrRequest, 1000},
                   {kTrRequest, 3000},  // the line's echo, at once
                   {kTrReply, 9000}});
    ASSERT_EQ(line.records.size(), 1u);
    const host::lines::SniffRecord& r = line.records[0];
    EXPECT_TRUE(r.answered);
    EXPECT_TRUE(r.echoed);
    EXPECT_FALSE(r.late);
    EXPECT_EQ(r.info.gate, "TR1");
    // TR field 1 is sent one below what it means.
    EXPECT_EQ(r.values.values, (std::vector<float>{204, 143, 31014}));
    const host::lines::MeterFigures& f = line.sniffer.Figures().at(1);
    EXPECT_EQ(f.exchanges, 1);
    ASSERT_EQ(f.replyMs.size(), 1u);
    EXPECT_DOUBLE_EQ(f.replyMs[0], (9000 - (1000 + 1200)) / 1000.0);
}

TEST(Sniffer, ARepeatAfterTheEchoWindowIsTheMasterAskingAgain) {
    Listener line({{kTrRequest, 1000},
                   {kTrRequest, 1000 + 1200 + host::lines::Sniffer::kEchoWithinUs + 100000},
                   {kTrReply, 300000}});
    ASSERT_EQ(line.records.size(), 2u);
    EXPECT_FALSE(line.records[0].answered);
    EXPECT_FALSE(line.records[0].echoed);
    EXPECT_TRUE(line.records[1].answered);
    EXPECT_EQ(line.sniffer.Figures().at(1).unanswered, 1);
}

TEST(Sniffer, AWriteDoubleIsTheAcknowledgementUnlessASecondFollows) {
    Listener alone({{kCommandRequest, 1000}, {kCommandRequest, 5000}, {kPlainRequest, 400000}});
    ASSERT_EQ(alone.records.size(), 2u);
    EXPECT_TRUE(alone.records[0].answered);
    EXPECT_FALSE(alone.records[0].echoed);
    EXPECT_EQ(alone.records[0].info.gate, "command 2");

    Listener echoed({{kCommandRequest, 1000}, {kCommandRequest, 3000}, {kCommandRequest, 9000}});
    ASSERT_EQ(echoed.records.size(), 1u);
    EXPECT_TRUE(echoed.records[0].answered);
    EXPECT_TRUE(echoed.records[0].echoed);
    EXPECT_EQ(echoed.records[0].reply.startUs, 9000);
}

TEST(Sniffer, AReplyAfterAnotherMetersRequestIsLateAndStrayFramesStandApart) {
    Listener line({{kTrRequest, 1000},
                   {Framed("07P00"), 200000},  // meter 07 asked before 01 answered
                   {Framed("01P"), 205000},    // the length-6 frame ahead of a reply: passed
                   {kTrReply, 210000},         // 01 answers, late
                   {Framed("09PCB8F7926"), 230000}});  // a reply nobody on this line asked for
    ASSERT_EQ(line.records.size(), 3u);
    EXPECT_EQ(line.records[0].info.meter, 1);
    EXPECT_TRUE(line.records[0].answered);
    EXPECT_TRUE(line.records[0].late);
    EXPECT_TRUE(line.records[0].lengthSix);
    EXPECT_EQ(line.records[1].kind, host::lines::SniffRecord::Kind::Stray);
    EXPECT_EQ(line.records[2].info.meter, 7);
    EXPECT_FALSE(line.records[2].answered);
    EXPECT_EQ(line.sniffer.Figures().at(1).late, 1);
    EXPECT_EQ(line.sniffer.Figures().at(7).unanswered, 1);
}

TEST(Sniffer, PercentilesByNearestRank) {
    const std::vector<double> values{5, 1, 4, 2, 3, 6, 7, 8, 9, 10};
    EXPECT_EQ(host::lines::Percentile(values, 50), 5);
    EXPECT_EQ(host::lines::Percentile(values, 95), 10);
    EXPECT_EQ(host::lines::Percentile(values, 100), 10);
    EXPECT_EQ(host::lines::Percentile({3}, 50), 3);
}

// ---- The udev rule
// -------------------------------------------------------------------------------

host::lines::SerialPortInfo Adapter() {
    host::lines::SerialPortInfo port;
    port.name = "ttyUSB0";
    port.device = "/dev/ttyUSB0";
    port.byId = {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K4XYZ-if00-port0"};
    port.usbVendor = "0403";
    port.usbProduct = "6001";
    port.product = "FT232R USB UART";
    port.serialNumber = "A10K4XYZ";
    port.usbInterface = "00";
    return port;
}

TEST(UdevRule, NamesTheAdapterBySerialNumberAndRefusesWhatTheDriverCannotOpen) {
    std::string rule;
    ASSERT_EQ(host::lines::MakeUdevRule(Adapter(), "meter1", &rule),
              host::lines::UdevRuleProblem::None);
    EXPECT_NE(
        rule.find("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
                  "ATTRS{serial}==\"A10K4XYZ\", ENV{ID_USB_INTERFACE_NUM}==\"00\", "
                  "SYMLINK+=\"meter1\"\n"),
        std::string::npos)
        << rule;

    for (const char* bad : {"", "meter123456X", "a/b", ".", "..", "NUL", "nul", "m*"}) {
        EXPECT_EQ(host::lines::MakeUdevRule(Adapter(), bad, &rule),
                  host::lines::UdevRuleProblem::BadName)
            << bad;
    }
    host::lines::SerialPortInfo noSerial = Adapter();
    noSerial.serialNumber = "";
    EXPECT_EQ(host::lines::MakeUdevRule(noSerial, "m1", &rule),
              host::lines::UdevRuleProblem::NoSerial);
    noSerial.serialNumber = "A1*";  // a pattern, which would match other adapters
    EXPECT_EQ(host::lines::MakeUdevRule(noSerial, "m1", &rule),
              host::lines::UdevRuleProblem::NoSerial);
    host::lines::SerialPortInfo uart;
    uart.name = "ttyS0";
    EXPECT_EQ(host::lines::MakeUdevRule(uart, "m1", &rule), host::lines::UdevRuleProblem::NotUsb);

    const std::vector<host::lines::SerialPortInfo> ports{uart, Adapter()};
    EXPECT_EQ(host::lines::FindPort(ports, "ttyUSB0"), &ports[1]);
    EXPECT_EQ(host::lines::FindPort(ports, "/dev/ttyUSB0"), &ports[1]);
    EXPECT_EQ(host::lines::FindPort(ports, Adapter().byId[0]), &ports[1]);
    EXPECT_EQ(host::lines::FindPort(ports, "ttyUSB1"), nullptr);
}

// ---- Showing bytes and codes -------------------------------------------------------------------

TEST(ShownBytes, NamedEscapesThenHexForTheRestOfWhatIsNotPrintable) {
    const std::string bytes{"!\r\n\0\\A~\x01\x1F\x7F\x80\xFF", 12};
    EXPECT_EQ(host::text::LineBytes(bytes), "!\\r\\n\\0\\\\A~\\x01\\x1F\\x7F\\x80\\xFF");
    // Without hexRest only the named characters change; a table of its own is honoured.
    constexpr std::array<host::text::CharEscape, 1> quote{{{'"', "\\\""}}};
    EXPECT_EQ(host::text::Escaped("a\"b\r\x01", quote, false), "a\\\"b\r\x01");
    EXPECT_EQ(host::text::Escaped("", host::text::kLineEscapes, true), "");
    EXPECT_EQ(host::text::Hex(std::string{"\0\xAB\x7F!", 4}), "00AB7F21");
}

TEST(NameTable, GapsNegativesAndCodesPastTheEndGetTheFallback) {
    constexpr std::array<const char*, 3> names{"zero", nullptr, "two"};
    EXPECT_STREQ(host::core::NameOf(names, 0), "zero");
    EXPECT_STREQ(host::core::NameOf(names, 2), "two");
    EXPECT_STREQ(host::core::NameOf(names, 1, "gap"), "gap");
    EXPECT_STREQ(host::core::NameOf(names, -1, "low"), "low");
    EXPECT_STREQ(host::core::NameOf(names, 3), "?");
}

}  // namespace
