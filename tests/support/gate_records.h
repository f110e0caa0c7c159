// Gate records as a host fills them, for the tests, the fuzz targets and the benchmarks: a gate
// named by its family, index and count, the record operations 5 to 7 take for it, and an
// address record whose every field starts as a known pattern.
#pragma once

#include <cstdint>

#include "vpi_records.h"

namespace vpitest {

// One gate: a name for messages, its memory type, its index (EX gates: group and item) and the
// number of values it holds.
struct GateDef {
    const char* name;
    std::int32_t memtype;
    std::int32_t index;
    std::int32_t count;
};

// The record operations 5, 6 and 7 take for gate `memtype`/`index` of meter `plc`, with `count`
// values at `values`; the host's own fields zero.
inline GateIoRecord IoRecord(std::int32_t plc, std::int32_t memtype, std::int32_t index,
                             std::int32_t count, float* values) {
    return GateIoRecord{.host0 = 0,
                        .host1 = 0,
                        .plcAddress = plc,
                        .memtype = memtype,
                        .index = index,
                        .host5 = 0,
                        .host6 = 0,
                        .host7 = 0,
                        .count = count,
                        .host9 = 0,
                        .values = values};
}

inline GateIoRecord IoRecord(const GateDef& gate, std::int32_t plc, float* values) {
    return IoRecord(plc, gate.memtype, gate.index, gate.count, values);
}

// What the fields of an address record that the caller does not give hold before a call, so
// that a field the driver left alone, or has not written yet, shows as such.
struct GatePattern {
    std::uint32_t hostField;
    std::int32_t plcAddress;
    std::int32_t memtype;
    std::int32_t index;
    std::uint32_t fixedValue255;
    std::uint32_t fixedValue32;
};

// The record operations 3 and 4 take for `text`, `valueType` and `count`, the rest `pattern`.
inline GateAddressRecord PrefilledGate(const char* text, std::int32_t valueType, std::int32_t count,
                                       const GatePattern& pattern) {
    return GateAddressRecord{text,          pattern.hostField,     valueType,
                             count,         pattern.plcAddress,    pattern.memtype,
                             pattern.index, pattern.fixedValue255, pattern.fixedValue32};
}

}  // namespace vpitest
