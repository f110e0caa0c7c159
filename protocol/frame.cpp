// The frame: its length field, its one-character checksum, and taking one reply off the line.
#include <algorithm>
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
    // Ok means the whole count came.
    return serial::ReadPort(channel.port, destination, count, nullptr) == serial::SerialResult::Ok;
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

// Reads the four header bytes into the start of `buffer`; when the marker was already read,
// only the length field. `got`: the bytes that came.
bool ReadHeader(ChannelState& channel, std::span<std::uint8_t> buffer, bool markerRead,
                std::uint32_t* got) {
    const std::uint32_t offset = markerRead ? 1 : 0;
    if (markerRead) buffer[0] = kMarker;
    const std::uint32_t count = kHeaderBytes - offset;
    return serial::ReadPort(channel.port, buffer.data() + offset, count, got) ==
           serial::SerialResult::Ok;
}

// Positions 4 and 5 of a reply carry the answering meter's PLC address, position 6 the
// command it answers, as in the request.
constexpr std::size_t kAddressAt = 4;
constexpr std::size_t kCommandAt = 6;

constexpr bool IsDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// Most read requests go out with a NUL behind their CR LF; it is no part of the frame.
bool SentNul(std::span<const std::uint8_t> request) {
    return !request.empty() && request.back() == 0;
}

// True when `frame` is byte for byte the request that went out: a half-duplex adapter
// without echo suppression hands the request back before the meter's reply.
bool IsEcho(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> request) {
    const std::span<const std::uint8_t> sent =
        SentNul(request) ? request.first(request.size() - 1) : request;
    return !sent.empty() && frame.size() == sent.size() &&
           std::equal(frame.begin(), frame.end(), sent.begin());
}

// True when the frame names another meter, or (when the command counts) another request:
// a reply that came too late for its own exchange, or one to another master. A frame that
// carries no two digits at positions 4 and 5 names nobody and is not refused: only the
// header of these meters' replies is known.
bool NamesAnother(std::span<const std::uint8_t> frame, std::int32_t length,
                  const ExpectedReply& expected) {
    const std::span<const std::uint8_t> request = expected.request;
    if (request.size() <= kCommandAt) return false;
    // Positions 4 and 5 are counted bytes from L = 5 on, position 6 from L = 6 on.
    if (length < 5 || !IsDigit(frame[kAddressAt]) || !IsDigit(frame[kAddressAt + 1])) {
        return false;
    }
    if (frame[kAddressAt] != request[kAddressAt] ||
        frame[kAddressAt + 1] != request[kAddressAt + 1]) {
        return true;
    }
    return expected.matchCommand && length >= 6 && frame[kCommandAt] != request[kCommandAt];
}

// The request's frame put back into `buffer` as the reply (its NUL left out): the double
// was stored there whole a moment ago, so it fits. Always true.
bool RestoreRequest(std::span<std::uint8_t> buffer, std::span<const std::uint8_t> request) {
    const std::span<const std::uint8_t> sent =
        SentNul(request) ? request.first(request.size() - 1) : request;
    std::copy_n(sent.begin(), std::min(sent.size(), buffer.size()), buffer.begin());
    return true;
}

// Passes over the NUL that an echo carries when the request went out with one. A line that
// lost it may already hold the reply's marker in its place (`markerRead`). False when neither
// came.
bool PassEchoNul(ChannelState& channel, std::span<const std::uint8_t> request, bool* markerRead) {
    if (!SentNul(request)) return true;
    std::uint8_t nul = 0xFF;
    if (!ReadExactly(channel, &nul, 1)) return false;
    *markerRead = nul == kMarker;
    return nul == 0 || *markerRead;
}

enum class Skip : std::uint8_t { None, Echo, Stray, LengthSix };

// Whether a whole frame just received is this exchange's reply or one to pass over. A second
// double of a write request is the meter's answer: the first was the line's echo.
Skip Classify(std::span<const std::uint8_t> frame, std::int32_t length,
              const ExpectedReply& expected, bool lengthSixSkipped, bool echoHeld) {
    if (IsEcho(frame, expected.request)) return echoHeld ? Skip::None : Skip::Echo;
    if (NamesAnother(frame, length, expected)) return Skip::Stray;
    // The frame nobody asked for that a meter may put ahead of its reply; skipped once, and
    // a second one is returned like any other.
    if (length == kSkippedLength && !lengthSixSkipped) return Skip::LengthSix;
    return Skip::None;
}

}  // namespace

bool ParseLengthField(std::span<const std::uint8_t> frame, std::int32_t* length) {
    if (frame.size() < kHeaderBytes) return false;
    // What a three-character decimal conversion accepts, except a leading sign or white space:
    // a meter never sends them, and "-01" must not become a length. Anything else that is no
    // digit ends the number, as it ends the conversion ("12 " is 12).
    const std::uint8_t first = frame[1];
    if (first == '+' || first == '-' || first == ' ' || (first >= '\t' && first <= '\r')) {
        return false;
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

bool AnswersRequest(std::span<const std::uint8_t> frame, const ExpectedReply& expected) {
    std::int32_t length = 0;
    if (!ParseLengthField(frame, &length) || length < 1 ||
        static_cast<std::size_t>(length) + kHeaderBytes > frame.size()) {
        return false;
    }
    const auto whole = frame.first(static_cast<std::size_t>(length) + kHeaderBytes);
    if (IsEcho(whole, expected.request)) return expected.echoMayAnswer;
    return !NamesAnother(whole, length, expected);
}

bool ReceiveFrame(ChannelState& channel, std::span<std::uint8_t> buffer,
                  const ExpectedReply& expected) {
    if (buffer.size() < kHeaderBytes) return false;
    bool lengthSixSkipped = false;
    bool markerRead = false;  // the next frame's "!" came in behind an echo
    bool echoHeld = false;    // a write's echo passed over, which may have been its answer
    for (int skipped = 0;; ++skipped) {
        std::int32_t length = 0;
        std::uint32_t got = 0;
        // No frame behind a write request's double (silence, or bytes that begin none): the
        // double was the meter's acknowledgement, not the line's echo.
        if (!ReadHeader(channel, buffer, markerRead, &got)) {
            return echoHeld && got == 0 && RestoreRequest(buffer, expected.request);
        }
        switch (CheckHeader(buffer, &length)) {
            case Header::Frame:
                break;
            case Header::Unparsed:
                return false;
            case Header::NoMarker:
                if (echoHeld) return RestoreRequest(buffer, expected.request);
                // Drained only when nothing was passed over yet; otherwise the next
                // request's purge does it.
                if (skipped == 0) DrainLine(channel, buffer);
                return false;
            case Header::OutOfBounds:
                DrainLine(channel, buffer);
                return false;
        }
        // The body, the checksum character and CR LF: L bytes behind the header.
        if (!ReadExactly(channel, buffer.data() + kHeaderBytes,
                         static_cast<std::uint32_t>(length))) {
            return false;
        }
        const Skip skip = Classify(buffer.first(static_cast<std::size_t>(length) + kHeaderBytes),
                                   length, expected, lengthSixSkipped, echoHeld);
        if (skip == Skip::None) return true;
        // Past the bound the exchange ends as if the meter had not answered.
        if (skipped == kMaxSkippedFrames) return false;
        if (skip == Skip::LengthSix) lengthSixSkipped = true;
        if (skip == Skip::Echo) echoHeld = expected.echoMayAnswer;
        markerRead = false;
        if (skip == Skip::Echo && !PassEchoNul(channel, expected.request, &markerRead)) {
            return false;
        }
    }
}

}  // namespace protocol
