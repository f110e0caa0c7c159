// The site poller: a line worker per line, started and stopped together, and swapped line by
// line when the site file is reloaded.
#include "site/site_poller.h"

#include <algorithm>
#include <utility>

namespace host::site {

namespace {

bool SameGate(const SiteGate& a, const SiteGate& b) {
    if (a.gate.address != b.gate.address || a.ex != b.ex || a.intervalMs != b.intervalMs ||
        a.keys != b.keys || a.labels.size() != b.labels.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.labels.size(); ++i) {
        if (a.labels[i].name != b.labels[i].name || a.labels[i].unit != b.labels[i].unit) {
            return false;
        }
    }
    return true;
}

bool SameMeter(const SiteMeter& a, const SiteMeter& b) {
    return a.name == b.name && a.address == b.address &&
           std::equal(a.gates.begin(), a.gates.end(), b.gates.begin(), b.gates.end(), SameGate);
}

// Whether a line of the new file is the running one unchanged, down to every name and interval.
bool SameLine(const SiteLine& a, const SiteLine& b) {
    const core::ChannelOptions& x = a.options;
    const core::ChannelOptions& y = b.options;
    return a.name == b.name && x.port == y.port && x.baud == y.baud && x.dataBits == y.dataBits &&
           x.parity == y.parity && x.stopBits == y.stopBits && x.timeoutMs == y.timeoutMs &&
           std::equal(a.meters.begin(), a.meters.end(), b.meters.begin(), b.meters.end(),
                      SameMeter);
}

}  // namespace

SitePoller::SitePoller(core::LoadedDriver& driver, const PreparedSite& site, ReadingSink sink,
                       LineEventSink events)
    : driver_(driver),
      sink_(std::move(sink)),
      events_(std::move(events)),
      site_(site.name),
      backoffMaxMs_(site.backoffMaxMs) {
    for (const SiteLine& line : site.lines) lines_.push_back(MakeLine(line, site.backoffMaxMs));
}

SitePoller::~SitePoller() {
    Stop();
}

std::unique_ptr<LineWorker> SitePoller::MakeLine(const SiteLine& line, double backoffMaxMs) {
    auto worker = std::make_unique<LineWorker>(
        driver_, line, backoffMaxMs, [this](const std::string& name, const core::Reading& reading) {
            if (sink_) sink_(name, reading);
            feed_.Publish(name, reading);
        });
    worker->SetEvents(events_);
    return worker;
}

void SitePoller::Start() {
    std::lock_guard lock(mutex_);
    startUnixMs_ = UnixMsNow();
    lastLoadUnixMs_ = startUnixMs_;
    for (auto& line : lines_) line->Start();
}

void SitePoller::RequestStop() {
    std::lock_guard lock(mutex_);
    for (auto& line : lines_) line->RequestStop();
}

void SitePoller::Stop() {
    // All are asked first, so that the lines end their reads under way side by side.
    RequestStop();
    // Joined without the lock: a line's last reading may ask for the status (the run's printer
    // does) while the line ends. Only the owner's thread changes lines_, and this is it.
    for (auto& line : lines_) line->Stop();
}

ReloadReport SitePoller::Reload(const PreparedSite& site) {
    ReloadReport report;
    // For each line of the new file, the running line it keeps (by index), or none.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> keeps(site.lines.size(), kNone);
    std::vector<bool> going;
    {
        std::lock_guard lock(mutex_);
        going.assign(lines_.size(), true);
        const bool sameCap = site.backoffMaxMs == backoffMaxMs_;
        for (std::size_t n = 0; n < site.lines.size(); ++n) {
            const SiteLine& line = site.lines[n];
            bool running = false;
            for (std::size_t o = 0; o < lines_.size(); ++o) {
                if (lines_[o]->Settings().name != line.name) continue;
                running = true;
                if (going[o] && sameCap && SameLine(lines_[o]->Settings(), line)) {
                    keeps[n] = o;
                    going[o] = false;
                }
            }
            if (keeps[n] != kNone) {
                report.kept.push_back(line.name);
            } else {
                (running ? report.restarted : report.added).push_back(line.name);
            }
        }
        for (std::size_t o = 0; o < lines_.size(); ++o) {
            if (!going[o]) continue;
            const std::string& name = lines_[o]->Settings().name;
            if (std::find(report.restarted.begin(), report.restarted.end(), name) ==
                report.restarted.end()) {
                report.removed.push_back(name);
            }
            // All asked at once, so that they end their reads under way side by side.
            lines_[o]->RequestStop();
        }
    }
    // The lines that go are waited for before any new one starts, so that a port the new file
    // keeps is closed before its new line opens it. Meanwhile the status shows them as they
    // are: still running until they have stopped. Only this thread changes lines_.
    for (std::size_t o = 0; o < going.size(); ++o) {
        if (going[o]) lines_[o]->Stop();
    }
    std::vector<std::unique_ptr<LineWorker>> gone;
    std::lock_guard lock(mutex_);
    std::vector<std::unique_ptr<LineWorker>> next;
    for (std::size_t n = 0; n < site.lines.size(); ++n) {
        if (keeps[n] != kNone) {
            next.push_back(std::move(lines_[keeps[n]]));
        } else {
            next.push_back(MakeLine(site.lines[n], site.backoffMaxMs));
            next.back()->Start();
        }
    }
    for (auto& line : lines_) {
        if (line) gone.push_back(std::move(line));
    }
    lines_ = std::move(next);
    site_ = site.name;
    backoffMaxMs_ = site.backoffMaxMs;
    ++reloadSuccesses_;
    lastLoadUnixMs_ = UnixMsNow();
    return report;
}

void SitePoller::ReloadRefused() {
    std::lock_guard lock(mutex_);
    ++reloadFailures_;
}

bool SitePoller::Enqueue(const std::string& line, const std::shared_ptr<LineWrite>& write) {
    std::lock_guard lock(mutex_);
    for (const auto& worker : lines_) {
        if (worker->Settings().name == line) return worker->Enqueue(write);
    }
    write->Finish(WriteOutcome::NotOpen);
    return false;
}

SiteStatus SitePoller::Status() const {
    SiteStatus status;
    std::lock_guard lock(mutex_);
    status.site = site_;
    status.startUnixMs = startUnixMs_;
    status.reloadSuccesses = reloadSuccesses_;
    status.reloadFailures = reloadFailures_;
    status.lastLoadUnixMs = lastLoadUnixMs_;
    for (const auto& line : lines_) status.lines.push_back(line->Status());
    status.outputs = feed_.Outputs();
    status.outputCounters = outputs_.Snapshot();
    return status;
}

std::vector<std::string> SitePoller::WedgedLines() const {
    std::vector<std::string> wedged;
    const auto now = ScheduleClock::now();
    std::lock_guard lock(mutex_);
    for (const auto& line : lines_) {
        if (line->Wedged(now)) wedged.push_back(line->Settings().name);
    }
    return wedged;
}

}  // namespace host::site
