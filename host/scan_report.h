// What a scan says: the meters found as a table, CSV or JSON lines, the live progress line
// for a terminal, and the closing sentence.
#pragma once

#include <cstdio>
#include <string>

#include "output.h"
#include "scan.h"

namespace host {

// How many plain-block fields the table and CSV show (the three phase voltages).
inline constexpr std::size_t kScanShownFields = 3;

class ScanPrinter {
public:
    explicit ScanPrinter(Format format, std::FILE* out = stdout) : format_(format), out_(out) {}
    // One meter, as it is found; the table's or CSV's header comes before the first.
    void Print(const FoundMeter& meter);

private:
    void PrintTableRow(const FoundMeter& meter);
    void PrintCsvRow(const FoundMeter& meter);
    void PrintJsonLine(const FoundMeter& meter);

    Format format_;
    std::FILE* out_;
    bool headerDone_ = false;
};

// "scan 9600 8N1  address 17  3 found  12/100  about 8 s left", without line control.
std::string ProgressText(const ScanProgress& progress);

// "3 meter(s) found in 700 probes at 7 line settings (interrupted)".
std::string ScanSummary(const ScanOutcome& outcome, std::size_t settings);

}  // namespace host
