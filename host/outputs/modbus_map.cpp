// Building the register map from a prepared site, and printing it for the people who configure
// the other side.
#include "outputs/modbus_map.h"

#include <fmt/format.h>

#include <algorithm>

namespace host::outputs {

const ModbusUnit* ModbusMap::Find(int unit) const {
    for (const ModbusUnit& each : units) {
        if (each.unit == unit) return &each;
    }
    return nullptr;
}

ModbusMap BuildModbusMap(const site::PreparedSite& site, std::vector<std::string>* problems) {
    ModbusMap map;
    map.swappedWords = site.modbusTcp.swappedWords;
    for (std::size_t l = 0; l < site.lines.size(); ++l) {
        const site::SiteLine& line = site.lines[l];
        for (std::size_t m = 0; m < line.meters.size(); ++m) {
            const site::SiteMeter& meter = line.meters[m];
            ModbusUnit unit;
            unit.unit = meter.modbusUnit;
            unit.line = line.name;
            unit.meter = meter.name;
            unit.lineIndex = l;
            unit.meterIndex = m;
            for (std::size_t g = 0; g < meter.gates.size(); ++g) {
                const site::SiteGate& gate = meter.gates[g];
                for (std::size_t v = 0; v < gate.keys.size(); ++v) {
                    ModbusValue value;
                    value.gate = g;
                    value.value = v;
                    value.gateAddress = gate.gate.address;
                    value.plcAddress = gate.gate.plcAddress;
                    value.memtype = gate.gate.memtype;
                    value.index = gate.gate.index;
                    value.key = gate.keys[v];
                    value.label = gate.labels[v];
                    value.writable = gate.modbusWrite;
                    unit.values.push_back(std::move(value));
                }
            }
            if (unit.values.size() > static_cast<std::size_t>(kMaxUnitValues)) {
                problems->push_back(
                    fmt::format("meter \"{}\" on line \"{}\" is read for {} "
                                "values; a Modbus unit holds {}",
                                meter.name, line.name, unit.values.size(), kMaxUnitValues));
                unit.values.resize(kMaxUnitValues);
            }
            map.units.push_back(std::move(unit));
        }
    }
    return map;
}

std::vector<ModbusMapRow> ModbusMapRows(const ModbusMap& map) {
    std::vector<ModbusMapRow> rows;
    for (const ModbusUnit& unit : map.units) {
        const auto row = [&](int address, int count, const char* type, const char* what) {
            ModbusMapRow out;
            out.unit = unit.unit;
            out.line = unit.line;
            out.meter = unit.meter;
            out.address = address;
            out.count = count;
            out.type = type;
            out.access = "read";
            out.what = what;
            return out;
        };
        rows.push_back(row(kStatusUp, 1, "uint16", "up (1) or down (0)"));
        rows.push_back(row(kStatusAnswerAge, 1, "uint16", "seconds since last answer"));
        rows.push_back(row(kStatusFailures, 1, "uint16", "reads without answer in a row"));
        rows.push_back(row(kStatusValueCount, 1, "uint16", "number of values"));
        for (std::size_t k = 0; k < unit.values.size(); ++k) {
            const ModbusValue& value = unit.values[k];
            ModbusMapRow out = row(kValueBase + 2 * static_cast<int>(k), 2, "float32", "value");
            out.access = value.writable ? "read/write" : "read";
            out.key = value.key;
            out.name = value.label.name;
            out.unitOfMeasure = value.label.unit;
            rows.push_back(std::move(out));
        }
        for (std::size_t k = 0; k < unit.values.size(); ++k) {
            ModbusMapRow out =
                row(kAgeBase + static_cast<int>(k), 1, "uint16", "seconds since value read");
            out.key = unit.values[k].key;
            rows.push_back(std::move(out));
        }
    }
    return rows;
}

namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string MarkdownField(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '|') {
            out += "\\|";
        } else if (c == '\n' || c == '\r') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string ModbusMapCsv(const ModbusMap& map) {
    std::string text =
        "unit,line,meter,address,count,type,word_order,access,what,key,name,unit_of_measure\n";
    const char* order = map.swappedWords ? "swapped" : "big";
    for (const ModbusMapRow& row : ModbusMapRows(map)) {
        text += fmt::format("{},{},{},{},{},{},{},{},{},{},{},{}\n", row.unit, CsvField(row.line),
                            CsvField(row.meter), row.address, row.count, row.type,
                            row.count == 2 ? order : "", row.access, CsvField(row.what),
                            CsvField(row.key), CsvField(row.name), CsvField(row.unitOfMeasure));
    }
    return text;
}

std::string ModbusMapMarkdown(const ModbusMap& map) {
    std::string text;
    for (const ModbusUnit& unit : map.units) {
        if (!text.empty()) text += "\n";
        text += fmt::format("### Unit {}: meter {}, line {}\n\n", unit.unit,
                            MarkdownField(unit.meter), MarkdownField(unit.line));
        text += "| Address | Registers | Type | Access | What | Key | Name | Unit |\n";
        text += "|---:|---:|---|---|---|---|---|---|\n";
        for (const ModbusMapRow& row : ModbusMapRows(map)) {
            if (row.unit != unit.unit) continue;
            text += fmt::format("| {} | {} | {} | {} | {} | {} | {} | {} |\n", row.address,
                                row.count, row.type, row.access, row.what, row.key,
                                MarkdownField(row.name), MarkdownField(row.unitOfMeasure));
        }
    }
    text += fmt::format(
        "\nFloats are IEEE 754, {}. Addresses are protocol addresses (from 0); "
        "function codes 3 and 4 read the same registers.\n",
        map.swappedWords ? "low word first (word order \"swapped\")"
                         : "high word first (word order \"big\")");
    return text;
}

std::string ModbusMapText(const ModbusMap& map) {
    std::string text;
    for (const ModbusUnit& unit : map.units) {
        text += fmt::format("unit {}: meter {}, line {}\n", unit.unit, unit.meter, unit.line);
        for (const ModbusMapRow& row : ModbusMapRows(map)) {
            if (row.unit != unit.unit) continue;
            std::string about = row.key;
            if (!row.name.empty()) about += " " + row.name;
            if (!row.unitOfMeasure.empty()) about += " [" + row.unitOfMeasure + "]";
            text += fmt::format("  {:>5} {:>2} {:<7} {:<10} {:<30} {}\n", row.address, row.count,
                                row.type, row.access, row.what, about);
        }
    }
    text += fmt::format("floats: IEEE 754, {}; function codes 3 and 4 read the same registers\n",
                        map.swappedWords ? "low word first" : "high word first");
    return text;
}

}  // namespace host::outputs
