// What a scan says: the meters found as a table, CSV or JSON lines, the live progress line
// for a terminal, and the closing sentence.
#pragma once

#include <cstdio>
#include <string>

#include "core/output.h"
#include "lines/scan.h"

namespace host::lines {

// How many plain-block fields the table and CSV show (the three phase voltages).
inline constexpr std::size_t kScanShownFields = 3;

// Prints the meters found in one format; the table's or CSV's header comes before the first.
class ScanPrinter : public core::FormatPrinter<FoundMeter> {
public:
    explicit ScanPrinter(core::Format format, std::FILE* out = stdout)
        : FormatPrinter(format, out) {}

private:
    void PrintTable(const FoundMeter& meter) override;
    void PrintCsv(const FoundMeter& meter) override;
    void PrintJson(const FoundMeter& meter) override;
};

// "scan 9600 8N1  address 17  3 found  12/100  about 8 s left", without line control.
std::string ProgressText(const ScanProgress& progress);

// "3 meter(s) found in 700 probes at 7 line settings (interrupted)", each meter counted once
// (with --all, how many answers they gave across the settings), and on an echoing line how
// many probes heard nothing but their own request.
std::string ScanSummary(const ScanOutcome& outcome, std::size_t settings);

}  // namespace host::lines
