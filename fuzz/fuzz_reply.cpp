// Fuzz target for operations 5, 6 and 7: any memory type, PLC address, index and count (the
// value array exactly `count` floats, on the heap), and a far end whose answers to each
// request come from the input through the emulated line, so that silence costs no time.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "fuzz_targets.h"
#include "serial.h"
#include "serial_fake.h"
#include "vpi_records.h"

namespace vpifuzz::reply {

namespace {

namespace fake = serial::fake;

constexpr std::uint8_t kRequestGuard = 0xA5;
constexpr std::int32_t kMaxCount = 300;  // beyond every family's block; the array is this big

// One code of every family, its edges, the index-zero command and codes no family has.
constexpr std::array<std::int32_t, 24> kMemtypes{MEMTYPE_PLAIN,
                                                 MEMTYPE_H1,
                                                 MEMTYPE_H6,
                                                 MEMTYPE_TR1,
                                                 MEMTYPE_TR8,
                                                 MEMTYPE_TK1,
                                                 MEMTYPE_TK3,
                                                 MEMTYPE_TY1,
                                                 MEMTYPE_TY2,
                                                 MEMTYPE_TD1,
                                                 MEMTYPE_TD16,
                                                 MEMTYPE_TC1,
                                                 MEMTYPE_TC12,
                                                 MEMTYPE_TC13,
                                                 MEMTYPE_TC24,
                                                 MEMTYPE_EX,
                                                 MEMTYPE_INDEX_ZERO,
                                                 7,
                                                 10,
                                                 18,
                                                 50,
                                                 170,
                                                 199,
                                                 201};

// requestBuffer is untouched, or holds one request frame for the gate's PLC address, its NUL,
// and the untouched rest.
void CheckRequestBuffer(const ChannelState& state, const GateIoRecord& gate) {
    const std::span<const std::uint8_t> buffer(state.requestBuffer);
    std::size_t frame = 0;
    if (buffer[0] == kRequestGuard) {
        frame = 0;
    } else {
        VPIFUZZ_CHECK(WellFormedFrame(buffer, &frame));
        VPIFUZZ_CHECK(frame < buffer.size() && buffer[frame] == '\0');
        VPIFUZZ_CHECK(buffer[4] == '0' + gate.plcAddress / 10 &&
                      buffer[5] == '0' + gate.plcAddress % 10);
        ++frame;
    }
    for (std::size_t i = frame; i < buffer.size(); ++i) VPIFUZZ_CHECK(buffer[i] == kRequestGuard);
}

// The far end: one answer per request, each read from the input when the request goes out.
// Each request is also the moment to look at the channel between two exchanges of an
// operation (an operation 6 makes up to eight).
struct FarEnd {
    Input* in;
    const ChannelState* state = nullptr;
    const ChannelState* before = nullptr;
    const GateIoRecord* gate = nullptr;
};

void CheckBetweenExchanges(const FarEnd& far) {
    if (far.state == nullptr) return;
    const ChannelState& state = *far.state;
    const ChannelState& before = *far.before;
    VPIFUZZ_CHECK(state.readTimeout == before.readTimeout && state.active == before.active &&
                  state.port == before.port);
    VPIFUZZ_CHECK(std::memcmp(&state.settings, &before.settings, sizeof state.settings) == 0);
    CheckRequestBuffer(state, *far.gate);
}

void Answer(FarEnd& far, const std::string& port) {
    CheckBetweenExchanges(far);
    Input& in = *far.in;
    if (in.Empty()) return;
    const std::uint8_t how = in.Byte();
    if ((how & 0x80) != 0) return;  // silence
    const std::uint32_t delayMs = (how & 0x40) != 0 ? in.Byte() * 10u : 0u;
    const std::uint32_t gapUs = (how & 0x20) != 0 ? in.Byte() * 100u : 0u;
    const std::size_t size = in.U16() % 700u;
    const auto bytes = in.Bytes(size);
    if (!bytes.empty()) fake::Deliver(port, bytes, delayMs, gapUs);
}

}  // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    Input in(data, size);
    fake::Reset();

    // The call: operation, memory type, PLC address, index and count.
    const std::uint8_t opByte = in.Byte();
    const VpiOperation operation = opByte % 3 == 0   ? VpiOperation::ReadEx
                                   : opByte % 3 == 1 ? VpiOperation::Read
                                                     : VpiOperation::Write;
    const std::uint8_t memByte = in.Byte();
    const std::int32_t memtype = memByte < 250 ? kMemtypes[memByte % kMemtypes.size()] : in.I32();
    const std::uint8_t plcByte = in.Byte();
    const std::int32_t plc = plcByte < 200 ? plcByte % 100 : (plcByte < 250 ? plcByte : in.I32());
    const std::uint8_t indexByte = in.Byte();
    const std::int32_t index =
        indexByte < 128 ? 0x0A00 | indexByte : (indexByte < 250 ? 1 : in.I32());
    const std::int16_t rawCount = static_cast<std::int16_t>(in.U16());
    const std::int32_t count = rawCount % (kMaxCount + 1);
    const std::uint8_t lineByte = in.Byte();
    const bool noValues = (lineByte & 1) != 0 && count > 0;

    // The line: its read time-out, and faults on the way out and in.
    ChannelState state;
    std::memset(&state, 0, sizeof state);
    serial::PortHandle handle = 0;
    VPIFUZZ_CHECK(serial::OpenPort("COM1", LineParameters{9600, 8, 0, 0}, 8, &handle) ==
                  serial::SerialResult::Ok);
    state.readTimeout = 1 + (lineByte >> 4) * 10;
    state.active = 1;
    state.port = handle;
    std::memcpy(state.settings.portName, "COM1", 5);
    state.settings.line = LineParameters{9600, 8, 0, 0};
    state.settings.lineFlags = 8;
    std::memset(state.receiveBuffer, 'q', sizeof state.receiveBuffer);
    std::memset(state.requestBuffer, kRequestGuard, sizeof state.requestBuffer);
    static_cast<void>(serial::SetReadTimeout(handle, state.readTimeout));
    const bool cut = (lineByte & 2) != 0;
    if (cut) fake::CutWritesAfter(in.Byte());
    if ((lineByte & 4) != 0) fake::FailReadsAfter(in.U16());
    if ((lineByte & 8) != 0) fake::FailRts(true);

    // The values: exactly `count` floats, the ones to write from the input.
    const std::size_t slots = count > 0 ? static_cast<std::size_t>(count) : 0;
    std::unique_ptr<float[]> values(new float[slots]);
    for (std::size_t i = 0; i < slots; ++i) values[i] = in.Float();
    const std::vector<float> written(values.get(), values.get() + slots);

    // Stale bytes already waiting on the line, then one answer per request.
    FarEnd far{&in};
    if ((in.Byte() & 1) != 0) Answer(far, "COM1");
    fake::SetResponder(
        [&far](const std::string& port, std::span<const std::uint8_t>) { Answer(far, port); });

    GateIoRecord gate{};
    gate.host0 = 0xDEADBEEF;
    gate.host1 = gate.host5 = gate.host6 = gate.host7 = gate.host9 = 0x11111111;
    gate.plcAddress = plc;
    gate.memtype = memtype;
    gate.index = index;
    gate.count = count;
    gate.values = noValues ? nullptr : values.get();
    const GateIoRecord gateBefore = gate;
    const ChannelState stateBefore = state;
    far.state = &state;
    far.before = &stateBefore;
    far.gate = &gate;

    VpiCall call{&state, static_cast<std::int32_t>(operation), 5, 0, &gate};
    const VpiCall callBefore = call;
    const std::int32_t result = VpiMain(&call);
    fake::SetResponder(nullptr);

    VPIFUZZ_CHECK(result == VpiDone || result == VpiRefused || result == VpiFailed);
    VPIFUZZ_CHECK(std::memcmp(&call, &callBefore, sizeof call) == 0);
    VPIFUZZ_CHECK(std::memcmp(&gate, &gateBefore, sizeof gate) == 0);
    VPIFUZZ_CHECK(state.readTimeout == stateBefore.readTimeout &&
                  state.active == stateBefore.active && state.port == stateBefore.port);
    VPIFUZZ_CHECK(std::memcmp(&state.settings, &stateBefore.settings, sizeof state.settings) == 0);
    CheckRequestBuffer(state, gate);
    if (operation == VpiOperation::Write) {
        VPIFUZZ_CHECK(slots == 0 ||
                      std::memcmp(values.get(), written.data(), slots * sizeof(float)) == 0);
    }
    if (operation == VpiOperation::ReadEx && memtype != MEMTYPE_EX) {
        VPIFUZZ_CHECK(result == VpiRefused && fake::Writes().empty());
    }
    // Every request that went out whole is a well-formed frame, with at most its NUL behind.
    if (!cut) {
        for (const auto& w : fake::Writes()) {
            std::size_t frame = 0;
            VPIFUZZ_CHECK(WellFormedFrame(w, &frame));
            VPIFUZZ_CHECK(w.size() == frame || (w.size() == frame + 1 && w[frame] == '\0'));
        }
    }
    VPIFUZZ_CHECK(fake::IsOpen("COM1"));
    fake::Reset();
    return 0;
}

}  // namespace vpifuzz::reply
