// `vpihost poll --port NAME --interval 1s [--count N | --duration T] GATE...`: reads every gate
// each cycle, as a host's scan does, and sums up how the line behaved: results per gate,
// attempts per success, failure causes and latency.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gates.h"
#include "host.h"
#include "output.h"

#if defined(_WIN32)
#include <io.h>
#define VPI_ISATTY _isatty
#define VPI_FILENO _fileno
#else
#include <unistd.h>
#define VPI_ISATTY isatty
#define VPI_FILENO fileno
#endif

namespace host {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

struct PollOptions {
    LineOptions line;
    std::vector<std::string> gates;
    std::string interval = "1s";
    std::optional<long> count;
    std::optional<std::string> duration;
    bool ex = false;
    Format format = Format::Table;
};

// "250ms", "1s", "1.5s", "2m", or a bare number of seconds; negative: not a duration.
double ParseDurationMs(const std::string& text) {
    std::size_t used = 0;
    double number = 0;
    try {
        number = std::stod(text, &used);
    } catch (const std::exception&) {
        return -1;
    }
    const std::string unit = text.substr(used);
    double factor = 0;
    if (unit.empty() || unit == "s") {
        factor = 1000;
    } else if (unit == "ms") {
        factor = 1;
    } else if (unit == "m" || unit == "min") {
        factor = 60000;
    } else if (unit == "h") {
        factor = 3600000;
    } else {
        return -1;
    }
    if (!(number >= 0) || !std::isfinite(number)) return -1;
    return number * factor;
}

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

void Add(LogTally& total, const LogTally& more) {
    total.failedAttempts += more.failedAttempts;
    total.noReply += more.noReply;
    total.checksum += more.checksum;
    total.conversion += more.conversion;
    total.other += more.other;
    total.rts += more.rts;
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
        std::vector<double> sorted = summary.latencies;
        std::sort(sorted.begin(), sorted.end());
        double sum = 0;
        for (double v : sorted) sum += v;
        // The 95th percentile by the nearest-rank rule.
        const auto rank =
            static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(sorted.size())));
        std::fprintf(out, "latency ms        min %.1f, mean %.1f, p95 %.1f, max %.1f\n",
                     sorted.front(), sum / static_cast<double>(sorted.size()),
                     sorted[rank > 0 ? rank - 1 : 0], sorted.back());
    }
}

void RunPoll(Runtime& runtime, const PollOptions& options) {
    const double intervalMs = ParseDurationMs(options.interval);
    const double durationMs = options.duration ? ParseDurationMs(*options.duration) : 0;
    if (intervalMs < 0 || durationMs < 0 || (options.count && *options.count < 1)) {
        std::fprintf(stderr,
                     "vpihost: --interval and --duration take a time such as 500ms, 1s, 2m; "
                     "--count at least 1\n");
        RaiseExit(runtime, kExitUsage);
        return;
    }
    if (!runtime.LoadDriver()) return;
    std::vector<Gate> gates;
    for (const std::string& gateText : options.gates) {
        if (auto gate = PrepareReadGate(runtime, gateText)) gates.push_back(std::move(*gate));
    }
    if (runtime.exitCode == kExitUsage || gates.empty()) return;
    if (options.ex) {
        for (const Gate& gate : gates) {
            if (gate.memtype != MEMTYPE_EX) {
                std::fprintf(stderr, "vpihost: --ex polls EX gates only; \"%s\" is not one\n",
                             gate.address.c_str());
                RaiseExit(runtime, kExitUsage);
                return;
            }
        }
    }

    const bool table = options.format == Format::Table;
    HideRepeatedRtsLines();
    Channel channel;
    if (!channel.Open(runtime, options.line, table ? stdout : stderr)) return;

    // Ctrl-C ends the poll after the read under way, so the summary still comes.
    gInterrupted = 0;
    auto previous = std::signal(SIGINT, OnInterrupt);
    const bool live = table && VPI_ISATTY(VPI_FILENO(stdout));
    ReadingPrinter printer(options.format);
    Summary summary;
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [&start] {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    };
    const long cycles = options.count ? *options.count : options.duration ? -1 : 1;
    std::vector<Reading> last;
    while (!gInterrupted) {
        const auto cycleStart = std::chrono::steady_clock::now();
        last.clear();
        for (Gate& gate : gates) {
            if (gInterrupted) break;
            LogTally tally;
            Reading reading = ReadGate(runtime, channel, gate, options.ex, &tally);
            ++summary.exchanges;
            Add(summary.failures, tally);
            GateStats& stats = summary.gates[gate.address];
            if (reading.result >= 0 && reading.result <= 2) ++stats.results[reading.result];
            if (reading.result == VpiDone) {
                stats.attemptsOfSuccesses += reading.attempts;
                summary.latencies.push_back(reading.latencyMs);
            }
            if (reading.result == VpiRefused) RaiseExit(runtime, kExitRefused);
            if (reading.result == VpiFailed) RaiseExit(runtime, kExitFailed);
            if (!table) printer.Print(reading);
            last.push_back(std::move(reading));
        }
        ++summary.cycles;
        if (live) {
            std::string status = fmt::format("\r{} cycle {}:", Rfc3339Now(), summary.cycles);
            for (const Reading& r : last) {
                status += fmt::format(" {} {}", r.gate,
                                      r.result == 0 && !r.values.empty() ? FormatValue(r.values[0])
                                                                         : ResultName(r.result));
            }
            std::fprintf(stdout, "%s\x1b[K", status.c_str());
            std::fflush(stdout);
        }
        if (cycles > 0 && summary.cycles >= cycles) break;
        if (options.duration && elapsedMs() >= durationMs) break;
        // Wait out the rest of the interval in short steps so that Ctrl-C is seen at once.
        const auto next = cycleStart + std::chrono::duration<double, std::milli>(intervalMs);
        while (!gInterrupted && std::chrono::steady_clock::now() < next &&
               !(options.duration && elapsedMs() >= durationMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (options.duration && elapsedMs() >= durationMs) break;
    }
    std::signal(SIGINT, previous);
    static_cast<void>(channel.Close());
    ReportHiddenRtsLines(runtime);
    if (live) std::fprintf(stdout, "\n");
    if (table) {
        for (const Reading& r : last) printer.Print(r);
    }
    // The summary goes with the table on stdout; beside CSV or JSON it goes to stderr.
    PrintSummary(table ? stdout : stderr, summary, gates, gInterrupted != 0);
}

void AddPollCommand(CLI::App& app, Runtime& runtime) {
    auto options = std::make_shared<PollOptions>();
    auto* command = app.add_subcommand(
        "poll", "Read gates every interval and sum up results, attempts, failures and latency");
    AddLineOptions(*command, options->line, true);
    command->add_option("GATE", options->gates, "gate address, optionally with :COUNT")->required();
    command->add_option("--interval", options->interval, "time between cycles (500ms, 1s, ...)")
        ->capture_default_str();
    auto* count = command->add_option("--count", options->count, "number of cycles");
    command->add_option("--duration", options->duration, "poll for this long (30s, 5m, ...)")
        ->excludes(count);
    command->add_flag("--ex", options->ex, "read EX gates with one exchange (operation 5)");
    AddFormatOptions(*command, options->format);
    command->callback([&runtime, options] { RunPoll(runtime, *options); });
}

}  // namespace

const bool kRegistered = RegisterCommand(60, AddPollCommand);

}  // namespace host
