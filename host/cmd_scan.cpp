// `vpihost scan --port NAME`: finds the meters on a line. Probes PLC addresses at one or more
// line settings with a plain-block request each, through the serial and protocol layers
// directly, and lists every meter that answered with a verified reply.
#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <string>

#include "command_setup.h"
#include "commands.h"
#include "interrupt.h"
#include "output.h"
#include "platform.h"
#include "scan_report.h"
#include "steps.h"

namespace host {

namespace {

struct ScanOptions {
    std::string port;
    ScanListOptions lists;
    std::int64_t timeoutMs = 100;
    bool all = false;
    bool first = false;
    Format format = Format::Table;
};

constexpr std::int64_t kMaxProbeTimeoutMs = 10000;

// The lists of what to probe, in the order --help shows them.
constexpr std::array<TextOption<ScanListOptions>, 5> kListOptions{{
    {"--addresses", &ScanListOptions::addresses, "PLC addresses: 1-20,42"},
    {"--baud", &ScanListOptions::baud, "rates: 9600,19200, or auto (1200-57600)"},
    {"--parity", &ScanListOptions::parity, "none|odd|even|mark|space, a list, or auto"},
    {"--data", &ScanListOptions::data, "data bits: 8, a list, or auto"},
    {"--stop", &ScanListOptions::stop, "stop bits: 1|1.5|2, a list, or auto"},
}};

// The progress line on stderr (a terminal), rewritten in place; cleared before a result.
class ProgressLine {
public:
    explicit ProgressLine(bool live) : live_(live) {}
    void Show(const ScanProgress& progress) {
        if (!live_) return;
        std::fprintf(stderr, "\r%s\x1b[K", ProgressText(progress).c_str());
        std::fflush(stderr);
    }
    void Clear() {
        if (!live_) return;
        std::fprintf(stderr, "\r\x1b[K");
        std::fflush(stderr);
    }

private:
    bool live_;
};

void SayRefusedSettings(const ScanOutcome& outcome, const std::string& port) {
    for (const auto& [line, result] : outcome.refused) {
        std::fprintf(stderr, "vpihost: %s %s at %s: not scanned\n", port.c_str(),
                     SerialResultText(result), ShortLineText(line).c_str());
    }
}

void RunScanCommand(Runtime& runtime, const ScanOptions& options) {
    std::string error;
    const std::optional<ScanPlan> plan = MakeScanPlan(options.lists, &error);
    if (!plan || options.timeoutMs < 1 || options.timeoutMs > kMaxProbeTimeoutMs) {
        std::fprintf(stderr, "vpihost: %s\n",
                     plan ? "--timeout takes 1 to 10000 ms" : error.c_str());
        runtime.exit.Raise(kExitUsage);
        return;
    }
    std::fprintf(stderr,
                 "note: a scan sends requests as a master does; stop any other master on this "
                 "line first, or both will garble each other's requests\n");
    runtime.driver.Log().ShowRts(RtsLines::FirstOfEach);
    const ScanSettings settings{options.port, *plan, options.timeoutMs, options.all, options.first};
    ProgressLine progress(platform::IsTerminal(stderr));
    ScanPrinter printer(options.format);
    ScanObserver observer;
    observer.probing = [&progress](const ScanProgress& p) { progress.Show(p); };
    observer.found = [&](const FoundMeter& meter) {
        progress.Clear();
        printer.Print(meter);
    };
    const InterruptWatch watch;
    const ScanOutcome outcome =
        RunScan(settings, observer, [&watch] { return watch.Interrupted(); });
    progress.Clear();
    SayRefusedSettings(outcome, options.port);
    std::fprintf(NotesStream(options.format), "%s\n",
                 ScanSummary(outcome, plan->lines.size()).c_str());
    ReportHiddenRtsLines(runtime);
    runtime.exit.Raise(outcome.found.empty() ? kExitFailed : kExitOk);
}

}  // namespace

void AddScanCommand(CLI::App& app, Runtime& runtime) {
    auto [command, options] = AddCommand<ScanOptions>(
        app, runtime, "scan",
        "Find the meters on a line: probe PLC addresses at line settings (a master)",
        RunScanCommand);
    command.add_option("--port", options.port, "the serial port (as the driver takes it)")
        ->required();
    AddTextOptions(command, options.lists, kListOptions);
    command
        .add_option("--timeout", options.timeoutMs, "time-out per probe in ms (rounded up to 10)")
        ->capture_default_str();
    command.add_flag("--all", options.all, "probe meters found again at the other settings");
    command.add_flag("--first", options.first, "stop at the first meter found");
    AddFormatOptions(command, options.format);
}

}  // namespace host
