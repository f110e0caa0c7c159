// Gate addresses through VpiMain: operation 3 (parse) and operation 4 (definition check),
// against worked cases, family boundaries, exact log lines, what each refusal leaves in the
// host's record, a reference decoder over a generated sweep, text bounds and threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gate_records.h"
#include "guard_page.h"
#include "log_capture.h"
#include "vpi_records.h"

namespace {

using vpitest::LogCapture;
using vpitest::LogLine;

// Every output starts as a recognisable pattern, so an untouched field shows as such.
constexpr std::uint32_t kHostField = 0x66666666u;
constexpr std::int32_t kPrePlc = 0x11111111;
constexpr std::int32_t kPreMemtype = 0x22222222;
constexpr std::int32_t kPreIndex = 0x33333333;
constexpr std::uint32_t kPre255 = 0x44444444u;
constexpr std::uint32_t kPre32 = 0x55555555u;

constexpr vpitest::GatePattern kPrefill{kHostField, kPrePlc, kPreMemtype,
                                        kPreIndex,  kPre255, kPre32};

GateAddressRecord Prefilled(const char* text, std::int32_t valueType, std::int32_t count) {
    return vpitest::PrefilledGate(text, valueType, count, kPrefill);
}

struct Outcome {
    std::int32_t result = -1;
    GateAddressRecord gate{};
    std::vector<LogLine> lines;
};

bool SameRecord(const GateAddressRecord& a, const GateAddressRecord& b) {
    return a.addressText == b.addressText && a.hostField == b.hostField &&
           a.valueType == b.valueType && a.elementCount == b.elementCount &&
           a.plcAddress == b.plcAddress && a.memtype == b.memtype && a.index == b.index &&
           a.fixedValue255 == b.fixedValue255 && a.fixedValue32 == b.fixedValue32;
}

std::string Describe(const Outcome& o) {
    std::string s = "result " + std::to_string(o.result) + " plc " +
                    std::to_string(o.gate.plcAddress) + " memtype " +
                    std::to_string(o.gate.memtype) + " index " + std::to_string(o.gate.index) +
                    " f255 " + std::to_string(o.gate.fixedValue255) + " f32 " +
                    std::to_string(o.gate.fixedValue32);
    for (const LogLine& line : o.lines) {
        s += " [" + std::to_string(line.severity) + "] \"" + line.text + "\"";
    }
    return s;
}

std::int32_t CallVpi(std::int32_t operation, GateAddressRecord& gate) {
    VpiCall call{};
    call.operation = operation;
    call.vpiNumber = 7;
    call.argument = &gate;
    return VpiMain(&call);
}

// One call of operation 3 or 4 on a pre-filled record, with the lines it logged.
Outcome Call(LogCapture& log, std::int32_t operation, const char* text, std::int32_t valueType = 3,
             std::int32_t count = 0) {
    Outcome o;
    o.gate = Prefilled(text, valueType, count);
    log.Clear();
    o.result = CallVpi(operation, o.gate);
    o.lines = log.Take();
    return o;
}

// ---------------------------------------------------------------------------------------------
// A reference decoder, written from the address rules with the C library's own "%2d" reading
// instead of the module's hand-made one.

char Upper(char c) {
    static constexpr std::string_view kLower = "abcdefghijklmnopqrstuvwxyz";
    static constexpr std::string_view kUpper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::size_t at = kLower.find(c);
    return at == std::string_view::npos ? c : kUpper[at];
}

std::optional<int> ScanNumber(const char* text, std::size_t position) {
    int value = 0;
    if (std::sscanf(text + position, "%2d", &value) != 1) return std::nullopt;
    return value;
}

std::vector<std::int32_t> RequiredCounts(std::int32_t memtype) {
    if (memtype == 0) return {40, 28};
    if (memtype >= 1 && memtype <= 6) return {34};
    if (memtype >= 11 && memtype <= 21) return {3};
    if (memtype == 40 || memtype == 41) return {2};
    if (memtype >= 51 && memtype <= 66) return {25};
    if (memtype >= 171 && memtype <= 194) return {33};
    return {};
}

Outcome Reference(const char* text, std::int32_t valueType, bool check, std::int32_t count) {
    Outcome o;
    o.gate = Prefilled(text, valueType, count);
    GateAddressRecord& g = o.gate;
    o.result = 1;
    if (text == nullptr || std::strlen(text) > 10) return o;
    char s[11];
    for (std::size_t i = 0; i < 10; ++i) s[i] = i < std::strlen(text) ? Upper(text[i]) : ' ';
    s[10] = '\0';
    const std::string_view v(s, 10);
    auto all = [&](std::size_t from, std::size_t to, std::string_view set) {
        for (std::size_t i = from; i < to; ++i) {
            if (set.find(v[i]) == std::string_view::npos) return false;
        }
        return true;
    };
    const std::string_view d = "0123456789";
    const bool plain = all(0, 4, d) && all(4, 10, " ");
    const bool h = all(0, 4, d) && v[4] == 'H' && all(5, 6, "123456") && all(6, 10, " ");
    const bool t = all(0, 2, d) && v[2] == 'T' && all(3, 4, "RKDCY") && all(4, 6, d) &&
                   all(6, 9, "0123456789 ") && v[9] == ' ';
    const bool ex = all(0, 2, d) && v.substr(2, 2) == "EX" && all(4, 8, d) && all(8, 10, " ");
    if (!plain && !h && !t && !ex) return o;

    auto parseFailed = [&] {
        o.lines.push_back({0, std::string("gate adress string ") + s + " parse faild"});
        return o;
    };
    g.plcAddress = 0;
    g.fixedValue32 = 32;
    g.fixedValue255 = 255;
    if (h) {
        g.memtype = v[5] - '0';
    } else if (t) {
        const char letter = v[3];
        if (letter == 'C') {
            const int nn = *ScanNumber(s, 5);
            if (nn < 1 || nn > 12) return o;
            g.memtype = 170 + (v[4] == '0' ? 0 : 12) + nn;
            const auto i = ScanNumber(s, 7);
            if (!i) return parseFailed();
            g.index = *i;
        } else {
            int selector = v[4] - '0', member = 0, selMax = 0, memMax = 0, base = 0;
            std::optional<int> m = ScanNumber(s, 5);
            if (letter == 'R') selMax = 8, memMax = 8, base = 10;
            if (letter == 'K') selMax = 3, memMax = 3, base = 18;
            if (letter == 'Y') selMax = 2, memMax = 2, base = 39;
            if (letter == 'D') {
                selector = *ScanNumber(s, 4);
                m = ScanNumber(s, 6);
                selMax = 16, memMax = 25, base = 50;
            }
            if (!m) return parseFailed();
            member = *m;
            if (selector < 1 || selector > selMax || member < 1 || member > memMax) {
                return parseFailed();
            }
            g.memtype = base + selector;
            g.index = member;
        }
    } else if (ex) {
        g.memtype = 200;
        int group = 0, item = 0;
        if (std::sscanf(s + 4, "%2d%2d", &group, &item) != 2) return o;
        g.index = group * 256 + item;
    } else {
        g.memtype = 0;
    }
    g.plcAddress = *ScanNumber(s, 0);
    if (g.memtype < 11) g.index = *ScanNumber(s, 2);
    if (g.index == 0) g.memtype = 87;
    if (g.index > 40 && g.memtype == 0) {
        o.lines.push_back({0, "parse fail for gate " + std::to_string(g.index) +
                                  " > 40 and memtype = " + std::to_string(g.memtype)});
        return o;
    }
    if (g.index > 34 && g.memtype >= 1 && g.memtype <= 6) {
        o.lines.push_back({0, "parse fail for gate " + std::to_string(g.index) +
                                  " > 34 and memtype = " + std::to_string(g.memtype) + " <> 1..7"});
        return o;
    }
    if (!check && valueType != 3) {
        o.lines.push_back({0, "gate type suppose to be float"});
        return o;
    }
    if (check) {
        if (g.index != 1 && g.memtype != 200) return o;
        const auto counts = RequiredCounts(g.memtype);
        if (!counts.empty() && std::find(counts.begin(), counts.end(), count) == counts.end()) {
            return o;
        }
    }
    o.result = 0;
    return o;
}

void ExpectSame(const Outcome& actual, const Outcome& expected, const std::string& what) {
    EXPECT_EQ(actual.result, expected.result) << what;
    EXPECT_TRUE(SameRecord(actual.gate, expected.gate))
        << what << "\n  actual:   " << Describe(actual) << "\n  expected: " << Describe(expected);
    EXPECT_EQ(actual.lines, expected.lines) << what;
}

// ---------------------------------------------------------------------------------------------

struct Decoded {
    const char* text;
    std::int32_t plc;
    std::int32_t memtype;
    std::int32_t index;
};

// Accepted addresses: the worked results and the edges of every family.
const Decoded kAccepted[] = {
    {"0105", 1, 0, 5},
    {"0100", 1, 87, 0},
    {"0534h2", 5, 2, 34},
    {"12tr35", 12, 13, 5},
    {"12TR305", 12, 13, 5},
    {"12TK21", 12, 20, 1},
    {"12TY11", 12, 40, 1},
    {"12TY22", 12, 41, 2},
    {"12TD1625", 12, 66, 25},
    {"12TD01 7", 12, 51, 7},
    {"12TC01201", 12, 182, 1},
    {"12TC105 7", 12, 187, 7},
    {"12TC0100", 12, 87, 0},
    {"03EX0102", 3, 200, 258},
    {"03EX0000", 3, 87, 0},
    // plain and H edges
    {"9940", 99, 0, 40},
    {"0001", 0, 0, 1},
    {"0134H1", 1, 1, 34},
    {"0101H6", 1, 6, 1},
    {"0100H3", 1, 87, 0},
    // TR, TK, TY selectors and members at both ends
    {"12TR11", 12, 11, 1},
    {"12TR88", 12, 18, 8},
    {"12TR35 99", 12, 13, 5},
    {"12TK13", 12, 19, 3},
    {"12TK33", 12, 21, 3},
    {"12TY12", 12, 40, 2},
    // TD: aa 01..16, m 1..25, m after blanks
    {"12TD0101", 12, 51, 1},
    {"12TD1601", 12, 66, 1},
    {"12TD0125", 12, 51, 25},
    {"12TD01  9", 12, 51, 9},
    {"12TD01019", 12, 51, 1},
    {"12TD1625  ", 12, 66, 25},
    // TC: banks, numbers 1..12, index without upper bound
    {"12TC00101", 12, 171, 1},
    {"12TC01201", 12, 182, 1},
    {"12TC10101", 12, 183, 1},
    {"12TC91201", 12, 194, 1},
    {"12TC50199", 12, 183, 99},
    {"12TC001 1", 12, 171, 1},
    {"12TC01 05", 12, 171, 5},
    {"12TC01  7", 12, 171, 7},
    {"12TC012 3", 12, 182, 3},
    // EX: group and item across the whole range
    {"03EX9999", 3, 200, 25443},
    {"03EX0001", 3, 200, 1},
    {"03EX0100", 3, 200, 256},
    {"99ex0102  ", 99, 200, 258},
};

TEST(ParseAddress, AcceptedAddressesDecode) {
    LogCapture log;
    for (const Decoded& c : kAccepted) {
        const Outcome o = Call(log, 3, c.text);
        EXPECT_EQ(o.result, VpiDone) << c.text;
        EXPECT_EQ(o.gate.plcAddress, c.plc) << c.text;
        EXPECT_EQ(o.gate.memtype, c.memtype) << c.text;
        EXPECT_EQ(o.gate.index, c.index) << c.text;
        EXPECT_EQ(o.gate.fixedValue255, 255u) << c.text;
        EXPECT_EQ(o.gate.fixedValue32, 32u) << c.text;
        EXPECT_EQ(o.gate.hostField, kHostField) << c.text;
        EXPECT_TRUE(o.lines.empty()) << c.text;
    }
}

TEST(ParseAddress, CaseAndTrailingBlanksChangeNothing) {
    LogCapture log;
    const char* pairs[][2] = {
        {"12tr35", "12TR35"},       {"12TR35", "12TR35    "},    {"0534h2", "0534H2    "},
        {"03ex0102", "03EX0102  "}, {"12tc01201", "12TC01201 "}, {"12td01 7", "12TD01 7  "},
        {"0105", "0105      "},     {"12Ty11", "12tY11 "},
    };
    for (const auto& p : pairs) {
        const Outcome a = Call(log, 3, p[0]);
        Outcome b = Call(log, 3, p[1]);
        b.gate.addressText = a.gate.addressText;
        EXPECT_EQ(a.result, VpiDone) << p[0];
        ExpectSame(b, a, std::string(p[0]) + " vs " + p[1]);
    }
    // The message shows the folded text, trailing blanks included.
    const Outcome o = Call(log, 3, "12tr39");
    ASSERT_EQ(o.lines.size(), 1u);
    EXPECT_EQ(o.lines[0], (LogLine{0, "gate adress string 12TR39     parse faild"}));
}

// Refusals: result, the exact lines with their severity, and what stays in the record.
enum class Left { Untouched, Fixed, FixedMemtype, All };

struct Refusal {
    const char* text;
    std::int32_t valueType;
    const char* line;  // nullptr: no line
    Left left;
    std::int32_t memtype = 0;  // for FixedMemtype and All
    std::int32_t index = 0;    // for All
    std::int32_t plc = 0;      // for All
};

const Refusal kRefused[] = {
    // No form matches: silent, record untouched.
    {"01H2", 3, nullptr, Left::Untouched},
    {"", 3, nullptr, Left::Untouched},
    {" 0105", 3, nullptr, Left::Untouched},
    {"01\t05", 3, nullptr, Left::Untouched},
    {"0105\t", 3, nullptr, Left::Untouched},
    {"0101H0", 3, nullptr, Left::Untouched},
    {"0101H7", 3, nullptr, Left::Untouched},
    {"12TR35   9", 3, nullptr, Left::Untouched},  // digit at position 9
    {"12TX35", 3, nullptr, Left::Untouched},
    {"03EX010", 3, nullptr, Left::Untouched},
    {"03EX01023", 3, nullptr, Left::Untouched},
    {"010", 3, nullptr, Left::Untouched},
    {"01050", 3, nullptr, Left::Untouched},
    {"0105       ", 3, nullptr, Left::Untouched},  // eleven characters, blanks or not
    {"12TC01201 5", 3, nullptr, Left::Untouched},
    // TC number outside 1-12: silent, fixed fields and PLC 0 set, memtype untouched.
    {"12TC013", 3, nullptr, Left::Fixed},
    {"12TC000", 3, nullptr, Left::Fixed},
    {"12TC11301", 3, nullptr, Left::Fixed},
    {"12TC00 01", 3, nullptr, Left::Fixed},
    // Selector or member out of range, or no member at all: the parse-failed line.
    {"12TR39", 3, "gate adress string 12TR39     parse faild", Left::Fixed},
    {"12TR05", 3, "gate adress string 12TR05     parse faild", Left::Fixed},
    {"12TR95", 3, "gate adress string 12TR95     parse faild", Left::Fixed},
    {"12TR310", 3, "gate adress string 12TR310    parse faild", Left::Fixed},
    {"12TR30", 3, "gate adress string 12TR30     parse faild", Left::Fixed},
    {"12TK41", 3, "gate adress string 12TK41     parse faild", Left::Fixed},
    {"12TK14", 3, "gate adress string 12TK14     parse faild", Left::Fixed},
    {"12TY31", 3, "gate adress string 12TY31     parse faild", Left::Fixed},
    {"12TY13", 3, "gate adress string 12TY13     parse faild", Left::Fixed},
    {"12TY01", 3, "gate adress string 12TY01     parse faild", Left::Fixed},
    {"12td0001", 3, "gate adress string 12TD0001   parse faild", Left::Fixed},
    {"12TD1701", 3, "gate adress string 12TD1701   parse faild", Left::Fixed},
    {"12TD0126", 3, "gate adress string 12TD0126   parse faild", Left::Fixed},
    {"12TD0100", 3, "gate adress string 12TD0100   parse faild", Left::Fixed},
    {"12TD01", 3, "gate adress string 12TD01     parse faild", Left::Fixed},
    {"12TD01   ", 3, "gate adress string 12TD01     parse faild", Left::Fixed},
    // TC without an index number: the code is already set.
    {"12TC012", 3, "gate adress string 12TC012    parse faild", Left::FixedMemtype, 182},
    {"12tc111   ", 3, "gate adress string 12TC111    parse faild", Left::FixedMemtype, 193},
    // Range checks: everything set.
    {"0141", 3, "parse fail for gate 41 > 40 and memtype = 0", Left::All, 0, 41, 1},
    {"9999", 3, "parse fail for gate 99 > 40 and memtype = 0", Left::All, 0, 99, 99},
    {"0535H2", 3, "parse fail for gate 35 > 34 and memtype = 2 <> 1..7", Left::All, 2, 35, 5},
    {"0799h6", 3, "parse fail for gate 99 > 34 and memtype = 6 <> 1..7", Left::All, 6, 99, 7},
    // Value type other than 3.
    {"0105", 0, "gate type suppose to be float", Left::All, 0, 5, 1},
    {"0100", 4, "gate type suppose to be float", Left::All, 87, 0, 1},
    {"12TC50199", -1, "gate type suppose to be float", Left::All, 183, 99, 12},
    {"03EX9999", 2, "gate type suppose to be float", Left::All, 200, 25443, 3},
    {"12TR35", 1, "gate type suppose to be float", Left::All, 13, 5, 12},
};

TEST(ParseAddress, RefusalsLogExactlyAndLeaveTheirOutputs) {
    LogCapture log;
    for (const Refusal& c : kRefused) {
        const Outcome o = Call(log, 3, c.text, c.valueType);
        EXPECT_EQ(o.result, VpiRefused) << c.text;
        if (c.line == nullptr) {
            EXPECT_TRUE(o.lines.empty()) << c.text << ": " << Describe(o);
        } else {
            EXPECT_EQ(o.lines, (std::vector<LogLine>{{0, c.line}})) << c.text;
        }
        const GateAddressRecord& g = o.gate;
        EXPECT_EQ(g.hostField, kHostField) << c.text;
        EXPECT_EQ(g.valueType, c.valueType) << c.text;
        if (c.left == Left::Untouched) {
            EXPECT_EQ(g.plcAddress, kPrePlc) << c.text;
            EXPECT_EQ(g.fixedValue255, kPre255) << c.text;
            EXPECT_EQ(g.fixedValue32, kPre32) << c.text;
        } else {
            EXPECT_EQ(g.plcAddress, c.left == Left::All ? c.plc : 0) << c.text;
            EXPECT_EQ(g.fixedValue255, 255u) << c.text;
            EXPECT_EQ(g.fixedValue32, 32u) << c.text;
        }
        const bool memtypeSet = c.left == Left::FixedMemtype || c.left == Left::All;
        EXPECT_EQ(g.memtype, memtypeSet ? c.memtype : kPreMemtype) << c.text;
        EXPECT_EQ(g.index, c.left == Left::All ? c.index : kPreIndex) << c.text;
    }
}

TEST(ParseAddress, EveryCharacterOutsideTheSetsMatchesNothing) {
    // What any form admits at each position, after folding.
    const std::array<std::string_view, 10> kAnyForm = {
        "0123456789",  "0123456789",  "0123456789TE", "0123456789RKDCYX", "0123456789H ",
        "0123456789 ", "0123456789 ", "0123456789 ",  "0123456789 ",      " "};
    const char* bases[] = {"0105      ", "0534H2    ", "12TC01201 ", "03EX0102  ", "12TD0101 9"};
    LogCapture log;
    int tried = 0;
    for (const char* base : bases) {
        for (std::size_t position = 0; position < 10; ++position) {
            for (int byte = 1; byte < 256; ++byte) {
                const char c = static_cast<char>(byte);
                if (kAnyForm[position].find(Upper(c)) != std::string_view::npos) continue;
                std::string text = base;
                text[position] = c;
                const Outcome parsed = Call(log, 3, text.c_str());
                const Outcome checked = Call(log, 4, text.c_str(), 3, 40);
                ++tried;
                for (const Outcome* o : {&parsed, &checked}) {
                    ASSERT_EQ(o->result, VpiRefused) << base << " at " << position << ": " << byte;
                    ASSERT_TRUE(o->lines.empty()) << base << " at " << position << ": " << byte;
                    ASSERT_EQ(o->gate.fixedValue32, kPre32) << base << " at " << position;
                    ASSERT_EQ(o->gate.plcAddress, kPrePlc) << base << " at " << position;
                    ASSERT_EQ(o->gate.memtype, kPreMemtype) << base << " at " << position;
                }
            }
        }
    }
    EXPECT_GT(tried, 5 * 10 * 200);
}

TEST(ParseAddress, NullAndOverlongTextsAreRefusedSilently) {
    LogCapture log;
    const std::string kTen = "12TD0101  ";
    const std::string kEleven = "12TD0101   ";
    const std::string kTwoHundred = "0105" + std::string(196, ' ');
    struct Case {
        const char* text;
        std::int32_t result;
    };
    const Case cases[] = {
        {nullptr, VpiRefused},
        {"", VpiRefused},
        {kTen.c_str(), VpiDone},
        {kEleven.c_str(), VpiRefused},
        {kTwoHundred.c_str(), VpiRefused},
    };
    for (std::int32_t operation : {3, 4}) {
        for (const Case& c : cases) {
            const Outcome o = Call(log, operation, c.text, 3, 25);
            const std::string what =
                c.text == nullptr ? "null" : std::to_string(std::strlen(c.text));
            EXPECT_EQ(o.result, c.result) << operation << " " << what;
            EXPECT_TRUE(o.lines.empty()) << what;
            if (c.result == VpiRefused) {
                EXPECT_EQ(o.gate.fixedValue32, kPre32) << what;
                EXPECT_EQ(o.gate.memtype, kPreMemtype) << what;
            } else {
                EXPECT_EQ(o.gate.memtype, MEMTYPE_TD1) << what;
            }
        }
    }
}

// A text placed flush against a page that cannot be read: reading one byte past the text
// faults.
class GuardedText {
public:
    explicit GuardedText(std::string_view bytes) {
        if (page_.Ok()) {
            text_ = reinterpret_cast<char*>(page_.EndingWith(bytes.size()));
            std::memcpy(text_, bytes.data(), bytes.size());
        }
    }
    bool ok() const { return page_.Ok(); }
    const char* text() const { return text_; }

private:
    vpitest::GuardedPage page_;
    char* text_ = nullptr;
};

TEST(ParseAddress, ReadsAtMostElevenCharactersOfTheText) {
    LogCapture log;
    // Eleven characters and no NUL before the guard page: the parser must stop after the
    // eleventh and refuse.
    for (std::string_view eleven : {"0105       ", "12TC01201 7", "abcdefghijk"}) {
        GuardedText guarded(eleven);
        ASSERT_TRUE(guarded.ok());
        for (std::int32_t operation : {3, 4}) {
            const Outcome o = Call(log, operation, guarded.text(), 3, 40);
            EXPECT_EQ(o.result, VpiRefused) << eleven;
            EXPECT_TRUE(o.lines.empty()) << eleven;
            EXPECT_EQ(o.gate.fixedValue32, kPre32) << eleven;
        }
    }
    // Ten characters and their NUL as the last byte before the guard page.
    GuardedText ten(std::string_view("12TC01201 ", 11));
    ASSERT_TRUE(ten.ok());
    const Outcome o = Call(log, 4, ten.text(), 3, 33);
    EXPECT_EQ(o.result, VpiDone);
    EXPECT_EQ(o.gate.memtype, MEMTYPE_TC12);
}

// ---------------------------------------------------------------------------------------------
// Definition check.

struct CheckCase {
    const char* text;
    std::int32_t count;
    std::int32_t result;
};

const CheckCase kChecks[] = {
    {"0101", 40, 0},      {"0101", 28, 0},      {"0101", 27, 1},      {"0101", 29, 1},
    {"0101", 41, 1},      {"0102", 40, 1},      {"0102", 28, 1},      {"0100", 40, 1},
    {"0501H3", 34, 0},    {"0501H3", 33, 1},    {"0501H3", 35, 1},    {"0502H3", 34, 1},
    {"12TR31", 3, 0},     {"12TR32", 3, 1},     {"12TR81", 2, 1},     {"12TK11", 3, 0},
    {"12TK31", 4, 1},     {"12TY21", 2, 0},     {"12TY11", 3, 1},     {"12TD0101", 25, 0},
    {"12TD1601", 24, 1},  {"12TD01 1", 25, 0},  {"12TC01101", 33, 0}, {"12TC91201", 33, 0},
    {"12TC01101", 32, 1}, {"12TC01102", 33, 1}, {"03EX0102", 1, 0},   {"03EX0102", 0, 0},
    {"03EX9999", -5, 0},  {"03EX0000", 40, 1},  {"0101h1", 34, 0},
};

TEST(CheckGate, IndexAndCountOfTheMemoryType) {
    LogCapture log;
    for (const CheckCase& c : kChecks) {
        for (std::int32_t valueType : {3, 0, 7}) {
            const Outcome checked = Call(log, 4, c.text, valueType, c.count);
            EXPECT_EQ(checked.result, c.result) << c.text << " count " << c.count;
            // Index and count refusals are silent, and the value type is never looked at.
            EXPECT_TRUE(checked.lines.empty()) << c.text << ": " << Describe(checked);
            // The outputs are those of operation 3 on a float gate.
            Outcome parsed = Call(log, 3, c.text, 3, c.count);
            parsed.gate.valueType = valueType;
            EXPECT_EQ(parsed.result, VpiDone) << c.text;
            EXPECT_TRUE(SameRecord(checked.gate, parsed.gate)) << c.text;
        }
    }
}

TEST(CheckGate, ParseRefusalsKeepTheirLinesButNotTheFloatLine) {
    LogCapture log;
    for (const Refusal& c : kRefused) {
        const Outcome checked = Call(log, 4, c.text, c.valueType, 40);
        const Outcome parsedAsFloat = Call(log, 3, c.text, 3, 40);
        EXPECT_EQ(checked.lines, parsedAsFloat.lines) << c.text;
        for (const LogLine& line : checked.lines) {
            EXPECT_NE(line.text, "gate type suppose to be float") << c.text;
        }
        if (parsedAsFloat.result != VpiDone) {
            EXPECT_EQ(checked.result, VpiRefused) << c.text;
            EXPECT_TRUE(SameRecord(checked.gate,
                                   [&] {
                                       GateAddressRecord g = parsedAsFloat.gate;
                                       g.valueType = c.valueType;
                                       return g;
                                   }()))
                << c.text;
        }
    }
    // The suppression does not outlive the check: the next parse tests the value type again.
    ASSERT_EQ(Call(log, 4, "0101", 0, 40).result, VpiDone);
    const Outcome after = Call(log, 3, "0101", 0);
    EXPECT_EQ(after.result, VpiRefused);
    EXPECT_EQ(after.lines, (std::vector<LogLine>{{0, "gate type suppose to be float"}}));
}

// ---------------------------------------------------------------------------------------------
// Generated sweep: texts built mostly from the characters each form uses at each position,
// against the reference decoder, operation 4 against operation 3.

class Sampler {
public:
    std::uint32_t Next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state_ >> 33);
    }
    std::size_t Below(std::size_t n) { return Next() % n; }

private:
    std::uint64_t state_ = 0x5A7EC0DEull;
};

std::string GenerateText(Sampler& r) {
    static const std::array<std::array<std::string_view, 10>, 4> kForms = {{
        {"0123456789", "0123456789", "0123456789", "0123456789", " ", " ", " ", " ", " ", " "},
        {"0123456789", "0123456789", "0123456789", "0123456789", "Hh", "01234567", " ", " ", " ",
         " "},
        {"0123456789", "0123456789", "Tt", "RKDCYrkdcyX", "0123456789", "0123456789",
         "0123456789  ", "0123456789   ", "0123456789   ", "  9"},
        {"0123456789", "0123456789", "Ee", "Xx", "0123456789", "0123456789", "0123456789",
         "0123456789", "  1", " "},
    }};
    // Small digits more often, so that the ranges' edges come up.
    static constexpr std::string_view kEdgeDigits = "00011112223456789";
    static constexpr std::string_view kStray = "Hh Tt EXx\t/:@`{~\x7f\xe9ZzA";
    const auto& form = kForms[r.Below(kForms.size())];
    std::string text;
    for (std::size_t i = 0; i < 10; ++i) {
        const std::size_t roll = r.Below(100);
        std::string_view set = form[i];
        if (roll < 3)
            set = kStray;
        else if (roll < 40 && set.substr(0, 10) == "0123456789")
            set = kEdgeDigits;
        text += set[r.Below(set.size())];
    }
    // Cut the trailing blanks sometimes; now and then make it longer or shorter.
    const std::size_t roll = r.Below(100);
    if (roll < 50) {
        while (!text.empty() && text.back() == ' ') text.pop_back();
    } else if (roll < 53) {
        text += static_cast<char>(" 05X"[r.Below(4)]);
    } else if (roll < 56) {
        text.resize(r.Below(10));
    }
    return text;
}

TEST(Sweep, OperationsAgreeWithTheReferenceAndWithEachOther) {
    LogCapture log;
    Sampler r;
    std::map<std::string, int> seen;  // outcome kinds, to show the sweep reaches them all
    constexpr int kCases = 300000;
    const std::int32_t kTypes[] = {3, 3, 3, 0, 4};
    for (int n = 0; n < kCases; ++n) {
        const std::string text = GenerateText(r);
        const std::int32_t valueType = kTypes[r.Below(5)];
        // Usually a count that some memory type needs, so that acceptances come up.
        static constexpr std::int32_t kCounts[] = {40, 28, 34, 3, 2, 25, 33, 1, 0, 41};
        const std::int32_t count = kCounts[r.Below(10)];

        const Outcome parsed = Call(log, 3, text.c_str(), valueType, count);
        const Outcome reference = Reference(text.c_str(), valueType, false, count);
        ExpectSame(parsed, reference, "parse \"" + text + "\"");
        const Outcome checked = Call(log, 4, text.c_str(), valueType, count);
        ExpectSame(checked, Reference(text.c_str(), valueType, true, count),
                   "check \"" + text + "\"");

        // Operation 4 leaves the same outputs and lines as operation 3 on a float gate, and
        // accepts only what that parse accepts.
        const Outcome asFloat = Call(log, 3, text.c_str(), 3, count);
        Outcome comparable = asFloat;
        comparable.gate.valueType = valueType;
        ASSERT_TRUE(SameRecord(checked.gate, comparable.gate)) << text;
        ASSERT_EQ(checked.lines, asFloat.lines) << text;
        if (checked.result == VpiDone) {
            ASSERT_EQ(asFloat.result, VpiDone) << text;
        }

        if (::testing::Test::HasFailure()) break;
        std::string kind = parsed.result == VpiDone ? "accepted " : "refused ";
        if (parsed.result == VpiDone) {
            kind += std::to_string(parsed.gate.memtype < 7     ? parsed.gate.memtype
                                   : parsed.gate.memtype < 171 ? parsed.gate.memtype / 10 * 10
                                                               : parsed.gate.memtype / 100 * 100);
        } else if (!parsed.lines.empty()) {
            kind += parsed.lines[0].text.substr(0, 14);
        } else {
            kind += parsed.gate.fixedValue32 == 32 ? "silent-decoded" : "silent-nomatch";
        }
        ++seen[kind];
        if (checked.result == VpiDone) ++seen["check accepted"];
    }
    for (const char* kind :
         {"accepted 0", "accepted 1", "accepted 6", "accepted 10", "accepted 20", "accepted 40",
          "accepted 50", "accepted 60", "accepted 80", "accepted 100", "accepted 200",
          "refused gate adress st", "refused parse fail for", "refused gate type supp",
          "refused silent-decoded", "refused silent-nomatch", "check accepted"}) {
        EXPECT_GE(seen[kind], 50) << kind;
    }
}

// ---------------------------------------------------------------------------------------------

TEST(Threads, ParsesOnSeveralThreadsMatchTheSerialResults) {
    LogCapture log;
    std::vector<std::string> texts;
    Sampler r;
    for (int i = 0; i < 400; ++i) texts.push_back(GenerateText(r));
    for (const Decoded& c : kAccepted) texts.push_back(c.text);
    for (const Refusal& c : kRefused) texts.push_back(c.text);

    struct Result {
        std::int32_t parse;
        std::int32_t check;
        GateAddressRecord parsed;
        GateAddressRecord checked;
    };
    auto runAll = [&texts] {
        std::vector<Result> results;
        for (const std::string& text : texts) {
            Result res{};
            res.parsed = Prefilled(text.c_str(), 3, 3);
            res.checked = Prefilled(text.c_str(), 3, 3);
            res.parse = CallVpi(3, res.parsed);
            res.check = CallVpi(4, res.checked);
            results.push_back(res);
        }
        return results;
    };
    const std::vector<Result> serial = runAll();
    const std::size_t serialLines = log.Take().size();

    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const std::vector<Result> mine = runAll();
                for (std::size_t i = 0; i < mine.size(); ++i) {
                    if (mine[i].parse != serial[i].parse || mine[i].check != serial[i].check ||
                        !SameRecord(mine[i].parsed, serial[i].parsed) ||
                        !SameRecord(mine[i].checked, serial[i].checked)) {
                        ++mismatches[static_cast<std::size_t>(t)];
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << t;
    EXPECT_GT(serialLines, 0u);
    EXPECT_EQ(log.Lines().size(), serialLines * kThreads * kRounds);
}

}  // namespace
