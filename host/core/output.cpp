// Table, CSV and JSON-lines output of gate readings.
#include "core/output.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/memtype_names.h"
#include "core/name_table.h"
#include "text/float_text.h"
#include "vpi_records.h"

namespace host::core {

namespace {

constexpr std::size_t kValuesPerRow = 8;

}  // namespace

void AddFormatOptions(CLI::App& command, Format& format) {
    auto* csv = command.add_flag_callback(
        "--csv", [&format] { format = Format::Csv; },
        "CSV: one row per value, with an RFC 3339 time stamp");
    auto* json = command.add_flag_callback(
        "--json", [&format] { format = Format::Json; },
        "JSON lines: one object per gate reading, with an RFC 3339 time stamp");
    csv->excludes(json);
}

std::FILE* NotesStream(Format format) {
    return format == Format::Table ? stdout : stderr;
}

std::string FormatValue(float value) {
    return text::FloatText(value);
}

const char* ResultName(std::int32_t result) {
    // Indexed by VpiDone, VpiRefused, VpiFailed.
    constexpr std::array<const char*, 3> kNames{"done", "refused", "failed"};
    static_assert(VpiDone == 0 && VpiRefused == 1 && VpiFailed == 2);
    return NameOf(kNames, result);
}

void ReadingPrinter::PrintTableHeader() {
    if (format_ == Format::Table && FirstRow()) {
        std::fprintf(out_, "%-11s %-11s %-8s %3s  %s\n", "gate", "memtype", "result", "try",
                     "values");
    }
}

void ReadingPrinter::PrintTable(const Reading& reading) {
    PrintTableHeader();
    const std::string label = MemtypeLabel(reading.memtype);
    std::fprintf(out_, "%-11s %-11s %-8s %3d ", reading.gate.c_str(), label.c_str(),
                 ResultName(reading.result), reading.attempts);
    if (reading.result != 0) {
        std::fprintf(out_, " -\n");
        return;
    }
    // Eight values a row, each row led by the number of its first element.
    for (std::size_t i = 0; i < reading.values.size(); ++i) {
        if (i % kValuesPerRow == 0) {
            if (i > 0) std::fprintf(out_, "\n%-37s", "");
            std::fprintf(out_, "%3zu:", i + 1);
        }
        std::fprintf(out_, " %s", FormatValue(reading.values[i]).c_str());
    }
    std::fprintf(out_, "\n");
}

void ReadingPrinter::PrintCsv(const Reading& reading) {
    if (FirstRow()) std::fprintf(out_, "time,gate,plc,memtype,index,result,element,value\n");
    // Gate addresses are digits, letters and blanks: no quoting needed.
    const std::string lead =
        fmt::format("{},{},{},{},{},{}", reading.time, reading.gate, reading.plcAddress,
                    MemtypeName(reading.memtype), reading.index, reading.result);
    if (reading.result != 0) {
        std::fprintf(out_, "%s,,\n", lead.c_str());
        return;
    }
    for (std::size_t i = 0; i < reading.values.size(); ++i) {
        std::fprintf(out_, "%s,%zu,%s\n", lead.c_str(), i + 1,
                     FormatValue(reading.values[i]).c_str());
    }
}

void ReadingPrinter::PrintJson(const Reading& reading) {
    nlohmann::json line;
    line["time"] = reading.time;
    line["gate"] = reading.gate;
    line["plc"] = reading.plcAddress;
    line["memtype"] = reading.memtype;
    line["family"] = MemtypeName(reading.memtype);
    line["index"] = reading.index;
    line["result"] = reading.result;
    line["status"] = ResultName(reading.result);
    line["attempts"] = reading.attempts;
    line["latency_ms"] = std::round(reading.latencyMs * 10) / 10;
    nlohmann::json values = nlohmann::json::array();
    if (reading.result == 0) {
        // Through the float's shortest text, so 230.1f is 230.1 and not 230.10000610.
        for (float v : reading.values) {
            if (std::isfinite(v)) {
                values.push_back(text::FloatAsDecimal(v));
            } else {
                values.push_back(nullptr);
            }
        }
    }
    line["values"] = values;
    std::fprintf(out_, "%s\n", line.dump().c_str());
}

}  // namespace host::core
