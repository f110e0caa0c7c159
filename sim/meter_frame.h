// Meter-side framing: the frame checksum, reply frames, and a byte-stream splitter for requests.
//
// Written apart from the driver's frame code on purpose, down to the checksum: the simulator
// is the driver's cross-check, and a shared mistake would pass both.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// Counted bytes of a frame are at most this many; larger length fields are illegal.
constexpr int kMaxFrameLength = 300;

// Checksum character over `counted` (the length digits and the body): the sum of each byte
// minus 34 in a 16-bit accumulator that wraps, mod 92, plus 34. Computed for any length; the
// 300-byte limit is the caller's business.
char Checksum(const std::string& counted);

// A complete frame: "!", the three-digit length of `body` + 3, the body, the checksum and
// CR LF. Throws std::length_error when the body does not fit three digits.
std::string BuildFrame(const std::string& body);

// A request as the splitter found it.
struct RawRequest {
    std::string bytes;        // the frame from "!" through CR LF, and the NUL behind it if any
    std::string body;         // positions 4 .. L: address, command, operands
    bool checksumOk = false;  // checksum character and closing CR LF as they must be
};

// Splits what arrives from the line into request frames. A meter on a multi-drop line
// resynchronises on "!": bytes outside a frame (the NUL some requests carry behind CR LF,
// line noise) are set aside as noise, and a frame that stops arriving is dropped after the
// idle gap given to Feed.
class RequestSplitter {
public:
    // Adds bytes received at `now`.
    void Feed(const std::string& bytes, std::chrono::steady_clock::time_point now);
    // The next complete request, if one is buffered.
    std::optional<RawRequest> Next();
    // Bytes thrown away since the last call (noise and abandoned frames).
    std::string TakeNoise();
    // Drops a partial frame whose last byte came more than `gap` before `now`. True if it did.
    bool Expire(std::chrono::steady_clock::time_point now, std::chrono::milliseconds gap);
    // True while part of a frame is buffered.
    bool Pending() const { return !buffer_.empty(); }

private:
    std::string buffer_;
    std::string noise_;
    std::chrono::steady_clock::time_point last_{};
    bool afterFrame_ = false;  // the last bytes taken were a whole frame
};

}  // namespace sim
