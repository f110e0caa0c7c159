// Polling a whole site from the command line: the site poller with a printing sink.
#include "site/site_run.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "core/interrupt.h"
#include "site/site_poller.h"
#include "core/driver_steps.h"
#include "site/site_loading.h"
#include "core/gate_problems.h"

namespace host::site {

namespace {

// The readings of all lines, printed one at a time and counted into the exit status.
class SitePrinter {
public:
    SitePrinter(core::Runtime& runtime, core::Format format) : runtime_(runtime), printer_(format) {}

    void Print(const core::Reading& reading) {
        std::lock_guard lock(mutex_);
        runtime_.exit.Raise(core::ExitFor(reading.result));
        printer_.Print(reading);
        std::fflush(stdout);
    }

private:
    core::Runtime& runtime_;
    core::ReadingPrinter printer_;
    std::mutex mutex_;
};

void PrintSiteSummary(std::FILE* out, const SiteStatus& status, bool interrupted) {
    std::fprintf(out, "summary%s\n", interrupted ? " (interrupted)" : "");
    std::fprintf(out, "%-12s %-12s %-11s %6s %8s %7s %9s  %s\n", "line", "meter", "gate", "done",
                 "refused", "failed", "attempts", "meter state");
    for (const LineStatus& line : status.lines) {
        for (const MeterStatus& meter : line.meters) {
            for (const GateStatus& gate : meter.gates) {
                std::fprintf(out, "%-12s %-12s %-11s %6lld %8lld %7lld %9lld  %s\n",
                             line.name.c_str(), meter.name.c_str(), gate.address.c_str(),
                             static_cast<long long>(gate.results[0]),
                             static_cast<long long>(gate.results[1]),
                             static_cast<long long>(gate.results[2]),
                             static_cast<long long>(gate.attempts), MeterHealthName(meter.health));
            }
        }
        const double meanLag = line.reads > 0 ? line.lagSumMs / static_cast<double>(line.reads) : 0;
        std::fprintf(out,
                     "line %s: %lld read(s), port opened %lld time(s), lag mean %.1f ms, "
                     "max %.1f ms, %lld missed slot(s)\n",
                     line.name.c_str(), static_cast<long long>(line.reads),
                     static_cast<long long>(line.opens), meanLag, line.maxLagMs,
                     static_cast<long long>(line.missedSlots));
    }
}

}  // namespace

void RunSite(core::Runtime& runtime, const std::string& path, core::Format format, double durationMs) {
    PreparedSite site;
    if (!runtime.exit.Passed(LoadSite(runtime, path, &site))) return;
    runtime.driver.Log().ShowRts(core::RtsLines::FirstOfEach);
    SitePrinter printer(runtime, format);
    const core::InterruptWatch watch;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double, std::milli>(durationMs));
    SitePoller poller(runtime.driver, site,
                      [&printer](const std::string&, const core::Reading& r) { printer.Print(r); });
    poller.Start();
    while (!watch.Interrupted() && (durationMs <= 0 || std::chrono::steady_clock::now() < end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    poller.Stop();
    core::ReportHiddenRtsLines(runtime);
    PrintSiteSummary(format == core::Format::Table ? stdout : stderr, poller.Status(),
                     watch.Interrupted());
}

}  // namespace host::site
