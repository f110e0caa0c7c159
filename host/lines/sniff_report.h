// What sniff says: one line (or JSON object) per record, in the vocabulary of metersim's
// events, and the summary per meter.
#pragma once

#include <cstdio>
#include <map>
#include <string>

#include "core/output.h"
#include "lines/sniffer.h"

namespace host::lines {

class SniffPrinter {
public:
    // `raw`: the bytes of requests, replies and noise too.
    SniffPrinter(core::Format format, bool raw, std::FILE* out = stdout)
        : format_(format), raw_(raw), out_(out) {}
    void Print(const SniffRecord& record);

private:
    void PrintLine(const SniffRecord& record);
    void PrintJson(const SniffRecord& record);

    core::Format format_;
    bool raw_;
    std::FILE* out_;
    bool headerDone_ = false;
};

// The summary per meter: exchanges, unanswered requests, checksum failures, late replies and
// reply time p50/p95/max.
void PrintSniffSummary(std::FILE* out, const std::map<int, MeterFigures>& figures,
                       bool interrupted);

}  // namespace host::lines
