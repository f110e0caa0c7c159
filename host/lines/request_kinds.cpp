// Requests told by the protocol layer's builders, replies decoded by its decoders.
#include "lines/request_kinds.h"

#include <fmt/format.h>

#include <array>
#include <span>

#include "core/memtype_names.h"
#include "vpi_families.h"

namespace host::lines {

namespace {

constexpr std::size_t kAddressAt = 4;
constexpr std::size_t kCommandAt = 6;

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The frame without the NUL a request may carry behind it.
std::string WithoutNul(const std::string& frame) {
    return !frame.empty() && frame.back() == '\0' ? frame.substr(0, frame.size() - 1) : frame;
}

// The block's value count of a read family member (EX reads carry their own).
std::int32_t CountOf(std::int32_t memtype) {
    const FamilyInfo* family = FamilyOf(memtype);
    return family == nullptr ? 0 : family->count;
}

// The read request the protocol layer builds for `memtype` at `meter` (without its NUL).
std::string ReadRequestFor(int meter, std::int32_t memtype) {
    GateIoRecord gate{};
    gate.plcAddress = meter;
    gate.memtype = memtype;
    gate.index = 1;
    std::array<std::uint8_t, kRequestBufferSize> buffer{};
    const std::size_t size = protocol::BuildReadRequest(gate, buffer);
    return WithoutNul(std::string(reinterpret_cast<const char*>(buffer.data()), size));
}

// A block read other than EX: the family member whose request is byte for byte `frame`.
bool MatchBlockRead(const std::string& frame, int meter, RequestInfo* info) {
    for (const FamilyInfo& family : kFamilies) {
        if (family.read == ReadKind::None || family.read == ReadKind::Ex) continue;
        for (std::int32_t m = family.firstMemtype; m <= family.lastMemtype; ++m) {
            if (ReadRequestFor(meter, m) != frame) continue;
            info->kind = RequestKind::Read;
            info->memtype = m;
            info->count = CountOf(m);
            info->gate = m == MEMTYPE_PLAIN ? "plain" : core::MemtypeName(m);
            return true;
        }
    }
    return false;
}

// `digits` hex digits of the body at `at`, exactly (upper case, as requests carry them).
bool HexAt(const std::string& frame, std::size_t at, std::size_t digits, std::uint32_t* value) {
    if (at + digits > frame.size()) return false;
    const std::string text = frame.substr(at, digits);
    if (text.find_first_not_of("0123456789ABCDEF") != std::string::npos) return false;
    return protocol::ScanHex(text, digits, value);
}

// "Aggiicc" (an EX read), "4n" (a command) or "aggii" with 8 hex digits per value.
bool MatchOther(const std::string& frame, std::int32_t length, RequestInfo* info) {
    const char command = frame[kCommandAt];
    std::uint32_t group = 0;
    std::uint32_t item = 0;
    std::uint32_t count = 0;
    if (command == '4' && length == 7 && (frame[7] == '1' || frame[7] == '2')) {
        info->kind = RequestKind::Command;
        info->operand = frame[7] - '0';
        info->gate = fmt::format("command {}", info->operand);
        return true;
    }
    if (command != 'A' && command != 'a') return false;
    if (!HexAt(frame, 7, 2, &group) || !HexAt(frame, 9, 2, &item)) return false;
    info->memtype = MEMTYPE_EX;
    info->index = static_cast<std::int32_t>(group << 8 | item);
    if (command == 'A' && length == 12 && HexAt(frame, 11, 2, &count)) {
        info->kind = RequestKind::Read;
        info->count = static_cast<std::int32_t>(count);
        info->gate = fmt::format("EX {} x{}", core::ExIndexLabel(info->index), count);
        return true;
    }
    if (command == 'a' && length >= 10 && (length - 10) % 8 == 0) {
        info->kind = RequestKind::ExWrite;
        info->count = (length - 10) / 8;
        info->gate = fmt::format("EX write {} x{}", core::ExIndexLabel(info->index), info->count);
        return true;
    }
    return false;
}

}  // namespace

RequestInfo DescribeRequest(const std::string& frameText) {
    RequestInfo info;
    const std::string frame = WithoutNul(frameText);
    std::int32_t length = 0;
    if (!protocol::ParseLengthField(Bytes(frame), &length) || length < 6 ||
        static_cast<std::size_t>(length) + 4 != frame.size()) {
        return info;
    }
    const char tens = frame[kAddressAt];
    const char ones = frame[kAddressAt + 1];
    if (tens < '0' || tens > '9' || ones < '0' || ones > '9') return info;
    const int meter = (tens - '0') * 10 + (ones - '0');
    if (!MatchBlockRead(frame, meter, &info) && !MatchOther(frame, length, &info)) return info;
    info.meter = meter;
    info.command = frame.substr(kCommandAt, static_cast<std::size_t>(length) - kCommandAt + 1);
    return info;
}

bool IsWrite(const RequestInfo& request) {
    return request.kind == RequestKind::Command || request.kind == RequestKind::ExWrite;
}

ReplyValues DecodeReply(const RequestInfo& request, const std::string& reply) {
    ReplyValues out;
    const FamilyInfo* family = FamilyOf(request.memtype);
    if (request.kind != RequestKind::Read || family == nullptr) return out;
    out.values.assign(static_cast<std::size_t>(request.count), 0.0f);
    protocol::Decoding decoding;
    switch (family->read) {
        case ReadKind::Plain:
            decoding = protocol::DecodePlainBlock(Bytes(reply), out.values);
            break;
        case ReadKind::H:
            decoding = protocol::DecodeHBlock(Bytes(reply), out.values);
            break;
        case ReadKind::T:
            decoding = protocol::DecodeTBlock(Bytes(reply), request.memtype, out.values);
            break;
        case ReadKind::Ex:
            decoding = protocol::DecodeExBlock(Bytes(reply), out.values);
            break;
        case ReadKind::None:
            break;
    }
    out.result = decoding.result;
    out.values.resize(decoding.stored);
    return out;
}

}  // namespace host::lines
