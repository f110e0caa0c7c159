// Polling a site from the command line: the site poller with a printing sink.
#include "site/site_run.h"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "core/driver_steps.h"
#include "core/interrupt.h"
#include "platform/system_calls.h"
#include "site/run_summary.h"
#include "site/site_loading.h"
#include "site/site_poller.h"
#include "time_stamp.h"

namespace host::site {

namespace {

// The readings of all lines as they come: counted into the exit status, printed, the live
// status line kept up to date, and the poller asked to stop once the count of cycles is read.
class RunPrinter {
public:
    RunPrinter(core::Runtime& runtime, const PreparedSite& site, const SiteRunOptions& options)
        : runtime_(runtime),
          site_(site),
          cycles_(options.cycles),
          printer_(options.format, stdout, true),
          table_(options.format == core::Format::Table),
          live_(table_ && platform::IsTerminal(stdout)) {
        for (const SiteLine& line : site.lines) {
            for (const SiteMeter& meter : line.meters) {
                for (const SiteGate& gate : meter.gates) {
                    core::ReadingPlace& place = places_[{line.name, gate.gate.address}];
                    place.line = line.name;
                    place.meter = meter.name;
                    for (const ValueLabel& label : gate.labels) {
                        place.names.push_back(label.name);
                        place.units.push_back(label.unit);
                    }
                }
            }
        }
    }

    void Attach(SitePoller& poller) { poller_ = &poller; }
    void Take(const std::string& line, const core::Reading& reading);
    bool CountReached() const { return countReached_; }
    // Ends the status line, prints the last readings (table only) and the summary.
    void Finish(bool interrupted);

private:
    template <typename Visit>
    void ForEachLast(Visit visit) const;
    void PrintStatusLine(long cycle) const;

    core::Runtime& runtime_;
    const PreparedSite& site_;
    std::optional<long> cycles_;
    core::ReadingPrinter printer_;
    bool table_;
    bool live_;
    SitePoller* poller_ = nullptr;
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, core::Reading> last_;  // by line and gate
    // Where each gate's readings come from (line, meter, value names), by line and gate.
    std::map<std::pair<std::string, std::string>, core::ReadingPlace> places_;
    long completed_ = 0;
    std::atomic<bool> countReached_{false};
};

void RunPrinter::Take(const std::string& line, const core::Reading& reading) {
    std::lock_guard lock(mutex_);
    runtime_.exit.Raise(core::ExitFor(reading.result));
    if (!table_) printer_.PrintAt(reading, places_[{line, reading.gate}]);
    last_[{line, reading.gate}] = reading;
    const long completed = CompletedCycles(poller_->Status());
    if (completed == completed_) return;
    completed_ = completed;
    if (live_) PrintStatusLine(completed);
    if (cycles_ && completed >= *cycles_) {
        countReached_ = true;
        poller_->RequestStop();
    }
}

// Calls `visit` with the last reading of every gate read so far and where it comes from, in the
// site's order.
template <typename Visit>
void RunPrinter::ForEachLast(Visit visit) const {
    for (const SiteLine& line : site_.lines) {
        for (const SiteMeter& meter : line.meters) {
            for (const SiteGate& gate : meter.gates) {
                const auto found = last_.find({line.name, gate.gate.address});
                if (found != last_.end()) visit(found->second, places_.at(found->first));
            }
        }
    }
}

void RunPrinter::PrintStatusLine(long cycle) const {
    std::string status = fmt::format("\r{} cycle {}:", timestamp::Rfc3339Now().c_str(), cycle);
    ForEachLast([&status](const core::Reading& r, const core::ReadingPlace&) {
        status += fmt::format(" {} {}", r.gate,
                              r.result == 0 && !r.values.empty() ? core::FormatValue(r.values[0])
                                                                 : core::ResultName(r.result));
    });
    std::fprintf(stdout, "%s\x1b[K", status.c_str());
    std::fflush(stdout);
}

void RunPrinter::Finish(bool interrupted) {
    std::lock_guard lock(mutex_);
    if (live_) std::fprintf(stdout, "\n");
    if (table_) {
        ForEachLast([this](const core::Reading& r, const core::ReadingPlace& place) {
            printer_.PrintAt(r, place);
        });
    }
    // The summary goes with the table on stdout; beside CSV or JSON it goes to stderr.
    PrintRunSummary(table_ ? stdout : stderr, poller_->Status(), interrupted);
}

// Polls until the count of cycles is read, the time is up or Ctrl-C (or SIGTERM, as a poller
// run by a supervisor is stopped) comes; true on either signal.
bool PollUntilDone(SitePoller& poller, const RunPrinter& printer, const SiteRunOptions& options) {
    const core::InterruptWatch watch(true);
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double, std::milli>(options.durationMs.value_or(0)));
    poller.Start();
    while (!watch.Interrupted() && !printer.CountReached() &&
           (!options.durationMs || std::chrono::steady_clock::now() < end)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    poller.Stop();
    return watch.Interrupted();
}

}  // namespace

PreparedSite PortSite(const core::ChannelOptions& options, std::vector<core::Gate> gates,
                      double intervalMs, bool ex) {
    PreparedSite site;
    site.backoffMaxMs = SiteConfig{}.backoffMaxMs;
    SiteLine& line = site.lines.emplace_back();
    line.name = options.port;
    line.options = options;
    // One meter, whatever addresses the gates name, so that every cycle reads them in order.
    SiteMeter& meter = line.meters.emplace_back();
    meter.address = gates.empty() ? 0 : gates.front().plcAddress;
    for (core::Gate& gate : gates) {
        const std::string address = fmt::format("{:02d}", gate.plcAddress);
        if (meter.name.find(address) == std::string::npos) {
            meter.name += (meter.name.empty() ? "" : ",") + address;
        }
        SiteGate& added = meter.gates.emplace_back();
        added.ex = ex;
        added.intervalMs = intervalMs;
        for (int k = 0; k < static_cast<int>(gate.values.size()); ++k) {
            added.keys.push_back(ValueKey(gate.memtype, gate.index, k));
        }
        added.labels.assign(added.keys.size(), ValueLabel{});
        added.gate = std::move(gate);
    }
    return site;
}

void RunSite(core::Runtime& runtime, const PreparedSite& site, const SiteRunOptions& options) {
    runtime.driver.Log().ShowRts(core::RtsLines::FirstOfEach);
    RunPrinter printer(runtime, site, options);
    SitePoller poller(
        runtime.driver, site,
        [&printer](const std::string& line, const core::Reading& r) { printer.Take(line, r); });
    printer.Attach(poller);
    const bool openFirst = options.openFirst && site.lines.size() == 1;
    if (openFirst && !core::OpenLine(runtime, poller.Line(0).Channel(), site.lines[0].options,
                                     core::NotesStream(options.format))) {
        return;
    }
    const bool interrupted = PollUntilDone(poller, printer, options);
    if (openFirst) {
        LineWorker& line = poller.Line(0);
        runtime.exit.Raise(core::SayCloseResult(line.Channel(), line.CloseResult()));
    }
    core::ReportHiddenRtsLines(runtime);
    printer.Finish(interrupted);
}

void RunSiteFile(core::Runtime& runtime, const std::string& path, const SiteRunOptions& options) {
    PreparedSite site;
    if (!runtime.exit.Passed(LoadSite(runtime, path, &site))) return;
    RunSite(runtime, site, options);
}

}  // namespace host::site
