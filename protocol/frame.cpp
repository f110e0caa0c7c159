// The frame: its length field, its one-character checksum, and taking one reply off the line.
#include <cstddef>
#include <cstdint>
#include <span>

#include "host_log.h"
#include "protocol.h"
#include "serial.h"

namespace protocol {

namespace {

constexpr std::uint8_t kMarker = '!';
constexpr std::uint32_t kHeaderBytes = 4;  // the marker and the length field
// The frame nobody asked for that a meter may put ahead of its reply; skipped once.
constexpr std::int32_t kSkippedLength = 6;

// Reads exactly `count` bytes, each underlying read bounded by the port's time-out.
bool ReadExactly(ChannelState& channel, std::uint8_t* destination, std::uint32_t count) {
    std::uint32_t received = 0;
    return serial::ReadPort(channel.port, destination, count, &received) ==
               serial::SerialResult::Ok &&
           received == count;
}

// Swallows whatever the line still carries (up to a buffer's worth, or until the read
// time-out passes in silence), so that the next attempt starts on a quiet line. The bytes
// land in the buffer and mean nothing.
void DrainLine(ChannelState& channel, std::span<std::uint8_t> buffer) {
    const std::size_t room =
        buffer.size() < kReceiveBufferSize ? buffer.size() : kReceiveBufferSize;
    std::uint32_t received = 0;
    static_cast<void>(
        serial::ReadPort(channel.port, buffer.data(), static_cast<std::uint32_t>(room), &received));
}

enum class Header : std::uint8_t { Frame, NoMarker, Unparsed, OutOfBounds };

// Looks at the four header bytes at the start of `buffer`; on Frame, `length` is L and the
// whole frame (L + 4 bytes) fits the buffer.
Header CheckHeader(std::span<const std::uint8_t> buffer, std::int32_t* length) {
    if (buffer[0] != kMarker) return Header::NoMarker;
    if (!ParseLengthField(buffer, length)) return Header::Unparsed;
    const auto room =
        static_cast<std::int32_t>(buffer.size()) - static_cast<std::int32_t>(kHeaderBytes);
    const std::int32_t limit = room < kMaxStoredLength ? room : kMaxStoredLength;
    // L counts the three length digits, so a real frame has at least 3; 1 and 2 are let
    // through as the smallest reads that make sense, and fail the checksum afterwards.
    if (*length < 1 || *length > limit) return Header::OutOfBounds;
    return Header::Frame;
}

}  // namespace

bool ParseLengthField(std::span<const std::uint8_t> frame, std::int32_t* length) {
    if (frame.size() < kHeaderBytes) return false;
    // What a three-character decimal conversion accepts, without its leading white space
    // and sign: a meter never sends them, and "-01" must not become a length.
    for (std::size_t i = 1; i < kHeaderBytes; ++i) {
        const std::uint8_t c = frame[i];
        if (c == '+' || c == '-' || c == ' ' || (c >= '\t' && c <= '\r')) return false;
    }
    std::int32_t value = 0;
    std::size_t i = 1;
    for (; i < kHeaderBytes && frame[i] >= '0' && frame[i] <= '9'; ++i) {
        value = value * 10 + (frame[i] - '0');
    }
    if (i == 1) return false;
    *length = value;
    return true;
}

std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame) {
    std::int32_t length = 0;
    if (!ParseLengthField(frame, &length) || length > kMaxFrameLength) return 0;
    if (static_cast<std::size_t>(length) >= frame.size()) return 0;
    // The sum is kept in 16 bits on purpose: bytes below 34 (blanks, control characters)
    // make their terms negative and the sum wraps downward, and every meter computes it so.
    std::uint16_t sum = 0;
    for (std::int32_t i = 1; i <= length; ++i) {
        sum = static_cast<std::uint16_t>(sum + frame[static_cast<std::size_t>(i)] - 34);
    }
    return static_cast<std::uint8_t>(sum % 92 + 34);
}

bool VerifyFrameChecksum(std::span<const std::uint8_t> frame) {
    const std::uint8_t expected = FrameChecksum(frame);
    std::int32_t length = 0;
    if (!ParseLengthField(frame, &length)) return false;
    if (length > kMaxFrameLength) {
        hostlog::Log(hostlog::Severity::Meter, "Xerbo : Illigal msg length (c.s)");
        return false;
    }
    const auto at = static_cast<std::size_t>(length) + 1;
    return at < frame.size() && frame[at] == expected;
}

bool ReceiveFrame(ChannelState& channel, std::span<std::uint8_t> buffer) {
    if (buffer.size() < kHeaderBytes) return false;
    if (!ReadExactly(channel, buffer.data(), kHeaderBytes)) return false;
    std::int32_t length = 0;
    switch (CheckHeader(buffer, &length)) {
        case Header::Frame:
            break;
        case Header::Unparsed:
            return false;
        case Header::NoMarker:
        case Header::OutOfBounds:
            DrainLine(channel, buffer);
            return false;
    }
    if (length == kSkippedLength) {
        // Skip that frame's remaining bytes, whatever comes of it, and take the next header.
        // Only one frame is skipped: a second one of length 6 is returned like any other.
        std::uint32_t received = 0;
        static_cast<void>(serial::ReadPort(channel.port, buffer.data(), kSkippedLength, &received));
        if (!ReadExactly(channel, buffer.data(), kHeaderBytes)) return false;
        switch (CheckHeader(buffer, &length)) {
            case Header::Frame:
                break;
            case Header::NoMarker:  // no drain here: the next request's purge does it
            case Header::Unparsed:
                return false;
            case Header::OutOfBounds:
                DrainLine(channel, buffer);
                return false;
        }
    }
    // The body, the checksum character and CR LF: L bytes behind the header.
    return ReadExactly(channel, buffer.data() + kHeaderBytes, static_cast<std::uint32_t>(length));
}

}  // namespace protocol
