// Micro-benchmarks of the driver's own work: the frame checksum, address parsing through
// VpiMain, request building, and whole reads over the emulated line with and without decoding.
//
// The emulated line keeps a virtual clock, so the 22 ms of RTS waits cost nothing here; what
// remains is the driver's code plus the emulation's bookkeeping. The emulation's share is
// measured beside every decode (the same reply received and verified, nothing decoded) so
// that decoding can be told apart by subtraction.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "gate_records.h"
#include "protocol.h"
#include "serial.h"
#include "serial_fake.h"
#include "tamrik.h"
#include "vpi_records.h"

namespace {

namespace fake = serial::fake;

// ---- Replies ------------------------------------------------------------------------------

// The plain block's field widths and which of them carry kilo-units (sent with a point).
constexpr std::array<int, 40> kPlainWidths{4, 4, 4, 5, 5, 5, 6, 6, 6, 4, 4, 4, 6, 4,
                                           6, 5, 4, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
                                           5, 5, 5, 2, 6, 6, 4, 4, 4, 4, 4, 4};

// A field text of exactly `width` characters with a decimal point, as a meter sends it.
std::string DecimalField(int width) {
    switch (width) {
        case 4:
            return "0.23";
        case 5:
            return "1.250";
        default:
            return "12.345";
    }
}

std::string PlainData() {
    std::string data;
    for (std::size_t i = 0; i < kPlainWidths.size(); ++i)
        data += i == 31 ? std::string("1F") : DecimalField(kPlainWidths[i]);
    return data;
}

std::string Repeat(const std::string& field, int times) {
    std::string data;
    for (int i = 0; i < times; ++i) data += field;
    return data;
}

// A whole reply frame: marker, length, address "01", a command character, the data, the
// checksum the driver's own FrameChecksum computes, CR LF.
std::vector<std::uint8_t> ReplyFrame(char command, const std::string& data) {
    const std::string body = std::string("01") + command + data;
    const std::size_t length = body.size() + 3;
    std::string frame = "!";
    frame += static_cast<char>('0' + length / 100);
    frame += static_cast<char>('0' + length / 10 % 10);
    frame += static_cast<char>('0' + length % 10);
    frame += body;
    frame += "S\r\n";
    std::vector<std::uint8_t> bytes(frame.begin(), frame.end());
    bytes[length + 1] = protocol::FrameChecksum(bytes);
    return bytes;
}

// ---- The emulated line --------------------------------------------------------------------

void QuietSink(int, const char*, void*) {}

// A channel on COM1 of the emulated line whose meter answers every request with `reply`.
class Line {
public:
    explicit Line(std::vector<std::uint8_t> reply) : reply_(std::move(reply)) {
        SetLogSink(QuietSink, nullptr);
        channel_.readTimeout = 100;
        channel_.active = 1;
        Reopen();
    }
    ~Line() {
        fake::SetResponder(nullptr);
        SetLogSink(nullptr, nullptr);
    }

    // The emulation records every call; starting it afresh now and then keeps its record
    // (and the cost of growing it) small.
    void Reopen() {
        fake::Reset();
        serial::PortHandle handle = 0;
        if (serial::OpenPort("COM1", LineParameters{9600, 8, 0, 0}, 8, &handle) !=
            serial::SerialResult::Ok) {
            handle = 0;
        }
        channel_.port = handle;
        fake::SetResponder([this](const std::string& port, std::span<const std::uint8_t>) {
            fake::Deliver(port, reply_);
        });
    }

    ChannelState* Channel() { return &channel_; }

private:
    std::vector<std::uint8_t> reply_;
    ChannelState channel_{};
};

constexpr int kReopenEvery = 256;

using Routine = std::int32_t (*)(const protocol::GateCall&);

// The gate's count is the fields decoded.
struct ReadCase : vpitest::GateDef {
    std::int32_t baselineCount;  // the same exchange, nothing decoded
    std::int32_t baselineResult;
    char command;
    std::string data;
    Routine routine;
};

std::vector<ReadCase> ReadCases() {
    return {
        {{"plain_40", MEMTYPE_PLAIN, 1, 40},
         0,
         VpiDone,
         '0',
         PlainData(),
         protocol::ReadPlainBlock},
        {{"H_34", MEMTYPE_H2, 1, 34}, 0, VpiDone, 'H', Repeat("12.50", 34), protocol::ReadHBlock},
        {{"TD_25", MEMTYPE_TD16, 1, 25}, 0, VpiDone, 'Q', Repeat("0A", 25), protocol::ReadTBlock},
        {{"TC_33", MEMTYPE_TC5, 1, 33}, 0, VpiDone, 'R', Repeat("1F", 33), protocol::ReadTBlock},
        // An EX gate whose count differs from the reply's is refused after the count is read,
        // before any value is decoded: the same exchange without the decoding.
        {{"EX_36", MEMTYPE_EX, 0x0A01, 36},
         35,
         VpiRefused,
         'A',
         "24" + Repeat("0000002A", 36),
         protocol::ReadExBlock},
    };
}

// The gate a read case reads, at PLC address 1, into `values`.
GateIoRecord GateOf(const ReadCase& c, float* values) {
    return vpitest::IoRecord(c, 1, values);
}

// Decoding alone: batches of the routine with the full count and with the baseline's count,
// alternating which goes first, each timed on its own. Alternating keeps the emulation's
// record (which grows through a batch) and the heap in the same state for both, so their
// difference is the decoding and not a drift between two separate benchmarks.
void RunDecode(benchmark::State& state, const ReadCase& c) {
    constexpr int kBatch = 32;
    Line line(ReplyFrame(c.command, c.data));
    std::array<float, 40> values{};
    GateIoRecord full = GateOf(c, values.data());
    GateIoRecord bare = full;
    bare.count = c.baselineCount;
    const protocol::GateCall fullCall{*line.Channel(), full, 1};
    const protocol::GateCall bareCall{*line.Channel(), bare, 1};
    if (c.routine(fullCall) != VpiDone || c.routine(bareCall) != c.baselineResult) {
        state.SkipWithError("the prepared reply was not read as expected");
        return;
    }
    using Clock = std::chrono::steady_clock;
    const auto batch = [&](const protocol::GateCall& call) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kBatch; ++i) benchmark::DoNotOptimize(c.routine(call));
        benchmark::ClobberMemory();
        return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    };
    double fullNs = 0.0;
    double bareNs = 0.0;
    std::int64_t calls = 0;
    bool fullFirst = true;
    for (auto _ : state) {
        line.Reopen();
        double fullBatch = 0.0;
        if (fullFirst) {
            fullBatch = batch(fullCall);
            bareNs += batch(bareCall);
        } else {
            bareNs += batch(bareCall);
            fullBatch = batch(fullCall);
        }
        fullNs += fullBatch;
        fullFirst = !fullFirst;
        calls += kBatch;
        state.SetIterationTime(fullBatch / 1e9);
    }
    state.counters["decode_ns"] = (fullNs - bareNs) / static_cast<double>(calls);
    state.counters["exchange_ns"] = bareNs / static_cast<double>(calls);
}

// Operation 6 through VpiMain: the receive buffer fill, the routine choice and one attempt.
void RunVpiRead(benchmark::State& state, const ReadCase& c) {
    Line line(ReplyFrame(c.command, c.data));
    std::array<float, 40> values{};
    GateIoRecord gate = GateOf(c, values.data());
    VpiCall call{line.Channel(), static_cast<std::int32_t>(VpiOperation::Read), 1, 0, &gate};
    if (VpiMain(&call) != VpiDone) {
        state.SkipWithError("operation 6 did not read the prepared reply");
        return;
    }
    int sinceReopen = 0;
    for (auto _ : state) {
        if (++sinceReopen == kReopenEvery) {
            state.PauseTiming();
            line.Reopen();
            sinceReopen = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(VpiMain(&call));
        benchmark::ClobberMemory();
    }
}

// ---- Checksum, parse, build ---------------------------------------------------------------

void BM_FrameChecksum(benchmark::State& state) {
    // The longest frame the protocol allows: L = 300 counted bytes.
    std::vector<std::uint8_t> frame(305, '7');
    std::memcpy(frame.data(), "!300", 4);
    frame[302] = '\r';
    frame[303] = '\n';
    const std::span<const std::uint8_t> bytes(frame);
    if (protocol::FrameChecksum(bytes) == 0) {
        state.SkipWithError("the frame was refused");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame.data());
        benchmark::DoNotOptimize(protocol::FrameChecksum(bytes));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 300);
}

struct AddressCase {
    const char* name;
    const char* text;
    std::int32_t memtype;
};
constexpr std::array<AddressCase, 8> kAddresses{{
    {"plain", "0105", MEMTYPE_PLAIN},
    {"H", "0534h2", MEMTYPE_H2},
    {"TR", "12TR305", MEMTYPE_TR3},
    {"TK", "12TK21", MEMTYPE_TK2},
    {"TY", "12TY22", MEMTYPE_TY2},
    {"TD", "12TD1625", MEMTYPE_TD16},
    {"TC", "12TC105 7", MEMTYPE_TC17},
    {"EX", "03EX0102", MEMTYPE_EX},
}};

void RunParse(benchmark::State& state, const AddressCase& c) {
    GateAddressRecord record{};
    record.addressText = c.text;
    record.valueType = 3;
    VpiCall call{nullptr, static_cast<std::int32_t>(VpiOperation::ParseAddress), 1, 0, &record};
    if (VpiMain(&call) != VpiDone || record.memtype != c.memtype) {
        state.SkipWithError("the address did not parse as expected");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(VpiMain(&call));
        benchmark::ClobberMemory();
    }
}

struct RequestCase : vpitest::GateDef {
    std::uint8_t bytes;  // what the family sends
};
constexpr std::array<RequestCase, 8> kRequests{{
    {{"plain", MEMTYPE_PLAIN, 1, 40}, 10},
    {{"H", MEMTYPE_H2, 1, 34}, 11},
    {{"TR", MEMTYPE_TR3, 1, 3}, 13},
    {{"TK", MEMTYPE_TK2, 1, 3}, 13},
    {{"TY", MEMTYPE_TY2, 1, 2}, 13},
    {{"TD", MEMTYPE_TD16, 1, 25}, 13},
    {{"TC", MEMTYPE_TC17, 1, 33}, 15},
    {{"EX", MEMTYPE_EX, 0x0AFF, 36}, 17},
}};

void RunBuild(benchmark::State& state, const RequestCase& c) {
    ChannelState channel{};
    const GateIoRecord gate = vpitest::IoRecord(c, 12, nullptr);
    const std::span<std::uint8_t> buffer(channel.requestBuffer);
    if (protocol::BuildReadRequest(gate, buffer) != c.bytes) {
        state.SkipWithError("the request was not built as expected");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(protocol::BuildReadRequest(gate, buffer));
        benchmark::ClobberMemory();
    }
}

void RegisterAll() {
    benchmark::RegisterBenchmark("checksum/L300", BM_FrameChecksum);
    for (const AddressCase& c : kAddresses) {
        benchmark::RegisterBenchmark((std::string("parse/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { RunParse(s, c); });
    }
    for (const RequestCase& c : kRequests) {
        benchmark::RegisterBenchmark((std::string("build/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { RunBuild(s, c); });
    }
    static const std::vector<ReadCase> reads = ReadCases();
    for (const ReadCase& c : reads) {
        benchmark::RegisterBenchmark((std::string("decode/") + c.name).c_str(),
                                     [&c](benchmark::State& s) { RunDecode(s, c); })
            ->UseManualTime();
    }
    benchmark::RegisterBenchmark("vpi_read/plain_40",
                                 [](benchmark::State& s) { RunVpiRead(s, reads[0]); });
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
