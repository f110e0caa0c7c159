// Framing what passes on a line, for a listener that sends nothing: frames found by their "!"
// and length field, checked for length and checksum, and the bytes between frames kept as
// noise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host::lines {

// What a frame's own bytes say about it.
enum class FrameCheck : std::uint8_t {
    Ok = 0,         // CR LF where the length field puts them, and the checksum holds
    Checksum = 1,   // the checksum character is wrong
    Length = 2,     // the length field is above 300, or CR LF are not where it puts them
    Truncated = 3,  // the frame stopped before its length field's end (silence, or a new "!")
};

const char* FrameCheckName(FrameCheck check);

// One frame, or bytes outside any frame.
struct SniffItem {
    bool frame = false;
    std::string bytes;         // a frame from "!" through CR LF, and the NUL behind it if one came
    std::int64_t startUs = 0;  // when its first and last byte were read
    std::int64_t endUs = 0;
    FrameCheck check = FrameCheck::Ok;
};

// Splits a byte stream into frames and noise. A frame begins at "!" followed by three digits
// giving a length of 4 to 496 (what a receiver stores); any other "!" is noise, and the search
// goes on behind it. A frame ends after its length field's count of bytes; a NUL right behind
// it belongs to it (several requests carry one). A "!" inside a frame, or silence of more than
// the gap, ends it as truncated. Items come out in line order.
class FrameSplitter {
public:
    explicit FrameSplitter(std::int64_t gapUs) : gapUs_(gapUs) {}

    // One byte read at `timeUs`; completed items are appended to `out`.
    void Feed(std::uint8_t byte, std::int64_t timeUs, std::vector<SniffItem>& out);
    // Nothing came until `nowUs`: a completed frame goes out (no NUL behind it), a partial one
    // that has been silent longer than the gap goes out truncated, noise goes out.
    void Idle(std::int64_t nowUs, std::vector<SniffItem>& out);
    // Everything held, at the end of a capture.
    void Flush(std::vector<SniffItem>& out);

private:
    void StartFrame(std::uint8_t byte, std::int64_t timeUs, std::vector<SniffItem>& out);
    void TakeNoise(std::uint8_t byte, std::int64_t timeUs);
    void EmitNoise(std::vector<SniffItem>& out);
    void EmitFrame(std::vector<SniffItem>& out);
    void CompleteFrame();
    bool HeaderRefused();
    void DropToNoise();

    std::int64_t gapUs_;
    SniffItem noise_;
    std::optional<SniffItem> frame_;  // a frame being read, or complete and waiting for a NUL
    std::size_t wanted_ = 0;          // the frame's whole size once its length field is known
    bool complete_ = false;
    std::int64_t lastUs_ = 0;
};

}  // namespace host::lines
