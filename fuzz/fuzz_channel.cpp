// Fuzz target for the channel operations 1, 2, 11, 12, 13 and 15: a sequence of them with
// arbitrary records (on the heap, exactly their size), between faults the line injects.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "fuzz_targets.h"
#include "serial.h"
#include "serial_fake.h"
#include "vpi_records.h"

namespace vpifuzz::channel {

namespace {

namespace fake = serial::fake;

constexpr std::uint8_t kReceiveFill = 0x3C;
constexpr std::uint8_t kRequestFill = 0xA5;

// Names the emulated line knows (and one it does not), so that opens succeed often.
constexpr std::array<const char*, 7> kNames{"COM1", "COM2", "COM3", "COM4", "NUL", "COM9", ""};

constexpr std::array<VpiOperation, 7> kOperations{
    VpiOperation::Open,      VpiOperation::Flush,      VpiOperation::Close,
    VpiOperation::ClosePort, VpiOperation::ReopenPort, VpiOperation::Reconfigure,
    VpiOperation::Open};

// A name field: one of the known names, or raw bytes from the input (perhaps no NUL at all).
void FillName(Input& in, char* field, std::size_t size) {
    const std::uint8_t pick = in.Byte();
    std::memset(field, 0, size);
    if (pick < 224) {
        const char* name = kNames[pick % kNames.size()];
        std::memcpy(field, name, std::strlen(name));
    } else {
        const auto raw = in.Bytes(size);
        std::memcpy(field, raw.data(), raw.size());
    }
}

// Ports the channel's handles hold: opens minus closes on the line.
long OpenHandles() {
    long n = 0;
    for (const auto& e : fake::Events()) {
        if (e.kind == fake::EventKind::Open) ++n;
        if (e.kind == fake::EventKind::Close) --n;
    }
    return n;
}

bool NameFits(const char* field) {
    return std::memchr(field, '\0', 12) != nullptr;
}

}  // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    Input in(data, size);
    fake::Reset();

    // The host's area for the channel, on the heap at exactly its size.
    std::unique_ptr<ChannelState> owned(new ChannelState);
    ChannelState& state = *owned;
    const auto initial = in.Bytes(sizeof state);
    std::memset(&state, 0, sizeof state);
    std::memcpy(&state, initial.data(), initial.size());
    state.port = 0;  // the host starts a channel without a port
    std::memset(state.receiveBuffer, kReceiveFill, sizeof state.receiveBuffer);
    std::memset(state.requestBuffer, kRequestFill, sizeof state.requestBuffer);

    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        const std::uint8_t opByte = in.Byte();
        const VpiOperation operation = kOperations[opByte % kOperations.size()];
        // Faults that hold for this step.
        const std::uint8_t faults = in.Byte();
        fake::FailOpen((faults & 1) != 0 ? serial::SerialResult::IoFailed
                                         : serial::SerialResult::Ok);
        fake::FailClose((faults & 2) != 0);
        fake::FailReadTimeoutQuery((faults & 4) != 0);
        fake::FailClearErrors((faults & 8) != 0);
        if ((faults & 16) != 0) {
            const auto junk = in.Bytes(in.Byte());
            for (const char* name : {"COM1", "COM2", "NUL"}) fake::Deliver(name, junk);
        }

        std::unique_ptr<OpenChannelRecord> open;
        std::unique_ptr<ReconfigureRecord> reconfigure;
        void* argument = nullptr;
        if (operation == VpiOperation::Open) {
            open.reset(new OpenChannelRecord{});
            FillName(in, open->portName, sizeof open->portName);
            const std::uint8_t activeByte = in.Byte();
            open->active = activeByte < 128 ? 1 : (activeByte < 192 ? 0 : in.U32());
            open->readTimeout = static_cast<std::int32_t>(in.U16() % 400) - 10;
            if ((activeByte & 1) != 0) open->readTimeout = in.I32();
            open->line = LineParameters{in.U16(), in.U16(), in.U16(), in.U16()};
            argument = open.get();
        } else if (operation == VpiOperation::Reconfigure) {
            reconfigure.reset(new ReconfigureRecord{});
            FillName(in, reconfigure->portName, sizeof reconfigure->portName);
            if ((in.Byte() & 1) != 0) {
                const auto tail = in.Bytes(4);
                std::memcpy(reconfigure->portName + 12, tail.data(), tail.size());
            }
            reconfigure->line = LineParameters{in.U16(), in.U16(), in.U16(), in.U16()};
            argument = reconfigure.get();
        }
        std::array<std::uint8_t, sizeof(OpenChannelRecord)> recordBefore{};
        if (open) std::memcpy(recordBefore.data(), open.get(), sizeof *open);
        if (reconfigure) std::memcpy(recordBefore.data(), reconfigure.get(), sizeof *reconfigure);

        const ChannelState before = state;
        VpiCall call{&state, static_cast<std::int32_t>(operation), 2, 0, argument};
        const std::int32_t result = VpiMain(&call);

        // Results: flush always succeeds; the others succeed or fail, never refuse.
        if (operation == VpiOperation::Flush) {
            VPIFUZZ_CHECK(result == VpiDone);
        } else {
            VPIFUZZ_CHECK(result == VpiDone || result == VpiFailed);
        }
        // Records are read, never written; the buffers belong to the read and write
        // operations and no channel operation touches them.
        if (open) VPIFUZZ_CHECK(std::memcmp(recordBefore.data(), open.get(), sizeof *open) == 0);
        if (reconfigure)
            VPIFUZZ_CHECK(
                std::memcmp(recordBefore.data(), reconfigure.get(), sizeof *reconfigure) == 0);
        for (const std::uint8_t b : state.receiveBuffer) VPIFUZZ_CHECK(b == kReceiveFill);
        for (const std::uint8_t b : state.requestBuffer) VPIFUZZ_CHECK(b == kRequestFill);

        // The channel holds exactly the handles it knows of, and a handle it keeps is open.
        VPIFUZZ_CHECK(OpenHandles() == (state.port != 0 ? 1 : 0));
        if (state.port != 0) VPIFUZZ_CHECK(fake::ReadTimeoutMs(state.port) >= 0);

        // What success leaves behind.
        if (result == VpiDone) {
            switch (operation) {
                case VpiOperation::Open:
                    VPIFUZZ_CHECK(state.active == open->active);
                    if (open->active != 0) {
                        VPIFUZZ_CHECK(state.port != 0 && state.settings.lineFlags == 8);
                        VPIFUZZ_CHECK(std::memcmp(state.settings.portName, open->portName, 12) ==
                                      0);
                        VPIFUZZ_CHECK(state.readTimeout == open->readTimeout);
                        VPIFUZZ_CHECK(fake::IsOpen(state.settings.portName));
                    } else {
                        VPIFUZZ_CHECK(state.port == before.port);
                    }
                    break;
                case VpiOperation::Close:
                case VpiOperation::ClosePort:
                    VPIFUZZ_CHECK(state.port == 0);
                    break;
                case VpiOperation::ReopenPort:
                case VpiOperation::Reconfigure:
                    VPIFUZZ_CHECK(state.port != 0 && state.active == 1);
                    VPIFUZZ_CHECK(NameFits(state.settings.portName) &&
                                  fake::IsOpen(state.settings.portName));
                    break;
                default:
                    break;
            }
        } else if (operation == VpiOperation::Open || operation == VpiOperation::ReopenPort) {
            // A failed open keeps the stored settings and time-out.
            VPIFUZZ_CHECK(std::memcmp(&state.settings, &before.settings, sizeof state.settings) ==
                          0);
            VPIFUZZ_CHECK(state.readTimeout == before.readTimeout);
        }
        if (operation != VpiOperation::Open && operation != VpiOperation::Reconfigure) {
            VPIFUZZ_CHECK(std::memcmp(&state.settings, &before.settings, sizeof state.settings) ==
                          0);
        }
    }
    if (state.port != 0) {
        VpiCall close{&state, static_cast<std::int32_t>(VpiOperation::Close), 2, 0, nullptr};
        fake::FailClose(false);
        VPIFUZZ_CHECK(VpiMain(&close) == VpiDone && state.port == 0);
    }
    fake::Reset();
    return 0;
}

}  // namespace vpifuzz::channel
