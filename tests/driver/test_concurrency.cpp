// Four channels on four pseudo-terminals, each served by its own simulated meter line, read
// at once on four threads while two more threads parse and check gate addresses. Every value
// the meters have pinned must come back right on its own channel: the driver keeps all of a
// channel's state in the host's area and nothing module-wide, so nothing may cross over.
// Then every fault mode of the simulated line against every family, each mode on a line and
// a thread of its own, all at once; and a line that dies in the middle of the exchanges.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "elapsed.h"
#include "gate_records.h"
#include "log_capture.h"
#include "metersim_child.h"
#include "vpi_call.h"
#include "vpi_records.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChannels = 4;
constexpr auto kRunFor = std::chrono::seconds(3);

// A meter line of its own: metersim on a pseudo-terminal, reached through a short link (a
// port name holds at most eleven characters), its values pinned from a file.
class MeterLine {
public:
    MeterLine(int channel, const std::string& values, const std::vector<std::string>& extra = {}) {
        const std::string stem =
            std::to_string(getpid() % 10000) + static_cast<char>('a' + channel);
        link_ = "/tmp/v" + stem;  // at most 11 characters
        valuesPath_ = "/tmp/vpi-concurrency-" + stem + ".values";
        std::ofstream(valuesPath_) << values;
        std::vector<std::string> args{
            METERSIM_PATH, "--meter",  "01", "--link", link_, "--seed", std::to_string(channel + 1),
            "--values",    valuesPath_};
        args.insert(args.end(), extra.begin(), extra.end());
        ready_ = vpitest::StartMeterSim(sim_, std::move(args), "");
    }
    ~MeterLine() {
        static_cast<void>(sim_.Stop());
        std::remove(valuesPath_.c_str());
    }
    MeterLine(const MeterLine&) = delete;
    MeterLine& operator=(const MeterLine&) = delete;

    bool Ready() const { return ready_; }
    // Ends the simulator at once, as a meter line that loses power or a cable pulled out (the
    // launcher removes the link SIGKILL leaves behind).
    void Kill() { static_cast<void>(sim_.Stop(SIGKILL)); }
    const std::string& PortName() const { return link_; }

private:
    host::platform::MeterSimProcess sim_;
    bool ready_ = false;
    std::string link_;
    std::string valuesPath_;
};

// What channel `k`'s meter has pinned: distinct on every channel.
float PinnedVoltage(int k) {
    return 1000.0f * static_cast<float>(k + 1);
}  // plain field 0
float PinnedCurrent(int k) {
    return 250.0f * static_cast<float>(k + 1);
}  // plain field 3
float PinnedHarmonic(int k) {
    return 12.5f + static_cast<float>(k);
}  // H2 field 5
float PinnedRegister(int k, int item) {
    return static_cast<float>(100 * (k + 1) + item);
}  // EX 10.item

std::string ValuesFile(int k) {
    std::string text = "plain.0 = " + std::to_string(static_cast<int>(PinnedVoltage(k))) + "\n" +
                       "plain.3 = " + std::to_string(static_cast<int>(PinnedCurrent(k))) + "\n" +
                       "h2.5 = " + std::to_string(PinnedHarmonic(k)) + "\n";
    for (int item = 1; item <= 4; ++item)
        text += "ex.10." + std::to_string(item) + " = " +
                std::to_string(static_cast<int>(PinnedRegister(k, item))) + "\n";
    return text;
}

using vpitest::Call;

struct ChannelTally {
    int reads = 0;
    int failures = 0;  // results other than VpiDone
    int wrong = 0;     // values that are not the meter's pinned ones
};

// One host thread per channel: the three read kinds in turn until the time is up.
void ReadChannel(int k, const std::string& port, Clock::time_point until, ChannelTally* tally) {
    ChannelState channel{};
    OpenChannelRecord open{};
    std::memcpy(open.portName, port.c_str(), port.size() + 1);
    open.active = 1;
    open.readTimeout = 100;
    open.line = LineParameters{9600, 8, 0, 0};
    if (Call(VpiOperation::Open, &channel, &open) != VpiDone) {
        ++tally->failures;
        return;
    }
    std::array<float, 40> values{};
    for (int round = 0; Clock::now() < until; ++round) {
        GateIoRecord gate{};
        gate.plcAddress = 1;
        gate.values = values.data();
        values.fill(-1.0f);
        std::int32_t result = VpiFailed;
        bool right = false;
        switch (round % 3) {
            case 0:
                gate.memtype = MEMTYPE_PLAIN;
                gate.index = 1;
                gate.count = 40;
                result = Call(VpiOperation::Read, &channel, &gate);
                right = values[0] == PinnedVoltage(k) && values[3] == PinnedCurrent(k);
                break;
            case 1:
                gate.memtype = MEMTYPE_H2;
                gate.index = 1;
                gate.count = 34;
                result = Call(VpiOperation::Read, &channel, &gate);
                right = values[5] == PinnedHarmonic(k);
                break;
            default:
                gate.memtype = MEMTYPE_EX;
                gate.index = 0x0A01;
                gate.count = 4;
                result = Call(VpiOperation::ReadEx, &channel, &gate);
                right = true;
                for (int item = 1; item <= 4; ++item)
                    right &= values[static_cast<std::size_t>(item - 1)] == PinnedRegister(k, item);
                break;
        }
        ++tally->reads;
        if (result != VpiDone) {
            ++tally->failures;
        } else if (!right) {
            ++tally->wrong;
        }
    }
    if (Call(VpiOperation::Close, &channel, nullptr) != VpiDone) ++tally->failures;
}

struct AddressCase {
    const char* text;
    std::int32_t plc, memtype, index;
};
constexpr std::array<AddressCase, 6> kAddresses{{{"0105", 1, 0, 5},
                                                 {"0534h2", 5, 2, 34},
                                                 {"12TR305", 12, 13, 5},
                                                 {"12TD01 7", 12, 51, 7},
                                                 {"12TC105 7", 12, 187, 7},
                                                 {"03EX0102", 3, 200, 258}}};

// Operations 3 and 4 on a thread of their own; returns how many answers were wrong.
int ParseAddresses(Clock::time_point until, int* calls) {
    int wrong = 0;
    for (std::size_t i = 0; Clock::now() < until; ++i) {
        const AddressCase& c = kAddresses[i % kAddresses.size()];
        GateAddressRecord record{};
        record.addressText = c.text;
        record.valueType = 3;
        record.elementCount = 1;
        const std::int32_t result = Call(VpiOperation::ParseAddress, nullptr, &record);
        if (result != VpiDone || record.plcAddress != c.plc || record.memtype != c.memtype ||
            record.index != c.index || record.fixedValue255 != 255 || record.fixedValue32 != 32) {
            ++wrong;
        }
        // The check accepts EX gates of any count and refuses the others' index or count.
        GateAddressRecord check{};
        check.addressText = c.text;
        check.elementCount = 7;
        const std::int32_t checked = Call(VpiOperation::CheckGate, nullptr, &check);
        if (checked != (c.memtype == MEMTYPE_EX ? VpiDone : VpiRefused)) ++wrong;
        *calls += 2;
        // Other host threads run meanwhile; no need to hold a core the meters' threads need.
        if (i % 64 == 63) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return wrong;
}

TEST(Concurrency, FourChannelsAndAddressParsingAtOnce) {
    std::vector<std::unique_ptr<MeterLine>> lines;
    for (int k = 0; k < kChannels; ++k) {
        lines.push_back(std::make_unique<MeterLine>(k, ValuesFile(k)));
        ASSERT_TRUE(lines.back()->Ready()) << "metersim did not start for channel " << k;
        ASSERT_LE(lines.back()->PortName().size(), 11u);
    }
    vpitest::LogCapture log;
    const Clock::time_point until = Clock::now() + kRunFor;
    std::array<ChannelTally, kChannels> tallies{};
    std::array<int, 2> addressWrong{}, addressCalls{};
    std::vector<std::thread> threads;
    for (int k = 0; k < kChannels; ++k)
        threads.emplace_back(ReadChannel, k, lines[static_cast<std::size_t>(k)]->PortName(), until,
                             &tallies[static_cast<std::size_t>(k)]);
    for (std::size_t t = 0; t < addressWrong.size(); ++t)
        threads.emplace_back([&, t] { addressWrong[t] = ParseAddresses(until, &addressCalls[t]); });
    for (std::thread& thread : threads) thread.join();

    for (int k = 0; k < kChannels; ++k) {
        const ChannelTally& tally = tallies[static_cast<std::size_t>(k)];
        SCOPED_TRACE("channel " + std::to_string(k));
        // How many reads fit the three seconds is the benchmarks' business; here every one of
        // them must be right.
        EXPECT_GE(tally.reads, 1);
        EXPECT_EQ(tally.failures, 0);
        EXPECT_EQ(tally.wrong, 0);
        std::printf("channel %d: %d reads\n", k, tally.reads);
    }
    for (std::size_t t = 0; t < addressWrong.size(); ++t) {
        EXPECT_GE(addressCalls[t], 1);
        EXPECT_EQ(addressWrong[t], 0);
        std::printf("address thread %zu: %d calls\n", t, addressCalls[t]);
    }
    // A pseudo-terminal has no modem lines, so every RTS change is refused and logged; any
    // other line is a failed exchange.
    for (const vpitest::LogLine& line : log.Lines()) {
        if (line.text.find("Fail to set RTS") == std::string::npos)
            ADD_FAILURE() << "logged: " << line;
    }
}

// ---- Every fault mode of the simulated line against every family -------------------------

// Pins for the matrix: plain fields, an H field, EX registers and whole register sets.
std::string MatrixValues() {
    std::string text = ValuesFile(0);
    text += "tr1 = 0A 0B 00FF\ntk1 = 01 02 0304\nty1 = 0C 0D\n";
    text += "td1 =";
    for (int i = 0; i < 25; ++i) text += " " + std::string(i % 2 != 0 ? "1F" : "02");
    text += "\ntc1 =";
    for (int i = 0; i < 33; ++i) text += " " + std::string(i % 3 != 0 ? "07" : "30");
    text += "\ntc13 =";
    for (int i = 0; i < 33; ++i) text += " " + std::string(i % 2 != 0 ? "11" : "05");
    return text + "\n";
}

struct MatrixFamily : vpitest::GateDef {
    VpiOperation operation;
};

// The block families, each read whole through operation 6.
constexpr std::array<vpitest::GateDef, 8> kBlockFamilies{{
    {"plain", MEMTYPE_PLAIN, 1, 40},
    {"h2", MEMTYPE_H2, 1, 34},
    {"tr1", MEMTYPE_TR1, 1, 3},
    {"tk1", MEMTYPE_TK1, 1, 3},
    {"ty1", MEMTYPE_TY1, 1, 2},
    {"td1", MEMTYPE_TD1, 1, 25},
    {"tc1", MEMTYPE_TC1, 1, 33},
    {"tc13", MEMTYPE_TC13, 1, 33},
}};

// The EX registers read through both operations, and both kinds of write.
constexpr std::array<MatrixFamily, 4> kRegisterFamilies{{
    {{"ex read (5)", MEMTYPE_EX, 0x0A01, 4}, VpiOperation::ReadEx},
    {{"ex read (6)", MEMTYPE_EX, 0x0A01, 4}, VpiOperation::Read},
    {{"command", MEMTYPE_INDEX_ZERO, 0, 1}, VpiOperation::Write},
    {{"ex write", MEMTYPE_EX, 0x0A05, 2}, VpiOperation::Write},
}};

// Each family talks to a meter address of its own (the position in this table plus one), so
// the simulator's record of requests tells how many each call made.
constexpr std::array<MatrixFamily, kBlockFamilies.size() + kRegisterFamilies.size()>
    kMatrixFamilies = [] {
        std::array<MatrixFamily, kBlockFamilies.size() + kRegisterFamilies.size()> all{};
        std::size_t at = 0;
        for (const vpitest::GateDef& block : kBlockFamilies)
            all[at++] = {block, VpiOperation::Read};
        for (const MatrixFamily& family : kRegisterFamilies) all[at++] = family;
        return all;
    }();

std::int32_t PlcOf(std::size_t family) {
    return static_cast<std::int32_t>(family) + 1;
}
std::int32_t VpiNumberOf(std::size_t family) {
    return 100 + static_cast<std::int32_t>(family);
}

// The slots of a family's values that hold pinned values (the others move with every read).
bool Pinned(const MatrixFamily& family, std::size_t slot) {
    if (family.memtype == MEMTYPE_PLAIN) return slot == 0 || slot == 3;
    if (family.memtype == MEMTYPE_H2) return slot == 5;
    return family.operation != VpiOperation::Write;
}

// What a fault does to a reply: nothing the driver cannot cope with, no usable frame (never
// seen, cut short, its length field or first bytes ruined), a wrong checksum character, a
// length of 301, a field the family cannot convert, the H "no data" mark, an EX count that
// does not match, or a reply held back past the read time-out.
enum class Damage { None, NoFrame, Checksum, Length301, Field, HMark, ExCount, Late };

struct FaultMode {
    const char* flag;
    Damage damage;
};

// 300 ms read time-out: a late reply comes well after it, the delayed and chunked ones well
// within it even on a loaded machine.
constexpr std::int32_t kMatrixTimeoutUnits = 30;

// Every fault flag of the simulated line, by what it does to a reply.
const std::vector<FaultMode> kFaultModes = [] {
    const std::pair<Damage, std::vector<const char*>> byDamage[] = {
        {Damage::None, {"delay=30", "chunks", "len6", "trailing"}},
        {Damage::NoFrame, {"silent", "truncate", "len000", "len999", "garbage"}},
        {Damage::Checksum, {"checksum"}},
        {Damage::Length301, {"len301"}},
        {Damage::Field, {"nonnumeric"}},
        {Damage::HMark, {"hx"}},
        {Damage::ExCount, {"excount"}},
        {Damage::Late, {"delay=800"}},
    };
    std::vector<FaultMode> modes;
    for (const auto& [damage, flags] : byDamage) {
        for (const char* flag : flags) modes.push_back({flag, damage});
    }
    return modes;
}();

struct Expected {
    std::int32_t result;
    int requests;
    std::vector<vpitest::LogLine> lines;  // apart from the RTS refusals of a pseudo-terminal
};

// The line a read of family `f` logs for each attempt that gets no reply.
vpitest::LogLine NoReplyLine(std::size_t f) {
    const std::string numbers =
        "(Vpi # " + std::to_string(VpiNumberOf(f)) + ",PLC # " + std::to_string(PlcOf(f)) + ")";
    return {8, kMatrixFamilies[f].memtype == MEMTYPE_H2
                   ? "Xerbo : Fail to recv response to read Hermony " + numbers
                   : "Xerbo : Fail to recv response to read data " + numbers};
}

// What the driver must answer, send and log for `family` on a line that applies `mode` to
// every reply. Reads through operation 6 and writes try eight times, operation 5 once; the
// write logs nothing of its own.
Expected Expect(const FaultMode& mode, std::size_t f) {
    const MatrixFamily& family = kMatrixFamilies[f];
    const bool write = family.operation == VpiOperation::Write;
    const bool harmonics = family.memtype == MEMTYPE_H2;
    const bool exRead = family.memtype == MEMTYPE_EX && !write;
    const int attempts = family.operation == VpiOperation::ReadEx ? 1 : 8;
    const std::string numbers =
        "(Vpi # " + std::to_string(VpiNumberOf(f)) + ",PLC # " + std::to_string(PlcOf(f)) + ")";
    // The harmonics conversion line alone writes them without blanks.
    const std::string tightNumbers =
        "(Vpi#" + std::to_string(VpiNumberOf(f)) + ",PLC#" + std::to_string(PlcOf(f)) + ")";
    const vpitest::LogLine noReply = NoReplyLine(f);
    const vpitest::LogLine checksum =
        harmonics ? vpitest::LogLine{8, "Xerbo : Hermony read - Check Sum fails"}
                  : vpitest::LogLine{32, "Xerbo : Check Sum fails " + numbers};
    const vpitest::LogLine illegal{8, "Xerbo : Illigal msg length (c.s)"};

    const auto repeated = [attempts](std::int32_t result, std::vector<vpitest::LogLine> each) {
        Expected expected{result, attempts, {}};
        for (int i = 0; i < attempts; ++i)
            expected.lines.insert(expected.lines.end(), each.begin(), each.end());
        return expected;
    };
    switch (mode.damage) {
        case Damage::NoFrame:
            if (write) return repeated(VpiFailed, {});
            return repeated(VpiFailed, {noReply});
        case Damage::Checksum:
            if (write) return repeated(VpiFailed, {});
            return repeated(VpiRefused, {checksum});
        case Damage::Length301:
            if (write) return repeated(VpiFailed, {illegal});
            return repeated(VpiRefused, {illegal, checksum});
        case Damage::Field: {
            // The first field turned into question marks, where the family has values.
            if (family.memtype == MEMTYPE_PLAIN)
                return repeated(VpiRefused,
                                {{8, "Xerbo : Fail to convert ???? to float " + numbers}});
            if (harmonics)
                return repeated(VpiRefused,
                                {{8, "Xerbo : Fail to convert ????? to float" + tightNumbers}});
            if (exRead)
                return repeated(VpiRefused,
                                {{8, "Xerbo : Fail to convert ???????? to float " + numbers}});
            break;
        }
        case Damage::HMark:
            if (harmonics) return repeated(VpiRefused, {});
            break;
        case Damage::ExCount:
            if (exRead) return repeated(VpiRefused, {});
            break;
        case Damage::None:
        case Damage::Late:
            break;
    }
    return Expected{VpiDone, 1, {}};
}

constexpr float kSentinel = -7777.0f;

struct Outcome {
    std::int32_t result = -1;
    std::vector<float> values;
    bool behindKept = true;               // nothing written behind the count
    std::vector<vpitest::LogLine> lines;  // logged during the call, RTS refusals left out
    int requests = 0;                     // requests the meter line saw for this family
    Clock::duration elapsed{};
};

// One operation of family `f` on an open channel; `log` holds every thread's lines.
Outcome MatrixCall(ChannelState* channel, std::size_t f, const vpitest::LogCapture& log) {
    const MatrixFamily& family = kMatrixFamilies[f];
    std::vector<float> values(static_cast<std::size_t>(family.count) + 4, kSentinel);
    if (family.operation == VpiOperation::Write) {
        for (std::int32_t i = 0; i < family.count; ++i)
            values[static_cast<std::size_t>(i)] = 2.0f + static_cast<float>(i);
    }
    GateIoRecord gate = vpitest::IoRecord(family, PlcOf(f), values.data());
    const std::size_t before = log.LinesFrom(std::this_thread::get_id()).size();
    VpiCall call{channel, static_cast<std::int32_t>(family.operation), VpiNumberOf(f), 0, &gate};
    Outcome outcome;
    const auto start = Clock::now();
    outcome.result = VpiMain(&call);
    outcome.elapsed = Clock::now() - start;
    std::vector<vpitest::LogLine> lines = log.LinesFrom(std::this_thread::get_id());
    for (std::size_t i = before; i < lines.size(); ++i) {
        if (lines[i].text.find("Fail to set RTS") == std::string::npos)
            outcome.lines.push_back(lines[i]);
    }
    for (std::size_t i = static_cast<std::size_t>(family.count); i < values.size(); ++i)
        outcome.behindKept &= values[i] == kSentinel;
    values.resize(static_cast<std::size_t>(family.count));
    outcome.values = values;
    return outcome;
}

// Requests per meter address in the simulator's event record (one JSON object per line,
// keys in order, so "meter" is followed by another key).
std::array<int, kMatrixFamilies.size()> RequestsPerFamily(const std::string& eventsPath) {
    std::array<int, kMatrixFamilies.size()> counts{};
    std::ifstream events(eventsPath);
    for (std::string line; std::getline(events, line);) {
        if (line.find("\"kind\":\"request\"") == std::string::npos) continue;
        for (std::size_t f = 0; f < counts.size(); ++f) {
            if (line.find("\"meter\":" + std::to_string(PlcOf(f)) + ",") != std::string::npos)
                ++counts[f];
        }
    }
    return counts;
}

// Every family in turn on a line of its own that applies `fault` to every reply (none when
// empty); empty when the line did not start or the channel did not open or close.
std::vector<Outcome> RunFamilies(int lineNumber, const std::string& fault,
                                 const vpitest::LogCapture& log) {
    const std::string eventsPath =
        "/tmp/vpi-matrix-" + std::to_string(getpid()) + "-" + std::to_string(lineNumber) + ".jsonl";
    std::vector<std::string> extra{"--events", eventsPath};
    for (std::size_t f = 1; f < kMatrixFamilies.size(); ++f) {
        char address[3];
        std::snprintf(address, sizeof address, "%02d", PlcOf(f));
        extra.insert(extra.end(), {"--meter", address});
    }
    if (!fault.empty()) extra.insert(extra.end(), {"--fault", fault});
    std::vector<Outcome> outcomes;
    {
        MeterLine line(lineNumber, MatrixValues(), extra);
        if (!line.Ready()) return outcomes;
        ChannelState channel{};
        OpenChannelRecord open{};
        std::memcpy(open.portName, line.PortName().c_str(), line.PortName().size() + 1);
        open.active = 1;
        open.readTimeout = kMatrixTimeoutUnits;
        open.line = LineParameters{9600, 8, 0, 0};
        if (Call(VpiOperation::Open, &channel, &open) != VpiDone) return outcomes;
        for (std::size_t f = 0; f < kMatrixFamilies.size(); ++f)
            outcomes.push_back(MatrixCall(&channel, f, log));
        if (Call(VpiOperation::Close, &channel, nullptr) != VpiDone) outcomes.clear();
    }  // the simulator has written its whole record once it has ended
    const std::array<int, kMatrixFamilies.size()> requests = RequestsPerFamily(eventsPath);
    for (std::size_t f = 0; f < outcomes.size(); ++f) outcomes[f].requests = requests[f];
    std::remove(eventsPath.c_str());
    return outcomes;
}

// Each fault mode on its own simulated line and its own thread, all at once: the result,
// the requests the meters saw and the lines logged, exactly, for every family.
TEST(FaultMatrix, EveryFaultModeAgainstEveryFamily) {
    vpitest::LogCapture log;
    const std::vector<Outcome> clean = RunFamilies(20, "", log);
    ASSERT_EQ(clean.size(), kMatrixFamilies.size()) << "clean line did not start";
    for (std::size_t f = 0; f < clean.size(); ++f) {
        EXPECT_EQ(clean[f].result, VpiDone) << kMatrixFamilies[f].name;
        EXPECT_EQ(clean[f].requests, 1) << kMatrixFamilies[f].name;
        EXPECT_TRUE(clean[f].lines.empty()) << kMatrixFamilies[f].name;
    }
    EXPECT_EQ(clean[0].values[0], PinnedVoltage(0));
    EXPECT_EQ(clean[1].values[5], PinnedHarmonic(0));
    EXPECT_EQ(clean[8].values[3], PinnedRegister(0, 4));

    std::vector<std::vector<Outcome>> faulted(kFaultModes.size());
    std::vector<std::thread> threads;
    for (std::size_t m = 0; m < kFaultModes.size(); ++m)
        threads.emplace_back([&faulted, &log, m] {
            faulted[m] = RunFamilies(static_cast<int>(m), kFaultModes[m].flag, log);
        });
    for (std::thread& thread : threads) thread.join();

    for (std::size_t m = 0; m < kFaultModes.size(); ++m) {
        const FaultMode& mode = kFaultModes[m];
        ASSERT_EQ(faulted[m].size(), kMatrixFamilies.size())
            << mode.flag << ": line or channel failed";
        for (std::size_t f = 0; f < kMatrixFamilies.size(); ++f) {
            const MatrixFamily& family = kMatrixFamilies[f];
            const Outcome& outcome = faulted[m][f];
            SCOPED_TRACE(std::string(mode.flag) + " x " + family.name);
            EXPECT_TRUE(outcome.behindKept);
            if (mode.damage == Damage::Late) {
                // Each reply comes after the read time-out. Replies to another family's
                // meter are passed over; one to an earlier attempt of this very gate may
                // answer a later attempt. So the read either has this meter's values or
                // fails, after its attempts, with nothing but its no-reply lines: never
                // another reply's values, never a refusal.
                ASSERT_TRUE(outcome.result == VpiDone || outcome.result == VpiFailed)
                    << outcome.result;
                // The simulator records a request when its reply has gone out, so requests
                // whose replies were still held back when the line closed are not counted.
                const int most = family.operation == VpiOperation::ReadEx ? 1 : 8;
                EXPECT_LE(outcome.requests, most);
                if (outcome.result == VpiDone) {
                    for (std::size_t i = 0; i < outcome.values.size(); ++i) {
                        if (Pinned(family, i)) {
                            EXPECT_EQ(outcome.values[i], clean[f].values[i]) << "slot " << i;
                        }
                    }
                } else if (family.operation == VpiOperation::Write) {
                    EXPECT_TRUE(outcome.lines.empty());  // a write logs nothing of its own
                } else {
                    EXPECT_EQ(outcome.lines, std::vector<vpitest::LogLine>(
                                                 static_cast<std::size_t>(most), NoReplyLine(f)));
                }
                std::printf("%s x %s: %s\n", mode.flag, family.name,
                            outcome.result == VpiDone ? "done with the meter's values" : "failed");
                continue;
            }
            const Expected expected = Expect(mode, f);
            EXPECT_EQ(outcome.result, expected.result);
            EXPECT_EQ(outcome.requests, expected.requests);
            EXPECT_EQ(outcome.lines, expected.lines);
            if (std::string_view(mode.flag) == "silent") {
                // A silent meter costs each attempt its whole read time-out and no more than
                // that plus the RTS turn-round (22 ms); the upper bound leaves room for a
                // loaded machine.
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(outcome.elapsed).count();
                const int attempts = expected.requests;
                EXPECT_GE(ms, attempts * kMatrixTimeoutUnits * 10);
                EXPECT_LT(ms, attempts * (kMatrixTimeoutUnits * 10 + 22) + 3000);
                std::printf("silent x %s: %d attempts in %lld ms\n", family.name, attempts,
                            static_cast<long long>(ms));
            }
            if (outcome.result != VpiDone) continue;
            // Success means the meter's values, whatever the line did on the way.
            for (std::size_t i = 0; i < outcome.values.size(); ++i) {
                if (Pinned(family, i)) {
                    EXPECT_EQ(outcome.values[i], clean[f].values[i]) << "slot " << i;
                }
            }
        }
    }
}

// The line dies in the middle of the exchanges: every call still returns, none reports
// success once the far end is gone. The host then closes the port, fails to reopen it while
// the line is away, and once the line is back reopens it and reads the meter's values.
TEST(LineFailure, FarEndDiesMidExchangeAndComesBack) {
    vpitest::LogCapture log;
    std::optional<MeterLine> line;
    line.emplace(30, ValuesFile(0), std::vector<std::string>{"--fault", "delay=40"});
    ASSERT_TRUE(line->Ready());
    const std::string port = line->PortName();
    ChannelState channel{};
    OpenChannelRecord open{};
    std::memcpy(open.portName, port.c_str(), port.size() + 1);
    open.active = 1;
    open.readTimeout = 10;  // 100 ms
    open.line = LineParameters{9600, 8, 0, 0};
    ASSERT_EQ(Call(VpiOperation::Open, &channel, &open), VpiDone);

    std::array<float, 40> values{};
    GateIoRecord gate{};
    gate.plcAddress = 1;
    gate.memtype = MEMTYPE_PLAIN;
    gate.index = 1;
    gate.count = 40;
    gate.values = values.data();

    std::atomic<bool> killed{false};
    std::atomic<bool> stop{false};
    std::atomic<int> doneBefore{0}, doneAfter{0}, calls{0};
    Clock::duration longest{};
    std::thread reader([&] {
        while (!stop) {
            const bool afterKill = killed;
            const auto start = Clock::now();
            const std::int32_t result = Call(VpiOperation::Read, &channel, &gate);
            longest = std::max(longest, Clock::now() - start);
            ++calls;
            if (result == VpiDone) ++(afterKill ? doneAfter : doneBefore);
        }
    });
    // Until a few reads went through, then the far end dies; then until reads have been made
    // on the dead line (each a whole round of attempts).
    ASSERT_TRUE(vpitest::WaitUntil([&] { return doneBefore >= 3; }));
    line->Kill();
    killed = true;
    const int callsAtKill = calls;
    EXPECT_TRUE(vpitest::WaitUntil([&] { return calls >= callsAtKill + 3; }));
    stop = true;
    reader.join();

    EXPECT_GE(doneBefore, 1) << "no read succeeded before the line died";
    EXPECT_EQ(doneAfter, 0);
    // Eight attempts of 100 ms each, plus purges; generous room for a loaded machine.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count(), 5000);
    std::printf("%d reads, %d done before the line died, longest %lld ms\n", calls.load(),
                doneBefore.load(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));

    // The host gives up the dead port; while the line is away it cannot be opened again.
    EXPECT_EQ(Call(VpiOperation::ClosePort, &channel, nullptr), VpiDone);
    EXPECT_EQ(channel.port, 0u);
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &channel, nullptr), VpiFailed);
    EXPECT_EQ(channel.port, 0u);

    // The line comes back under the same name: reopen, and the next read is the meter's.
    line.reset();
    line.emplace(30, ValuesFile(0));
    ASSERT_TRUE(line->Ready());
    ASSERT_EQ(line->PortName(), port);
    ASSERT_EQ(Call(VpiOperation::ReopenPort, &channel, nullptr), VpiDone);
    EXPECT_NE(channel.port, 0u);
    values.fill(-1.0f);
    EXPECT_EQ(Call(VpiOperation::Read, &channel, &gate), VpiDone);
    EXPECT_EQ(values[0], PinnedVoltage(0));
    EXPECT_EQ(values[3], PinnedCurrent(0));
    EXPECT_EQ(Call(VpiOperation::Close, &channel, nullptr), VpiDone);
}

}  // namespace
