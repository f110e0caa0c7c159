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

constexpr std::array<char, 16> kHexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
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

// The part of a read request behind the PLC address, by family.
struct ReadCommand {
    std::array<std::uint8_t, 7> bytes;
    std::int32_t size;
    bool trailingNul;  // the NUL behind CR LF goes out too
};

bool SelectReadCommand(const GateIoRecord& gate, ReadCommand* command) {
    const std::int32_t m = gate.memtype;
    ReadCommand c{};
    c.trailingNul = true;
    const auto hexOperand = [&c](char letter, std::int32_t operand) {
        c.bytes[0] = static_cast<std::uint8_t>(letter);
        PutHex(c.bytes.data() + 1, static_cast<std::uint32_t>(operand), 2);
        c.size = 3;
    };
    const auto bankOperand = [&c](char bank, std::int32_t operand) {
        c.bytes[0] = 'R';
        c.bytes[1] = '0';
        c.bytes[2] = static_cast<std::uint8_t>(bank);
        PutHex(c.bytes.data() + 3, static_cast<std::uint32_t>(operand), 2);
        c.size = 5;
    };
    const FamilyInfo* info = FamilyOf(m);
    if (info == nullptr) return false;
    // Each family's operand counts its members from 0 (TR and TK share one range of P
    // registers, TK following TR), TC gates from 01 within their bank of twelve.
    const std::int32_t member = m - info->firstMemtype;
    switch (info->family) {
        case GateFamily::Plain:
            c.bytes[0] = '0';
            c.size = 1;
            c.trailingNul = false;
            break;
        case GateFamily::H:
            c.bytes[0] = 'H';
            c.bytes[1] = static_cast<std::uint8_t>('1' + member);
            c.size = 2;
            c.trailingNul = false;
            break;
        case GateFamily::Tr:
        case GateFamily::Tk:
            hexOperand('P', m - InfoOf(GateFamily::Tr).firstMemtype);
            break;
        case GateFamily::Ty:
            c.bytes[0] = 'U';
            PutDecimal(c.bytes.data() + 1, static_cast<std::uint32_t>(member), 2);
            c.size = 3;
            break;
        case GateFamily::Td:
            hexOperand('Q', member);
            break;
        case GateFamily::Tc:
            bankOperand(static_cast<char>('0' + member / kTcPerBank), member % kTcPerBank + 1);
            break;
        case GateFamily::Ex:
            // The count must fit its two hex digits, or the frame would grow past its length.
            if (gate.count < 0 || gate.count > 0xFF) return false;
            c.bytes[0] = 'A';
            PutHex(c.bytes.data() + 1, static_cast<std::uint32_t>(gate.index >> 8) & 0xFFu, 2);
            PutHex(c.bytes.data() + 3, static_cast<std::uint32_t>(gate.index) & 0xFFu, 2);
            PutHex(c.bytes.data() + 5, static_cast<std::uint32_t>(gate.count), 2);
            c.size = 7;
            break;
        case GateFamily::IndexZero:
            return false;
    }
    *command = c;
    return true;
}

}  // namespace

std::uint8_t BuildReadRequest(const VpiCall& call, std::span<std::uint8_t> buffer) {
    const auto& gate = *static_cast<const GateIoRecord*>(call.argument);
    ReadCommand command{};
    if (!ValidPlc(gate.plcAddress) || !SelectReadCommand(gate, &command)) return 0;
    const std::int32_t length = 5 + command.size;  // length digits, address, command
    if (buffer.size() < static_cast<std::size_t>(length) + 5) return 0;
    OpenFrame(buffer.data(), length, gate.plcAddress);
    for (std::int32_t i = 0; i < command.size; ++i) {
        buffer[static_cast<std::size_t>(6 + i)] = command.bytes[static_cast<std::size_t>(i)];
    }
    CloseFrame(buffer, length);
    return static_cast<std::uint8_t>(length + 4 + (command.trailingNul ? 1 : 0));
}

std::uint8_t BuildCommandRequest(const VpiCall& call, float value, std::span<std::uint8_t> buffer) {
    const auto& gate = *static_cast<const GateIoRecord*>(call.argument);
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

std::size_t BuildExWriteRequest(const VpiCall& call, std::span<std::uint8_t> buffer) {
    const auto& gate = *static_cast<const GateIoRecord*>(call.argument);
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
