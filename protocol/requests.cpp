// Request frames: the read request of every gate family, the command request of index-zero
// gates and the EX write request, each closed with its checksum, CR LF and a NUL.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "protocol.h"
#include "vpi_families.h"

namespace protocol {

namespace {

constexpr auto kHexDigits = std::to_array<char>(
    {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'});
static_assert(kHexDigits.size() == 16);

// `value` as exactly `digits` decimal digits, leading zeros, at `at` ("%.3d" for values that
// fit, as the length field and the PLC address always do here).
void PutDecimal(std::uint8_t* at, std::uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        at[i] = static_cast<std::uint8_t>('0' + value % 10);
        value /= 10;
    }
}

// `value` as exactly `digits` upper-case hex digits ("%.2X", "%.8X" for values that fit).
void PutHex(std::uint8_t* at, std::uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        at[i] = static_cast<std::uint8_t>(kHexDigits[value & 0xFu]);
        value >>= 4;
    }
}

bool ValidPlc(std::int32_t plcAddress) {
    return plcAddress >= 0 && plcAddress <= 99;
}

// "!", the length field L and the PLC address: positions 0 to 5. The caller has checked that
// the buffer holds L + 5 bytes.
void OpenFrame(std::uint8_t* buffer, std::int32_t length, std::int32_t plcAddress) {
    buffer[0] = '!';
    PutDecimal(buffer + 1, static_cast<std::uint32_t>(length), 3);
    PutDecimal(buffer + 4, static_cast<std::uint32_t>(plcAddress), 2);
}

// The checksum over the counted bytes, then CR LF and a NUL from position L + 1 on: L + 5
// bytes in all, which the caller has checked the buffer holds.
void CloseFrame(std::span<std::uint8_t> buffer, std::int32_t length) {
    const auto at = static_cast<std::size_t>(length) + 1;
    buffer[at] = FrameChecksum(buffer);
    buffer[at + 1] = '\r';
    buffer[at + 2] = '\n';
    buffer[at + 3] = '\0';
}

// The part of a read request behind the PLC address, by family; a size of 0 refuses the gate.
struct ReadCommand {
    std::array<std::uint8_t, 7> bytes;
    std::int32_t size;
    bool trailingNul;  // the NUL behind CR LF goes out too
};

// A letter and an operand of two hex digits ("P0A").
ReadCommand HexOperand(char letter, std::int32_t operand) {
    ReadCommand command{{static_cast<std::uint8_t>(letter)}, 3, true};
    PutHex(command.bytes.data() + 1, static_cast<std::uint32_t>(operand), 2);
    return command;
}

// Each builds the command of its family for `gate`, whose family's members are counted from
// 0 in `member`.
using CommandBuilder = ReadCommand (*)(const GateIoRecord& gate, std::int32_t member);

ReadCommand PlainCommand(const GateIoRecord&, std::int32_t) {
    return {{'0'}, 1, false};
}

ReadCommand HCommand(const GateIoRecord&, std::int32_t member) {
    return {{'H', static_cast<std::uint8_t>('1' + member)}, 2, false};
}

// TR and TK share one range of P registers, TK following TR.
ReadCommand TrTkCommand(const GateIoRecord& gate, std::int32_t) {
    return HexOperand('P', gate.memtype - InfoOf(GateFamily::Tr).firstMemtype);
}

ReadCommand TyCommand(const GateIoRecord&, std::int32_t member) {
    ReadCommand command{{'U'}, 3, true};
    PutDecimal(command.bytes.data() + 1, static_cast<std::uint32_t>(member), 2);
    return command;
}

ReadCommand TdCommand(const GateIoRecord&, std::int32_t member) {
    return HexOperand('Q', member);
}

// TC gates count from 01 within their bank of twelve: "R0", the bank, the register.
ReadCommand TcCommand(const GateIoRecord&, std::int32_t member) {
    ReadCommand command{{'R', '0', static_cast<std::uint8_t>('0' + member / kTcPerBank)}, 5, true};
    PutHex(command.bytes.data() + 3, static_cast<std::uint32_t>(member % kTcPerBank + 1), 2);
    return command;
}

ReadCommand ExCommand(const GateIoRecord& gate, std::int32_t) {
    // The count must fit its two hex digits, or the frame would grow past its length.
    if (gate.count < 0 || gate.count > 0xFF) return {{}, 0, true};
    ReadCommand command{{'A'}, 7, true};
    PutHex(command.bytes.data() + 1, static_cast<std::uint32_t>(gate.index >> 8) & 0xFFu, 2);
    PutHex(command.bytes.data() + 3, static_cast<std::uint32_t>(gate.index) & 0xFFu, 2);
    PutHex(command.bytes.data() + 5, static_cast<std::uint32_t>(gate.count), 2);
    return command;
}

// Index-zero gates are written, never read.
ReadCommand NoReadCommand(const GateIoRecord&, std::int32_t) {
    return {{}, 0, false};
}

// In the order of GateFamily.
constexpr auto kCommandBuilders =
    std::to_array<CommandBuilder>({PlainCommand, HCommand, TrTkCommand, TrTkCommand, TyCommand,
                                   TdCommand, NoReadCommand, TcCommand, ExCommand});
static_assert(kCommandBuilders.size() == kFamilies.size());

}  // namespace

std::uint8_t BuildReadRequest(const GateIoRecord& gate, const FamilyInfo& family,
                              std::span<std::uint8_t> buffer) {
    if (gate.memtype < family.firstMemtype || gate.memtype > family.lastMemtype) return 0;
    if (!ValidPlc(gate.plcAddress)) return 0;
    const ReadCommand command = kCommandBuilders[static_cast<std::size_t>(family.family)](
        gate, gate.memtype - family.firstMemtype);
    if (command.size == 0) return 0;
    const std::int32_t length = 5 + command.size;  // length digits, address, command
    if (buffer.size() < static_cast<std::size_t>(length) + 5) return 0;
    OpenFrame(buffer.data(), length, gate.plcAddress);
    for (std::int32_t i = 0; i < command.size; ++i) {
        buffer[static_cast<std::size_t>(6 + i)] = command.bytes[static_cast<std::size_t>(i)];
    }
    CloseFrame(buffer, length);
    return static_cast<std::uint8_t>(length + 4 + (command.trailingNul ? 1 : 0));
}

std::uint8_t BuildReadRequest(const GateIoRecord& gate, std::span<std::uint8_t> buffer) {
    const FamilyInfo* family = FamilyOf(gate.memtype);
    return family == nullptr ? 0 : BuildReadRequest(gate, *family, buffer);
}

std::uint8_t BuildCommandRequest(const GateIoRecord& gate, float value,
                                 std::span<std::uint8_t> buffer) {
    constexpr std::int32_t kLength = 7;
    if (!ValidPlc(gate.plcAddress) || buffer.size() < kLength + 5) return 0;
    // Exactly 1.0 selects the first operand; the comparison is on the bit pattern.
    constexpr float kOne = 1.0f;
    const bool first = std::memcmp(&value, &kOne, sizeof value) == 0;
    OpenFrame(buffer.data(), kLength, gate.plcAddress);
    buffer[6] = '4';
    buffer[7] = first ? '1' : '2';
    CloseFrame(buffer, kLength);
    return kLength + 4;
}

std::uint32_t EncodeExValue(float value) {
    constexpr float kTwoTo63 = 9223372036854775808.0f;
    if (std::isnan(value) || value >= kTwoTo63 || value <= -kTwoTo63) return 0;
    // Truncation toward zero; the low 32 bits carry negative values in two's complement.
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
}

std::size_t BuildExWriteRequest(const GateIoRecord& gate, std::span<std::uint8_t> buffer) {
    if (!ValidPlc(gate.plcAddress) || gate.count < 0 || gate.count > kMaxExCount) return 0;
    if (gate.count > 0 && gate.values == nullptr) return 0;
    const auto n = static_cast<std::size_t>(gate.count);
    // The meter learns the number of values from the length field; no count field here.
    const auto length = static_cast<std::int32_t>(10 + 8 * n);
    if (buffer.size() < 15 + 8 * n) return 0;
    OpenFrame(buffer.data(), length, gate.plcAddress);
    buffer[6] = 'a';
    PutHex(buffer.data() + 7, static_cast<std::uint32_t>(gate.index >> 8) & 0xFFu, 2);
    PutHex(buffer.data() + 9, static_cast<std::uint32_t>(gate.index) & 0xFFu, 2);
    for (std::size_t k = 0; k < n; ++k) {
        PutHex(buffer.data() + 11 + 8 * k, EncodeExValue(gate.values[k]), 8);
    }
    CloseFrame(buffer, length);
    return 14 + 8 * n;
}

}  // namespace protocol
