// The site poller: every line of a prepared site on a thread of its own, none waiting on
// another, and one status of the whole site for the HTTP side and the summaries.
#pragma once

#include <memory>
#include <vector>

#include "core/loaded_driver.h"
#include "core/non_copyable.h"
#include "site/line_worker.h"
#include "site/site_gates.h"
#include "site/site_status.h"

namespace host::site {

class SitePoller : core::NonCopyable {
public:
    // `sink` (may be empty) gets every reading, on the thread of its line.
    SitePoller(core::LoadedDriver& driver, const PreparedSite& site, ReadingSink sink = {});
    // Stops every line.
    ~SitePoller();

    // Starts one thread per line.
    void Start();

    // Asks every line to end after its read under way, without waiting (from a sink too).
    void RequestStop();

    // Stops every line: each ends after its read under way and closes its channel.
    void Stop();

    // The worker of the site's line `index` (in the file's order).
    LineWorker& Line(std::size_t index) { return *lines_[index]; }

    // What every line knows now, in the file's order.
    SiteStatus Status() const;

private:
    std::string site_;
    std::int64_t startUnixMs_ = 0;
    std::vector<std::unique_ptr<LineWorker>> lines_;
};

}  // namespace host::site
