// The Modbus TCP face's register map, made from the site file alone so that the same file
// always gives the same map: per meter (a unit id) a status block, then each value the meter
// is read for as a 32-bit IEEE float in two registers, then each value's age.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "site/site_gates.h"

namespace host::outputs {

// The layout of every unit, in protocol addresses (from 0). The value and age blocks start at
// round numbers so that a PLC programmer finds value k at 1000 + 2k and its age at 5000 + k.
inline constexpr int kStatusUp = 0;          // 1 while the meter is up, else 0
inline constexpr int kStatusAnswerAge = 1;   // seconds since its last answer
inline constexpr int kStatusFailures = 2;    // reads without an answer since its last answer
inline constexpr int kStatusValueCount = 3;  // how many values the unit has
inline constexpr int kStatusRegisters = 4;
inline constexpr int kValueBase = 1000;
inline constexpr int kAgeBase = 5000;
inline constexpr int kMaxUnitValues = (kAgeBase - kValueBase) / 2;
// A time or count a register cannot hold, or that is not known ("never"), reads as this.
inline constexpr std::uint16_t kRegisterUnknown = 0xFFFF;
static_assert(kStatusRegisters <= kValueBase && kAgeBase + kMaxUnitValues <= 0x10000);

// One value of a unit: where the poller's status keeps it.
struct ModbusValue {
    std::size_t gate = 0;   // in its meter's gates
    std::size_t value = 0;  // in that gate's values
    std::string gateAddress;
    std::int32_t plcAddress = 0;
    std::int32_t memtype = 0;
    std::int32_t index = 0;
    std::string key;  // "plain.0", "ex.10.1"
    site::ValueLabel label;
    bool writable = false;  // the site file lets clients write its gate
};

// One meter on the face.
struct ModbusUnit {
    int unit = 0;
    std::string line;
    std::string meter;
    std::size_t lineIndex = 0;   // in the site's lines, as the poller's status has them
    std::size_t meterIndex = 0;  // in its line's meters
    std::vector<ModbusValue> values;
};

struct ModbusMap {
    bool swappedWords = false;
    std::vector<ModbusUnit> units;  // in the site file's order

    // The unit with id `unit`, or nullptr.
    const ModbusUnit* Find(int unit) const;
};

// The map of `site` (prepared, its units resolved). A meter with more values than a unit holds
// is named in `problems` (and gets the first kMaxUnitValues).
ModbusMap BuildModbusMap(const site::PreparedSite& site, std::vector<std::string>* problems);

// One row of the printed map: a register range and what it holds.
struct ModbusMapRow {
    int unit = 0;
    std::string line;
    std::string meter;
    int address = 0;     // the protocol address (from 0)
    int count = 0;       // registers
    std::string type;    // "uint16", "float32"
    std::string access;  // "read", "read/write"
    std::string what;    // "up", "seconds since last answer", "value", "age of value"
    std::string key;     // of the value, else ""
    std::string name;    // the site file's name of the value, else ""
    std::string unitOfMeasure;
};

// Every row, unit by unit, in address order.
std::vector<ModbusMapRow> ModbusMapRows(const ModbusMap& map);

// The map as CSV with a header row (for scripts and PLC tools; each float's word order in a
// column of its own), as a Markdown table, or as a
// table for a terminal.
std::string ModbusMapCsv(const ModbusMap& map);
std::string ModbusMapMarkdown(const ModbusMap& map);
std::string ModbusMapText(const ModbusMap& map);

}  // namespace host::outputs
