// What serve tells the service manager, decided from the site's status: ready once the HTTP
// side listens and every line has tried its port once, a status line of lines open and meters
// answering, reloading and stopping, and the watchdog's pings while every line's thread comes
// round its loop. How it is sent is the caller's (platform/service_notify.h in serve).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/non_copyable.h"
#include "site/schedule.h"
#include "site/site_poller.h"
#include "site/site_status.h"

namespace host::site {

// "2 of 2 lines open, 5 of 6 meters answering": a meter answers while it is up (MeterUp).
std::string ServiceStatusText(const SiteStatus& status);

// Whether every line has tried to open its port at least once (opened it, failed to, or ended).
// A line whose adapter is unplugged has tried: it does not hold the service back from ready, and
// the status line says it is not open.
bool EveryLineTried(const SiteStatus& status);

class ServiceWatch : core::NonCopyable {
public:
    // Sends one notification ("READY=1", "STATUS=...", joined by newlines); true when sent.
    using Send = std::function<bool(const std::string& state)>;
    // Says a line for the log.
    using Say = std::function<void(const std::string& text)>;

    // `watchdogUsec` is the interval the manager wants pings within (0: none wanted): they are
    // sent every half of it.
    ServiceWatch(std::int64_t watchdogUsec, Send send, Say say);
    // Stops the thread if it runs.
    ~ServiceWatch();

    // One look at the site at `now`: READY=1 (with the status line) the first time every line
    // has tried its port; STATUS= when the line has changed, at most once a second; WATCHDOG=1
    // when a ping is due and no line is `wedged`. While some line is wedged no ping goes out
    // (so that the manager restarts the service) and the log says once which lines and why;
    // a line that comes round again lets the pings resume.
    void Tick(ScheduleClock::time_point now, const SiteStatus& status,
              const std::vector<std::string>& wedged);

    // Ticks on a thread of its own every 100 ms on `poller`'s status, once the HTTP side
    // listens, until Stop(). `poller` must outlive the thread.
    void Start(const SitePoller& poller);
    void Stop();

    // Around a reload of the site file: RELOADING=1 (with the monotonic clock's time), then
    // READY=1 and the status line once the new site runs.
    void Reloading();
    void Reloaded(const SiteStatus& status);

    // STOPPING=1: serve is on its way out.
    void Stopping();

private:
    void SendNow(const std::string& state);

    std::int64_t pingEveryUsec_;
    Send send_;
    Say say_;
    std::mutex mutex_;  // one caller at a time: the thread, a reload, the stop
    bool ready_ = false;
    bool stopping_ = false;
    std::string statusSent_;
    ScheduleClock::time_point statusAt_{};
    ScheduleClock::time_point pingAt_{};
    std::vector<std::string> wedgedSaid_;

    std::mutex threadMutex_;  // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace host::site
