// Fuzz target for the Modbus TCP face's own parsing and mapping: a client's byte stream cut
// into frames by their MBAP header, each taken apart and answered from a fixed map and a
// poller status whose state (word order, meter up or down, port open, values read or not)
// the input's first byte picks. Aborts when an answer breaks what the server relies on.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_targets.h"
#include "outputs/modbus_map.h"
#include "outputs/modbus_registers.h"
#include "site/site_status.h"

namespace vpifuzz::modbus {

namespace {

using host::outputs::ModbusAnswer;
using host::outputs::ModbusException;

void Require(bool ok) {
    if (!ok) std::abort();
}

host::outputs::ModbusValue Value(std::size_t gate, std::size_t value, std::int32_t index,
                                 bool writable) {
    host::outputs::ModbusValue out;
    out.gate = gate;
    out.value = value;
    out.gateAddress = writable ? "01EX1001" : "0101";
    out.plcAddress = 1;
    out.memtype = writable ? MEMTYPE_EX : MEMTYPE_PLAIN;
    out.index = index;
    out.key = "k";
    out.writable = writable;
    return out;
}

// Unit 1: a plain gate of 3 values, an EX gate of 4 writable ones from item 98 (so that a write
// from its third value would need item 100); unit 2 on a second line, one value.
void Build(std::uint8_t mode, host::outputs::ModbusMap* map, host::site::SiteStatus* status) {
    map->swappedWords = (mode & 1) != 0;
    host::outputs::ModbusUnit one;
    one.unit = 1;
    one.line = "A";
    one.meter = "one";
    for (std::size_t v = 0; v < 3; ++v) one.values.push_back(Value(0, v, 0, false));
    for (std::size_t v = 0; v < 4; ++v) one.values.push_back(Value(1, v, (10 << 8) | 98, true));
    host::outputs::ModbusUnit two;
    two.unit = 2;
    two.line = "B";
    two.meter = "two";
    two.lineIndex = (mode & 2) != 0 ? 1 : 5;  // 5: a status that no longer has it
    two.values.push_back(Value(0, 0, 0, false));
    map->units = {one, two};

    for (const char* name : {"A", "B"}) {
        host::site::LineStatus line;
        line.name = name;
        line.open = (mode & 4) == 0;
        host::site::MeterStatus meter;
        meter.name = std::string(name) == "A" ? "one" : "two";
        meter.health = (mode & 8) != 0 ? host::site::MeterHealth::BackingOff
                                       : host::site::MeterHealth::Answering;
        meter.consecutiveFailures = (mode & 8) != 0 ? 70000 : 0;
        meter.lastAnswerUnixMs = (mode & 16) != 0 ? 0 : 1000;
        for (int g = 0; g < 2; ++g) {
            host::site::GateStatus gate;
            // Fewer values than the map expects when bit 5 is set: a gate that read short.
            const int count = (mode & 32) != 0 ? 1 : 4;
            gate.values.assign(static_cast<std::size_t>(count), 1.5F);
            gate.valuesUnixMs = (mode & 64) != 0 ? 0 : 2000;
            meter.gates.push_back(gate);
        }
        // Bit 7: the first meter has no gates at all in the status.
        if ((mode & 128) != 0 && meter.name == "one") meter.gates.clear();
        line.meters.push_back(meter);
        status->lines.push_back(line);
    }
}

}  // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    host::outputs::ModbusMap map;
    host::site::SiteStatus status;
    Build(data[0], &map, &status);
    const std::uint8_t* stream = data + 1;
    std::size_t left = size - 1;
    while (left > 0) {
        const int length = host::outputs::FrameLength(stream, left);
        if (length < 0) return 0;  // the server drops the client
        if (length == 0 || static_cast<std::size_t>(length) > left) return 0;  // waits for more
        Require(static_cast<std::size_t>(length) <= host::outputs::kMaxFrameLength);
        host::outputs::ModbusRequest request;
        const ModbusException decoded =
            host::outputs::DecodeRequest(stream, static_cast<std::size_t>(length), &request);
        if (decoded == ModbusException::None) {
            Require(request.count >= 1 && request.address >= 0 && request.address <= 0xFFFF);
            const ModbusAnswer answer =
                host::outputs::AnswerRequest(map, status, 1'000'000, request);
            if (answer.exception == ModbusException::None && !answer.write) {
                // The server hands libmodbus exactly `count` registers.
                Require(answer.registers.size() == static_cast<std::size_t>(request.count));
                Require(request.function == 3 || request.function == 4);
            }
            if (answer.write) {
                Require(request.function == 16 && request.count % 2 == 0);
                Require(answer.order.values.size() * 2 == static_cast<std::size_t>(request.count));
                Require(!answer.order.gateAddress.empty() && answer.order.gateAddress.size() <= 10);
            }
        }
        stream += length;
        left -= static_cast<std::size_t>(length);
    }
    return 0;
}

}  // namespace vpifuzz::modbus
