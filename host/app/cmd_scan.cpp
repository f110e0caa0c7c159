// `vpihost scan --port NAME`: finds the meters on a line. Probes PLC addresses at one or more
// line settings with a plain-block request each, through the serial and protocol layers
// directly, and lists every meter that answered with a verified reply.
#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <string>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/channel_options.h"
#include "core/driver_steps.h"
#include "core/interrupt.h"
#include "core/non_copyable.h"
#include "core/output.h"
#include "lines/scan_plan.h"
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

// The progress line on stderr (a terminal), rewritten in place; cleared before anything else is
// written, a result, a warning or a line of the log, so that nothing runs into it.
class ProgressLine : core::NonCopyable {
public:
    ProgressLine(bool live, core::DriverLog& log) : live_(live), log_(log) {
        if (live_) log_.BeforeEachLine([this] { Clear(); });
    }
    ~ProgressLine() {
        if (live_) log_.BeforeEachLine(nullptr);
    }
    void Show(const lines::ScanProgress& progress) {
        if (!live_) return;
        std::fprintf(stderr, "\r%s\x1b[K", lines::ProgressText(progress).c_str());
        std::fflush(stderr);
        shown_ = true;
    }
    void Clear() {
        if (!live_ || !shown_) return;
        std::fprintf(stderr, "\r\x1b[K");
        std::fflush(stderr);
        shown_ = false;
    }

private:
    bool live_;
    core::DriverLog& log_;
    bool shown_ = false;
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
    ProgressLine progress(platform::IsTerminal(stderr), runtime.driver.Log());
    lines::ScanPrinter printer(options.format);
    lines::ScanObserver observer;
    observer.probing = [&progress](const lines::ScanProgress& p) { progress.Show(p); };
    observer.found = [&](const lines::FoundMeter& meter) {
        progress.Clear();
        printer.Print(meter);
    };
    // Said as soon as it is known: every later probe of an absent address will only hear itself,
    // and a meter's reply comes behind its request's echo.
    observer.echoing = [&progress] {
        progress.Clear();
        std::fprintf(stderr,
                     "warning: the line echoes requests (an adapter without echo suppression): "
                     "the scan passes over the echoes, a host's driver does the same\n");
    };
    const core::InterruptWatch watch;
    const lines::ScanOutcome outcome =
        lines::RunScan(settings, observer, [&watch] { return watch.Interrupted(); });
    progress.Clear();
    SayRefusedSettings(outcome, options.port);
    std::fprintf(core::NotesStream(options.format), "%s\n",
                 lines::ScanSummary(outcome, plan->lines.size()).c_str());
    core::ReportHiddenRtsLines(runtime);
    if (outcome.interrupted) {
        std::fprintf(stderr,
                     "vpihost: scan interrupted: the meters above are those found so far\n");
        runtime.exit.Raise(core::kExitInterrupted);
        return;
    }
    runtime.exit.Raise(outcome.found.empty() ? core::kExitFailed : core::kExitOk);
}

}  // namespace

void AddScanCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<ScanOptions>(
        app, runtime, "scan",
        "Find the meters on a line: probe PLC addresses at line settings (a master)",
        RunScanCommand);
    core::AddPortOption(command, options.port, "the serial port (as the driver takes it)", false)
        ->required();
    command.add_option("--addresses", options.lists.addresses, "PLC addresses: 1-20,42")
        ->check(CLI::Validator(lines::AddressListProblem, "LIST"))
        ->capture_default_str();
    lines::ScanListOptions& lists = options.lists;
    core::AddLineTextOptions(command, lists.baud, lists.data, lists.parity, lists.stop, true);
    core::AddTimeoutOption(command, options.timeoutMs,
                           "time-out per probe: 100ms, 1s; a bare number is ms; rounded up to "
                           "10 ms")
        ->capture_default_str();
    auto* all =
        command.add_flag("--all", options.all, "probe meters found again at the other settings");
    command.add_flag("--first", options.first, "stop at the first meter found")->excludes(all);
    core::AddFormatOptions(
        command, options.format,
        {"CSV: one row per meter found: address, line setting, reply time, first values",
         "JSON lines: one object per meter found, with the same fields"});
}

}  // namespace host::app
