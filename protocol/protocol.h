// The meters' protocol: frames and checksum, read requests, reply decoding, the read and
// write operations, and the text conversions the decoders rely on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "vpi_families.h"
#include "vpi_records.h"

namespace protocol {

// ---- Frames -------------------------------------------------------------------------------

// A frame: "!", a three-digit length field L, L − 3 body bytes, one checksum character at
// position L + 1, CR LF. The counted bytes are positions 1 to L.
inline constexpr std::int32_t kMaxFrameLength = 300;  // the protocol's limit on L
// A received frame is stored whole in receiveBuffer: L + 4 ≤ 500.
inline constexpr std::int32_t kMaxStoredLength = static_cast<std::int32_t>(kReceiveBufferSize) - 4;
inline constexpr std::size_t kDataOffset = 7;  // where a reply's data begin

// Parses the length field (positions 1 to 3) as a decimal integer conversion of at most three
// characters would, except that a sign or white space anywhere in the field is refused.
// False when the buffer is shorter than 4 bytes or nothing parses.
[[nodiscard]] bool ParseLengthField(std::span<const std::uint8_t> frame, std::int32_t* length);

// The checksum character of the frame in `frame` (its counted bytes must be present): the sum
// of (byte − 34) over the counted bytes in 16 bits, modulo 92, plus 34. 0 when the length
// field is above 300, does not parse, or the counted bytes run past `frame`.
[[nodiscard]] std::uint8_t FrameChecksum(std::span<const std::uint8_t> frame);

// True when the byte at L + 1 equals FrameChecksum. Logs "Xerbo : Illigal msg length (c.s)"
// (8) and fails when L is above 300.
[[nodiscard]] bool VerifyFrameChecksum(std::span<const std::uint8_t> frame);

// What the exchange under way sent, so that the receiver can tell the meter's reply from the
// line's echo of the request and from a late reply to an earlier one. An empty `request`
// matches nothing: every frame is taken as the reply.
struct ExpectedReply {
    std::span<const std::uint8_t> request;  // the bytes transmitted, a trailing NUL included
    bool matchCommand = true;               // reads: the reply names the request's command
    // Command writes and EX writes without values: a meter acknowledges them with the
    // request's very bytes. A double of the request is then passed over as the echo only when
    // a frame ("!" first) follows it within the receive's time; with silence or line noise
    // behind it, it is the acknowledgement.
    bool echoMayAnswer = false;
};

// At most this many frames are passed over in one receive (late or stray replies, a second
// double, the length-6 frame), so that a chattering line cannot hold one exchange for ever.
// The line's one echo of the request is not counted: an echoing line tolerates as many
// strays as any other.
inline constexpr int kMaxSkippedFrames = 4;

// Takes one reply frame off the channel's own port (serial::PortOf) into `buffer` (at least
// 500 bytes). The whole receive waits for frames to begin within one read time-out from its
// start; a frame whose first byte came in time is read whole. Passes over, each read whole by
// its length field: the request's own echo (and the NUL behind it);
// a frame whose positions
// 4 and 5 are two digits other than the request's PLC address, or (with matchCommand) whose
// position 6 is not the request's command; and one frame of length 6. Drains the line when the
// first byte is not "!" or the length field is outside 1 to 496. True when a whole frame
// (L + 4 bytes) that is the reply was stored. Logs nothing.
[[nodiscard]] bool ReceiveFrame(ChannelState& channel, std::span<std::uint8_t> buffer,
                                const ExpectedReply& expected = {});

// The rule ReceiveFrame tells a reply by, for tools that watch a line rather than hold an
// exchange: true when the whole frame `frame` (L + 4 bytes) would be taken as the reply to
// `expected.request`, false when it would be passed over as the request's own echo (unless
// `echoMayAnswer`) or as naming another meter or (with matchCommand) another command. The
// length-6 frame and the checksum are not looked at. Logs nothing.
[[nodiscard]] bool AnswersRequest(std::span<const std::uint8_t> frame,
                                  const ExpectedReply& expected);

// ---- Requests -----------------------------------------------------------------------------

// The most EX values a frame of 300 counted bytes carries, and the room the longest EX write
// request needs (its frame and the NUL behind it).
inline constexpr std::int32_t kMaxExCount = 36;
inline constexpr std::size_t kExWriteCapacity = 15 + 8 * static_cast<std::size_t>(kMaxExCount);

// Exchanges operation 6 and operation 7 make at most before they give up.
inline constexpr int kReadAttempts = 8;
inline constexpr int kWriteAttempts = 8;
// The only EX group a write may go to (bits 8 to 15 of the index).
inline constexpr std::int32_t kWritableExGroup = 10;

// Builds the read request of the gate's family into `buffer` (the frame, then a NUL) and
// returns how many bytes to send: the frame for memtypes 0 to 6, the frame and its NUL for
// every other family. 0, with nothing written, for a memtype outside the read families, a PLC
// address outside 0 to 99, an EX count outside 0 to 255, or a buffer too small.
[[nodiscard]] std::uint8_t BuildReadRequest(const GateIoRecord& gate,
                                            std::span<std::uint8_t> buffer);

// The same for a caller that has resolved the gate's family already (a read operation does
// so once for all its attempts): 0, with nothing written, when the memtype is not one of
// `family`'s codes, or for the refusals above.
[[nodiscard]] std::uint8_t BuildReadRequest(const GateIoRecord& gate, const FamilyInfo& family,
                                            std::span<std::uint8_t> buffer);

// Builds the command request of an index-zero gate: operand "1" when `value` is exactly 1.0
// (bit pattern), else "2". Returns 11 (the NUL behind the frame is not sent); 0, with nothing
// written, for a PLC address outside 0 to 99 or a buffer under 12 bytes.
[[nodiscard]] std::uint8_t BuildCommandRequest(const GateIoRecord& gate, float value,
                                               std::span<std::uint8_t> buffer);

// Builds the EX write request ("a", group, item, `count` values as eight hex digits each) and
// returns 14 + 8 × count (no NUL sent). 0, with nothing written, for a count outside 0 to 36,
// values missing, a PLC address outside 0 to 99 or a buffer under 15 + 8 × count bytes.
[[nodiscard]] std::size_t BuildExWriteRequest(const GateIoRecord& gate,
                                              std::span<std::uint8_t> buffer);

// The eight hex digits an EX write sends for `value`: truncated toward zero to 64 bits, low
// 32 bits kept; not-a-number and magnitudes of 2^63 or more give 0.
[[nodiscard]] std::uint32_t EncodeExValue(float value);

// ---- Reply decoding (pure: a verified frame in, values out) --------------------------------

// The most characters a field text holds, and so the most any conversion looks at.
inline constexpr std::size_t kMaxFieldChars = 8;

enum class DecodeResult : std::uint8_t {
    Decoded = 0,        // the values are stored
    NoData = 1,         // refused without a message: an H reply's "X", an EX count that
                        // differs, a frame shorter than its length field
    Unconvertible = 2,  // a field whose text does not convert, in `field`
};

struct Decoding {
    DecodeResult result = DecodeResult::Decoded;
    std::size_t stored = 0;  // values written, from the first; those before a failure stay
    std::array<char, kMaxFieldChars + 2> field{};  // the text that did not convert, NUL-ended
};

// Each decodes a verified frame stored from its marker at frame[0]: the data from position 7
// up to the checksum character at L + 1, with CR one place behind it ending the data. They
// write at most values.size() values (an EX block wants exactly that count), never read past
// `frame` and never past the checksum character for a field.
[[nodiscard]] Decoding DecodePlainBlock(std::span<const std::uint8_t> frame,
                                        std::span<float> values);
[[nodiscard]] Decoding DecodeHBlock(std::span<const std::uint8_t> frame, std::span<float> values);
// `memtype` picks the T table (TR, TK, TY, TD or TC) and its "+1" rule; NoData for others.
[[nodiscard]] Decoding DecodeTBlock(std::span<const std::uint8_t> frame, std::int32_t memtype,
                                    std::span<float> values);
[[nodiscard]] Decoding DecodeExBlock(std::span<const std::uint8_t> frame, std::span<float> values);

// ---- Read routines (one complete exchange each) -------------------------------------------

// A gate operation's call block as types: the channel, the gate and the host's number for
// messages. Each of operations 5 to 7 converts its call block once, with GateCallOf, and
// passes this below; VpiMain has made sure both pointers are there.
struct GateCall {
    ChannelState& channel;
    const GateIoRecord& gate;
    std::int32_t vpiNumber;
};

[[nodiscard]] GateCall GateCallOf(const VpiCall& call);

// Each builds the request into requestBuffer, transmits it, receives and verifies the reply
// in receiveBuffer and decodes the data into the gate's values. 0: decoded; 1: refused
// before sending (a gate of another family, or one ReadableGate refuses), or a reply that is
// unusable; 2: no reply. Messages: see read_blocks.cpp.
[[nodiscard]] std::int32_t ReadPlainBlock(const GateCall& io);
[[nodiscard]] std::int32_t ReadHBlock(const GateCall& io);
[[nodiscard]] std::int32_t ReadTBlock(const GateCall& io);
[[nodiscard]] std::int32_t ReadExBlock(const GateCall& io);

// The routine of `family`'s read kind, for a caller that has resolved the gate's family
// (FamilyOf(gate.memtype)) and had ReadableGate accept the gate: nothing is looked up again.
// 1, without sending, for a family that is not read (index-zero gates) or that is not the
// gate's.
[[nodiscard]] std::int32_t ReadFamilyBlock(const GateCall& io, const FamilyInfo& family);

// True when a read of `gate` may go on the line: a PLC address of 0 to 99, values present
// when count is above 0, and for EX gates a count of 0 to 36.
[[nodiscard]] bool ReadableGate(const GateIoRecord& gate);

// ---- Operations ---------------------------------------------------------------------------

// Operation 5: one exchange for an EX gate; 1 for any other memory type.
std::int32_t VpiReadEx(const VpiCall& call);

// Operation 6: reads a gate of any readable family, up to eight attempts.
std::int32_t VpiRead(const VpiCall& call);

// Operation 7: writes an index-zero command gate or an EX gate of group 10.
std::int32_t VpiWrite(const VpiCall& call);

// ---- Text conversions (C locale, whatever locale the host has set) ------------------------

// "%f": leading white space, optional sign, then the longest prefix (of at most 8 characters
// counted from the start of `text`, and never past a NUL) that is a decimal float, a
// hexadecimal float, INF, INFINITY, NAN or NAN(chars). Correctly rounded to float. False when
// nothing converts, and where the conversion gives up part-way: "0x" with no hexadecimal digit
// behind it, an "infinity" cut short ("infi").
[[nodiscard]] bool ScanFloat(std::string_view text, float* value);

// "%X" with a field width: leading white space (not counted), optional sign, optional 0x, hex
// digits of either case; at most `width` characters after the white space, never past the end
// of `text` or a NUL. The value wraps to 32 bits; a minus sign negates it as unsigned. False
// when no digit was read.
[[nodiscard]] bool ScanHex(std::string_view text, std::size_t width, std::uint32_t* value);

}  // namespace protocol
