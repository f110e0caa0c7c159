// `vpihost scan --port NAME`: finds the meters on a line. Probes PLC addresses at one or more
// line settings with a plain-block request each, through the serial and protocol layers
// directly, and lists every meter that answered with a verified reply.
#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <string>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "core/interrupt.h"
#include "core/output.h"
#include "lines/scan_report.h"
#include "platform/system_calls.h"

namespace host::app {

namespace {

struct ScanOptions {
    std::string port;
    lines::ScanListOptions lists;
    std::int64_t timeoutMs = 100;
    bool all = false;
    bool first = false;
    core::Format format = core::Format::Table;
};

constexpr std::int64_t kMaxProbeTimeoutMs = 10000;

// The lists of what to probe, in the order --help shows them.
constexpr std::array<TextOption<lines::ScanListOptions>, 5> kListOptions{{
    {"--addresses", &lines::ScanListOptions::addresses, "PLC addresses: 1-20,42"},
    {"--baud", &lines::ScanListOptions::baud, "rates: 9600,19200, or auto (1200-57600)"},
    {"--parity", &lines::ScanListOptions::parity, "none|odd|even|mark|space, a list, or auto"},
    {"--data", &lines::ScanListOptions::data, "data bits: 8, a list, or auto"},
    {"--stop", &lines::ScanListOptions::stop, "stop bits: 1|1.5|2, a list, or auto"},
}};

// The progress line on stderr (a terminal), rewritten in place; cleared before a result.
class ProgressLine {
public:
    explicit ProgressLine(bool live) : live_(live) {}
    void Show(const lines::ScanProgress& progress) {
        if (!live_) return;
        std::fprintf(stderr, "\r%s\x1b[K", lines::ProgressText(progress).c_str());
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

void SayRefusedSettings(const lines::ScanOutcome& outcome, const std::string& port) {
    for (const auto& [line, result] : outcome.refused) {
        if (lines::PortUnusable(result)) {
            std::fprintf(stderr, "vpihost: %s\n", lines::OpenFailureText(port, result).c_str());
            continue;
        }
        std::fprintf(stderr, "vpihost: %s %s at %s: not scanned\n", port.c_str(),
                     lines::SerialResultText(result), lines::ShortLineText(line).c_str());
    }
}

void RunScanCommand(core::Runtime& runtime, const ScanOptions& options) {
    std::string error;
    const std::optional<lines::ScanPlan> plan = lines::MakeScanPlan(options.lists, &error);
    if (!plan || options.timeoutMs < 1 || options.timeoutMs > kMaxProbeTimeoutMs) {
        std::fprintf(stderr, "vpihost: %s\n",
                     plan ? "--timeout takes 1 to 10000 ms" : error.c_str());
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    std::fprintf(stderr,
                 "note: a scan sends requests as a master does; stop any other master on this "
                 "line first, or both will garble each other's requests\n");
    runtime.driver.Log().ShowRts(core::RtsLines::FirstOfEach);
    const lines::ScanSettings settings{options.port, *plan, options.timeoutMs, options.all,
                                       options.first};
    ProgressLine progress(platform::IsTerminal(stderr));
    lines::ScanPrinter printer(options.format);
    lines::ScanObserver observer;
    observer.probing = [&progress](const lines::ScanProgress& p) { progress.Show(p); };
    observer.found = [&](const lines::FoundMeter& meter) {
        progress.Clear();
        printer.Print(meter);
    };
    const core::InterruptWatch watch;
    const lines::ScanOutcome outcome =
        lines::RunScan(settings, observer, [&watch] { return watch.Interrupted(); });
    progress.Clear();
    SayRefusedSettings(outcome, options.port);
    std::fprintf(core::NotesStream(options.format), "%s\n",
                 lines::ScanSummary(outcome, plan->lines.size()).c_str());
    core::ReportHiddenRtsLines(runtime);
    runtime.exit.Raise(outcome.found.empty() ? core::kExitFailed : core::kExitOk);
}

}  // namespace

void AddScanCommand(CLI::App& app, core::Runtime& runtime) {
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
    core::AddFormatOptions(command, options.format);
}

}  // namespace host::app
