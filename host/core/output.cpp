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

// A CSV field as RFC 4180 has it: as it is, or quoted with its quotes doubled when it holds a
// comma, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

}  // namespace

void AddFormatOptions(CLI::App& command, Format& format, const FormatHelp& help) {
    auto* csv = command.add_flag_callback(
        "--csv", [&format] { format = Format::Csv; }, help.csv);
    auto* json = command.add_flag_callback(
        "--json", [&format] { format = Format::Json; }, help.json);
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

void ReadingPrinter::PrintAt(const Reading& reading, const ReadingPlace& place) {
    place_ = &place;
    Print(reading);
    place_ = nullptr;
}

std::string ReadingPrinter::NameOf(std::size_t k) const {
    return place_ != nullptr && k < place_->names.size() ? place_->names[k] : "";
}

std::string ReadingPrinter::UnitOf(std::size_t k) const {
    return place_ != nullptr && k < place_->units.size() ? place_->units[k] : "";
}

void ReadingPrinter::PrintTableHeader() {
    if (format_ != Format::Table || !FirstRow()) return;
    if (withPlace_) std::fprintf(out_, "%-11s %-11s ", "line", "meter");
    std::fprintf(out_, "%-11s %-11s %-8s %3s  %s\n", "gate", "memtype", "result", "try", "values");
}

void ReadingPrinter::PrintTable(const Reading& reading) {
    PrintTableHeader();
    const std::string label = MemtypeLabel(reading.memtype);
    std::string lead;
    if (withPlace_) {
        lead =
            fmt::format("{:<11} {:<11} ", place_ ? place_->line : "", place_ ? place_->meter : "");
    }
    lead += fmt::format("{:<11} {:<11} {:<8} {:>3} ", reading.gate, label,
                        ResultName(reading.result), reading.attempts);
    std::fprintf(out_, "%s", lead.c_str());
    if (reading.result != 0) {
        std::fprintf(out_, " -\n");
        return;
    }
    // Eight values a row, each row led by the key of its first value.
    const std::string indent(lead.size(), ' ');
    for (std::size_t i = 0; i < reading.values.size(); ++i) {
        if (i % kValuesPerRow == 0) {
            if (i > 0) std::fprintf(out_, "\n%s", indent.c_str());
            std::fprintf(out_, " %s:",
                         ValueKey(reading.memtype, reading.index, static_cast<int>(i)).c_str());
        }
        std::fprintf(out_, " %s", FormatValue(reading.values[i]).c_str());
    }
    std::fprintf(out_, "\n");
    // The values the site file names, one a row under the gate's.
    for (std::size_t i = 0; i < reading.values.size(); ++i) {
        if (NameOf(i).empty() && UnitOf(i).empty()) continue;
        const std::string named =
            fmt::format("{} {}: {}", ValueKey(reading.memtype, reading.index, static_cast<int>(i)),
                        NameOf(i), FormatValue(reading.values[i]));
        std::fprintf(out_, "%s %s%s%s\n", indent.c_str(), named.c_str(),
                     UnitOf(i).empty() ? "" : " ", UnitOf(i).c_str());
    }
}

void ReadingPrinter::PrintCsv(const Reading& reading) {
    if (FirstRow()) {
        std::fprintf(out_, "%s\n",
                     withPlace_
                         ? "time,line,meter,gate,plc,memtype,index,result,key,name,unit,value"
                         : "time,gate,plc,memtype,index,result,key,value");
    }
    // Gate addresses are digits, letters and blanks: no quoting needed. Names from a site file
    // are quoted where they hold a comma, a quote or a line break.
    std::string lead = reading.time;
    if (withPlace_) {
        lead += fmt::format(",{},{}", CsvField(place_ ? place_->line : ""),
                            CsvField(place_ ? place_->meter : ""));
    }
    lead += fmt::format(",{},{},{},{},{}", reading.gate, reading.plcAddress,
                        MemtypeName(reading.memtype), reading.index, reading.result);
    if (reading.result != 0) {
        std::fprintf(out_, "%s%s\n", lead.c_str(), withPlace_ ? ",,,," : ",,");
        return;
    }
    for (std::size_t i = 0; i < reading.values.size(); ++i) {
        const std::string key = ValueKey(reading.memtype, reading.index, static_cast<int>(i));
        const std::string named =
            withPlace_ ? fmt::format(",{},{}", CsvField(NameOf(i)), CsvField(UnitOf(i))) : "";
        std::fprintf(out_, "%s,%s%s,%s\n", lead.c_str(), key.c_str(), named.c_str(),
                     FormatValue(reading.values[i]).c_str());
    }
}

void ReadingPrinter::PrintJson(const Reading& reading) {
    nlohmann::json line;
    line["time"] = reading.time;
    if (withPlace_) {
        line["line"] = place_ ? place_->line : "";
        line["meter"] = place_ ? place_->meter : "";
    }
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
    nlohmann::json keys = nlohmann::json::array();
    nlohmann::json names = nlohmann::json::array();
    nlohmann::json units = nlohmann::json::array();
    if (reading.result == 0) {
        for (std::size_t i = 0; i < reading.values.size(); ++i) {
            // Through the float's shortest text, so 230.1f is 230.1 and not 230.10000610.
            const float v = reading.values[i];
            values.push_back(std::isfinite(v) ? nlohmann::json(text::FloatAsDecimal(v))
                                              : nlohmann::json(nullptr));
            keys.push_back(ValueKey(reading.memtype, reading.index, static_cast<int>(i)));
            names.push_back(NameOf(i));
            units.push_back(UnitOf(i));
        }
    }
    line["values"] = values;
    line["keys"] = keys;
    if (withPlace_) {
        line["names"] = names;
        line["units"] = units;
    }
    std::fprintf(out_, "%s\n", line.dump().c_str());
}

}  // namespace host::core
