// Reply decoding: the fixed-width fields of a verified reply frame turned into float values.
// Pure functions over the frame's bytes and the caller's value array; the read routines call
// them on receiveBuffer, and the line tools on frames they did not request.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol.h"
#include "vpi_families.h"

namespace protocol {

namespace {

// The plain block: 40 fields; the flag says whether a field with a decimal point is in
// kilo-units and is stored multiplied by 1000.
struct PlainField {
    std::uint8_t width;
    bool kilo;
};
constexpr auto kPlainFields = std::to_array<PlainField>({
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
});
static_assert(kPlainFields.size() == kPlainFieldCount);
constexpr std::size_t kHexField = 31;
constexpr std::int32_t kHarmonicsWidth = 5;
constexpr std::int32_t kExWidth = 8;

// The T blocks' field widths by memory-type group: one per value of the family's block.
constexpr auto kTrTkWidths = std::to_array<std::uint8_t>({2, 2, 4});
constexpr auto kTyWidths = std::to_array<std::uint8_t>({2, 2});
constexpr auto kTdWidths = std::to_array<std::uint8_t>(
    {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2});
constexpr auto kTcWidths =
    std::to_array<std::uint8_t>({2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
                                 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2});
static_assert(kTrTkWidths.size() == 3 && kTyWidths.size() == 2 && kTdWidths.size() == 25 &&
              kTcWidths.size() == 33);
// One width per value the family's block holds.
constexpr bool WidthsFor(std::span<const std::uint8_t> widths, GateFamily family) {
    return widths.size() == static_cast<std::size_t>(InfoOf(family).count);
}
static_assert(WidthsFor(kTrTkWidths, GateFamily::Tr) && WidthsFor(kTrTkWidths, GateFamily::Tk) &&
              WidthsFor(kTyWidths, GateFamily::Ty) && WidthsFor(kTdWidths, GateFamily::Td) &&
              WidthsFor(kTcWidths, GateFamily::Tc));

// A verified frame: fields may use positions 7 up to, not including, the checksum character
// at L + 1; CR, one place behind it, marks the end of the data.
struct Reply {
    std::span<const std::uint8_t> bytes;
    std::size_t checksumAt;
};

// The frame's data limits; false when the length field does not parse or the frame is
// shorter than it says (up to its CR), so that no test below reads past `frame`.
bool ReplyOf(std::span<const std::uint8_t> frame, Reply* reply) {
    std::int32_t length = 0;
    if (!ParseLengthField(frame, &length)) return false;
    const auto checksumAt = static_cast<std::size_t>(length) + 1;
    if (checksumAt + 1 >= frame.size()) return false;
    *reply = Reply{frame, checksumAt};
    return true;
}

// Copies the field of `width` at `pos` into `text` (cleared first, at most 8 characters,
// ending early at a NUL); never copies the checksum character or anything behind it. False
// when the field would reach the checksum character: the reply is shorter than its fields,
// and what lies behind the frame is not data.
bool CopyField(const Reply& reply, std::size_t pos, std::size_t width, Decoding* decoding) {
    decoding->field = {};
    const std::size_t limit = width < kMaxFieldChars ? width : kMaxFieldChars;
    for (std::size_t i = 0; i < limit && pos + i < reply.checksumAt; ++i) {
        const auto c = static_cast<char>(reply.bytes[pos + i]);
        if (c == '\0') break;
        decoding->field[i] = c;
    }
    return pos + width <= reply.checksumAt;
}

std::string_view FieldView(const Decoding& decoding) {
    return std::string_view(decoding.field.data());
}

// The end-of-data test after a field that ended just before `next`: CR one place behind
// means that field lay right before the checksum character. `next` is at most the checksum
// position here, so the byte looked at is inside the frame.
bool EndOfData(const Reply& reply, std::size_t next) {
    return reply.bytes[next + 1] == '\r';
}

Decoding Unconvertible(Decoding decoding) {
    decoding.result = DecodeResult::Unconvertible;
    return decoding;
}

Decoding Refused() {
    Decoding decoding;
    decoding.result = DecodeResult::NoData;
    return decoding;
}

// How many fields to decode: as many values as asked for, but never past the table.
std::size_t FieldsToDecode(std::size_t wanted, std::size_t tableSize) {
    return wanted < tableSize ? wanted : tableSize;
}

// The T width table of each family, in the order of GateFamily; empty for the others.
constexpr auto kTWidths = std::to_array<std::span<const std::uint8_t>>({
    std::span<const std::uint8_t>{},  // plain
    std::span<const std::uint8_t>{},  // H
    kTrTkWidths,                      // TR
    kTrTkWidths,                      // TK
    kTyWidths,                        // TY
    kTdWidths,                        // TD
    std::span<const std::uint8_t>{},  // index zero
    kTcWidths,                        // TC
    std::span<const std::uint8_t>{},  // EX
});
static_assert(kTWidths.size() == kFamilies.size() && static_cast<std::size_t>(GateFamily::Tc) == 7);

// The meters send some T registers one below what they mean: these fields get 1 added.
bool AddsOne(GateFamily family, std::size_t field) {
    switch (family) {
        case GateFamily::Tr:
            return field == 0;
        case GateFamily::Ty:
        case GateFamily::Tc:
            return field != 1;
        case GateFamily::Td:
            return field % 3 == 0;
        default:
            return false;
    }
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

// One plain field's value; false when its text does not convert.
bool PlainValue(std::size_t i, const Decoding& decoding, float* value) {
    if (i == kHexField) {
        // Two hexadecimal characters (a status byte), read as "%X" reads them (leading blanks
        // skipped, a sign taken) and stored as that signed value; never kilo-scaled. A text
        // that begins no hexadecimal number has no value.
        std::uint32_t number = 0;
        if (!ScanHex(FieldView(decoding), 2, &number)) return false;
        *value = static_cast<float>(static_cast<std::int32_t>(number));
        return true;
    }
    if (!ScanFloat(FieldView(decoding), value)) return false;
    // A decimal point marks a value the meter sends in kilo-units.
    if (kPlainFields[i].kilo && FieldView(decoding).find('.') != std::string_view::npos) {
        *value *= 1000.0f;
    }
    return true;
}

// Whether a block ends where its data ends (CR right behind a field's checksum position) or
// always carries every field it is asked for.
enum class BlockEnd { AtEndOfData, AfterLastField };

// Decodes `fields` fixed-width fields from `pos` on: field i is `widthOf(i)` characters wide
// and `valueOf(i, decoding, &value)` turns its text (in decoding.field) into a value, false
// when it does not convert. Stops at the first field that does not fit before the checksum or
// does not convert (Unconvertible, that field's text kept) and, with AtEndOfData, after the
// field that ends the data. `stored` says how many values were written.
template <typename WidthOf, typename ValueOf>
Decoding DecodeFields(const Reply& reply, std::size_t pos, std::size_t fields,
                      std::span<float> values, BlockEnd end, WidthOf widthOf, ValueOf valueOf) {
    Decoding decoding;
    for (std::size_t i = 0; i < fields; ++i) {
        const std::size_t width = widthOf(i);
        float value = 0.0f;
        if (!CopyField(reply, pos, width, &decoding) || !valueOf(i, decoding, &value)) {
            return Unconvertible(decoding);
        }
        values[i] = value;
        decoding.stored = i + 1;
        pos += width;
        if (end == BlockEnd::AtEndOfData && EndOfData(reply, pos)) break;
    }
    decoding.field = {};
    return decoding;
}

}  // namespace

Decoding DecodePlainBlock(std::span<const std::uint8_t> frame, std::span<float> values) {
    Reply reply{};
    if (!ReplyOf(frame, &reply)) return Refused();
    return DecodeFields(
        reply, kDataOffset, FieldsToDecode(values.size(), kPlainFields.size()), values,
        BlockEnd::AtEndOfData, [](std::size_t i) { return std::size_t{kPlainFields[i].width}; },
        PlainValue);
}

Decoding DecodeHBlock(std::span<const std::uint8_t> frame, std::span<float> values) {
    Reply reply{};
    if (!ReplyOf(frame, &reply)) return Refused();
    // X in the first data position: the meter has no harmonics to give. That position is
    // looked at whatever the length field says: in receiveBuffer it is always there.
    if (kDataOffset < frame.size() && frame[kDataOffset] == 'X') return Refused();
    return DecodeFields(
        reply, kDataOffset, values.size(), values, BlockEnd::AtEndOfData,
        [](std::size_t) { return std::size_t{kHarmonicsWidth}; },
        [](std::size_t, const Decoding& decoding, float* value) {
            return ScanFloat(FieldView(decoding), value);
        });
}

Decoding DecodeTBlock(std::span<const std::uint8_t> frame, std::int32_t memtype,
                      std::span<float> values) {
    const FamilyInfo* info = FamilyOf(memtype);
    Reply reply{};
    if (info == nullptr || info->read != ReadKind::T || !ReplyOf(frame, &reply)) return Refused();
    const GateFamily family = info->family;
    const std::span<const std::uint8_t> widths = kTWidths[static_cast<std::size_t>(family)];
    return DecodeFields(
        reply, kDataOffset, FieldsToDecode(values.size(), widths.size()), values,
        BlockEnd::AtEndOfData, [widths](std::size_t i) { return std::size_t{widths[i]}; },
        [widths, family](std::size_t i, const Decoding& decoding, float* value) {
            std::int32_t n = TFieldValue(FieldView(decoding));
            if (AddsOne(family, i)) ++n;
            // The number goes through width + 1 decimal digits, so a larger one keeps only
            // those (lower-case letters can make it larger). A negative one, from blanks or
            // punctuation, is stored as it is.
            if (n >= 0) n %= widths[i] == 2 ? 1000 : 100000;
            *value = static_cast<float>(n);
            return true;
        });
}

Decoding DecodeExBlock(std::span<const std::uint8_t> frame, std::span<float> values) {
    Reply reply{};
    if (!ReplyOf(frame, &reply)) return Refused();
    // The value count: at most two hex characters, read only from the reply's own data. The
    // fields start two places further on whatever the count's text was.
    const std::size_t dataLength =
        reply.checksumAt > kDataOffset ? reply.checksumAt - kDataOffset : 0;
    const std::string_view data(reinterpret_cast<const char*>(frame.data() + kDataOffset),
                                dataLength);
    std::uint32_t count = 0;
    if (!ScanHex(data, 2, &count) || count != values.size()) return Refused();
    return DecodeFields(
        reply, kDataOffset + 2, values.size(), values, BlockEnd::AfterLastField,
        [](std::size_t) { return std::size_t{kExWidth}; },
        [](std::size_t, const Decoding& decoding, float* value) {
            std::uint32_t bits = 0;
            if (!ScanHex(FieldView(decoding), kExWidth, &bits)) return false;
            // A signed 32-bit integer; the float nearest to it.
            *value = static_cast<float>(static_cast<std::int32_t>(bits));
            return true;
        });
}

}  // namespace protocol
