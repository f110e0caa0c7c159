// vpihost sniff end to end on metersim's tap: every exchange of a poll over every family and
// of both kinds of write recorded as the simulator logged it, the values equal to what poll
// printed and to what the simulator was given, and the line's faults (garbage, checksum, delay,
// silent, echo) shown as such.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim_line.h"

namespace {

using Json = nlohmann::json;
using vpitest::Child;
using vpitest::Outcome;
using vpitest::RunToEnd;
using vpitest::SimLine;

// sniff started on the tap and ready; Stop() ends it with Ctrl-C.
class Sniff {
public:
    explicit Sniff(const std::string& tap)
        : child_({VPIHOST_PATH, "sniff", "--port", tap, "--json", "--raw"}) {
        ready_ = child_.WaitForErr("listening on");
    }
    bool Ready() const { return ready_; }
    // Waits until it has printed `text`: the tap copies the line's bytes after the line has
    // them, so the last reply may reach sniff after the master has taken it.
    bool Heard(const std::string& text) const { return child_.WaitForOut(text); }
    Outcome Stop() {
        child_.Signal(SIGINT);
        return child_.Wait();
    }

private:
    Child child_;
    bool ready_ = false;
};

std::vector<Json> Records(const Outcome& run, const char* kind) {
    std::vector<Json> records;
    for (const std::string& line : vpitest::SplitLines(run.out)) {
        Json record = Json::parse(line);
        if (record["kind"] == kind) records.push_back(record);
    }
    return records;
}

Outcome Vpihost(std::vector<std::string> args) {
    args.insert(args.begin(), {VPIHOST_PATH, "--quiet"});
    return RunToEnd(args);
}

// What the simulator logged and what sniff heard agree, request by request.
void ExpectSameExchanges(const std::vector<Json>& events, const std::vector<Json>& heard) {
    ASSERT_EQ(heard.size(), events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(events[i].dump());
        EXPECT_EQ(heard[i]["meter"], events[i]["meter"]);
        EXPECT_EQ(heard[i]["command"], events[i]["command"]);
        EXPECT_EQ(heard[i]["request"]["text"], events[i]["request"]["text"]);
        EXPECT_EQ(heard[i]["answered"], events[i]["answered"]);
        if (events[i]["answered"] != true) continue;
        // The simulator logs all it sent; the listener keeps bytes ahead of the frame (the
        // garbage fault's) apart as noise.
        const std::string sent = events[i]["reply"]["text"];
        const std::string frame = heard[i]["reply"]["text"];
        ASSERT_GE(sent.size(), frame.size());
        EXPECT_EQ(sent.substr(sent.size() - frame.size()), frame);
        const std::string ahead = sent.substr(0, sent.size() - frame.size());
        EXPECT_TRUE(ahead.empty() || ahead == "\\r\\n#?~") << ahead;
    }
}

const std::vector<std::string> kGates{"0101",    "0101H2",   "01TR11",     "01TK31", "01TY21",
                                      "01TD161", "01TC1011", "01EX0001:2", "0701",   "07EX1001:3"};
const std::vector<std::string> kGateNames{"plain", "H2",   "TR1",       "TK3",   "TY2",
                                          "TD16",  "TC13", "EX 0/1 x2", "plain", "EX 10/1 x3"};

TEST(Sniff, RecordsEveryExchangeOfEveryFamilyAndWriteWithPollsValues) {
    const std::string values = vpitest::TempPath("values");
    std::ofstream(values) << "plain.16 = 49.9\nh2.5 = 12.5\ntr1 = 0A 0B 00FF\nex.0.1 = 1234\n";
    SimLine sim({"--meter", "01", "--meter", "07", "--values", values}, true);
    ASSERT_TRUE(sim.Started());
    Sniff sniff(sim.Tap());
    ASSERT_TRUE(sniff.Ready());

    std::vector<std::string> poll{"poll",   "--json",   "--count",   "1",
                                  "--port", sim.Port(), "--timeout", "300"};
    poll.insert(poll.end(), kGates.begin(), kGates.end());
    const Outcome polled = Vpihost(poll);
    ASSERT_EQ(polled.exitCode, 0) << polled.err;
    for (const std::vector<std::string>& write :
         {std::vector<std::string>{"0100", "2"}, {"07EX1002", "-5", "77"}}) {
        std::vector<std::string> args{"write", "--port", sim.Port(), "--timeout", "300"};
        args.insert(args.end(), write.begin(), write.end());
        const Outcome wrote = Vpihost(args);
        EXPECT_EQ(wrote.exitCode, 0) << wrote.out << wrote.err;
    }
    EXPECT_TRUE(sniff.Heard("EX write 10/2 x2"));
    const Outcome heard = sniff.Stop();
    EXPECT_EQ(heard.exitCode, 0) << heard.err;
    std::remove(values.c_str());

    const std::vector<Json> exchanges = Records(heard, "request");
    ExpectSameExchanges(sim.Requests(), exchanges);
    ASSERT_EQ(exchanges.size(), kGates.size() + 2);
    const std::vector<std::string> readings = vpitest::SplitLines(polled.out);
    ASSERT_EQ(readings.size(), kGates.size());
    for (std::size_t i = 0; i < kGates.size(); ++i) {
        SCOPED_TRACE(kGates[i]);
        const Json reading = Json::parse(readings[i]);
        EXPECT_EQ(exchanges[i]["gate"], kGateNames[i]);
        EXPECT_EQ(exchanges[i]["check"], "ok");
        EXPECT_EQ(exchanges[i]["decode"], "decoded");
        // The same decoders on the same bytes: the very values poll printed.
        EXPECT_EQ(exchanges[i]["values"], reading["values"]);
        EXPECT_GE(exchanges[i]["reply_start_us"].get<long>(), exchanges[i]["time_us"].get<long>());
    }
    // And what the simulator was given to send, whatever the decoders make of it: the same
    // decoders behind poll and sniff would agree on a wrong value.
    const auto value = [&exchanges](std::size_t exchange, std::size_t slot) {
        return exchanges[exchange]["values"].at(slot).get<double>();
    };
    EXPECT_FLOAT_EQ(value(0, 16), 49.9f);  // 01's plain.16
    EXPECT_FLOAT_EQ(value(8, 16), 49.9f);  // 07's
    EXPECT_EQ(value(1, 5), 12.5);          // h2.5
    // tr1 = 0A 0B 00FF: the first field is sent one below what it means.
    EXPECT_EQ(exchanges[2]["values"], Json::array({11, 11, 255}));
    EXPECT_EQ(value(7, 0), 1234.0);  // ex.0.1
    EXPECT_EQ(exchanges[kGates.size()]["gate"], "command 2");
    EXPECT_EQ(exchanges[kGates.size()]["answered"], true);
    EXPECT_EQ(exchanges[kGates.size()]["echo"], false);
    EXPECT_EQ(exchanges[kGates.size() + 1]["gate"], "EX write 10/2 x2");
    EXPECT_EQ(exchanges[kGates.size() + 1]["meter"], 7);
    EXPECT_TRUE(Records(heard, "noise").empty()) << heard.out;
    // The summary goes to stderr beside JSON: meter 01 with its eight reads and the command.
    EXPECT_NE(heard.err.find("summary (interrupted)"), std::string::npos) << heard.err;
}

TEST(Sniff, ShowsEachFaultOfTheLineAsWhatItIs) {
    SimLine sim({"--meter", "02", "--meter", "03", "--meter", "04", "--meter", "05", "--fault",
                 "checksum:meter=02", "--fault", "silent:meter=03", "--fault", "garbage:meter=04",
                 "--fault", "delay=60:meter=05", "--fault", "echo"},
                true);
    ASSERT_TRUE(sim.Started());
    Sniff sniff(sim.Tap());
    ASSERT_TRUE(sniff.Ready());
    const Outcome polled = Vpihost({"poll", "--json", "--count", "1", "--port", sim.Port(),
                                    "--timeout", "150", "0201", "0301", "0401", "0501"});
    EXPECT_EQ(polled.exitCode, 2) << polled.err;  // meters 02 and 03 never gave a value
    EXPECT_TRUE(sniff.Heard("\"meter\":5"));
    const Outcome heard = sniff.Stop();
    ASSERT_EQ(heard.exitCode, 0) << heard.err;

    const std::vector<Json> events = sim.Requests();
    const std::vector<Json> exchanges = Records(heard, "request");
    ExpectSameExchanges(events, exchanges);
    std::map<int, int> perMeter;
    for (const Json& e : exchanges) {
        SCOPED_TRACE(e.dump());
        const int meter = e["meter"];
        ++perMeter[meter];
        EXPECT_EQ(e["echo"], true);  // the line handed every request back
        EXPECT_EQ(e["answered"], meter != 3);
        if (meter == 2) {
            EXPECT_EQ(e["check"], "checksum");
        }
        if (meter == 4 || meter == 5) {
            EXPECT_EQ(e["check"], "ok");
        }
        if (meter == 5) {
            // Held back 60 ms by the meter; the sniffer stamps the request as it reads it off
            // the tap, which on a busy machine may be some milliseconds late (59.7 ms seen).
            // An undelayed reply takes about one.
            EXPECT_GE(e["reply_ms"].get<double>(), 40.0);
        }
    }
    // The driver tries a failing read eight times (the garbage ahead of a reply fails it
    // too), a good one once.
    EXPECT_EQ(perMeter, (std::map<int, int>{{2, 8}, {3, 8}, {4, 8}, {5, 1}}));
    const std::vector<Json> noise = Records(heard, "noise");
    ASSERT_EQ(noise.size(), 8u) << heard.out;
    for (const Json& n : noise) EXPECT_EQ(n["bytes"]["text"], "\\r\\n#?~");

    // The summary: exchanges, unanswered, checksum failures and late replies per meter.
    const auto row = [&heard](const std::string& meter) {
        std::string squeezed;
        for (char c : heard.err) {
            if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += c;
        }
        const std::size_t at = squeezed.find("\n" + meter + " ");
        return at == std::string::npos ? std::string() : squeezed.substr(at + 1, 11);
    };
    EXPECT_EQ(row("02"), "02 8 0 8 0 ") << heard.err;
    EXPECT_EQ(row("03"), "03 8 8 0 0 ") << heard.err;
    EXPECT_EQ(row("04"), "04 8 0 0 0 ") << heard.err;
}

// A tap nobody read holds the exchanges made before sniff started (kilobytes of them, more than
// one queue's worth): sniff shows none of them, only what the line carries once it listens.
TEST(Sniff, ShowsNothingFromBeforeItStarted) {
    SimLine sim({"--meter", "01", "--meter", "07"}, true);
    ASSERT_TRUE(sim.Started());
    const Outcome before = Vpihost({"poll", "--json", "--count", "40", "--interval", "1ms",
                                    "--port", sim.Port(), "--timeout", "300", "0101"});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    Sniff sniff(sim.Tap());
    ASSERT_TRUE(sniff.Ready());
    const Outcome after = Vpihost(
        {"poll", "--json", "--count", "1", "--port", sim.Port(), "--timeout", "300", "0701"});
    ASSERT_EQ(after.exitCode, 0) << after.err;
    ASSERT_TRUE(sniff.Heard("\"kind\":\"request\""));
    const Outcome heard = sniff.Stop();
    const std::vector<Json> exchanges = Records(heard, "request");
    ASSERT_EQ(exchanges.size(), 1u) << heard.out;
    EXPECT_EQ(exchanges[0]["meter"], 7);
    EXPECT_TRUE(Records(heard, "noise").empty()) << heard.out;
}

// metersim says where its tap is, on the line after the one that says where it listens.
TEST(Sniff, MetersimSaysWhereItsTapIs) {
    const std::string tap = vpitest::TempPath("tap");
    Child sim({METERSIM_PATH, "--meter", "01", "--tap", tap});
    ASSERT_TRUE(sim.WaitForOut("metersim: tap on /dev/")) << "no tap line";
    ASSERT_TRUE(sim.WaitForOut(" linked at " + tap + "\n"));
    sim.Signal(SIGTERM);
    const Outcome run = sim.Wait();
    const std::vector<std::string> said = vpitest::SplitLines(run.out);
    ASSERT_GE(said.size(), 2u) << run.out;
    EXPECT_EQ(said[0].rfind("metersim: listening on /dev/", 0), 0u) << run.out;
    EXPECT_EQ(said[1].rfind("metersim: tap on /dev/", 0), 0u) << run.out;
}

TEST(Sniff, RefusesWhatItCannotListenTo) {
    const Outcome missing =
        Vpihost({"sniff", "--port", "/tmp/no-such-tap-here", "--duration", "1s"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("did not open"), std::string::npos) << missing.err;
    // The null device opens but never waits: the listener says the port is gone, rather than
    // spinning until Ctrl-C.
    const Outcome gone = Vpihost({"sniff", "--port", "NUL"});
    EXPECT_EQ(gone.exitCode, 2);
    EXPECT_NE(gone.err.find("the port is gone"), std::string::npos) << gone.err;
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--baud", "9600,19200"},
                                                {"--baud", "auto"},
                                                {"--duration", "0"},
                                                {"--parity", "evn"}}) {
        std::vector<std::string> args{"sniff", "--port", "/dev/null"};
        args.insert(args.end(), bad.begin(), bad.end());
        const Outcome run = Vpihost(args);
        EXPECT_EQ(run.exitCode, 64) << bad[0] << " " << bad[1] << run.err;
    }
}

}  // namespace
