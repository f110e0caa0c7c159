// The site poller against metersim: two lines, three meters, the real module called through
// VpiMain from a thread per line. A silent meter backs off while the others keep their
// interval; the values read are the pinned ones; a line whose simulator stops and starts again
// is reopened; the timing rules on their own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loaded_driver_test.h"
#include "metersim_child.h"
#include "poll_schedule.h"
#include "poller.h"
#include "site_config.h"
#include "site_gates.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ---- the timing rules ----

TEST(PollSchedule, NextDueStaysOnTheGridAndSkipsPassedSlots) {
    const auto t0 = Clock::time_point{} + 100s;
    long missed = -1;
    // On time: one interval on.
    EXPECT_EQ(host::NextDue(t0, 1000, t0 + 20ms, &missed), t0 + 1s);
    EXPECT_EQ(missed, 0);
    // Late by less than an interval: still the grid's next slot, not now + interval.
    EXPECT_EQ(host::NextDue(t0, 1000, t0 + 900ms, &missed), t0 + 1s);
    EXPECT_EQ(missed, 0);
    // Late by 3.5 intervals: the slots at +1, +2 and +3 s have passed and are skipped.
    EXPECT_EQ(host::NextDue(t0, 1000, t0 + 3500ms, &missed), t0 + 4s);
    EXPECT_EQ(missed, 3);
    // Exactly on a slot: that slot has passed too (never two reads at one instant).
    EXPECT_EQ(host::NextDue(t0, 1000, t0 + 1s, &missed), t0 + 2s);
    EXPECT_EQ(missed, 1);
}

TEST(PollSchedule, BackoffDoublesUpToTheCap) {
    EXPECT_EQ(host::BackoffMs(0, 500, 8000), 0);
    EXPECT_EQ(host::BackoffMs(1, 500, 8000), 500);
    EXPECT_EQ(host::BackoffMs(2, 500, 8000), 1000);
    EXPECT_EQ(host::BackoffMs(4, 500, 8000), 4000);
    EXPECT_EQ(host::BackoffMs(5, 500, 8000), 8000);
    EXPECT_EQ(host::BackoffMs(6, 500, 8000), 8000);
    EXPECT_EQ(host::BackoffMs(1000000, 500, 8000), 8000);
}

TEST(PollSchedule, PortFailureIsAReadFasterThanItsTimeOuts) {
    // Eight attempts of 100 ms: a silent meter takes 800 ms or more.
    EXPECT_FALSE(host::PortFailed(820, 8, 100));
    EXPECT_FALSE(host::PortFailed(400, 8, 100));
    // A port that has gone fails each attempt after the RTS turn-round alone.
    EXPECT_TRUE(host::PortFailed(180, 8, 100));
    EXPECT_TRUE(host::PortFailed(0, 1, 100));
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
    void Add(const host::Reading& reading) {
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

// The mean time between successful reads of `seen`, in ms; 0 with fewer than two.
double MeanIntervalMs(const std::vector<Seen>& seen) {
    std::vector<Clock::time_point> done;
    for (const Seen& s : seen) {
        if (s.result == 0) done.push_back(s.at);
    }
    if (done.size() < 2) return 0;
    return std::chrono::duration<double, std::milli>(done.back() - done.front()).count() /
           static_cast<double>(done.size() - 1);
}

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

const host::MeterStatus& MeterOf(const host::PollerStatus& status, const std::string& name) {
    for (const host::LineStatus& line : status.lines) {
        for (const host::MeterStatus& meter : line.meters) {
            if (meter.name == name) return meter;
        }
    }
    static const host::MeterStatus none;
    ADD_FAILURE() << "no meter " << name;
    return none;
}

// Waits (at most `limit`) until `done` holds for the poller's status.
template <typename Done>
bool WaitFor(const host::SitePoller& poller, std::chrono::seconds limit, Done done) {
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

    host::PreparedSite Site() {
        const host::SiteConfigResult config =
            host::ParseSiteConfig(SiteText(Link('a'), Link('b')), "poller-test.toml");
        EXPECT_TRUE(config.errors.empty()) << config.errors.front().Text();
        host::PreparedSite site = host::PrepareSite(driver_, config.site);
        EXPECT_TRUE(site.errors.empty()) << site.errors.front().Text();
        return site;
    }

    std::string pinsA_;
    std::string pinsB_;
    host::MeterSimProcess simA_;
    host::MeterSimProcess simB_;
};

// Meter 03 is silent: it backs off, doubling, while 01 and 02 keep their intervals within
// 10 % over the run; every value read is the pinned one. Then line B's simulator stops and
// comes back with 03 answering: the line is reopened and 03 is read again.
TEST_F(SitePollerTest, SilentMeterBacksOffOthersKeepTheirRateLineReopens) {
    ASSERT_TRUE(StartLineA());
    ASSERT_TRUE(StartLineB(false));
    const host::PreparedSite site = Site();
    Recorder recorder;
    host::SitePoller poller(driver_, site, [&recorder](const std::string&, const host::Reading& r) {
        recorder.Add(r);
    });
    poller.Start();
    std::this_thread::sleep_for(16s);

    const host::PollerStatus status = poller.Status();
    const host::MeterStatus& three = MeterOf(status, "three");
    EXPECT_EQ(three.health, host::MeterHealth::BackingOff);
    EXPECT_GE(three.consecutiveFailures, 3);
    EXPECT_GE(three.backoffMs, 4000.0) << "backed off to the cap";
    // At 1 s, 16 s would be 16 reads; backing off 1, 2, 4, 4... allows about 6.
    EXPECT_LE(recorder.Of("0301").size(), 8u);
    EXPECT_GE(recorder.Of("0301").size(), 3u);

    for (const auto& [gate, intervalMs] :
         std::vector<std::pair<std::string, double>>{{"0101", 1000}, {"0201", 1500}}) {
        const std::vector<Seen> seen = recorder.Of(gate);
        ASSERT_GE(seen.size(), 8u) << gate;
        EXPECT_NEAR(MeanIntervalMs(seen), intervalMs, intervalMs * 0.10) << gate;
    }
    for (const Seen& s : recorder.Of("0101")) {
        ASSERT_EQ(s.result, 0);
        EXPECT_FLOAT_EQ(s.values.at(0), 1250.0f);
    }
    for (const Seen& s : recorder.Of("0101H2")) EXPECT_FLOAT_EQ(s.values.at(5), 11.5f);
    for (const Seen& s : recorder.Of("0201")) EXPECT_FLOAT_EQ(s.values.at(0), 2300.0f);

    // Line B's simulator goes, and comes back with meter 03 answering.
    simB_.Stop();
    ASSERT_TRUE(WaitFor(poller, 20s, [](const host::PollerStatus& s) { return !s.lines[1].open; }))
        << "line B was not seen to fail";
    ASSERT_TRUE(StartLineB(true));
    EXPECT_TRUE(WaitFor(poller, 30s, [](const host::PollerStatus& s) {
        return s.lines[1].open && s.lines[1].opens >= 2 &&
               MeterOf(s, "three").health == host::MeterHealth::Answering;
    })) << "line B was not reopened, or meter 03 not read again";
    const std::vector<Seen> after = recorder.Of("0301");
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back().result, 0);
    EXPECT_FLOAT_EQ(after.back().values.at(0), 3300.0f);
    // Line A never failed.
    EXPECT_EQ(poller.Status().lines[0].opens, 1);
    poller.Stop();
    EXPECT_FALSE(poller.Status().lines[0].open);
    EXPECT_FALSE(poller.Status().lines[1].open);
}

// A port that is not there when the poller starts is tried again, with back-off, until it is.
TEST_F(SitePollerTest, PortThatIsNotThereYetIsOpenedOnceItIs) {
    ASSERT_TRUE(StartLineA());
    const host::PreparedSite site = Site();
    host::SitePoller poller(driver_, site);
    poller.Start();
    ASSERT_TRUE(WaitFor(
        poller, 10s, [](const host::PollerStatus& s) { return s.lines[1].reopenFailures >= 1; }));
    EXPECT_FALSE(poller.Status().lines[1].open);
    ASSERT_TRUE(StartLineB(true));
    EXPECT_TRUE(WaitFor(poller, 20s, [](const host::PollerStatus& s) {
        return s.lines[1].open && MeterOf(s, "two").health == host::MeterHealth::Answering;
    }));
    poller.Stop();
}

}  // namespace
