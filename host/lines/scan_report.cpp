// Table, CSV and JSON-lines output of a scan, and its progress line.
#include "lines/scan_report.h"

#include <fmt/format.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "core/channel_options.h"
#include "text/float_text.h"

namespace host::lines {

namespace {

std::string ShownFields(const FoundMeter& meter, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < meter.values.size() && i < kScanShownFields; ++i) {
        if (i > 0) text += separator;
        text += core::FormatValue(meter.values[i]);
    }
    return text;
}

double Tenths(double ms) {
    return std::round(ms * 10) / 10;
}

}  // namespace

void ScanPrinter::PrintTable(const FoundMeter& meter) {
    if (FirstRow()) {
        std::fprintf(out_, "%-7s %-12s %8s %6s  %s\n", "address", "line", "reply ms", "fields",
                     "first fields");
    }
    std::fprintf(out_, "%-7s %-12s %8.1f %6zu  %s%s\n", fmt::format("{:02}", meter.address).c_str(),
                 ShortLineText(meter.line).c_str(), meter.replyMs, meter.fields,
                 ShownFields(meter, " ").c_str(),
                 meter.decoded ? "" : " (a field did not convert)");
}

void ScanPrinter::PrintCsv(const FoundMeter& meter) {
    if (FirstRow()) {
        // The value columns by their keys, as read and the site file name the plain block's fields.
        std::fprintf(out_,
                     "address,baud,data,parity,stop,reply_ms,fields,decoded,plain.0,plain.1,"
                     "plain.2\n");
    }
    // Always three value columns, empty where the reply had fewer fields.
    std::string shown;
    for (std::size_t i = 0; i < kScanShownFields; ++i) {
        if (i > 0) shown += ',';
        if (i < meter.values.size()) shown += core::FormatValue(meter.values[i]);
    }
    std::fprintf(out_, "%d,%u,%u,%s,%s,%.1f,%zu,%d,%s\n", meter.address, meter.line.baudRate,
                 meter.line.dataBits & 0xFFu, core::ParityName(meter.line.parity & 0xFFu),
                 core::StopBitsName(meter.line.stopBits & 0xFFu), meter.replyMs, meter.fields,
                 meter.decoded ? 1 : 0, shown.c_str());
}

void ScanPrinter::PrintJson(const FoundMeter& meter) {
    nlohmann::json values = nlohmann::json::array();
    for (float v : meter.values) {
        if (std::isfinite(v)) {
            values.push_back(text::FloatAsDecimal(v));
        } else {
            values.push_back(nullptr);
        }
    }
    const nlohmann::json line{{"address", meter.address},
                              {"baud", meter.line.baudRate},
                              {"data", meter.line.dataBits & 0xFFu},
                              {"parity", core::ParityName(meter.line.parity & 0xFFu)},
                              {"stop", core::StopBitsName(meter.line.stopBits & 0xFFu)},
                              {"line", ShortLineText(meter.line)},
                              {"reply_ms", Tenths(meter.replyMs)},
                              {"fields", meter.fields},
                              {"decoded", meter.decoded},
                              {"values", values}};
    std::fprintf(out_, "%s\n", line.dump().c_str());
}

std::string ProgressText(const ScanProgress& progress) {
    const std::string line = progress.line != nullptr ? ShortLineText(*progress.line) : "";
    return fmt::format("scan {}  address {:02}  {} found  {}/{}  about {:.0f} s left", line,
                       progress.address, progress.found, progress.done, progress.total,
                       std::ceil(progress.leftMs / 1000));
}

std::string ScanSummary(const ScanOutcome& outcome, std::size_t settings) {
    // A meter is counted once, however many line settings it answered at (--all).
    std::set<int> meters;
    for (const FoundMeter& meter : outcome.found) meters.insert(meter.address);
    std::string text = fmt::format("{} meter(s) found", meters.size());
    if (outcome.found.size() > meters.size()) {
        text += fmt::format(" ({} answers across the line settings)", outcome.found.size());
    }
    text += fmt::format(" in {} probe(s) at {} line setting(s){}", outcome.probes, settings,
                        outcome.interrupted ? " (interrupted)" : "");
    if (outcome.echoes > 0) {
        text += fmt::format(
            "; {} probe(s) heard only their own request back: the line echoes what is sent (an "
            "adapter without echo suppression), and no meter answered them",
            outcome.echoes);
    }
    return text;
}

}  // namespace host::lines
