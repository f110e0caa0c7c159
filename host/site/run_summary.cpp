// The summary of a site run, per meter and per line.
#include "site/run_summary.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>

namespace host::site {

namespace {

std::int64_t Reads(const GateStatus& gate) {
    return gate.results[0] + gate.results[1] + gate.results[2];
}

std::int64_t Exchanges(const SiteStatus& status) {
    std::int64_t reads = 0;
    for (const LineStatus& line : status.lines) reads += line.reads;
    return reads;
}

// "2.00" attempts per successful read, "-" when none succeeded.
std::string AttemptsPerSuccess(const GateStatus& gate) {
    if (gate.results[0] == 0) return "-";
    return fmt::format("{:.2f}", static_cast<double>(gate.attemptsOfSuccesses) /
                                     static_cast<double>(gate.results[0]));
}

void PrintGates(std::FILE* out, const MeterStatus& meter) {
    std::fprintf(out, "%-11s %6s %8s %7s  %s\n", "gate", "done", "refused", "failed",
                 "attempts per success");
    for (const GateStatus& gate : meter.gates) {
        if (Reads(gate) == 0) continue;
        std::fprintf(out, "%-11s %6lld %8lld %7lld  %s\n", gate.address.c_str(),
                     static_cast<long long>(gate.results[0]),
                     static_cast<long long>(gate.results[1]),
                     static_cast<long long>(gate.results[2]), AttemptsPerSuccess(gate).c_str());
    }
}

// What the failed attempts of the meter's reads met, and how long its successful reads took.
void PrintAttempts(std::FILE* out, const MeterStatus& meter) {
    core::LogTally failures;
    SuccessTimes times;
    for (const GateStatus& gate : meter.gates) {
        failures += gate.failures;
        times.Merge(gate.successTimes);
    }
    std::fprintf(out, "failed attempts   no reply %d, checksum %d, conversion %d, other %d\n",
                 failures.noReply, failures.checksum, failures.conversion, failures.other);
    if (times.count == 0) return;
    std::fprintf(out, "latency ms        min %.1f, mean %.1f, max %.1f\n", times.minMs,
                 times.sumMs / static_cast<double>(times.count), times.maxMs);
}

void PrintLine(std::FILE* out, const LineStatus& line) {
    for (const MeterStatus& meter : line.meters) {
        std::fprintf(out, "meter %s on line %s: %s\n", meter.name.c_str(), line.name.c_str(),
                     MeterHealthName(meter.health));
        PrintGates(out, meter);
        PrintAttempts(out, meter);
    }
    const double meanLag = line.reads > 0 ? line.lagSumMs / static_cast<double>(line.reads) : 0;
    std::fprintf(out,
                 "line %s: %lld read(s), port opened %lld time(s), lag mean %.1f ms, "
                 "max %.1f ms, %lld missed slot(s)\n",
                 line.name.c_str(), static_cast<long long>(line.reads),
                 static_cast<long long>(line.opens), meanLag, line.maxLagMs,
                 static_cast<long long>(line.missedSlots));
}

}  // namespace

long CompletedCycles(const SiteStatus& status) {
    long completed = 0;
    bool first = true;
    for (const LineStatus& line : status.lines) {
        for (const MeterStatus& meter : line.meters) {
            for (const GateStatus& gate : meter.gates) {
                const long reads = static_cast<long>(Reads(gate));
                completed = first ? reads : std::min(completed, reads);
                first = false;
            }
        }
    }
    return completed;
}

void PrintRunSummary(std::FILE* out, const SiteStatus& status, bool interrupted) {
    std::fprintf(out, "summary%s: %ld cycle(s), %lld exchange(s)\n",
                 interrupted ? " (interrupted)" : "", CompletedCycles(status),
                 static_cast<long long>(Exchanges(status)));
    for (const LineStatus& line : status.lines) PrintLine(out, line);
}

}  // namespace host::site
