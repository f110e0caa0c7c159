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

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/durations.h"
#include "core/interrupt.h"
#include "core/output.h"
#include "platform/system_calls.h"
#include "site/site_run.h"
#include "core/reading.h"
#include "core/driver_steps.h"
#include "core/gate_problems.h"
#include "time_stamp.h"

namespace host::app {

namespace {

using Clock = std::chrono::steady_clock;

struct PollOptions {
    core::ChannelOptions line;
    std::vector<std::string> gates;
    std::string interval = "1s";
    std::optional<long> count;
    std::optional<std::string> duration;
    bool ex = false;
    core::Format format = core::Format::Table;
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
    core::LogTally failures;
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

void PrintSummary(std::FILE* out, const Summary& summary, const std::vector<core::Gate>& gates,
                  bool interrupted) {
    std::fprintf(out, "summary%s: %ld cycle(s), %ld exchange(s)\n",
                 interrupted ? " (interrupted)" : "", summary.cycles, summary.exchanges);
    std::fprintf(out, "%-11s %6s %8s %7s  %s\n", "gate", "done", "refused", "failed",
                 "attempts per success");
    for (const core::Gate& gate : gates) {
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
    Poller(core::Runtime& runtime, core::Channel& channel, std::vector<core::Gate>& gates, const PollOptions& options,
           double intervalMs, double durationMs)
        : runtime_(runtime),
          channel_(channel),
          gates_(gates),
          options_(options),
          intervalMs_(intervalMs),
          durationMs_(durationMs),
          printer_(options.format),
          table_(options.format == core::Format::Table),
          live_(table_ && platform::IsTerminal(stdout)) {}

    // Cycles until the count or the duration is reached or Ctrl-C comes; true on Ctrl-C.
    bool Run();
    // The last cycle's readings as a table (table format only), then the summary.
    void Finish(bool interrupted);

private:
    void ReadCycle(const core::InterruptWatch& watch);
    void Count(const core::Reading& reading);
    void PrintStatusLine() const;
    bool OutOfTime() const;
    void WaitForNextCycle(Clock::time_point cycleStart, const core::InterruptWatch& watch) const;

    core::Runtime& runtime_;
    core::Channel& channel_;
    std::vector<core::Gate>& gates_;
    const PollOptions& options_;
    double intervalMs_;
    double durationMs_;
    core::ReadingPrinter printer_;
    bool table_;
    bool live_;
    Clock::time_point start_ = Clock::now();
    Summary summary_;
    std::vector<core::Reading> last_;
};

bool Poller::Run() {
    // Ctrl-C ends the poll after the read under way, so the summary still comes.
    const core::InterruptWatch watch;
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

void Poller::ReadCycle(const core::InterruptWatch& watch) {
    last_.clear();
    for (core::Gate& gate : gates_) {
        if (watch.Interrupted()) break;
        core::LogTally tally;
        core::Reading reading = core::ReadGate(runtime_.driver, channel_, gate, options_.ex, &tally);
        summary_.failures += tally;
        Count(reading);
        runtime_.exit.Raise(core::ExitFor(reading.result));
        if (!table_) printer_.Print(reading);
        last_.push_back(std::move(reading));
    }
}

void Poller::Count(const core::Reading& reading) {
    ++summary_.exchanges;
    GateStats& stats = summary_.gates[reading.gate];
    if (reading.result >= 0 && reading.result <= 2) ++stats.results[reading.result];
    if (reading.result == VpiDone) {
        stats.attemptsOfSuccesses += reading.attempts;
        summary_.latencies.push_back(reading.latencyMs);
    }
}

void Poller::PrintStatusLine() const {
    std::string status = fmt::format("\r{} cycle {}:", timestamp::Rfc3339Now().c_str(), summary_.cycles);
    for (const core::Reading& r : last_) {
        status += fmt::format(
            " {} {}", r.gate,
            r.result == 0 && !r.values.empty() ? core::FormatValue(r.values[0]) : core::ResultName(r.result));
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
void Poller::WaitForNextCycle(Clock::time_point cycleStart, const core::InterruptWatch& watch) const {
    const auto next = cycleStart + std::chrono::duration<double, std::milli>(intervalMs_);
    while (!watch.Interrupted() && Clock::now() < next && !OutOfTime()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Poller::Finish(bool interrupted) {
    if (live_) std::fprintf(stdout, "\n");
    if (table_) {
        for (const core::Reading& r : last_) printer_.Print(r);
    }
    // The summary goes with the table on stdout; beside CSV or JSON it goes to stderr.
    PrintSummary(table_ ? stdout : stderr, summary_, gates_, interrupted);
}

void PollGates(core::Runtime& runtime, const PollOptions& options, std::vector<core::Gate>& gates,
               double intervalMs, double durationMs) {
    core::Channel channel;
    if (!core::OpenLine(runtime, channel, options.line, core::NotesStream(options.format))) return;
    Poller poller(runtime, channel, gates, options, intervalMs, durationMs);
    const bool interrupted = poller.Run();
    core::CloseLine(runtime, channel);
    poller.Finish(interrupted);
}

void RunPoll(core::Runtime& runtime, const PollOptions& options) {
    const double intervalMs = core::ParseDurationMs(options.interval);
    const double durationMs = options.duration ? core::ParseDurationMs(*options.duration) : 0;
    if (intervalMs < 0 || durationMs < 0 || (options.count && *options.count < 1)) {
        std::fprintf(stderr,
                     "vpihost: --interval and --duration take a time such as 500ms, 1s, 2m; "
                     "--count at least 1\n");
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    if (!options.config.empty()) {
        site::RunSite(runtime, options.config, options.format, durationMs);
        return;
    }
    if (options.line.port.empty() || options.gates.empty()) {
        std::fprintf(stderr, "vpihost: poll reads --port PORT GATE... or --config FILE\n");
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    if (!runtime.exit.Passed(core::LoadDriver(runtime))) return;
    core::ReadGates list = core::PrepareReadGates(runtime, options.gates,
                                      options.ex ? "--ex polls EX gates only" : nullptr, stderr);
    runtime.exit.Raise(list.exit);
    if (list.exit == core::kExitUsage || list.gates.empty()) return;
    PollGates(runtime, options, list.gates, intervalMs, durationMs);
}

}  // namespace

void AddPollCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<PollOptions>(
        app, runtime, "poll",
        "Read gates every interval and sum up results, attempts, failures and latency", RunPoll);
    auto* port = command.add_option("--port", options.line.port, core::PortNameHelp());
    core::AddChannelOptions(command, options.line, false);
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
    core::AddFormatOptions(command, options.format);
}

}  // namespace host::app
