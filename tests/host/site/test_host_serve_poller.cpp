// The site poller against metersim: two lines, three meters, the real module called through
// VpiMain from a thread per line. The timing rules on their own; a line's schedule on a timer
// the test holds (exact probe times of a silent meter backing off and coming back, of gates
// due together, of slots skipped); a silent meter backing off while the others are read with
// their pinned values, and a line whose simulator stops and starts again being reopened.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "loaded_driver_test.h"
#include "metersim_child.h"
#include "site/line_worker.h"
#include "site/schedule.h"
#include "site/service_watch.h"
#include "site/site_config.h"
#include "site/site_gates.h"
#include "site/site_poller.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ---- the timing rules ----

TEST(PollSchedule, NextDueStaysOnTheGridAndSkipsPassedSlots) {
    const auto t0 = Clock::time_point{} + 100s;
    long missed = -1;
    // On time: one interval on.
    EXPECT_EQ(host::site::NextDue(t0, 1000, t0 + 20ms, &missed), t0 + 1s);
    EXPECT_EQ(missed, 0);
    // Late by less than an interval: still the grid's next slot, not now + interval.
    EXPECT_EQ(host::site::NextDue(t0, 1000, t0 + 900ms, &missed), t0 + 1s);
    EXPECT_EQ(missed, 0);
    // Late by 3.5 intervals: the slots at +1, +2 and +3 s have passed and are skipped.
    EXPECT_EQ(host::site::NextDue(t0, 1000, t0 + 3500ms, &missed), t0 + 4s);
    EXPECT_EQ(missed, 3);
    // Exactly on a slot: that slot has passed too (never two reads at one instant).
    EXPECT_EQ(host::site::NextDue(t0, 1000, t0 + 1s, &missed), t0 + 2s);
    EXPECT_EQ(missed, 1);
}

TEST(PollSchedule, BackoffDoublesUpToTheCap) {
    EXPECT_EQ(host::site::BackoffMs(0, 500, 8000), 0);
    EXPECT_EQ(host::site::BackoffMs(1, 500, 8000), 500);
    EXPECT_EQ(host::site::BackoffMs(2, 500, 8000), 1000);
    EXPECT_EQ(host::site::BackoffMs(4, 500, 8000), 4000);
    EXPECT_EQ(host::site::BackoffMs(5, 500, 8000), 8000);
    EXPECT_EQ(host::site::BackoffMs(6, 500, 8000), 8000);
    EXPECT_EQ(host::site::BackoffMs(1000000, 500, 8000), 8000);
}

TEST(PollSchedule, PortFailureIsAReadFasterThanItsTimeOuts) {
    // Eight attempts of 100 ms: a silent meter takes 800 ms or more.
    EXPECT_FALSE(host::site::PortFailed(820, 8, 100));
    EXPECT_FALSE(host::site::PortFailed(400, 8, 100));
    // A port that has gone fails each attempt after the RTS turn-round alone.
    EXPECT_TRUE(host::site::PortFailed(180, 8, 100));
    EXPECT_TRUE(host::site::PortFailed(0, 1, 100));
}

// ---- the poller against metersim ----

struct Seen {
    Clock::time_point at;
    std::int32_t result;
    std::vector<float> values;
};

// Every reading the poller hands out, by gate address, with the time it arrived.
class Recorder {
public:
    void Add(const host::core::Reading& reading) {
        std::lock_guard lock(mutex_);
        seen_[reading.gate].push_back(Seen{Clock::now(), reading.result, reading.values});
    }
    std::vector<Seen> Of(const std::string& gate) {
        std::lock_guard lock(mutex_);
        return seen_[gate];
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::vector<Seen>> seen_;
};

// The lines' events as serve logs them: "B: meter three silent: ...", in the order they came.
class EventLog {
public:
    void Add(const std::string& line, const std::string& text) {
        std::lock_guard lock(mutex_);
        events_.push_back(line + ": " + text);
    }
    // The index of the first event from `from` on that starts with `prefix`; -1 when none.
    int Find(const std::string& prefix, int from = 0) {
        std::lock_guard lock(mutex_);
        for (int i = std::max(from, 0); i < static_cast<int>(events_.size()); ++i) {
            if (events_[i].rfind(prefix, 0) == 0) return i;
        }
        return -1;
    }
    std::string All() {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const std::string& event : events_) all += event + "\n";
        return all;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

std::string Link(char line) {
    // /tmp/ and six characters: within the 11 a port name may have.
    return "/tmp/" + std::string(1, line) + std::to_string(getpid() % 100000);
}

std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name + std::to_string(getpid());
    std::FILE* file = std::fopen(path.c_str(), "w");
    EXPECT_NE(file, nullptr);
    if (file != nullptr) {
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
    return path;
}

std::string SiteText(const std::string& linkA, const std::string& linkB) {
    return "site = \"poller test\"\n"
           "backoff_max = \"4s\"\n"
           "[[line]]\nname = \"A\"\nport = \"" +
           linkA +
           "\"\ntimeout = \"100ms\"\n"
           "[[line.meter]]\nname = \"one\"\naddress = 1\n"
           "gates = [{ gate = \"0101\", interval = \"1s\" }, { gate = \"0101H2\", interval = "
           "\"2s\" }]\n"
           "[[line]]\nname = \"B\"\nport = \"" +
           linkB +
           "\"\ntimeout = \"100ms\"\n"
           "[[line.meter]]\nname = \"two\"\naddress = 2\ngates = [{ gate = \"0201\", interval = "
           "\"1500ms\" }]\n"
           "[[line.meter]]\nname = \"three\"\naddress = 3\ngates = [{ gate = \"0301\", "
           "interval = \"1s\" }]\n";
}

const host::site::MeterStatus& MeterOf(const host::site::SiteStatus& status,
                                       const std::string& name) {
    for (const host::site::LineStatus& line : status.lines) {
        for (const host::site::MeterStatus& meter : line.meters) {
            if (meter.name == name) return meter;
        }
    }
    static const host::site::MeterStatus none;
    ADD_FAILURE() << "no meter " << name;
    return none;
}

// Waits (at most `limit`) until `done` holds for the poller's status.
template <typename Done>
bool WaitFor(const host::site::SitePoller& poller, std::chrono::seconds limit, Done done) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (done(poller.Status())) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done(poller.Status());
}

class SitePollerTest : public vpitest::LoadedDriverTest {
protected:
    void SetUp() override {
        vpitest::LoadedDriverTest::SetUp();
        if (HasFatalFailure()) return;
        pinsA_ = WriteFile("pinsA", "01:plain.0 = 1250\n01:h2.5 = 11.5\n");
        pinsB_ = WriteFile("pinsB", "02:plain.0 = 2300\n03:plain.0 = 3300\n");
    }

    bool StartLineA() {
        return vpitest::StartMeterSim(
            simA_, {METERSIM_PATH, "--meter", "01", "--link", Link('a'), "--values", pinsA_});
    }
    // Line B; meter 03 silent unless `answering`.
    bool StartLineB(bool answering) {
        std::vector<std::string> argv{METERSIM_PATH, "--meter", "02",       "--meter", "03",
                                      "--link",      Link('b'), "--values", pinsB_};
        if (!answering) {
            argv.push_back("--fault");
            argv.push_back("silent:meter=03");
        }
        return vpitest::StartMeterSim(simB_, argv);
    }

    host::site::PreparedSite Site() {
        const host::site::SiteConfigResult config =
            host::site::ParseSiteConfig(SiteText(Link('a'), Link('b')), "poller-test.toml");
        EXPECT_TRUE(config.errors.empty()) << config.errors.front().Text();
        host::site::PreparedSite site = host::site::PrepareSite(driver_, config.site);
        EXPECT_TRUE(site.errors.empty()) << site.errors.front().Text();
        return site;
    }

    std::string pinsA_;
    std::string pinsB_;
    host::platform::MeterSimProcess simA_;
    host::platform::MeterSimProcess simB_;
};

// Meter 03 is silent: it backs off while 01 and 02 are read, every value read the pinned one.
// Then line B's simulator stops and comes back with 03 answering: the line is reopened and 03
// is read again. (The back-off's exact steps are the timer tests' below.)
TEST_F(SitePollerTest, SilentMeterBacksOffOthersAreReadLineReopens) {
    ASSERT_TRUE(StartLineA());
    ASSERT_TRUE(StartLineB(false));
    const host::site::PreparedSite site = Site();
    Recorder recorder;
    EventLog events;
    host::site::SitePoller poller(
        driver_, site,
        [&recorder](const std::string&, const host::core::Reading& r) { recorder.Add(r); },
        [&events](const std::string& line, const std::string& text) { events.Add(line, text); });
    poller.Start();
    const auto doneReads = [&recorder](const std::string& gate) {
        const std::vector<Seen> seen = recorder.Of(gate);
        return std::count_if(seen.begin(), seen.end(), [](const Seen& s) { return s.result == 0; });
    };
    EXPECT_TRUE(WaitFor(poller, 60s, [&](const host::site::SiteStatus& s) {
        return MeterOf(s, "three").consecutiveFailures >= 2 && doneReads("0101") >= 3 &&
               doneReads("0101H2") >= 2 && doneReads("0201") >= 3;
    })) << "meter 03 did not back off, or the others were not read";

    const host::site::MeterStatus three = MeterOf(poller.Status(), "three");
    EXPECT_EQ(three.health, host::site::MeterHealth::BackingOff);
    EXPECT_GT(three.backoffMs, 0.0);
    EXPECT_EQ(doneReads("0301"), 0);
    // Every read of the answering meters is done, with the pinned values.
    const std::vector<std::tuple<std::string, std::size_t, float>> pinned{
        {"0101", 0, 1250.0f}, {"0101H2", 5, 11.5f}, {"0201", 0, 2300.0f}};
    for (const auto& [gate, slot, value] : pinned) {
        SCOPED_TRACE(gate);
        const std::vector<Seen> seen = recorder.Of(gate);
        ASSERT_FALSE(seen.empty());
        for (const Seen& s : seen) {
            ASSERT_EQ(s.result, 0);
            EXPECT_EQ(s.values.at(slot), value);
        }
    }

    // Line B's simulator goes, and comes back with meter 03 answering.
    simB_.Stop();
    ASSERT_TRUE(WaitFor(poller, 20s, [](const host::site::SiteStatus& s) {
        return !s.lines[1].open;
    })) << "line B was not seen to fail";
    // While the port is away no meter of the line is up, whatever it answered before, and the
    // line says why once its reopen has failed.
    ASSERT_TRUE(WaitFor(poller, 20s, [](const host::site::SiteStatus& s) {
        return s.lines[1].problem == "no such device";
    })) << poller.Status().lines[1].problem;
    const host::site::SiteStatus away = poller.Status();
    for (const host::site::MeterStatus& meter : away.lines[1].meters) {
        EXPECT_FALSE(host::site::MeterUp(away.lines[1], meter)) << meter.name;
    }
    EXPECT_TRUE(host::site::MeterUp(away.lines[0], MeterOf(away, "one")));
    ASSERT_TRUE(StartLineB(true));
    EXPECT_TRUE(WaitFor(poller, 30s, [](const host::site::SiteStatus& s) {
        return s.lines[1].open && s.lines[1].opens >= 2 &&
               MeterOf(s, "three").health == host::site::MeterHealth::Answering;
    })) << "line B was not reopened, or meter 03 not read again";
    const std::vector<Seen> after = recorder.Of("0301");
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back().result, 0);
    EXPECT_FLOAT_EQ(after.back().values.at(0), 3300.0f);
    // Line A never failed.
    EXPECT_EQ(poller.Status().lines[0].opens, 1);
    // Each event of line B logged once, in the order it came, under the line's name.
    const int silent = events.Find("B: meter three silent: no answer to 0301; next try in 1 s");
    const int backedOff =
        events.Find("B: meter three still silent after 2 reads; backed off to", silent);
    const int lost = events.Find("B: port " + Link('b') + " lost:", backedOff);
    const int missing = events.Find(
        "B: port " + Link('b') + " did not open: no such device; next try in 1 s", lost);
    const int reopened = events.Find("B: port " + Link('b') + " reopened after", missing);
    const int answering = events.Find("B: meter three answering again after", reopened);
    EXPECT_TRUE(silent >= 0 && backedOff > silent && lost > backedOff && missing > lost &&
                reopened > missing && answering > reopened)
        << events.All();
    const int opened = events.Find("A: port " + Link('a') + " open");
    EXPECT_TRUE(opened >= 0 && opened == events.Find("A:")) << events.All();
    EXPECT_EQ(events.Find("A: meter"), -1) << "line A's meter never fell silent\n" << events.All();
    poller.Stop();
    EXPECT_FALSE(poller.Status().lines[0].open);
    EXPECT_FALSE(poller.Status().lines[1].open);
}

// A port that is not there when the poller starts is tried again, with back-off, until it is.
TEST_F(SitePollerTest, PortThatIsNotThereYetIsOpenedOnceItIs) {
    ASSERT_TRUE(StartLineA());
    const host::site::PreparedSite site = Site();
    host::site::SitePoller poller(driver_, site);
    poller.Start();
    ASSERT_TRUE(WaitFor(poller, 10s, [](const host::site::SiteStatus& s) {
        return s.lines[1].reopenFailures >= 1;
    }));
    EXPECT_FALSE(poller.Status().lines[1].open);
    ASSERT_TRUE(StartLineB(true));
    EXPECT_TRUE(WaitFor(poller, 20s, [](const host::site::SiteStatus& s) {
        return s.lines[1].open && MeterOf(s, "two").health == host::site::MeterHealth::Answering;
    }));
    poller.Stop();
}

// Line A's thread is held inside the hand-over of a reading (as an output that never returns
// would hold it): once its read's time-outs and the margin have passed it is wedged, the
// watchdog's pings stop and the log names it; let go, it comes round again and they resume.
// Line B, whose port is not there, waits between open attempts and is never wedged.
TEST_F(SitePollerTest, LineHeldInItsLoopStopsTheWatchdogPings) {
    ASSERT_TRUE(StartLineA());
    const host::site::PreparedSite site = Site();
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool held = false;
    Clock::time_point heldAt;
    host::site::SitePoller poller(driver_, site,
                                  [&](const std::string& line, const host::core::Reading&) {
                                      std::unique_lock lock(mutex);
                                      if (line != "A" || !hold) return;
                                      held = true;
                                      heldAt = Clock::now();
                                      changed.notify_all();
                                      changed.wait(lock, [&] { return !hold; });
                                  });
    std::vector<std::string> sent;
    std::vector<std::string> said;
    host::site::ServiceWatch watch(
        2'000'000,
        [&sent](const std::string& state) {
            sent.push_back(state);
            return true;
        },
        [&said](const std::string& text) { said.push_back(text); });
    const auto pings = [&sent] { return std::count(sent.begin(), sent.end(), "WATCHDOG=1"); };
    poller.Start();
    // Both lines go round their loops for a few seconds: pings every second, nobody wedged.
    const auto end = Clock::now() + 4s;
    while (Clock::now() < end) {
        watch.Tick(Clock::now(), poller.Status(), poller.WedgedLines());
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_GE(pings(), 3);
    EXPECT_TRUE(said.empty()) << said.front();
    ASSERT_GE(poller.Status().lines[1].reopenFailures, 1);

    {
        std::unique_lock lock(mutex);
        hold = true;
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return held; }));
    }
    // Wedged only once the read's time-outs (8 of 100 ms) and the margin are over.
    std::vector<std::string> wedged;
    while ((wedged = poller.WedgedLines()).empty() && Clock::now() < heldAt + 60s) {
        watch.Tick(Clock::now(), poller.Status(), wedged);
        std::this_thread::sleep_for(100ms);
    }
    const double heldForMs =
        std::chrono::duration<double, std::milli>(Clock::now() - heldAt).count();
    EXPECT_EQ(wedged, std::vector<std::string>{"A"});
    EXPECT_GE(heldForMs, host::site::kWedgedMarginMs);
    const auto before = pings();
    for (int i = 0; i < 30; ++i) {
        watch.Tick(Clock::now(), poller.Status(), poller.WedgedLines());
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(pings(), before) << "pinged while line A was stuck";
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("watchdog: line A is stuck"), std::string::npos) << said[0];

    {
        std::lock_guard lock(mutex);
        hold = false;
    }
    changed.notify_all();
    ASSERT_TRUE(WaitFor(poller, 20s, [&poller](const host::site::SiteStatus&) {
        return poller.WedgedLines().empty();
    }));
    watch.Tick(Clock::now(), poller.Status(), poller.WedgedLines());
    EXPECT_EQ(pings(), before + 1);
    poller.Stop();
}

// ---- a line's schedule on a timer the test holds ----

// A timer that moves to the end of every sleep at once, so that a read takes no time on it and
// each probe lands exactly where the schedule puts it. Sleeps that end after `end` are left to
// the real clock, which holds the line until the test stops it.
class SteppedTimer : public host::site::ScheduleTimer {
public:
    explicit SteppedTimer(Clock::duration end) : end_(kStart + end) {}
    Clock::time_point Now() override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void Sleeping(Clock::time_point when) override {
        std::lock_guard lock(mutex_);
        if (when <= end_) now_ = std::max(now_, when);
    }
    // Seconds since the start, on this timer.
    double Seconds() { return std::chrono::duration<double>(Now() - kStart).count(); }

private:
    static constexpr Clock::time_point kStart = Clock::time_point{} + 1h;
    std::mutex mutex_;
    Clock::time_point now_ = kStart;
    Clock::time_point end_;
};

// One read as the line's sink saw it: when on the timer, which gate, the driver's result.
struct Probe {
    double at;
    std::string gate;
    std::int32_t result;
    bool operator==(const Probe&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Probe& p) {
    return out << "{" << p.at << " s, " << p.gate << ", " << p.result << "}";
}

// One line of one meter against metersim, polled on a SteppedTimer.
class LineScheduleTest : public vpitest::LoadedDriverTest {
protected:
    // Starts metersim with meter `address` and `faults`, and polls the meter's `gates` (a TOML
    // array) with a back-off capped at 8 s until `count` reads are seen (at most 60 s of real
    // time), on a timer that stops at `end`. The probes, in order.
    std::vector<Probe> Poll(const std::string& address, const std::vector<std::string>& faults,
                            const std::string& gates, std::size_t count, Clock::duration end) {
        std::vector<std::string> argv{METERSIM_PATH, "--meter", address, "--link", Link('s')};
        for (const std::string& fault : faults) argv.insert(argv.end(), {"--fault", fault});
        EXPECT_TRUE(vpitest::StartMeterSim(sim_, argv));
        const std::string text =
            "site = \"schedule\"\nbackoff_max = \"8s\"\n"
            "[[line]]\nname = \"S\"\nport = \"" +
            Link('s') +
            "\"\ntimeout = \"100ms\"\n"
            "[[line.meter]]\nname = \"m\"\naddress = " +
            std::to_string(std::stoi(address)) + "\ngates = " + gates + "\n";
        const host::site::SiteConfigResult config =
            host::site::ParseSiteConfig(text, "schedule.toml");
        EXPECT_TRUE(config.errors.empty()) << config.errors.front().Text();
        const host::site::PreparedSite site = host::site::PrepareSite(driver_, config.site);
        EXPECT_TRUE(site.errors.empty()) << site.errors.front().Text();
        if (!config.errors.empty() || !site.errors.empty()) return {};

        SteppedTimer timer(end);
        std::mutex mutex;
        std::condition_variable seen;
        std::vector<Probe> probes;
        host::site::LineWorker line(
            driver_, site.lines.front(), site.backoffMaxMs,
            [&](const std::string&, const host::core::Reading& r) {
                std::lock_guard lock(mutex);
                probes.push_back(Probe{timer.Seconds(), r.gate, r.result});
                seen.notify_all();
            },
            &timer);
        line.Start();
        {
            std::unique_lock lock(mutex);
            EXPECT_TRUE(seen.wait_for(lock, 60s, [&] { return probes.size() >= count; }))
                << probes.size() << " reads seen";
        }
        line.Stop();
        status_ = line.Status();
        std::lock_guard lock(mutex);
        // A sleep past the timer's end that the real clock let run out may add a read at the
        // end: only the first `count` are the schedule's.
        if (probes.size() > count) probes.resize(count);
        return probes;
    }

    host::platform::MeterSimProcess sim_;
    host::site::LineStatus status_;
};

// Meter 03 is silent for its first five reads and its seventh (one request each: an EX read is
// one attempt), and answers the others. Its only gate is due every second, so its back-off
// starts at 1 s: the gaps of the silent reads are 1, 2, 4, 8 s and then the 8 s cap; the answer
// ends the back-off, and the single miss after it costs 1 s only. The slots that passed while
// it was backed off are skipped, not made up by reads in a row: after the answer at 23 s the
// next read is at 24 s.
TEST_F(LineScheduleTest, SilentMeterBacksOffDoublingAndOneAnswerResetsIt) {
    const std::vector<Probe> probes =
        Poll("03",
             {"silent:nth=1", "silent:nth=2", "silent:nth=3", "silent:nth=4", "silent:nth=5",
              "silent:nth=7"},
             "[{ gate = \"03EX1001:1\", interval = \"1s\" }]", 10, 27s);
    const std::string g = "03EX1001";  // as the gate is named, its count aside
    const std::vector<Probe> expected{{0, g, 2},  {1, g, 2},  {3, g, 2},  {7, g, 2},  {15, g, 2},
                                      {23, g, 0}, {24, g, 2}, {25, g, 0}, {26, g, 0}, {27, g, 0}};
    EXPECT_EQ(probes, expected);
    // Skipped at 3 s (the slot at 3), 7 s (4 to 6), 15 s (9 to 15 less the one read) and 23 s.
    EXPECT_EQ(status_.missedSlots, 1 + 3 + 7 + 7);
    ASSERT_EQ(status_.meters.size(), 1u);
    EXPECT_EQ(status_.meters[0].health, host::site::MeterHealth::Answering);
    EXPECT_EQ(status_.meters[0].consecutiveFailures, 0);
    EXPECT_EQ(status_.opens, 1);
}

// Two gates of a meter due at the same moment are read least recently read first, whatever
// their place in the file: the 2 s gate, listed second, goes first at 2 s and 4 s, since the
// 1 s gate was read more recently.
TEST_F(LineScheduleTest, GatesDueTogetherGoLeastRecentlyReadFirst) {
    const std::vector<Probe> probes = Poll("02", {},
                                           "[{ gate = \"0201\", interval = \"1s\" }, "
                                           "{ gate = \"0201H2\", interval = \"2s\" }]",
                                           8, 4s);
    const std::vector<Probe> expected{{0, "0201", 0},   {0, "0201H2", 0}, {1, "0201", 0},
                                      {2, "0201H2", 0}, {2, "0201", 0},   {3, "0201", 0},
                                      {4, "0201H2", 0}, {4, "0201", 0}};
    EXPECT_EQ(probes, expected);
    EXPECT_EQ(status_.missedSlots, 0);
}

}  // namespace
