// The site poller: every line of a prepared site on a thread of its own, none waiting on
// another, and one status of the whole site for the HTTP side and the summaries. A new site
// file takes the place of the running one line by line: what did not change keeps polling.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/loaded_driver.h"
#include "core/non_copyable.h"
#include "site/line_worker.h"
#include "site/reading_feed.h"
#include "site/site_gates.h"
#include "site/site_status.h"

namespace host::site {

// What a reload did, line by line (by name).
struct ReloadReport {
    std::vector<std::string> kept;       // the same settings: polling on, the port left open
    std::vector<std::string> restarted;  // changed: stopped, its channel closed, started anew
    std::vector<std::string> added;
    std::vector<std::string> removed;
};

class SitePoller : core::NonCopyable {
public:
    // `sink` (may be empty) gets every reading, on the thread of its line; `events` (may be
    // empty) every line's events worth a log line.
    SitePoller(core::LoadedDriver& driver, const PreparedSite& site, ReadingSink sink = {},
               LineEventSink events = {});
    // Stops every line.
    ~SitePoller();

    // Starts one thread per line.
    void Start();

    // Asks every line to end after its read under way, without waiting (from a sink too).
    void RequestStop();

    // Stops every line: each ends after its read under way and closes its channel.
    void Stop();

    // Puts `site` (prepared, without errors) in place of the running site, after Start(): a
    // line whose settings (port, line, meters, gates, names, intervals, the back-off cap) are
    // all the same keeps its thread, channel, schedule and counts; a changed line is stopped
    // (after its read under way) and started anew, a line no longer in the file stopped, a new
    // one started. Counted as a successful reload. From one thread at a time.
    ReloadReport Reload(const PreparedSite& site);

    // Counts a reload that was refused (the file had errors); nothing else changes.
    void ReloadRefused();

    // The worker of the site's line `index` (in the file's order); before Start() and after
    // Stop() only.
    LineWorker& Line(std::size_t index) { return *lines_[index]; }

    // What every line knows now, in the file's order, and the counters of the outputs fed.
    SiteStatus Status() const;

    // The names of the lines whose thread is wedged now (LineWorker::Wedged), in the file's
    // order; empty while every line comes round its loop.
    std::vector<std::string> WedgedLines() const;

    // Where the outputs subscribe: every reading of every line is published here once, after
    // the sink has had it.
    ReadingFeed& Feed() { return feed_; }

    // Hands `write` to the line named `line` (see LineWorker::Enqueue); false, with the write
    // finished as NotOpen, when no such line runs. From any thread; the caller waits on
    // `write` itself, without any lock of the poller's.
    bool Enqueue(const std::string& line, const std::shared_ptr<LineWrite>& write);

    // Where the outputs count what they do; in Status() and so in /metrics.
    OutputCounters& Outputs() { return outputs_; }

private:
    std::unique_ptr<LineWorker> MakeLine(const SiteLine& line, double backoffMaxMs);

    core::LoadedDriver& driver_;
    ReadingSink sink_;
    ReadingFeed feed_;
    LineEventSink events_;
    mutable std::mutex mutex_;  // guards what follows; a line's own status has its own lock
    std::string site_;
    double backoffMaxMs_ = 0;
    std::int64_t startUnixMs_ = 0;
    std::int64_t reloadSuccesses_ = 0;
    std::int64_t reloadFailures_ = 0;
    std::int64_t lastLoadUnixMs_ = 0;
    std::vector<std::unique_ptr<LineWorker>> lines_;
    OutputCounters outputs_;  // its own lock
};

}  // namespace host::site
