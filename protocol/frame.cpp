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

// The port one receive reads from and the time it may wait for frames to begin.
struct Line {
    serial::PortHandle port;
    serial::ReadBudget budget;
};

// Reads exactly `count` bytes of a frame that has begun, each underlying read bounded by the
// port's time-out.
bool ReadExactly(const Line& line, std::uint8_t* destination, std::uint32_t count) {
    // Ok means the whole count came.
    return serial::ReadPort(line.port, destination, count, nullptr) == serial::SerialResult::Ok;
}

// Swallows whatever the line still carries (up to a buffer's worth, or until the read
// time-out passes in silence), so that the next attempt starts on a quiet line. The bytes
// land in the buffer and mean nothing.
void DrainLine(const Line& line, std::span<std::uint8_t> buffer) {
    const std::size_t room =
        buffer.size() < kReceiveBufferSize ? buffer.size() : kReceiveBufferSize;
    std::uint32_t received = 0;
    static_cast<void>(
        serial::ReadPort(line.port, buffer.data(), static_cast<std::uint32_t>(room), &received));
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
// only the length field. A header's first byte is waited for only within the receive's
// budget; the rest of a header that began in time, with the port's time-out. `got`: the
// bytes that came.
bool ReadHeader(const Line& line, std::span<std::uint8_t> buffer, bool markerRead,
                std::uint32_t* got) {
    if (markerRead) {
        buffer[0] = kMarker;
        return serial::ReadPort(line.port, buffer.data() + 1, kHeaderBytes - 1, got) ==
               serial::SerialResult::Ok;
    }
    return serial::ReadPortWithin(line.port, buffer.data(), kHeaderBytes, got, line.budget) ==
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
bool PassEchoNul(const Line& line, std::span<const std::uint8_t> request, bool* markerRead) {
    if (!SentNul(request)) return true;
    std::uint8_t nul = 0xFF;
    // Within the budget: when the NUL was lost, this byte is the next frame's first.
    if (serial::ReadPortWithin(line.port, &nul, 1, nullptr, line.budget) !=
        serial::SerialResult::Ok) {
        return false;
    }
    *markerRead = nul == kMarker;
    return nul == 0 || *markerRead;
}

// True when a second marker lies within a frame read whole by its length field: the frame
// was cut short and the next one began inside it (a late reply that lost its tail, with the
// answer to the next request right behind it). Read to its announced length, such a frame
// ends in the other frame's bytes and may pass the one-character checksum by chance, with
// values taken from both. No meter puts the marker inside a frame (the checksum character
// is never one), so the receive fails, as on any broken reply, and the next attempt purges.
bool CutShort(std::span<const std::uint8_t> frame) {
    return std::find(frame.begin() + 1, frame.end(), kMarker) != frame.end();
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

// What one receive has passed over so far.
struct Passed {
    bool lengthSix = false;   // the one length-6 frame
    bool markerRead = false;  // the next frame's "!" came in behind an echo
    bool echoHeld = false;    // a write's double, which may have been its answer
    bool echo = false;        // the line's echo of the request, which is no stray
    int counted = 0;          // frames that count toward the bound
};

enum class Begun : std::uint8_t { Frame, DoubleAnswered, Nothing };

// Reads and checks the next frame's header; on Frame, `length` is its L. Behind a write
// request's double, what begins no frame (silence, or line noise such as the byte a
// transmitter leaves as it lets go of the line) is no reply: the double was the meter's
// acknowledgement, not the line's echo. A header that begins with the marker and ends short
// is a frame that failed.
Begun TakeHeader(const Line& line, std::span<std::uint8_t> buffer, const Passed& passed,
                 std::int32_t* length) {
    std::uint32_t got = 0;
    const bool headerRead = ReadHeader(line, buffer, passed.markerRead, &got);
    const bool noFrameBegins = !passed.markerRead && (got == 0 || buffer[0] != kMarker);
    if (passed.echoHeld && noFrameBegins) return Begun::DoubleAnswered;
    if (!headerRead) return Begun::Nothing;
    switch (CheckHeader(buffer, length)) {
        case Header::Frame:
            return Begun::Frame;
        case Header::Unparsed:
            return Begun::Nothing;
        case Header::NoMarker:
            // Drained only when nothing was passed over yet; otherwise the next request's
            // purge does it.
            if (passed.counted == 0 && !passed.echo) DrainLine(line, buffer);
            return Begun::Nothing;
        case Header::OutOfBounds:
            DrainLine(line, buffer);
            return Begun::Nothing;
    }
    return Begun::Nothing;
}

// Books a frame passed over. The line's one echo of the request is no stray and does not
// count; past the bound the exchange ends as if the meter had not answered (false).
bool PassOver(const Line& line, Skip skip, const ExpectedReply& expected, Passed& passed) {
    const bool freeEcho = skip == Skip::Echo && !passed.echo;
    if (!freeEcho && passed.counted++ == kMaxSkippedFrames) return false;
    if (skip == Skip::LengthSix) passed.lengthSix = true;
    passed.markerRead = false;
    if (skip != Skip::Echo) return true;
    passed.echo = true;
    passed.echoHeld = expected.echoMayAnswer;
    return PassEchoNul(line, expected.request, &passed.markerRead);
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
    // Only a port this channel opened: another channel's handle in this area is no port, and
    // every read below then fails at once, as on a closed port.
    const serial::PortHandle port = serial::PortOf(channel);
    // One budget for the whole receive, taken as the request has gone out: a frame passed
    // over does not start a new wait of its own, so a line full of others' frames costs no
    // more time than a silent meter (plus the reading of frames that began in time).
    const Line line{port, serial::StartReadBudget(port)};
    Passed passed;
    for (;;) {
        std::int32_t length = 0;
        switch (TakeHeader(line, buffer, passed, &length)) {
            case Begun::Frame:
                break;
            case Begun::DoubleAnswered:
                return RestoreRequest(buffer, expected.request);
            case Begun::Nothing:
                return false;
        }
        // The body, the checksum character and CR LF: L bytes behind the header.
        if (!ReadExactly(line, buffer.data() + kHeaderBytes, static_cast<std::uint32_t>(length))) {
            return false;
        }
        const auto frame = buffer.first(static_cast<std::size_t>(length) + kHeaderBytes);
        if (CutShort(frame)) return false;
        const Skip skip = Classify(frame, length, expected, passed.lengthSix, passed.echoHeld);
        if (skip == Skip::None) return true;
        if (!PassOver(line, skip, expected, passed)) return false;
    }
}

}  // namespace protocol
