// The four read routines: one exchange with the meter each, then the reply's fixed-width
// fields turned into the gate's float values.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "host_log.h"
#include "protocol.h"
#include "serial.h"

namespace protocol {

namespace {

// The lines a routine writes. Harmonics (H) gates have texts of their own, and their
// checksum failure is a meter fault (8) without numbers rather than a line fault (32).
struct Messages {
    const char* noReply;
    const char* checksum;
    hostlog::Severity checksumSeverity;
    bool checksumNamesMeter;
    const char* conversion;
};

constexpr Messages kDataMessages{
    "Xerbo : Fail to recv response to read data (Vpi # %d,PLC # %d)",
    "Xerbo : Check Sum fails (Vpi # %d,PLC # %d)",
    hostlog::Severity::Line,
    true,
    "Xerbo : Fail to convert %s to float (Vpi # %d,PLC # %d)",
};

constexpr Messages kHarmonicsMessages{
    "Xerbo : Fail to recv response to read Hermony (Vpi # %d,PLC # %d)",
    "Xerbo : Hermony read - Check Sum fails",
    hostlog::Severity::Meter,
    false,
    "Xerbo : Fail to convert %s to float(Vpi#%d,PLC#%d)",
};

// The plain block: 40 fields; the flag says whether a field with a decimal point is in
// kilo-units and is stored multiplied by 1000.
struct PlainField {
    std::uint8_t width;
    bool kilo;
};
constexpr std::array<PlainField, 40> kPlainFields{{
    {4, true},  {4, true},  {4, true},                                       // 0-2
    {5, true},  {5, true},  {5, true},                                       // 3-5
    {6, true},  {6, true},  {6, true},                                       // 6-8
    {4, false}, {4, false}, {4, false},                                      // 9-11
    {6, true},  {4, false}, {6, true},  {5, true},  {4, false},              // 12-16
    {6, true},  {6, true},  {6, true},  {6, true},  {6, true},  {6, true},   // 17-22
    {6, true},  {6, true},  {6, true},  {6, true},  {6, true},               // 23-27
    {5, true},  {5, true},  {5, true},                                       // 28-30
    {2, true},                                                               // 31, hexadecimal
    {6, true},  {6, true},                                                   // 32-33
    {4, false}, {4, false}, {4, false}, {4, false}, {4, false}, {4, false},  // 34-39
}};
static_assert(kPlainFields.size() == 40);
constexpr std::size_t kHexField = 31;
constexpr std::int32_t kHarmonicsWidth = 5;
constexpr std::int32_t kExWidth = 8;

// The T blocks' field widths by memory-type group.
constexpr std::array<std::uint8_t, 3> kTrTkWidths{2, 2, 4};
constexpr std::array<std::uint8_t, 2> kTyWidths{2, 2};
constexpr std::array<std::uint8_t, 25> kTdWidths{2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                                                 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
constexpr std::array<std::uint8_t, 33> kTcWidths{2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                                                 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2};
static_assert(kTrTkWidths.size() == 3 && kTyWidths.size() == 2 && kTdWidths.size() == 25 &&
              kTcWidths.size() == 33);

const GateIoRecord& Gate(const VpiCall& call) {
    return *static_cast<const GateIoRecord*>(call.argument);
}
ChannelState& Channel(const VpiCall& call) {
    return *static_cast<ChannelState*>(call.channel);
}

// A verified reply in receiveBuffer. Fields may use positions 7 up to, not including, the
// checksum character at L + 1; CR, one place behind it, marks the end of the data.
struct Reply {
    const std::uint8_t* bytes;
    std::size_t checksumAt;
};

// A field's text: at most 8 characters, cleared before every field, so always NUL-ended.
struct FieldText {
    std::array<char, 10> chars{};
    std::string_view View() const { return std::string_view(chars.data()); }
};

// Copies the field of `width` at `pos`, ending early at a NUL; never copies the checksum
// character or anything behind it. False when the field would reach the checksum character:
// the reply is shorter than its fields, and what lies behind the frame is not data.
bool CopyField(const Reply& reply, std::size_t pos, std::size_t width, FieldText* text) {
    *text = FieldText{};
    const std::size_t limit = width < kMaxFieldChars ? width : kMaxFieldChars;
    for (std::size_t i = 0; i < limit && pos + i < reply.checksumAt; ++i) {
        const auto c = static_cast<char>(reply.bytes[pos + i]);
        if (c == '\0') break;
        text->chars[i] = c;
    }
    return pos + width <= reply.checksumAt;
}

// The end-of-data test after a field that ended just before `next`: CR one place behind
// means that field lay right before the checksum character. `next` is at most the checksum
// position here, so the byte looked at is inside the stored frame.
bool EndOfData(const Reply& reply, std::size_t next) {
    return reply.bytes[next + 1] == '\r';
}

void LogConversion(const Messages& messages, const VpiCall& call, const FieldText& text) {
    hostlog::Log(hostlog::Severity::Meter, messages.conversion, text.chars.data(), call.vpiNumber,
                 Gate(call).plcAddress);
}

// Build, send, receive, verify. VpiDone with `reply` set when a verified frame is in
// receiveBuffer; otherwise the routine's result, with its message logged.
std::int32_t Exchange(const VpiCall& call, const Messages& messages, Reply* reply) {
    ChannelState& channel = Channel(call);
    const GateIoRecord& gate = Gate(call);
    const std::uint8_t size = BuildReadRequest(call, channel.requestBuffer);
    if (size == 0) return VpiRefused;  // ReadableGate has ruled this out
    // A request that did not go out shows as a missing reply.
    static_cast<void>(serial::Transmit(channel, channel.requestBuffer, size));
    const ExpectedReply expected{std::span<const std::uint8_t>(channel.requestBuffer, size), true};
    if (!ReceiveFrame(channel, channel.receiveBuffer, expected)) {
        hostlog::Log(hostlog::Severity::Meter, messages.noReply, call.vpiNumber, gate.plcAddress);
        return VpiFailed;
    }
    if (!VerifyFrameChecksum(channel.receiveBuffer)) {
        if (messages.checksumNamesMeter) {
            hostlog::Log(messages.checksumSeverity, messages.checksum, call.vpiNumber,
                         gate.plcAddress);
        } else {
            hostlog::Log(messages.checksumSeverity, messages.checksum);
        }
        return VpiRefused;
    }
    std::int32_t length = 0;
    if (!ParseLengthField(channel.receiveBuffer, &length)) return VpiRefused;  // verified above
    *reply = Reply{channel.receiveBuffer, static_cast<std::size_t>(length) + 1};
    return VpiDone;
}

// How many fields to decode: `count`, but never past the routine's table; none below 1.
std::size_t FieldsToDecode(std::int32_t count, std::size_t tableSize) {
    if (count <= 0) return 0;
    const auto wanted = static_cast<std::size_t>(count);
    return wanted < tableSize ? wanted : tableSize;
}

// The T families' table and "+1" rule.
enum class TFamily : std::uint8_t { None, Tr, Tk, Ty, Td, Tc };

TFamily TFamilyOf(std::int32_t memtype) {
    if (memtype >= MEMTYPE_TR1 && memtype <= MEMTYPE_TR8) return TFamily::Tr;
    if (memtype >= MEMTYPE_TK1 && memtype <= MEMTYPE_TK3) return TFamily::Tk;
    if (memtype >= MEMTYPE_TY1 && memtype <= MEMTYPE_TY2) return TFamily::Ty;
    if (memtype >= MEMTYPE_TD1 && memtype <= MEMTYPE_TD16) return TFamily::Td;
    if (memtype >= MEMTYPE_TC1 && memtype <= MEMTYPE_TC24) return TFamily::Tc;
    return TFamily::None;
}

std::span<const std::uint8_t> TWidths(TFamily family) {
    switch (family) {
        case TFamily::Tr:
        case TFamily::Tk:
            return kTrTkWidths;
        case TFamily::Ty:
            return kTyWidths;
        case TFamily::Td:
            return kTdWidths;
        case TFamily::Tc:
            return kTcWidths;
        case TFamily::None:
            break;
    }
    return {};
}

// The meters send some T registers one below what they mean: these fields get 1 added.
bool AddsOne(TFamily family, std::size_t field) {
    switch (family) {
        case TFamily::Tr:
            return field == 0;
        case TFamily::Tk:
        case TFamily::None:
            return false;
        case TFamily::Ty:
        case TFamily::Tc:
            return field != 1;
        case TFamily::Td:
            return field % 3 == 0;
    }
    return false;
}

// A T field's number: its characters read as hexadecimal, most significant first, where
// every character outside 0-9 counts as c − 55 (so A-F are 10 to 15, and a blank or a lower
// case letter gives something else, possibly a negative number).
std::int32_t TFieldValue(std::string_view text) {
    std::int32_t n = 0;
    for (const char c : text) {
        const auto u = static_cast<std::int32_t>(static_cast<unsigned char>(c));
        n = 16 * n + ((c >= '0' && c <= '9') ? u - '0' : u - 55);
    }
    return n;
}

}  // namespace

bool ReadableGate(const GateIoRecord& gate) {
    if (gate.plcAddress < 0 || gate.plcAddress > 99) return false;
    if (gate.count > 0 && gate.values == nullptr) return false;
    // Above 36 values no reply fits a frame; the request's count field holds two hex digits.
    if (gate.memtype == MEMTYPE_EX && (gate.count < 0 || gate.count > kMaxExCount)) return false;
    return true;
}

std::int32_t ReadPlainBlock(const VpiCall& call) {
    const GateIoRecord& gate = Gate(call);
    if (gate.memtype != MEMTYPE_PLAIN || !ReadableGate(gate)) return VpiRefused;
    Reply reply{};
    if (const std::int32_t result = Exchange(call, kDataMessages, &reply); result != VpiDone) {
        return result;
    }
    const std::size_t fields = FieldsToDecode(gate.count, kPlainFields.size());
    std::size_t pos = kDataOffset;
    for (std::size_t i = 0; i < fields; ++i) {
        const PlainField field = kPlainFields[i];
        FieldText text;
        if (!CopyField(reply, pos, field.width, &text)) {
            LogConversion(kDataMessages, call, text);
            return VpiRefused;
        }
        float value = 0.0f;
        if (i == kHexField) {
            // Two hexadecimal characters (a status byte), read as "%X" reads them (leading
            // blanks skipped, a sign taken) and stored as that signed value; never
            // kilo-scaled. A text that begins no hexadecimal number has no value.
            std::uint32_t number = 0;
            if (!ScanHex(text.View(), 2, &number)) {
                LogConversion(kDataMessages, call, text);
                return VpiRefused;
            }
            value = static_cast<float>(static_cast<std::int32_t>(number));
        } else {
            if (!ScanFloat(text.View(), &value)) {
                LogConversion(kDataMessages, call, text);
                return VpiRefused;
            }
            // A decimal point marks a value the meter sends in kilo-units.
            if (field.kilo && text.View().find('.') != std::string_view::npos) value *= 1000.0f;
        }
        gate.values[i] = value;
        pos += field.width;
        if (EndOfData(reply, pos)) return VpiDone;
    }
    return VpiDone;
}

std::int32_t ReadHBlock(const VpiCall& call) {
    const GateIoRecord& gate = Gate(call);
    if (gate.memtype < MEMTYPE_H1 || gate.memtype > MEMTYPE_H6 || !ReadableGate(gate)) {
        return VpiRefused;
    }
    Reply reply{};
    if (const std::int32_t result = Exchange(call, kHarmonicsMessages, &reply); result != VpiDone) {
        return result;
    }
    // X in the first data position: the meter has no harmonics to give. That position is
    // looked at whatever the length field says: it is always inside receiveBuffer.
    if (reply.bytes[kDataOffset] == 'X') return VpiRefused;
    const std::size_t fields = gate.count > 0 ? static_cast<std::size_t>(gate.count) : 0;
    std::size_t pos = kDataOffset;
    for (std::size_t i = 0; i < fields; ++i) {
        FieldText text;
        float value = 0.0f;
        if (!CopyField(reply, pos, kHarmonicsWidth, &text) || !ScanFloat(text.View(), &value)) {
            LogConversion(kHarmonicsMessages, call, text);
            return VpiRefused;
        }
        gate.values[i] = value;
        pos += kHarmonicsWidth;
        if (EndOfData(reply, pos)) return VpiDone;
    }
    return VpiDone;
}

std::int32_t ReadTBlock(const VpiCall& call) {
    const GateIoRecord& gate = Gate(call);
    const TFamily family = TFamilyOf(gate.memtype);
    if (family == TFamily::None || !ReadableGate(gate)) return VpiRefused;
    Reply reply{};
    if (const std::int32_t result = Exchange(call, kDataMessages, &reply); result != VpiDone) {
        return result;
    }
    const std::span<const std::uint8_t> widths = TWidths(family);
    const std::size_t fields = FieldsToDecode(gate.count, widths.size());
    std::size_t pos = kDataOffset;
    for (std::size_t i = 0; i < fields; ++i) {
        const std::size_t width = widths[i];
        FieldText text;
        if (!CopyField(reply, pos, width, &text)) {
            LogConversion(kDataMessages, call, text);
            return VpiRefused;
        }
        std::int32_t n = TFieldValue(text.View());
        if (AddsOne(family, i)) ++n;
        // The number goes through width + 1 decimal digits, so a larger one keeps only those
        // (lower-case letters can make it larger). A negative one, from blanks or punctuation,
        // is stored as it is.
        if (n >= 0) n %= width == 2 ? 1000 : 100000;
        gate.values[i] = static_cast<float>(n);
        pos += width;
        if (EndOfData(reply, pos)) return VpiDone;
    }
    return VpiDone;
}

std::int32_t ReadExBlock(const VpiCall& call) {
    const GateIoRecord& gate = Gate(call);
    if (gate.memtype != MEMTYPE_EX || !ReadableGate(gate)) return VpiRefused;
    Reply reply{};
    if (const std::int32_t result = Exchange(call, kDataMessages, &reply); result != VpiDone) {
        return result;
    }
    // The value count: at most two hex characters, read only from the reply's own data. The
    // fields start two places further on whatever the count's text was.
    const std::size_t dataLength =
        reply.checksumAt > kDataOffset ? reply.checksumAt - kDataOffset : 0;
    const std::string_view data(reinterpret_cast<const char*>(reply.bytes + kDataOffset),
                                dataLength);
    std::uint32_t count = 0;
    if (!ScanHex(data, 2, &count) || static_cast<std::int32_t>(count) != gate.count) {
        return VpiRefused;
    }
    std::size_t pos = kDataOffset + 2;
    for (std::int32_t i = 0; i < gate.count; ++i) {
        FieldText text;
        std::uint32_t bits = 0;
        if (!CopyField(reply, pos, kExWidth, &text) || !ScanHex(text.View(), kExWidth, &bits)) {
            LogConversion(kDataMessages, call, text);
            return VpiRefused;
        }
        // A signed 32-bit integer; the float nearest to it.
        gate.values[static_cast<std::size_t>(i)] =
            static_cast<float>(static_cast<std::int32_t>(bits));
        pos += kExWidth;
    }
    return VpiDone;
}

}  // namespace protocol
