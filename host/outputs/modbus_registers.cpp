// A Modbus request from its frame to its answer, through the map, from the poller's status.
#include "outputs/modbus_registers.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/write_request.h"

namespace host::outputs {

namespace {

int Word(const std::uint8_t* bytes) {
    return (bytes[0] << 8) | bytes[1];
}

// The unit's meter and line in `status`, or nullptr when the status no longer has them (a
// reload between the map and the status).
const site::MeterStatus* MeterOf(const ModbusUnit& unit, const site::SiteStatus& status,
                                 const site::LineStatus** line) {
    if (unit.lineIndex >= status.lines.size()) return nullptr;
    const site::LineStatus& found = status.lines[unit.lineIndex];
    if (found.name != unit.line || unit.meterIndex >= found.meters.size()) return nullptr;
    const site::MeterStatus& meter = found.meters[unit.meterIndex];
    if (meter.name != unit.meter) return nullptr;
    *line = &found;
    return &meter;
}

std::uint16_t Seconds(std::int64_t sinceUnixMs, std::int64_t nowUnixMs) {
    if (sinceUnixMs <= 0) return kRegisterUnknown;
    const std::int64_t seconds = std::max<std::int64_t>(0, nowUnixMs - sinceUnixMs) / 1000;
    return static_cast<std::uint16_t>(std::min<std::int64_t>(seconds, kRegisterUnknown - 1));
}

// The values of value `k` of the unit: its float and its age.
float ValueOf(const ModbusValue& value, const site::MeterStatus& meter, std::int64_t* atUnixMs) {
    *atUnixMs = 0;
    if (value.gate >= meter.gates.size()) return std::numeric_limits<float>::quiet_NaN();
    const site::GateStatus& gate = meter.gates[value.gate];
    if (gate.valuesUnixMs == 0 || value.value >= gate.values.size())
        return std::numeric_limits<float>::quiet_NaN();
    *atUnixMs = gate.valuesUnixMs;
    return gate.values[value.value];
}

ModbusAnswer Exception(ModbusException exception) {
    ModbusAnswer answer;
    answer.exception = exception;
    return answer;
}

ModbusAnswer Read(const ModbusUnit& unit, const site::LineStatus* line,
                  const site::MeterStatus* meter, bool swapped, std::int64_t nowUnixMs,
                  const ModbusRequest& request) {
    const int first = request.address;
    const int end = request.address + request.count;
    const int values = static_cast<int>(unit.values.size());
    ModbusAnswer answer;
    if (end <= kStatusRegisters) {
        // The status block is served while the meter is down too: it says why.
        const bool up = meter != nullptr && site::MeterUp(*line, *meter);
        const std::uint16_t block[kStatusRegisters] = {
            static_cast<std::uint16_t>(up ? 1 : 0),
            meter != nullptr ? Seconds(meter->lastAnswerUnixMs, nowUnixMs) : kRegisterUnknown,
            meter != nullptr ? static_cast<std::uint16_t>(
                                   std::min<int>(meter->consecutiveFailures, kRegisterUnknown))
                             : kRegisterUnknown,
            static_cast<std::uint16_t>(values)};
        answer.registers.assign(block + first, block + end);
        return answer;
    }
    const bool inValues = first >= kValueBase && end <= kValueBase + 2 * values;
    const bool inAges = first >= kAgeBase && end <= kAgeBase + values;
    if (!inValues && !inAges) return Exception(ModbusException::IllegalAddress);
    if (meter == nullptr || !site::MeterUp(*line, *meter))
        return Exception(ModbusException::TargetFailed);
    if (inAges) {
        for (int a = first; a < end; ++a) {
            std::int64_t at = 0;
            static_cast<void>(
                ValueOf(unit.values[static_cast<std::size_t>(a - kAgeBase)], *meter, &at));
            answer.registers.push_back(Seconds(at, nowUnixMs));
        }
        return answer;
    }
    // Whole values, then the registers asked for: a read may begin or end inside a float.
    const int firstValue = (first - kValueBase) / 2;
    const int lastValue = (end - 1 - kValueBase) / 2;
    std::vector<std::uint16_t> words;
    for (int k = firstValue; k <= lastValue; ++k) {
        std::int64_t at = 0;
        std::uint16_t pair[2];
        FloatToRegisters(ValueOf(unit.values[static_cast<std::size_t>(k)], *meter, &at), swapped,
                         pair);
        words.insert(words.end(), pair, pair + 2);
    }
    const int skip = (first - kValueBase) % 2;
    answer.registers.assign(words.begin() + skip, words.begin() + skip + request.count);
    return answer;
}

ModbusAnswer Write(const ModbusUnit& unit, bool swapped, const ModbusRequest& request) {
    if (request.function == kWriteSingle) return Exception(ModbusException::IllegalFunction);
    const int first = request.address - kValueBase;
    const int values = static_cast<int>(unit.values.size());
    // Whole floats only: a write that starts or ends inside one would change half of it.
    if (first < 0 || first % 2 != 0 || request.count % 2 != 0 || first + request.count > 2 * values)
        return Exception(ModbusException::IllegalAddress);
    const ModbusValue& head = unit.values[static_cast<std::size_t>(first / 2)];
    ModbusAnswer answer;
    answer.write = true;
    answer.order.line = unit.line;
    for (int k = 0; k < request.count / 2; ++k) {
        const ModbusValue& value = unit.values[static_cast<std::size_t>(first / 2 + k)];
        // One gate per write, as the meter takes it, and only a gate the site file opened.
        if (!value.writable || value.gate != head.gate)
            return Exception(ModbusException::IllegalAddress);
        const float typed =
            RegistersToFloat(&request.registers[static_cast<std::size_t>(2 * k)], swapped);
        if (!core::CheckExValue(typed).problem.empty())
            return Exception(ModbusException::IllegalValue);
        answer.order.values.push_back(typed);
    }
    // The register of the first value written: the gate's own address moved to its item. The
    // address has two digits for the item, so a write past item 99 must start at the gate.
    const int group = (head.index >> 8) & 0xFF;
    const int item = (head.index & 0xFF) + static_cast<int>(head.value);
    if (head.value == 0) {
        answer.order.gateAddress = head.gateAddress;
    } else if (item <= 99) {
        answer.order.gateAddress = fmt::format("{:02}EX{:02}{:02}", head.plcAddress, group, item);
    } else {
        return Exception(ModbusException::IllegalAddress);
    }
    return answer;
}

}  // namespace

int FrameLength(const std::uint8_t* bytes, std::size_t have) {
    if (have < kMbapLength) return 0;
    const int protocol = Word(bytes + 2);
    const int length = Word(bytes + 4);  // the unit id and the PDU
    // A PDU has a function code at least; a frame is at most 260 bytes.
    if (protocol != 0 || length < 2 || static_cast<std::size_t>(length) + 6 > kMaxFrameLength)
        return -1;
    return length + 6;
}

ModbusException DecodeRequest(const std::uint8_t* frame, std::size_t length,
                              ModbusRequest* request) {
    *request = ModbusRequest{};
    if (length < kMbapLength + 1) return ModbusException::IllegalValue;
    request->unit = frame[6];
    request->function = frame[7];
    const std::uint8_t* pdu = frame + kMbapLength;
    const std::size_t pduLength = length - kMbapLength;
    switch (request->function) {
        case kReadHolding:
        case kReadInput:
            if (pduLength != 5) return ModbusException::IllegalValue;
            request->address = Word(pdu + 1);
            request->count = Word(pdu + 3);
            if (request->count < 1 || request->count > kMaxReadCount)
                return ModbusException::IllegalValue;
            return ModbusException::None;
        case kWriteSingle:
            if (pduLength != 5) return ModbusException::IllegalValue;
            request->address = Word(pdu + 1);
            request->count = 1;
            request->registers.push_back(static_cast<std::uint16_t>(Word(pdu + 3)));
            return ModbusException::None;
        case kWriteMultiple: {
            if (pduLength < 6) return ModbusException::IllegalValue;
            request->address = Word(pdu + 1);
            request->count = Word(pdu + 3);
            const std::size_t bytes = pdu[5];
            if (request->count < 1 || request->count > kMaxWriteCount ||
                bytes != 2 * static_cast<std::size_t>(request->count) || pduLength != 6 + bytes)
                return ModbusException::IllegalValue;
            for (int i = 0; i < request->count; ++i)
                request->registers.push_back(
                    static_cast<std::uint16_t>(Word(pdu + 6 + 2 * static_cast<std::size_t>(i))));
            return ModbusException::None;
        }
        default:
            return ModbusException::IllegalFunction;
    }
}

ModbusAnswer AnswerRequest(const ModbusMap& map, const site::SiteStatus& status,
                           std::int64_t nowUnixMs, const ModbusRequest& request) {
    const ModbusUnit* unit = map.Find(request.unit);
    if (unit == nullptr) return Exception(ModbusException::PathUnavailable);
    if (request.address + request.count > 0x10000)
        return Exception(ModbusException::IllegalAddress);
    if (request.function == kWriteSingle || request.function == kWriteMultiple)
        return Write(*unit, map.swappedWords, request);
    if (request.function != kReadHolding && request.function != kReadInput)
        return Exception(ModbusException::IllegalFunction);
    const site::LineStatus* line = nullptr;
    const site::MeterStatus* meter = MeterOf(*unit, status, &line);
    return Read(*unit, line, meter, map.swappedWords, nowUnixMs, request);
}

void FloatToRegisters(float value, bool swappedWords, std::uint16_t* registers) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const auto high = static_cast<std::uint16_t>(bits >> 16);
    const auto low = static_cast<std::uint16_t>(bits & 0xFFFF);
    registers[0] = swappedWords ? low : high;
    registers[1] = swappedWords ? high : low;
}

float RegistersToFloat(const std::uint16_t* registers, bool swappedWords) {
    const std::uint32_t high = swappedWords ? registers[1] : registers[0];
    const std::uint32_t low = swappedWords ? registers[0] : registers[1];
    const std::uint32_t bits = (high << 16) | low;
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace host::outputs
