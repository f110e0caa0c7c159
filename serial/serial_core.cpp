// The line discipline every back-end shares: exact-count reads, writes, the input purge and
// RTS framing around each request.
#include <cstddef>

#include "host_log.h"
#include "platform.h"
#include "serial.h"

namespace serial {

namespace {

constexpr std::uint32_t kPurgeChunk = 512;
constexpr std::int32_t kPurgeTimeoutUnits = 5;  // 50 ms

// A line that never goes quiet would keep the purge reading forever; the port's input queue
// holds 1200 bytes, so eight full reads are far more than any stale line leaves behind.
constexpr int kMaxPurgeReads = 8;

// One ReadFile asks for at most 65535 bytes: the count is cut to 16 bits.
constexpr std::uint32_t kMaxReadChunk = 0xFFFF;

}  // namespace

std::int32_t SetReadTimeout(PortHandle handle, std::int32_t units) {
    platform::Timeouts timeouts{};
    if (!platform::GetTimeouts(handle, &timeouts)) return 0;
    const std::uint32_t previous = timeouts.readConstant;
    // Milliseconds within the 32 bits the platforms take.
    std::int64_t wanted = std::int64_t{units} * 10;
    if (wanted < 0) wanted = 0;
    if (wanted > 0xFFFFFFFFLL) wanted = 0xFFFFFFFFLL;
    // Nothing is set when the value is in force already: the purge before every request
    // restores the channel's time-out, and that would be a system call per request for nothing.
    if (previous != static_cast<std::uint32_t>(wanted)) {
        timeouts.readConstant = static_cast<std::uint32_t>(wanted);
        if (!platform::SetTimeouts(handle, timeouts)) return 0;
    }
    return static_cast<std::int32_t>(previous / 10);
}

SerialResult WritePort(PortHandle handle, const std::uint8_t* bytes, std::uint32_t count,
                       std::uint32_t* written) {
    std::uint32_t done = 0;
    if (!platform::WriteOnce(handle, bytes, count, &done)) return SerialResult::IoFailed;
    if (written != nullptr) *written = done;
    return done == count ? SerialResult::Ok : SerialResult::ShortWrite;
}

SerialResult ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
                      std::uint32_t* received) {
    if (received != nullptr) *received = 0;
    std::uint32_t total = 0;
    // The first read is always made, so asking for nothing ends like a silent line: with 7.
    do {
        std::uint32_t got = 0;
        const std::uint32_t ask = (count - total) & kMaxReadChunk;
        if (!platform::ReadOnce(handle, buffer + total, ask, &got)) return SerialResult::IoFailed;
        if (got == 0) return SerialResult::IoFailed;
        total += got;
        if (received != nullptr) *received = total;
    } while (total < count);
    return SerialResult::Ok;
}

ReadBudget StartReadBudget(PortHandle handle) {
    platform::Timeouts timeouts{};
    if (!platform::GetTimeouts(handle, &timeouts) || timeouts.readConstant == 0) return {};
    return ReadBudget{platform::NowUs() + std::uint64_t{timeouts.readConstant} * 1000u, true};
}

SerialResult ReadPortWithin(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
                            std::uint32_t* received, const ReadBudget& budget) {
    platform::Timeouts timeouts{};
    if (!budget.bounded || count == 0 || !platform::GetTimeouts(handle, &timeouts)) {
        return ReadPort(handle, buffer, count, received);
    }
    if (received != nullptr) *received = 0;
    // What is left of the budget, rounded up; at least 1 ms, so that a frame that began
    // arriving in time is not refused because reading the one before it used the rest.
    const std::uint64_t now = platform::NowUs();
    const std::uint64_t leftUs = budget.endUs > now ? budget.endUs - now : 0;
    std::uint64_t leftMs = (leftUs + 999u) / 1000u;
    if (leftMs == 0) leftMs = 1;
    // Only a shorter wait is set, and the port's own time-out is put back at once: the purge
    // before the next request finds it as the channel left it.
    const std::uint32_t portMs = timeouts.readConstant;
    const bool shortened = leftMs < portMs;
    if (shortened) {
        timeouts.readConstant = static_cast<std::uint32_t>(leftMs);
        if (!platform::SetTimeouts(handle, timeouts))
            return ReadPort(handle, buffer, count, received);
    }
    std::uint32_t got = 0;
    const bool read = platform::ReadOnce(handle, buffer, 1, &got);
    if (shortened) {
        timeouts.readConstant = portMs;
        static_cast<void>(platform::SetTimeouts(handle, timeouts));
    }
    if (!read || got == 0) return SerialResult::IoFailed;
    if (received != nullptr) *received = 1;
    if (count == 1) return SerialResult::Ok;
    std::uint32_t rest = 0;
    const SerialResult result = ReadPort(handle, buffer + 1, count - 1, &rest);
    if (received != nullptr) *received = 1 + rest;
    return result;
}

SerialResult PurgeInput(PortHandle handle) {
    std::uint32_t waiting = 0;
    const bool cleared = platform::ClearErrors(handle, &waiting);
    if (cleared && waiting == 0) return SerialResult::Ok;

    const std::int32_t saved = SetReadTimeout(handle, kPurgeTimeoutUnits);
    std::uint8_t scratch[kPurgeChunk];
    bool lastReadFailed = false;
    std::uint32_t got = 0;
    int reads = 0;
    do {
        got = 0;
        lastReadFailed = !platform::ReadOnce(handle, scratch, kPurgeChunk, &got);
    } while (!lastReadFailed && got == kPurgeChunk && ++reads < kMaxPurgeReads);
    // 0 means "nothing to restore": a failed query, or a time-out under 10 ms.
    if (saved != 0) SetReadTimeout(handle, saved);
    return lastReadFailed ? SerialResult::NotOpened : SerialResult::Ok;
}

void RaiseRts(PortHandle handle) {
    if (!platform::SetRts(handle, true)) {
        hostlog::Log(hostlog::Severity::Line, " Xerbo: Fail to set RTS to on");
    }
    // The RS-485 transceiver needs the line turned round before the first start bit.
    platform::SleepMs(kRtsLeadMs);
}

void DropRts(PortHandle handle) {
    // The write returns when the bytes are queued, not when they have left the wire; the
    // tail keeps the transmitter on for the last character.
    platform::SleepMs(kRtsTailMs);
    if (!platform::SetRts(handle, false)) {
        hostlog::Log(hostlog::Severity::Line, " Xerbo: Fail to set RTS to off");
    }
}

bool Transmit(ChannelState& channel, const std::uint8_t* bytes, std::uint32_t count) {
    // Another channel's port in this area is no port: nothing goes out on that line.
    const PortHandle port = PortOf(channel);
    static_cast<void>(PurgeInput(port));
    RaiseRts(port);
    std::uint32_t written = 0;
    const SerialResult result = WritePort(port, bytes, count, &written);
    DropRts(port);
    return result == SerialResult::Ok && written == count;
}

}  // namespace serial
