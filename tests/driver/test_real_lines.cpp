// Channels on real pseudo-terminals through VpiMain and the POSIX back-end: a state area that
// holds another channel's live port, write acknowledgements followed by line noise, echoing
// lines in front of silent meters, and a line full of other meters' frames against the time
// one receive may take.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "elapsed.h"
#include "gate_records.h"
#include "log_capture.h"
#include "metersim_child.h"
#include "pty_pair.h"
#include "serial.h"
#include "sim_line.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace {

using vpitest::Call;
using vpitest::MsSince;

constexpr LineParameters kLine{9600, 8, 0, 0};

// A frame around `body` (what follows the length field), with its checksum computed here from
// its definition: (byte − 34) summed over the counted bytes in 16 bits, modulo 92, plus 34.
std::string Frame(const std::string& body) {
    char length[4];
    std::snprintf(length, sizeof length, "%03zu", body.size() + 3);
    const std::string head = std::string("!") + length + body;
    std::uint16_t sum = 0;
    for (std::size_t i = 1; i < head.size(); ++i) {
        sum = static_cast<std::uint16_t>(sum + static_cast<unsigned char>(head[i]) - 34);
    }
    return head + static_cast<char>(sum % 92 + 34) + "\r\n";
}

// Opens `channel` on `port` through VpiMain with a read time-out of `units` × 10 ms.
std::int32_t Open(ChannelState& channel, const std::string& port, std::int32_t units) {
    OpenChannelRecord open{};
    if (port.size() >= sizeof open.portName) return -1;
    std::memcpy(open.portName, port.c_str(), port.size() + 1);
    open.active = 1;
    open.readTimeout = units;
    open.line = kLine;
    return Call(VpiOperation::Open, &channel, &open);
}

// metersim with one meter (01) behind a short link, the plain block's field 0 pinned to
// `plain0` so that a value tells which line it came from, and its event record.
class SimMeter {
public:
    SimMeter(const std::string& tag, float plain0, const std::vector<std::string>& faults = {},
             const std::vector<std::string>& meters = {"01"})
        : values_(PinnedValues(tag, plain0)), line_(Arguments(values_, faults, meters)) {}
    ~SimMeter() { std::remove(values_.c_str()); }
    bool Started() const { return line_.Started(); }
    const std::string& Port() const { return line_.Port(); }

    // The requests the line carried for meter `plc`, answered or not.
    int RequestsTo(int plc) {
        int count = 0;
        for (const vpitest::Json& request : line_.Requests()) count += request["meter"] == plc;
        return count;
    }

private:
    static std::string PinnedValues(const std::string& tag, float plain0) {
        const std::string path =
            "/tmp/vpi-real-lines-" + tag + std::to_string(getpid() % 10000) + ".values";
        std::ofstream(path) << "plain.0 = " << plain0 << "\n";
        return path;
    }
    static std::vector<std::string> Arguments(const std::string& values,
                                              const std::vector<std::string>& faults,
                                              const std::vector<std::string>& meters) {
        std::vector<std::string> args{"--values", values};
        for (const std::string& meter : meters) args.insert(args.end(), {"--meter", meter});
        for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
        return args;
    }

    std::string values_;
    vpitest::SimLine line_;
};

// Reads the plain block of meter `plc`: the result, and field 0 in `value`.
std::int32_t ReadPlain(ChannelState& channel, float* value, std::int32_t plc = 1) {
    std::vector<float> values(40, -1.0f);
    GateIoRecord gate = vpitest::IoRecord(plc, MEMTYPE_PLAIN, 1, 40, values.data());
    const std::int32_t result = Call(VpiOperation::Read, &channel, &gate);
    *value = values[0];
    return result;
}

std::int32_t WriteCommand(ChannelState& channel, std::int32_t plc, float value) {
    GateIoRecord gate = vpitest::IoRecord(plc, MEMTYPE_INDEX_ZERO, 0, 1, &value);
    return Call(VpiOperation::Write, &channel, &gate);
}

// A state area as a host may hand it over: never zeroed, and holding another channel's port.
ChannelState Unzeroed(serial::PortHandle port) {
    ChannelState area;
    std::memset(&area, 0x5A, sizeof area);
    area.port = port;
    area.readTimeout = 10;
    return area;
}

// ---- A channel acts only on its own port ----------------------------------------------------

TEST(ChannelsOwnTheirPorts, OpeningAnAreaThatHoldsAnotherChannelsPortLeavesThatPortAlone) {
    // Channel A on line X; area B, never zeroed, holds A's descriptor and is opened on line Y.
    // The open must neither close A's port nor end up with A's descriptor: afterwards each
    // channel reads its own line's meter, and line X carries only A's requests.
    SimMeter lineX("x", 1110.0f);
    SimMeter lineY("y", 7770.0f);
    ASSERT_TRUE(lineX.Started() && lineY.Started());
    vpitest::LogCapture log;
    ChannelState a{};
    // Time-outs of 2 s: every read here is answered, and the counts below must not depend on
    // how quickly a busy machine lets the simulator answer.
    ASSERT_EQ(Open(a, lineX.Port(), 200), VpiDone);
    ChannelState b = Unzeroed(a.port);
    ASSERT_EQ(Open(b, lineY.Port(), 200), VpiDone);
    EXPECT_NE(b.port, a.port);
    EXPECT_TRUE(serial::OwnsPort(a.port));

    float value = 0.0f;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ReadPlain(a, &value), VpiDone);
        EXPECT_EQ(value, 1110.0f);
        EXPECT_EQ(ReadPlain(b, &value), VpiDone);
        EXPECT_EQ(value, 7770.0f);
    }
    EXPECT_EQ(Call(VpiOperation::Close, &b), VpiDone);
    EXPECT_EQ(ReadPlain(a, &value), VpiDone);  // B's close left A's port open
    EXPECT_EQ(value, 1110.0f);
    EXPECT_EQ(Call(VpiOperation::Close, &a), VpiDone);
    EXPECT_EQ(lineX.RequestsTo(1), 3);
    EXPECT_EQ(lineY.RequestsTo(1), 2);
}

TEST(ChannelsOwnTheirPorts, AnAreaNeverOpenedThatHoldsAnotherChannelsPortTouchesNothing) {
    // Area C was never opened and holds A's descriptor. Its flush leaves A's waiting input
    // alone; its read and write fail as on a closed port, with the usual lines, and put
    // nothing on A's line; its close forgets the value (closed: port and active 0) and leaves
    // A's port open.
    SimMeter lineX("z", 1110.0f);
    ASSERT_TRUE(lineX.Started());
    vpitest::Pty spare;
    ASSERT_TRUE(spare.Ok());
    vpitest::LogCapture log;
    ChannelState a{};
    ASSERT_EQ(Open(a, lineX.Port(), 200), VpiDone);  // answered reads: a time-out to spare
    ChannelState other{};
    ASSERT_EQ(Open(other, spare.ShortName(), 20), VpiDone);

    // Flush: bytes waiting on the other channel's line stay there for it.
    ChannelState c = Unzeroed(other.port);
    spare.Send("stale");
    ASSERT_TRUE(vpitest::WaitUntil([&] {
        pollfd entry{static_cast<int>(other.port), POLLIN, 0};
        return poll(&entry, 1, 0) == 1;
    }));
    EXPECT_EQ(Call(VpiOperation::Flush, &c), VpiDone);
    std::uint8_t waiting[5] = {};
    EXPECT_EQ(serial::ReadPort(other.port, waiting, 5, nullptr), serial::SerialResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(waiting), 5), "stale");

    // Read and write: the usual failures, and nothing on A's line.
    c = Unzeroed(a.port);
    log.Clear();
    float value = -1.0f;
    EXPECT_EQ(ReadPlain(c, &value, 1), VpiFailed);
    EXPECT_EQ(value, -1.0f);
    int noReply = 0;
    for (const vpitest::LogLine& line : log.Take()) {
        if (line.text.find("Fail to set RTS") != std::string::npos) continue;
        EXPECT_EQ(line, (vpitest::LogLine{
                            8, "Xerbo : Fail to recv response to read data (Vpi # 1,PLC # 1)"}));
        ++noReply;
    }
    EXPECT_EQ(noReply, 8);
    EXPECT_EQ(WriteCommand(c, 1, 1.0f), VpiFailed);

    // Close: the value is forgotten, not closed.
    EXPECT_EQ(Call(VpiOperation::Close, &c), VpiDone);
    EXPECT_EQ(c.port, 0u);
    EXPECT_EQ(c.active, 0u);
    EXPECT_TRUE(serial::OwnsPort(a.port));
    EXPECT_EQ(ReadPlain(a, &value), VpiDone);
    EXPECT_EQ(value, 1110.0f);
    EXPECT_EQ(Call(VpiOperation::Close, &a), VpiDone);
    EXPECT_EQ(Call(VpiOperation::Close, &other), VpiDone);
    EXPECT_EQ(lineX.RequestsTo(1), 1);
}

TEST(ChannelsOwnTheirPorts, ReopenAndReconfigureOfAnAreaHoldingAnotherChannelsPortOpenTheirOwn) {
    // Neither takes A's descriptor for the area's own port (which would refuse the open as
    // "already open") nor closes it.
    vpitest::Pty lineX;
    vpitest::Pty lineY;
    ASSERT_TRUE(lineX.Ok() && lineY.Ok());
    vpitest::LogCapture log;
    ChannelState a{};
    ASSERT_EQ(Open(a, lineX.ShortName(), 20), VpiDone);

    ChannelState b = Unzeroed(a.port);
    b.settings = a.settings;
    std::memset(b.settings.portName, 0, sizeof b.settings.portName);
    std::memcpy(b.settings.portName, lineY.ShortName().c_str(), lineY.ShortName().size());
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &b), VpiDone);
    EXPECT_NE(b.port, a.port);
    EXPECT_EQ(Call(VpiOperation::Close, &b), VpiDone);

    ChannelState r = Unzeroed(a.port);
    r.settings = b.settings;
    ReconfigureRecord same{};
    std::memcpy(same.portName, r.settings.portName, sizeof r.settings.portName);
    EXPECT_EQ(Call(VpiOperation::Reconfigure, &r, &same), VpiDone);
    EXPECT_NE(r.port, a.port);
    EXPECT_EQ(Call(VpiOperation::Close, &r), VpiDone);

    EXPECT_TRUE(serial::OwnsPort(a.port));
    EXPECT_EQ(Call(VpiOperation::Close, &a), VpiDone);
    EXPECT_FALSE(serial::OwnsPort(a.port));
}

TEST(ChannelsOwnTheirPorts, ADescriptorClosedBehindTheModulesBackAndHandedOutAgainIsNoPort) {
    // The host closes a channel's descriptor itself, and the system gives the number to
    // another file: a pipe of the host's, or another line's terminal (the same device as the
    // channel's own, another inode). The channel must not write into it, and its close forgets
    // the number without closing it.
    for (const bool anotherTerminal : {false, true}) {
        SCOPED_TRACE(anotherTerminal ? "another terminal" : "a pipe");
        vpitest::Pty line;
        vpitest::Pty other;
        ASSERT_TRUE(line.Ok() && other.Ok());
        vpitest::LogCapture log;
        ChannelState a{};
        ASSERT_EQ(Open(a, line.ShortName(), 10), VpiDone);
        const int fd = static_cast<int>(a.port);
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        // Non-blocking, as the module's own descriptors are: were the module to take it for
        // its port, its reads would end rather than wait for ever.
        const int reuser = anotherTerminal
                               ? open(other.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)
                               : dup(pipeEnds[1]);
        ASSERT_GE(reuser, 0);
        ASSERT_EQ(close(fd), 0);
        ASSERT_EQ(dup2(reuser, fd), fd);  // the number now names the other file
        // What reaches the other file while the channel writes, read as it comes (a terminal
        // would otherwise hold a write that reached it until somebody reads).
        const int watched = anotherTerminal ? other.Master() : pipeEnds[0];
        std::atomic<bool> writing{true};
        std::string reached;
        std::thread watch([&] {
            while (writing) {
                pollfd entry{watched, POLLIN, 0};
                if (poll(&entry, 1, 10) != 1) continue;
                char buffer[64];
                const ssize_t n = read(watched, buffer, sizeof buffer);
                if (n > 0) reached.append(buffer, static_cast<std::size_t>(n));
            }
        });
        EXPECT_EQ(WriteCommand(a, 1, 1.0f), VpiFailed);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        writing = false;
        watch.join();
        EXPECT_EQ(reached, "");  // nothing was written into it
        EXPECT_EQ(Call(VpiOperation::Close, &a), VpiDone);
        EXPECT_EQ(a.port, 0u);
        EXPECT_EQ(a.active, 0u);
        EXPECT_NE(fcntl(fd, F_GETFD), -1);  // still open: not the module's to close
        close(fd);
        close(reuser);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
    }
}

// ---- A far end the test plays -------------------------------------------------------------

// Answers every request that arrives on `pty` (a frame up to CR LF, with a NUL behind it
// taken along) with what `answer` gives for it, and counts the requests.
class FarEnd {
public:
    FarEnd(const vpitest::Pty& pty, std::function<std::string(const std::string&)> answer)
        : pty_(pty), answer_(std::move(answer)), thread_([this] { Run(); }) {}
    ~FarEnd() {
        stop_ = true;
        thread_.join();
    }
    int Requests() const { return requests_; }

private:
    void Run() {
        std::string pending;
        while (!stop_) {
            pollfd entry{pty_.Master(), POLLIN, 0};
            if (poll(&entry, 1, 10) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(pty_.Master(), buffer, sizeof buffer);
            if (n <= 0) continue;
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end = pending.find("\r\n"); end != std::string::npos;
                 end = pending.find("\r\n")) {
                std::string request = pending.substr(0, end + 2);
                pending.erase(0, end + 2);
                if (!pending.empty() && pending.front() == '\0') pending.erase(0, 1);
                const auto start = request.find('!');
                if (start == std::string::npos) continue;
                request.erase(0, start);
                ++requests_;
                const std::string reply = answer_(request);
                if (!reply.empty()) {
                    static_cast<void>(write(pty_.Master(), reply.data(), reply.size()));
                }
            }
        }
    }

    const vpitest::Pty& pty_;
    std::function<std::string(const std::string&)> answer_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// ---- Writes acknowledged with the request's own bytes --------------------------------------

TEST(WriteAcknowledgements, NoiseBehindTheDoubleLeavesItTheAcknowledgement) {
    // A meter that answers the command with the request's own bytes; behind it silence, or
    // what a transmitter letting go of the line leaves. Whatever begins no frame is noise:
    // each write is done after one request.
    struct Case {
        const char* name;
        std::string behind;
    };
    const std::vector<Case> cases{
        {"nothing", ""},
        {"one 0x00", std::string(1, '\0')},
        {"one 0xFF", "\xFF"},
        {"four 0xFF", "\xFF\xFF\xFF\xFF"},
        {"CR LF and a tilde", "\r\n~"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vpitest::Pty line;
        ASSERT_TRUE(line.Ok());
        vpitest::LogCapture log;
        ChannelState channel{};
        ASSERT_EQ(Open(channel, line.ShortName(), 30), VpiDone);
        {
            FarEnd meter(line, [&c](const std::string& request) { return request + c.behind; });
            const auto start = vpitest::Clock::now();
            EXPECT_EQ(WriteCommand(channel, 4, 2.0f), VpiDone);
            // One request, and no more than its own time-out spent waiting behind it.
            EXPECT_LT(MsSince(start), 2 * 300 + 200);
            EXPECT_EQ(meter.Requests(), 1);
        }
        EXPECT_EQ(Call(VpiOperation::Close, &channel), VpiDone);
    }
}

TEST(WriteAcknowledgements, AHeaderThatBeginsAFrameAndEndsShortIsNoAcknowledgement) {
    // "!0" behind the double began a frame that never came whole: not noise, so the write
    // goes on to its eight attempts.
    vpitest::Pty line;
    ASSERT_TRUE(line.Ok());
    vpitest::LogCapture log;
    ChannelState channel{};
    ASSERT_EQ(Open(channel, line.ShortName(), 5), VpiDone);
    {
        FarEnd meter(line, [](const std::string& request) { return request + "!0"; });
        EXPECT_EQ(WriteCommand(channel, 4, 1.0f), VpiFailed);
        // On a busy machine the far end may read the last request only after the driver has
        // given up waiting for its answer.
        EXPECT_TRUE(vpitest::WaitUntil([&meter] { return meter.Requests() >= 8; }));
        EXPECT_EQ(meter.Requests(), 8);
    }
    EXPECT_EQ(Call(VpiOperation::Close, &channel), VpiDone);
}

// ---- Echoing lines in front of silent meters -----------------------------------------------

TEST(EchoingLines, AnExWriteWithValuesNeedsTheMetersOwnFrame) {
    // The adapter hands back every request; meter 07 answers, meter 05 is not on the line. An
    // EX write with values to 05 fails after its eight attempts: its double is only ever the
    // echo. The same write to 07 is done at once. A command to 05 is taken as done: a meter
    // acknowledges a command with its very bytes, and the echo looks just like that.
    SimMeter line("e", 1110.0f, {"echo"}, {"07"});
    ASSERT_TRUE(line.Started());
    vpitest::LogCapture log;
    ChannelState channel{};
    // 500 ms: meter 07 must answer its one request in time on a busy machine, and 05's eight
    // attempts stay short.
    ASSERT_EQ(Open(channel, line.Port(), 50), VpiDone);
    float registers[2] = {12.0f, -3.0f};
    GateIoRecord absent = vpitest::IoRecord(5, MEMTYPE_EX, 0x0A01, 2, registers);
    EXPECT_EQ(Call(VpiOperation::Write, &channel, &absent), VpiFailed);
    GateIoRecord present = vpitest::IoRecord(7, MEMTYPE_EX, 0x0A01, 2, registers);
    EXPECT_EQ(Call(VpiOperation::Write, &channel, &present), VpiDone);
    EXPECT_EQ(WriteCommand(channel, 5, 1.0f), VpiDone);
    EXPECT_EQ(Call(VpiOperation::Close, &channel), VpiDone);
    EXPECT_EQ(line.RequestsTo(5), 8 + 1);
    EXPECT_EQ(line.RequestsTo(7), 1);
}

// ---- One receive, one time budget ----------------------------------------------------------

// Sends a frame of meter 09 on `pty` every `periodMs` until destroyed.
class Strays {
public:
    Strays(const vpitest::Pty& pty, int periodMs)
        : thread_([this, &pty, periodMs] {
              const std::string stray = Frame("09P0A0A00FF");
              auto next = vpitest::Clock::now();
              while (!stop_) {
                  static_cast<void>(write(pty.Master(), stray.data(), stray.size()));
                  next += std::chrono::milliseconds(periodMs);
                  std::this_thread::sleep_until(next);
              }
          }) {}
    ~Strays() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(ReceiveBudget, OtherMetersFramesWithoutEndCostNoMoreThanASilentMeter) {
    // Meter 02 never answers. Once on a quiet line, once while meter 09's frames arrive every
    // 0.9 read time-outs for as long as the read lasts: each frame passed over must not start
    // a new wait of its own, so the second read lasts no longer than the first plus one
    // time-out (it used to take about five times as long).
    constexpr int kTimeoutMs = 300;
    vpitest::Pty line;
    ASSERT_TRUE(line.Ok());
    vpitest::LogCapture log;
    ChannelState channel{};
    ASSERT_EQ(Open(channel, line.ShortName(), kTimeoutMs / 10), VpiDone);
    float value = 0.0f;
    auto start = vpitest::Clock::now();
    EXPECT_EQ(ReadPlain(channel, &value, 2), VpiFailed);
    const std::int64_t silentMs = MsSince(start);
    {
        Strays strays(line, kTimeoutMs * 9 / 10);
        start = vpitest::Clock::now();
        EXPECT_EQ(ReadPlain(channel, &value, 2), VpiFailed);
    }
    const std::int64_t straysMs = MsSince(start);
    EXPECT_GE(silentMs, 8 * kTimeoutMs);
    EXPECT_LE(straysMs, silentMs + kTimeoutMs) << "silent meter: " << silentMs << " ms";
    EXPECT_EQ(Call(VpiOperation::Close, &channel), VpiDone);
}

}  // namespace
