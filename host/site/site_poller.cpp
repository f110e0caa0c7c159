// The site poller: a line worker per line, started and stopped together.
#include "site/site_poller.h"

namespace host::site {

SitePoller::SitePoller(core::LoadedDriver& driver, const PreparedSite& site, ReadingSink sink)
    : site_(site.name) {
    for (const SiteLine& line : site.lines) {
        lines_.push_back(std::make_unique<LineWorker>(driver, line, site.backoffMaxMs, sink));
    }
}

SitePoller::~SitePoller() {
    Stop();
}

void SitePoller::Start() {
    startUnixMs_ = UnixMsNow();
    for (auto& line : lines_) line->Start();
}

void SitePoller::RequestStop() {
    for (auto& line : lines_) line->RequestStop();
}

void SitePoller::Stop() {
    // All are asked first, so that the lines end their reads under way side by side.
    RequestStop();
    for (auto& line : lines_) line->Stop();
}

SiteStatus SitePoller::Status() const {
    SiteStatus status;
    status.site = site_;
    status.startUnixMs = startUnixMs_;
    for (const auto& line : lines_) status.lines.push_back(line->Status());
    return status;
}

}  // namespace host::site
