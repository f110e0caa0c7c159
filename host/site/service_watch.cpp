// Serve's notifications to the service manager: readiness, status, reload, stop, watchdog.
#include "site/service_watch.h"

#include <fmt/format.h>

#include <algorithm>

namespace host::site {

namespace {

// The status line goes out at most this often, however often the meters come and go.
constexpr auto kStatusEvery = std::chrono::seconds(1);
// How often the thread looks at the site: well under any ping interval worth having.
constexpr auto kTickEvery = std::chrono::milliseconds(100);

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

std::string ServiceStatusText(const SiteStatus& status) {
    std::size_t open = 0;
    std::size_t meters = 0;
    std::size_t up = 0;
    for (const LineStatus& line : status.lines) {
        if (line.open) ++open;
        for (const MeterStatus& meter : line.meters) {
            ++meters;
            if (MeterUp(line, meter)) ++up;
        }
    }
    return fmt::format("{} of {} {} open, {} of {} {} answering", open, status.lines.size(),
                       status.lines.size() == 1 ? "line" : "lines", up, meters,
                       meters == 1 ? "meter" : "meters");
}

bool EveryLineTried(const SiteStatus& status) {
    return std::all_of(status.lines.begin(), status.lines.end(), [](const LineStatus& line) {
        return line.ended || line.opens > 0 || line.reopenFailures > 0;
    });
}

ServiceWatch::ServiceWatch(std::int64_t watchdogUsec, Send send, Say say)
    : pingEveryUsec_(watchdogUsec / 2), send_(std::move(send)), say_(std::move(say)) {}

ServiceWatch::~ServiceWatch() {
    Stop();
}

void ServiceWatch::SendNow(const std::string& state) {
    if (send_) static_cast<void>(send_(state));
}

void ServiceWatch::Tick(ScheduleClock::time_point now, const SiteStatus& status,
                        const std::vector<std::string>& wedged) {
    std::lock_guard lock(mutex_);
    std::string text = ServiceStatusText(status);
    if (!wedged.empty()) text += fmt::format("; wedged: {}", Joined(wedged));
    if (!ready_ && !stopping_ && EveryLineTried(status)) {
        ready_ = true;
        statusSent_ = text;
        statusAt_ = now;
        SendNow("READY=1\nSTATUS=" + text);
    } else if (ready_ && text != statusSent_ && now - statusAt_ >= kStatusEvery) {
        statusSent_ = text;
        statusAt_ = now;
        SendNow("STATUS=" + text);
    }

    if (wedged != wedgedSaid_) {
        if (!wedged.empty()) {
            if (say_) {
                say_(
                    fmt::format("watchdog: {} {} {} stuck: not back round the poll loop "
                                "{:g} s after its wait or its read's time-outs; no more "
                                "watchdog pings, so that the service manager restarts serve",
                                wedged.size() == 1 ? "line" : "lines", Joined(wedged),
                                wedged.size() == 1 ? "is" : "are", kWedgedMarginMs / 1000));
            }
        } else if (say_) {
            say_("watchdog: every line comes round its poll loop again; pings resume");
        }
        wedgedSaid_ = wedged;
    }
    if (pingEveryUsec_ <= 0 || !wedged.empty() || now < pingAt_) return;
    SendNow("WATCHDOG=1");
    pingAt_ = now + std::chrono::microseconds(pingEveryUsec_);
}

void ServiceWatch::Start(const SitePoller& poller) {
    thread_ = std::thread([this, &poller] {
        std::unique_lock lock(threadMutex_);
        while (!stop_) {
            lock.unlock();
            Tick(ScheduleClock::now(), poller.Status(), poller.WedgedLines());
            lock.lock();
            wake_.wait_for(lock, kTickEvery, [this] { return stop_; });
        }
    });
}

void ServiceWatch::Stop() {
    {
        std::lock_guard lock(threadMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ServiceWatch::Reloading() {
    std::lock_guard lock(mutex_);
    // Before the first READY=1 the manager is still waiting for the start, not for a reload.
    if (!ready_ || stopping_) return;
    // The time lets a manager that asks for it tell this reload from an earlier one.
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(
                          ScheduleClock::now().time_since_epoch())
                          .count();
    SendNow(fmt::format("RELOADING=1\nMONOTONIC_USEC={}", usec));
}

void ServiceWatch::Reloaded(const SiteStatus& status) {
    std::lock_guard lock(mutex_);
    // Before the first READY=1 the next tick sends it, once every line has tried its port.
    if (!ready_ || stopping_) return;
    statusSent_ = ServiceStatusText(status);
    statusAt_ = ScheduleClock::now();
    SendNow("READY=1\nSTATUS=" + statusSent_);
}

void ServiceWatch::Stopping() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    SendNow("STOPPING=1");
}

}  // namespace host::site
