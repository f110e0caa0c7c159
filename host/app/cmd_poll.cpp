// `vpihost poll --port NAME --interval 1s [--count N | --duration T] GATE...`: reads every gate
// each cycle, as a host's scan does, until the count, the time or Ctrl-C (SIGTERM too) ends it,
// and sums up how the line behaved: results per gate, attempts per success, failure causes and
// latency. The port and its gates are a site of one line, polled by the site poller as
// `poll --config FILE` polls a site file, and printed in the same columns.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "core/durations.h"
#include "core/gate_problems.h"
#include "core/output.h"
#include "site/site_run.h"

namespace host::app {

namespace {

// The longest interval or run a poll takes from the command line: a year.
constexpr double kMaxPollTimeMs = 366.0 * 24 * 3600 * 1000;

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
    site::SiteRunOptions run;
    run.format = options.format;
    if (durationMs > 0) run.durationMs = durationMs;
    // Until Ctrl-C or SIGTERM unless a count or a time is given, as pollers do.
    if (options.count) run.cycles = *options.count;
    if (!options.config.empty()) {
        site::RunSiteFile(runtime, options.config, run);
        return;
    }
    if (options.line.port.empty() || options.gates.empty()) {
        std::fprintf(stderr, "vpihost: poll reads --port PORT GATE... or --config FILE\n");
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    if (!runtime.exit.Passed(core::LoadDriver(runtime))) return;
    core::ReadGates list = core::PrepareReadGates(
        runtime, options.gates, options.ex ? "--ex polls EX gates only" : nullptr, stderr);
    runtime.exit.Raise(list.exit);
    if (list.exit == core::kExitUsage || list.gates.empty()) return;
    run.openFirst = true;
    site::RunSite(runtime,
                  site::PortSite(options.line, std::move(list.gates), intervalMs, options.ex), run);
}

}  // namespace

void AddPollCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<PollOptions>(
        app, runtime, "poll",
        "Read gates every interval and sum up results, attempts, failures and latency", RunPoll);
    auto* port = core::AddPortOption(command, options.line.port, core::PortNameHelp());
    core::AddChannelOptions(command, options.line, false);
    auto* gates = command.add_option("GATE", options.gates, "gate address, optionally with :COUNT");
    auto* interval =
        command.add_option("--interval", options.interval, "time between cycles (500ms, 1s, ...)")
            ->capture_default_str()
            ->transform(core::DurationCheck(0, kMaxPollTimeMs, "", false));
    auto* count = command.add_option("--count", options.count, "number of cycles")
                      ->check(CLI::PositiveNumber);
    command.add_option("--duration", options.duration, "poll for this long (30s, 5m, ...)")
        ->transform(core::DurationCheck(1, kMaxPollTimeMs, "", false))
        ->excludes(count);
    auto* ex =
        command.add_flag("--ex", options.ex, "read EX gates with one exchange (operation 5)");
    command
        .add_option("--config", options.config,
                    "poll every line of a site file instead (gates and intervals from the file)")
        ->excludes(port)
        ->excludes(gates)
        ->excludes(interval)
        ->excludes(ex);
    core::AddFormatOptions(command, options.format);
}

}  // namespace host::app
