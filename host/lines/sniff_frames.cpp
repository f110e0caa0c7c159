// The listener's framing: resynchronising on "!", the length field, CR LF and the checksum.
#include "lines/sniff_frames.h"

#include <array>
#include <span>

#include "core/name_table.h"
#include "protocol.h"

namespace host::lines {

namespace {

constexpr std::size_t kHeaderBytes = 4;
constexpr std::int32_t kMinLength = 4;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The checks of a whole frame (L + 4 bytes, a NUL behind it or not).
FrameCheck CheckFrame(const std::string& bytes) {
    const std::span<const std::uint8_t> frame(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                              bytes.size());
    std::int32_t length = 0;
    if (!protocol::ParseLengthField(frame, &length)) return FrameCheck::Length;
    const auto crAt = static_cast<std::size_t>(length) + 2;
    if (length > protocol::kMaxFrameLength || crAt + 1 >= frame.size() || frame[crAt] != '\r' ||
        frame[crAt + 1] != '\n') {
        return FrameCheck::Length;
    }
    // FrameChecksum rather than VerifyFrameChecksum: the listener must not write the
    // driver's log line for a long frame, which it has already judged above.
    return frame[crAt - 1] == protocol::FrameChecksum(frame) ? FrameCheck::Ok
                                                             : FrameCheck::Checksum;
}

}  // namespace

const char* FrameCheckName(FrameCheck check) {
    constexpr auto kNames = std::to_array<const char*>({"ok", "checksum", "length", "truncated"});
    static_assert(kNames.size() == 4);
    return core::NameOf(kNames, check);
}

void FrameSplitter::Feed(std::uint8_t byte, std::int64_t timeUs, std::vector<SniffItem>& out) {
    if (frame_ && complete_) {
        // The NUL some requests carry behind CR LF is theirs.
        if (byte == 0) {
            frame_->bytes += '\0';
            frame_->endUs = timeUs;
            EmitFrame(out);
            lastUs_ = timeUs;
            return;
        }
        EmitFrame(out);
    }
    lastUs_ = timeUs;
    if (byte == '!') {
        // A marker inside a frame: the frame stopped short and a new one begins.
        if (frame_ && wanted_ == 0) DropToNoise();
        if (frame_) EmitFrame(out);
        StartFrame(byte, timeUs, out);
        return;
    }
    if (!frame_) {
        TakeNoise(byte, timeUs);
        return;
    }
    frame_->bytes += static_cast<char>(byte);
    frame_->endUs = timeUs;
    if (frame_->bytes.size() == kHeaderBytes && HeaderRefused()) {
        // No length field behind this "!": it was noise; the search goes on behind it.
        DropToNoise();
        return;
    }
    if (wanted_ != 0 && frame_->bytes.size() == wanted_) CompleteFrame();
}

void FrameSplitter::StartFrame(std::uint8_t byte, std::int64_t timeUs,
                               std::vector<SniffItem>& out) {
    EmitNoise(out);
    frame_ =
        SniffItem{true, std::string(1, static_cast<char>(byte)), timeUs, timeUs, FrameCheck::Ok};
    wanted_ = 0;
    complete_ = false;
}

bool FrameSplitter::HeaderRefused() {
    const std::string& b = frame_->bytes;
    if (!IsDigit(b[1]) || !IsDigit(b[2]) || !IsDigit(b[3])) return true;
    const std::int32_t length = (b[1] - '0') * 100 + (b[2] - '0') * 10 + (b[3] - '0');
    if (length < kMinLength || length > protocol::kMaxStoredLength) return true;
    wanted_ = static_cast<std::size_t>(length) + kHeaderBytes;
    return false;
}

// A "!" and what followed it that turned out to begin no frame, as noise.
void FrameSplitter::DropToNoise() {
    if (noise_.bytes.empty()) noise_.startUs = frame_->startUs;
    noise_.bytes += frame_->bytes;
    noise_.endUs = frame_->endUs;
    frame_.reset();
    wanted_ = 0;
    complete_ = false;
}

void FrameSplitter::CompleteFrame() {
    frame_->check = CheckFrame(frame_->bytes);
    complete_ = true;
}

void FrameSplitter::TakeNoise(std::uint8_t byte, std::int64_t timeUs) {
    if (noise_.bytes.empty()) noise_.startUs = timeUs;
    noise_.bytes += static_cast<char>(byte);
    noise_.endUs = timeUs;
}

void FrameSplitter::EmitNoise(std::vector<SniffItem>& out) {
    if (noise_.bytes.empty()) return;
    out.push_back(noise_);
    noise_ = SniffItem{};
}

void FrameSplitter::EmitFrame(std::vector<SniffItem>& out) {
    if (!frame_) return;
    if (!complete_) frame_->check = FrameCheck::Truncated;
    out.push_back(std::move(*frame_));
    frame_.reset();
    complete_ = false;
    wanted_ = 0;
}

void FrameSplitter::Idle(std::int64_t nowUs, std::vector<SniffItem>& out) {
    if (frame_ && complete_) {
        EmitFrame(out);
    } else if (frame_ && nowUs - lastUs_ > gapUs_) {
        if (wanted_ == 0) {
            DropToNoise();
        } else {
            EmitFrame(out);
        }
    }
    if (!frame_) EmitNoise(out);
}

void FrameSplitter::Flush(std::vector<SniffItem>& out) {
    if (frame_ && wanted_ == 0) DropToNoise();
    EmitNoise(out);
    EmitFrame(out);
}

}  // namespace host::lines
