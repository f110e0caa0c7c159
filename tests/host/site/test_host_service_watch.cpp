// What serve tells the service manager, from hand-made site states on a clock the test holds:
// ready only once every line has tried its port (an unplugged one too), the status line and how
// often it goes out, the watchdog's pings at half the interval and none while a line is stuck,
// the reload's RELOADING=1 and READY=1, and STOPPING=1.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "site/service_watch.h"
#include "site/site_status.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using host::site::LineStatus;
using host::site::MeterHealth;
using host::site::MeterStatus;
using host::site::SiteStatus;

const Clock::time_point kT0 = Clock::time_point{} + 1000s;

MeterStatus Meter(const char* name, MeterHealth health) {
    MeterStatus meter;
    meter.name = name;
    meter.health = health;
    return meter;
}

// Line A with meters one (answering) and two (silent); line B with meter three, its port not
// tried yet.
SiteStatus TwoLines() {
    SiteStatus status;
    LineStatus a;
    a.name = "A";
    a.open = true;
    a.opens = 1;
    a.meters = {Meter("one", MeterHealth::Answering), Meter("two", MeterHealth::BackingOff)};
    LineStatus b;
    b.name = "B";
    b.meters = {Meter("three", MeterHealth::Unknown)};
    status.lines = {a, b};
    return status;
}

// Everything the watch sends and says, in order.
struct Recorded {
    std::vector<std::string> sent;
    std::vector<std::string> said;

    host::site::ServiceWatch Watch(std::int64_t watchdogUsec) {
        return host::site::ServiceWatch(
            watchdogUsec,
            [this](const std::string& state) {
                sent.push_back(state);
                return true;
            },
            [this](const std::string& text) { said.push_back(text); });
    }
    // What was sent since the last call.
    std::vector<std::string> Take() {
        std::vector<std::string> taken;
        taken.swap(sent);
        return taken;
    }
};

using Sent = std::vector<std::string>;

TEST(ServiceStatus, CountsOpenLinesAndAnsweringMeters) {
    SiteStatus status = TwoLines();
    EXPECT_EQ(host::site::ServiceStatusText(status), "1 of 2 lines open, 1 of 3 meters answering");
    // A meter that answered on a port that has gone since is not answering.
    status.lines[0].open = false;
    EXPECT_EQ(host::site::ServiceStatusText(status), "0 of 2 lines open, 0 of 3 meters answering");
    status.lines.pop_back();
    status.lines[0].meters.pop_back();
    status.lines[0].open = true;
    EXPECT_EQ(host::site::ServiceStatusText(status), "1 of 1 line open, 1 of 1 meter answering");
}

TEST(ServiceStatus, ReadyOnceEveryLineHasTriedItsPort) {
    SiteStatus status = TwoLines();
    EXPECT_FALSE(host::site::EveryLineTried(status));
    // B's adapter is unplugged: one failed try is enough, or the service would stay
    // "activating" until someone plugs it in.
    status.lines[1].reopenFailures = 1;
    EXPECT_TRUE(host::site::EveryLineTried(status));
    status.lines[1].reopenFailures = 0;
    status.lines[1].ended = true;  // a line with nothing to read ends at once
    EXPECT_TRUE(host::site::EveryLineTried(status));
    EXPECT_TRUE(host::site::EveryLineTried(SiteStatus{}));
}

TEST(ServiceWatch, ReadyWaitsForEveryLineThenTheStatusFollowsAtMostOnceASecond) {
    Recorded r;
    auto watch = r.Watch(0);
    SiteStatus status = TwoLines();
    watch.Tick(kT0, status, {});
    watch.Tick(kT0 + 2s, status, {});
    EXPECT_EQ(r.Take(), Sent{}) << "ready before line B tried its port";

    status.lines[1].reopenFailures = 1;
    watch.Tick(kT0 + 3s, status, {});
    EXPECT_EQ(r.Take(), Sent{"READY=1\nSTATUS=1 of 2 lines open, 1 of 3 meters answering"});
    watch.Tick(kT0 + 5s, status, {});
    EXPECT_EQ(r.Take(), Sent{}) << "an unchanged status is not sent again";

    // B opens: said, but not twice within a second however often it changes.
    status.lines[1].open = true;
    status.lines[1].opens = 1;
    watch.Tick(kT0 + 6s, status, {});
    EXPECT_EQ(r.Take(), Sent{"STATUS=2 of 2 lines open, 1 of 3 meters answering"});
    status.lines[1].meters[0].health = MeterHealth::Answering;
    watch.Tick(kT0 + 6s + 500ms, status, {});
    EXPECT_EQ(r.Take(), Sent{});
    watch.Tick(kT0 + 7s, status, {});
    EXPECT_EQ(r.Take(), Sent{"STATUS=2 of 2 lines open, 2 of 3 meters answering"});
    EXPECT_TRUE(r.said.empty());
}

TEST(ServiceWatch, PingsAtHalfTheIntervalAndNoneWhileALineIsStuck) {
    Recorded r;
    auto watch = r.Watch(4'000'000);  // 4 s: a ping every 2 s
    SiteStatus status = TwoLines();
    status.lines[1].reopenFailures = 1;
    watch.Tick(kT0, status, {});
    EXPECT_EQ(r.Take(),
              (Sent{"READY=1\nSTATUS=1 of 2 lines open, 1 of 3 meters answering", "WATCHDOG=1"}));
    watch.Tick(kT0 + 1900ms, status, {});
    EXPECT_EQ(r.Take(), Sent{});
    watch.Tick(kT0 + 2s, status, {});
    EXPECT_EQ(r.Take(), Sent{"WATCHDOG=1"});

    // Line B is stuck: no ping, said once with its name, and the status line says so too.
    watch.Tick(kT0 + 4s, status, {"B"});
    EXPECT_EQ(r.Take(), Sent{"STATUS=1 of 2 lines open, 1 of 3 meters answering; wedged: B"});
    watch.Tick(kT0 + 10s, status, {"B"});
    EXPECT_EQ(r.Take(), Sent{});
    ASSERT_EQ(r.said.size(), 1u);
    EXPECT_NE(r.said[0].find("watchdog: line B is stuck"), std::string::npos) << r.said[0];
    EXPECT_NE(r.said[0].find("no more watchdog pings"), std::string::npos) << r.said[0];
    watch.Tick(kT0 + 11s, status, {"A", "B"});
    ASSERT_EQ(r.said.size(), 2u);
    EXPECT_NE(r.said[1].find("watchdog: lines A, B are stuck"), std::string::npos) << r.said[1];

    // B comes round again (its read ended at last): the pings resume at once.
    r.Take();
    watch.Tick(kT0 + 12s, status, {});
    EXPECT_EQ(r.Take(), (Sent{"STATUS=1 of 2 lines open, 1 of 3 meters answering", "WATCHDOG=1"}));
    ASSERT_EQ(r.said.size(), 3u);
    EXPECT_NE(r.said[2].find("pings resume"), std::string::npos) << r.said[2];
}

TEST(ServiceWatch, NoPingsWhenTheManagerWantsNone) {
    Recorded r;
    auto watch = r.Watch(0);
    SiteStatus status = TwoLines();
    status.lines[1].reopenFailures = 1;
    for (int s = 0; s < 100; s += 5) watch.Tick(kT0 + std::chrono::seconds(s), status, {});
    EXPECT_EQ(r.Take(), Sent{"READY=1\nSTATUS=1 of 2 lines open, 1 of 3 meters answering"});
}

TEST(ServiceWatch, ReloadIsReloadingThenReadyAndStopIsStopping) {
    Recorded r;
    auto watch = r.Watch(0);
    SiteStatus status = TwoLines();
    // Before the start is ready the manager waits for READY=1 of the start, not of a reload.
    watch.Reloading();
    watch.Reloaded(status);
    EXPECT_EQ(r.Take(), Sent{});

    status.lines[1].reopenFailures = 1;
    watch.Tick(kT0, status, {});
    r.Take();
    watch.Reloading();
    const Sent reloading = r.Take();
    ASSERT_EQ(reloading.size(), 1u);
    EXPECT_EQ(reloading[0].rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << reloading[0];
    status.lines[0].meters[1].health = MeterHealth::Answering;
    watch.Reloaded(status);
    EXPECT_EQ(r.Take(), Sent{"READY=1\nSTATUS=1 of 2 lines open, 2 of 3 meters answering"});

    watch.Stopping();
    watch.Reloading();
    watch.Reloaded(status);
    EXPECT_EQ(r.Take(), Sent{"STOPPING=1"});
}

}  // namespace
