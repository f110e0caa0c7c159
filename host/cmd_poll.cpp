// `vpihost poll --port NAME --interval 1s [--count N | --duration T] GATE...`: reads every gate
// each cycle, as a host's scan does, and sums up how the line behaved: results per gate,
// attempts per success, failure causes and latency.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_setup.h"
#include "commands.h"
#include "durations.h"
#include "interrupt.h"
#include "output.h"
#include "platform.h"
#include "poll_site.h"
#include "reading.h"
#include "steps.h"
#include "time_stamps.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

struct PollOptions {
    LineOptions line;
    std::vector<std::string> gates;
    std::string interval = "1s";
    std::optional<long> count;
    std::optional<std::string> duration;
    bool ex = false;
    Format format = Format::Table;
    std::string config;  // a site file instead of --port and gates
};

struct GateStats {
    long results[3] = {0, 0, 0};
    long attemptsOfSuccesses = 0;
};

struct Summary {
    long cycles = 0;
    long exchanges = 0;
    std::map<std::string, GateStats> gates;
    LogTally failures;
    std::vector<double> latencies;
};

struct LatencyFigures {
    double min;
    double mean;
    double p95;
    double max;
};

// The figures of `latencies` (not empty).
LatencyFigures Figures(std::vector<double> latencies) {
    std::sort(latencies.begin(), latencies.end());
    double sum = 0;
    for (double v : latencies) sum += v;
    // The 95th percentile by the nearest-rank rule.
    const auto rank =
        static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(latencies.size())));
    return LatencyFigures{latencies.front(), sum / static_cast<double>(latencies.size()),
                          latencies[rank > 0 ? rank - 1 : 0], latencies.back()};
}

void PrintSummary(std::FILE* out, const Summary& summary, const std::vector<Gate>& gates,
                  bool interrupted) {
    std::fprintf(out, "summary%s: %ld cycle(s), %ld exchange(s)\n",
                 interrupted ? " (interrupted)" : "", summary.cycles, summary.exchanges);
    std::fprintf(out, "%-11s %6s %8s %7s  %s\n", "gate", "done", "refused", "failed",
                 "attempts per success");
    for (const Gate& gate : gates) {
        const auto found = summary.gates.find(gate.address);
        if (found == summary.gates.end()) continue;
        const GateStats& s = found->second;
        const std::string perSuccess =
            s.results[0] > 0 ? fmt::format("{:.2f}", static_cast<double>(s.attemptsOfSuccesses) /
                                                         static_cast<double>(s.results[0]))
                             : "-";
        std::fprintf(out, "%-11s %6ld %8ld %7ld  %s\n", gate.address.c_str(), s.results[0],
                     s.results[1], s.results[2], perSuccess.c_str());
    }
    std::fprintf(out, "failed attempts   no reply %d, checksum %d, conversion %d, other %d\n",
                 summary.failures.noReply, summary.failures.checksum, summary.failures.conversion,
                 summary.failures.other);
    if (!summary.latencies.empty()) {
        const LatencyFigures f = Figures(summary.latencies);
        std::fprintf(out, "latency ms        min %.1f, mean %.1f, p95 %.1f, max %.1f\n", f.min,
                     f.mean, f.p95, f.max);
    }
}

// The cycles of one poll on an open channel, and what they have seen.
class Poller {
public:
    Poller(Runtime& runtime, Channel& channel, std::vector<Gate>& gates, const PollOptions& options,
           double intervalMs, double durationMs)
        : runtime_(runtime),
          channel_(channel),
          gates_(gates),
          options_(options),
          intervalMs_(intervalMs),
          durationMs_(durationMs),
          printer_(options.format),
          table_(options.format == Format::Table),
          live_(table_ && platform::IsTerminal(stdout)) {}

    // Cycles until the count or the duration is reached or Ctrl-C comes; true on Ctrl-C.
    bool Run();
    // The last cycle's readings as a table (table format only), then the summary.
    void Finish(bool interrupted);

private:
    void ReadCycle(const InterruptWatch& watch);
    void Count(const Reading& reading);
    void PrintStatusLine() const;
    bool OutOfTime() const;
    void WaitForNextCycle(Clock::time_point cycleStart, const InterruptWatch& watch) const;

    Runtime& runtime_;
    Channel& channel_;
    std::vector<Gate>& gates_;
    const PollOptions& options_;
    double intervalMs_;
    double durationMs_;
    ReadingPrinter printer_;
    bool table_;
    bool live_;
    Clock::time_point start_ = Clock::now();
    Summary summary_;
    std::vector<Reading> last_;
};

bool Poller::Run() {
    // Ctrl-C ends the poll after the read under way, so the summary still comes.
    const InterruptWatch watch;
    const long cycles = options_.count ? *options_.count : options_.duration ? -1 : 1;
    while (!watch.Interrupted()) {
        const auto cycleStart = Clock::now();
        ReadCycle(watch);
        ++summary_.cycles;
        if (live_) PrintStatusLine();
        if (cycles > 0 && summary_.cycles >= cycles) break;
        if (OutOfTime()) break;
        WaitForNextCycle(cycleStart, watch);
        if (OutOfTime()) break;
    }
    return watch.Interrupted();
}

void Poller::ReadCycle(const InterruptWatch& watch) {
    last_.clear();
    for (Gate& gate : gates_) {
        if (watch.Interrupted()) break;
        LogTally tally;
        Reading reading = ReadGate(runtime_.driver, channel_, gate, options_.ex, &tally);
        summary_.failures += tally;
        Count(reading);
        runtime_.exit.Raise(ExitFor(reading.result));
        if (!table_) printer_.Print(reading);
        last_.push_back(std::move(reading));
    }
}

void Poller::Count(const Reading& reading) {
    ++summary_.exchanges;
    GateStats& stats = summary_.gates[reading.gate];
    if (reading.result >= 0 && reading.result <= 2) ++stats.results[reading.result];
    if (reading.result == VpiDone) {
        stats.attemptsOfSuccesses += reading.attempts;
        summary_.latencies.push_back(reading.latencyMs);
    }
}

void Poller::PrintStatusLine() const {
    std::string status = fmt::format("\r{} cycle {}:", Rfc3339Now().c_str(), summary_.cycles);
    for (const Reading& r : last_) {
        status += fmt::format(
            " {} {}", r.gate,
            r.result == 0 && !r.values.empty() ? FormatValue(r.values[0]) : ResultName(r.result));
    }
    std::fprintf(stdout, "%s\x1b[K", status.c_str());
    std::fflush(stdout);
}

bool Poller::OutOfTime() const {
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    return options_.duration && elapsedMs >= durationMs_;
}

// Waits out the rest of the interval in short steps so that Ctrl-C is seen at once.
void Poller::WaitForNextCycle(Clock::time_point cycleStart, const InterruptWatch& watch) const {
    const auto next = cycleStart + std::chrono::duration<double, std::milli>(intervalMs_);
    while (!watch.Interrupted() && Clock::now() < next && !OutOfTime()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Poller::Finish(bool interrupted) {
    if (live_) std::fprintf(stdout, "\n");
    if (table_) {
        for (const Reading& r : last_) printer_.Print(r);
    }
    // The summary goes with the table on stdout; beside CSV or JSON it goes to stderr.
    PrintSummary(table_ ? stdout : stderr, summary_, gates_, interrupted);
}

void PollGates(Runtime& runtime, const PollOptions& options, std::vector<Gate>& gates,
               double intervalMs, double durationMs) {
    Channel channel;
    if (!OpenLine(runtime, channel, options.line, NotesStream(options.format))) return;
    Poller poller(runtime, channel, gates, options, intervalMs, durationMs);
    const bool interrupted = poller.Run();
    CloseLine(runtime, channel);
    poller.Finish(interrupted);
}

void RunPoll(Runtime& runtime, const PollOptions& options) {
    const double intervalMs = ParseDurationMs(options.interval);
    const double durationMs = options.duration ? ParseDurationMs(*options.duration) : 0;
    if (intervalMs < 0 || durationMs < 0 || (options.count && *options.count < 1)) {
        std::fprintf(stderr,
                     "vpihost: --interval and --duration take a time such as 500ms, 1s, 2m; "
                     "--count at least 1\n");
        runtime.exit.Raise(kExitUsage);
        return;
    }
    if (!options.config.empty()) {
        PollSite(runtime, options.config, options.format, durationMs);
        return;
    }
    if (options.line.port.empty() || options.gates.empty()) {
        std::fprintf(stderr, "vpihost: poll reads --port PORT GATE... or --config FILE\n");
        runtime.exit.Raise(kExitUsage);
        return;
    }
    if (!runtime.exit.Passed(LoadDriver(runtime))) return;
    ReadGates list = PrepareReadGates(runtime, options.gates,
                                      options.ex ? "--ex polls EX gates only" : nullptr, stderr);
    runtime.exit.Raise(list.exit);
    if (list.exit == kExitUsage || list.gates.empty()) return;
    PollGates(runtime, options, list.gates, intervalMs, durationMs);
}

}  // namespace

void AddPollCommand(CLI::App& app, Runtime& runtime) {
    auto [command, options] = AddCommand<PollOptions>(
        app, runtime, "poll",
        "Read gates every interval and sum up results, attempts, failures and latency", RunPoll);
    auto* port = command.add_option("--port", options.line.port, PortNameHelp());
    AddLineOptions(command, options.line, false);
    auto* gates = command.add_option("GATE", options.gates, "gate address, optionally with :COUNT");
    auto* interval =
        command.add_option("--interval", options.interval, "time between cycles (500ms, 1s, ...)")
            ->capture_default_str();
    auto* count = command.add_option("--count", options.count, "number of cycles");
    command.add_option("--duration", options.duration, "poll for this long (30s, 5m, ...)")
        ->excludes(count);
    auto* ex =
        command.add_flag("--ex", options.ex, "read EX gates with one exchange (operation 5)");
    command
        .add_option("--config", options.config,
                    "poll every line of a site file instead (gates and intervals from the file)")
        ->excludes(port)
        ->excludes(gates)
        ->excludes(interval)
        ->excludes(count)
        ->excludes(ex);
    AddFormatOptions(command, options.format);
}

}  // namespace host
