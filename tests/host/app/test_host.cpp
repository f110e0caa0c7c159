// vpihost read, write, poll and demo end to end: the real module, a real pseudo-terminal and
// metersim as the meters, checked against the simulator's pinned values and its request log.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim_line.h"
#include "text_tools.h"
#include "vpihost_run.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

using vpitest::Outcome;
using vpitest::SplitLines;
using vpitest::TempPath;

Outcome Vpihost(std::vector<std::string> args) {
    args.insert(args.begin(), VPIHOST_PATH);
    return vpitest::RunToEnd(std::move(args));
}

// metersim on its pseudo-terminal behind a short link, with its request log; it must have said
// where it listens.
class Sim : public vpitest::SimLine {
public:
    explicit Sim(std::vector<std::string> args) : SimLine(std::move(args)) {
        EXPECT_EQ(FirstLine().rfind("metersim: listening on ", 0), 0u) << FirstLine();
    }
};

using vpitest::Squeeze;

std::string WriteValues(const std::string& text) {
    const std::string path = TempPath("values");
    std::ofstream(path) << text;
    return path;
}

// Values pinned in the simulator, and what the driver must read back for them.
struct Pinned {
    const char* gate;
    int element;  // from 1
    float value;
};

// The T registers are pinned as raw fields; the driver adds 1 to TR field 1 and TY field 1.
const char* const kValuesFile =
    "plain.16 = 49.9\n"
    "plain.9 = \"0.50\"\n"
    "h2.5 = 12.5\n"
    "tr3 = 0A 0B 00FF\n"
    "tk2 = 01 02 0100\n"
    "ty2 = 05 06\n"
    "ex.0.1 = 1234\n"
    "ex.0.2 = -7\n"
    "07:plain.16 = 50.1\n";

const Pinned kPinned[] = {
    {"0101", 17, 49.9f},  {"0101", 10, 0.5f},    {"0101H2", 6, 12.5f},  {"01TR31", 1, 11.0f},
    {"01TR31", 2, 11.0f}, {"01TR31", 3, 255.0f}, {"01TK21", 1, 1.0f},   {"01TK21", 3, 256.0f},
    {"01TY21", 1, 6.0f},  {"01TY21", 2, 6.0f},   {"01EX0001", 1, 1234}, {"01EX0001", 2, -7},
    {"0701", 17, 50.1f},
};
const std::vector<std::string> kPinnedGates = {"0101",   "0101H2", "01TR31",    "01TK21",
                                               "01TY21", "0701",   "01EX0001:2"};

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class VpihostOnSim : public ::testing::Test {
protected:
    void SetUp() override { values_ = WriteValues(kValuesFile); }
    void TearDown() override { std::remove(values_.c_str()); }
    std::vector<std::string> SimArgs(std::vector<std::string> more = {}) {
        return With({"--meter", "01", "--meter", "07", "--values", values_}, more);
    }
    std::string values_;
};

TEST_F(VpihostOnSim, ReadPrintsThePinnedValuesInEveryFormat) {
    Sim sim(SimArgs());
    const std::vector<std::string> base = {"--quiet",  "read",      "--port",
                                           sim.Port(), "--timeout", "300"};

    // CSV: one row per value, with an RFC 3339 time.
    const Outcome csv = Vpihost(With(With(base, {"--csv"}), kPinnedGates));
    ASSERT_EQ(csv.exitCode, 0) << csv.out << csv.err;
    const std::vector<std::string> rows = SplitLines(csv.out);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0], "time,gate,plc,memtype,index,result,element,value");
    std::map<std::pair<std::string, int>, float> fromCsv;
    std::map<std::string, int> rowsPerGate;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        std::vector<std::string> cells;
        std::stringstream in(rows[i]);
        for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
        ASSERT_EQ(cells.size(), 8u) << rows[i];
        EXPECT_EQ(cells[0].size(), 24u) << cells[0];  // 2026-12-08T04:20:30.123Z
        EXPECT_EQ(cells[0][10], 'T');
        EXPECT_EQ(cells[0].back(), 'Z');
        EXPECT_EQ(cells[5], "0");
        fromCsv[{cells[1], std::stoi(cells[6])}] = std::stof(cells[7]);
        ++rowsPerGate[cells[1]];
    }
    const std::map<std::string, int> counts = {{"0101", 40},   {"0101H2", 34}, {"01TR31", 3},
                                               {"01TK21", 3},  {"01TY21", 2},  {"0701", 40},
                                               {"01EX0001", 2}};
    EXPECT_EQ(rowsPerGate, counts);

    // JSON lines: one object per gate.
    const Outcome json = Vpihost(With(With(base, {"--json"}), kPinnedGates));
    ASSERT_EQ(json.exitCode, 0) << json.err;
    std::map<std::string, Json> objects;
    for (const std::string& line : SplitLines(json.out)) {
        const Json object = Json::parse(line);
        objects[object["gate"]] = object;
        EXPECT_EQ(object["result"], 0);
        EXPECT_EQ(object["attempts"], 1);
        EXPECT_EQ(object["values"].size(), static_cast<std::size_t>(counts.at(object["gate"])));
    }
    EXPECT_EQ(objects.size(), counts.size());
    EXPECT_EQ(objects["01TY21"]["memtype"], 41);
    EXPECT_EQ(objects["01EX0001"]["index"], 1);

    // The table, for people: the row of each gate.
    const Outcome table = Vpihost(With(base, kPinnedGates));
    ASSERT_EQ(table.exitCode, 0) << table.err;

    for (const Pinned& p : kPinned) {
        SCOPED_TRACE(std::string(p.gate) + " element " + std::to_string(p.element));
        EXPECT_FLOAT_EQ((fromCsv[{p.gate, p.element}]), p.value);
        const Json& values = objects[p.gate]["values"];
        ASSERT_GE(values.size(), static_cast<std::size_t>(p.element));
        EXPECT_FLOAT_EQ(values[static_cast<std::size_t>(p.element - 1)].get<float>(), p.value);
    }
    const std::string squeezed = Squeeze(table.out);
    EXPECT_NE(squeezed.find("\n01TR31 13 (TR3) done 1 1: 11 11 255\n"), std::string::npos)
        << table.out;
    EXPECT_NE(squeezed.find("\n01TY21 41 (TY2) done 1 1: 6 6\n"), std::string::npos) << table.out;
    EXPECT_NE(squeezed.find("\n01EX0001 200 (EX) done 1 1: 1234 -7\n"), std::string::npos)
        << table.out;
}

TEST_F(VpihostOnSim, WriteSendsWhatTheDryRunShowsAndTheRegisterReadsBack) {
    Sim sim(SimArgs());
    struct Case {
        std::vector<std::string> write;
    };
    const Case cases[] = {{{"0100", "2"}}, {{"0100", "1"}}, {{"01EX1003", "-5", "70000", "12.7"}}};
    std::vector<std::string> dryRuns;
    for (const Case& c : cases) {
        const Outcome dry = Vpihost(With({"--quiet", "write", "--dry-run"}, c.write));
        ASSERT_EQ(dry.exitCode, 0) << dry.out << dry.err;
        EXPECT_NE(dry.out.find("up to 8 times"), std::string::npos) << dry.out;
        const std::size_t start = dry.out.find("request") + 18;
        dryRuns.push_back(dry.out.substr(start, dry.out.find(" (", start) - start));
        const Outcome real =
            Vpihost(With({"--quiet", "write", "--port", sim.Port(), "--timeout", "300"}, c.write));
        EXPECT_EQ(real.exitCode, 0) << real.out << real.err;
        EXPECT_NE(real.out.find("acknowledged"), std::string::npos) << real.out;
    }
    const Outcome back = Vpihost({"--quiet", "read", "--ex", "--json", "--port", sim.Port(),
                                  "--timeout", "300", "01EX1003:3"});
    ASSERT_EQ(back.exitCode, 0) << back.err;
    const Json object = Json::parse(back.out);
    EXPECT_EQ(object["values"], Json::parse("[-5.0, 70000.0, 12.0]"));

    const std::vector<Json> requests = sim.Requests();
    ASSERT_EQ(requests.size(), 4u);
    for (std::size_t i = 0; i < dryRuns.size(); ++i) {
        // The dry run shows the frame the driver sent, byte for byte.
        EXPECT_EQ(requests[i]["request"]["text"].get<std::string>(), dryRuns[i]);
        EXPECT_EQ(requests[i]["answered"], true);
    }
    EXPECT_EQ(dryRuns[0], "!00701426\\r\\n");
}

TEST_F(VpihostOnSim, WriteReportsInCsvAndJson) {
    Sim sim(SimArgs());
    const std::vector<std::string> base = {"--quiet",  "write",     "--port",
                                           sim.Port(), "--timeout", "300"};
    const Outcome json = Vpihost(With(base, {"--json", "01EX1002", "9"}));
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const Json object = Json::parse(json.out);
    EXPECT_EQ(object["gate"], "01EX1002");
    EXPECT_EQ(object["index"], 10 * 256 + 2);
    EXPECT_EQ(object["result"], 0);
    const Outcome csv = Vpihost(With(base, {"--csv", "0100", "1"}));
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    const std::vector<std::string> rows = SplitLines(csv.out);
    ASSERT_EQ(rows.size(), 2u) << csv.out;
    EXPECT_EQ(rows[0], "time,gate,plc,memtype,index,result");
    EXPECT_EQ(rows[1].substr(24), ",0100,1,87,0,0");
    const std::vector<Json> requests = sim.Requests();
    ASSERT_EQ(requests.size(), 2u);
    // The JSON names the frame that went out.
    EXPECT_EQ(Json(object["request"].get<std::string>()).dump(),
              "\"" + requests[0]["request"]["text"].get<std::string>() + "\"");
}

// How a fault of the meters shows: exit status, attempts and the requests the line saw.
TEST_F(VpihostOnSim, FaultsGiveTheirResultsAttemptsAndRequests) {
    struct Case {
        const char* fault;
        std::vector<std::string> command;
        int exitCode;
        int attempts;
        std::size_t requests;
        const char* timeout = "300";  // ms; short where every exchange waits it out
    };
    const Case cases[] = {
        {"silent", {"read", "--json", "0101"}, 2, 8, 8, "50"},
        {"checksum", {"read", "--json", "0101"}, 1, 8, 8},
        {"silent:nth=1", {"read", "--json", "0101"}, 0, 2, 2},
        {"nonnumeric:nth=1", {"read", "--json", "0101H1"}, 0, 2, 2},
        {"checksum:nth=2", {"read", "--json", "01TY11", "01TY11"}, 0, 2, 3},
        {"silent", {"read", "--ex", "--json", "01EX0001:3"}, 2, 1, 1, "50"},
        {"silent", {"write", "01EX1001", "3"}, 2, 0, 8, "50"},
        {"silent:nth=1", {"write", "0100", "1"}, 0, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + c.command[0] + " " + c.command.back());
        Sim sim(SimArgs({"--fault", c.fault}));
        std::vector<std::string> args = {"--quiet",  c.command[0], "--port",
                                         sim.Port(), "--timeout",  c.timeout};
        args.insert(args.end(), c.command.begin() + 1, c.command.end());
        const Outcome run = Vpihost(args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        if (c.attempts > 0) {
            const std::vector<std::string> lines = SplitLines(run.out);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(Json::parse(lines.back())["attempts"], c.attempts) << run.out;
        }
        EXPECT_EQ(sim.Requests().size(), c.requests);
    }
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A meter that never answers: eight identical lines collapse into one and a count, and the
// RTS lines of the pseudo-terminal do not get between them.
TEST_F(VpihostOnSim, DriverLinesReachStderrCollapsed) {
    Sim sim(SimArgs({"--fault", "silent"}));
    const Outcome run = Vpihost({"read", "--port", sim.Port(), "--timeout", "20", "01TY11"});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_EQ(Occurrences(run.err, "Fail to recv response to read data (Vpi # 1,PLC # 1)"), 1u)
        << run.err;
    EXPECT_EQ(Occurrences(run.err, "driver[8] ... repeated 7 times\n"), 1u) << run.err;
    EXPECT_EQ(Occurrences(run.err, "RTS to on"), 1u) << run.err;
    EXPECT_EQ(Occurrences(run.err, "RTS to off"), 1u) << run.err;
    // Eight exchanges, two RTS lines each, two of them shown.
    EXPECT_NE(run.err.find("note: 14 more RTS messages not shown"), std::string::npos) << run.err;
    // Each line leads with the time of day and the severity: "04:36:01.965 driver[8] ".
    const std::size_t line = run.err.find(" driver[8] Xerbo");
    ASSERT_NE(line, std::string::npos);
    ASSERT_GE(line, 12u);
    const std::string stamp = run.err.substr(line - 12, 12);
    EXPECT_TRUE(stamp[2] == ':' && stamp[5] == ':' && stamp[8] == '.') << stamp;
    EXPECT_EQ(sim.Requests().size(), 8u);
}

TEST_F(VpihostOnSim, PollSumsUpResultsFailuresAndLatency) {
    Sim sim(SimArgs(
        {"--fault", "silent:nth=1", "--fault", "checksum:nth=4", "--fault", "nonnumeric:nth=7"}));
    const Outcome run = Vpihost({"--quiet", "poll", "--port", sim.Port(), "--timeout", "300",
                                 "--interval", "10ms", "--count", "3", "0101", "01TY11"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    // Requests: 1 plain silent, 2 plain, 3 TY, 4 plain checksum, 5 plain, 6 TY, 7 plain
    // nonnumeric, 8 plain, 9 TY.
    const std::string squeezed = Squeeze(run.out);
    EXPECT_NE(squeezed.find("summary: 3 cycle(s), 6 exchange(s)"), std::string::npos) << run.out;
    EXPECT_NE(squeezed.find("\n0101 3 0 0 2.00\n"), std::string::npos) << run.out;
    EXPECT_NE(squeezed.find("\n01TY11 3 0 0 1.00\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("no reply 1, checksum 1, conversion 1, other 0"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("latency ms        min "), std::string::npos);
    EXPECT_EQ(sim.Requests().size(), 9u);

    // CSV and JSON lines every cycle, the summary beside them on stderr.
    Sim second(SimArgs());
    for (const char* format : {"--csv", "--json"}) {
        const Outcome rows =
            Vpihost({"--quiet", "poll", "--port", second.Port(), "--timeout", "300", "--interval",
                     "1ms", "--count", "2", format, "01TY11"});
        ASSERT_EQ(rows.exitCode, 0) << rows.err;
        EXPECT_EQ(SplitLines(rows.out).size(), format[2] == 'c' ? 5u : 2u) << rows.out;
        EXPECT_NE(rows.err.find("summary: 2 cycle(s), 2 exchange(s)"), std::string::npos);
    }
}

// poll --config runs the same poller as poll --port: its summary per meter and per line, with
// a meter that does not answer shown backing off; and --port's gates of two meters are one
// meter of the site, read in the order typed, cycle after cycle.
TEST_F(VpihostOnSim, PollOfASiteSumsUpPerMeterAndLine) {
    Sim sim(SimArgs());
    const std::string site = TempPath("site");
    std::ofstream(site) << "[[line]]\nname = \"a\"\nport = \"" << sim.Port()
                        << "\"\ntimeout = \"100ms\"\n"
                           "[[line.meter]]\nname = \"m1\"\naddress = 1\n"
                           "gates = [{ gate = \"0101\", interval = \"100ms\" }]\n"
                           "[[line.meter]]\nname = \"gone\"\naddress = 9\n"
                           "gates = [{ gate = \"0901\", interval = \"100ms\" }]\n";
    const Outcome run =
        Vpihost({"--quiet", "poll", "--config", site, "--duration", "2500ms", "--json"});
    std::remove(site.c_str());
    EXPECT_EQ(run.exitCode, 2) << run.err;
    const std::string squeezed = Squeeze(run.err);
    EXPECT_NE(squeezed.find("meter m1 on line a: answering\n"), std::string::npos) << run.err;
    EXPECT_NE(squeezed.find("meter gone on line a: backing-off\n"), std::string::npos) << run.err;
    EXPECT_NE(squeezed.find("line a: "), std::string::npos) << run.err;
    // The meter that never answers: every read failed, none refused.
    const std::size_t gone = squeezed.find("\n0901 0 0 ");
    ASSERT_NE(gone, std::string::npos) << run.err;
    EXPECT_GE(std::stoi(squeezed.substr(gone + 10)), 1) << run.err;
    const std::size_t answered = squeezed.find("\n0101 ");
    ASSERT_NE(answered, std::string::npos) << run.err;
    EXPECT_GE(std::stoi(squeezed.substr(answered + 6)), 1) << run.err;
    EXPECT_EQ(squeezed.substr(answered + 6).find(" 0 0 1.00\n"),
              squeezed.substr(answered + 6).find(' '))
        << run.err;

    const Outcome port = Vpihost({"--quiet", "poll", "--port", sim.Port(), "--timeout", "300",
                                  "--interval", "1ms", "--count", "2", "--csv", "0701", "0101"});
    ASSERT_EQ(port.exitCode, 0) << port.err;
    std::vector<std::string> order;
    for (const std::string& row : SplitLines(port.out)) {
        if (row.find(",0,1,") == std::string::npos) continue;  // element 1 of a done read
        order.push_back(row.substr(row.find(',') + 1, 4));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"0701", "0101", "0701", "0101"})) << port.out;
    EXPECT_NE(Squeeze(port.err).find("meter 07,01 on line "), std::string::npos) << port.err;
}

// open shares the channel code of read, write and poll: line, rounding, open and close.
TEST_F(VpihostOnSim, OpenReportsTheLineAndTheRoundedTimeout) {
    Sim sim(SimArgs());
    const Outcome run =
        Vpihost({"--quiet", "open", sim.Port(), "--timeout", "55", "--baud", "19200"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string squeezed = Squeeze(run.out);
    EXPECT_NE(squeezed.find("read time-out 55 ms rounded up to 60 ms"), std::string::npos)
        << run.out;
    EXPECT_NE(squeezed.find("line 19200 baud, 8 data bits, parity none, 1 stop bit(s)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(squeezed.find(sim.Port() + " opened; read time-out 60 ms"), std::string::npos)
        << run.out;
    EXPECT_NE(squeezed.find(sim.Port() + " closed"), std::string::npos) << run.out;
}

// On a terminal the table form keeps one status line up to date; for --duration the cycles end
// with the time.
TEST_F(VpihostOnSim, PollShowsALiveStatusLineOnATerminal) {
    Sim sim(SimArgs());
    const Outcome run =
        vpitest::RunOnTerminal({VPIHOST_PATH, "--quiet", "poll", "--port", sim.Port(), "--timeout",
                                "300", "--interval", "50ms", "--duration", "400ms", "01TY11"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    const std::string& screen = run.out;
    // Each cycle rewrites the line from its start: "\r2026-12-08T04:20:30.123Z cycle 2: ...".
    for (const char* cycle : {"Z cycle 1: 01TY11 ", "Z cycle 2: 01TY11 "}) {
        const std::size_t at = screen.find(cycle);
        ASSERT_NE(at, std::string::npos) << cycle << screen;
        ASSERT_GE(at, 24u);
        EXPECT_EQ(screen[at - 24], '\r') << screen;
    }
    // 400 ms of cycles 50 ms apart: more than one, and the summary after the status line.
    const std::size_t summary = screen.find("summary: ");
    ASSERT_NE(summary, std::string::npos) << screen;
    EXPECT_GE(std::stoi(screen.substr(summary + 9)), 2) << screen;
    EXPECT_GT(summary, screen.rfind("cycle "));
}

TEST_F(VpihostOnSim, PollStopsOnInterruptWithItsSummary) {
    Sim sim(SimArgs());
    vpitest::Child poll({VPIHOST_PATH, "--quiet", "poll", "--port", sim.Port(), "--timeout", "300",
                         "--interval", "50ms", "--duration", "60s", "--json", "01TY11"});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    static_cast<void>(poll.WaitForOutLines(2, 10));
    poll.Signal(SIGINT);
    const Outcome run = poll.Wait();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(Clock::now(), deadline);
    const std::string& summary = run.err;
    EXPECT_NE(summary.find("summary (interrupted):"), std::string::npos) << summary;
    EXPECT_NE(summary.find("latency ms"), std::string::npos) << summary;
}

TEST(Vpihost, ExitStatusesAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* says;  // on stderr, or on standard output where a refusal is the result
        bool onStdout = false;
    };
    const Case cases[] = {
        {{}, 64, "subcommand"},
        {{"read", "0101"}, 64, "--port"},
        {{"read", "--port", "/tmp/none", "01EX0001"}, 64, "needs a count"},
        {{"read", "--port", "/tmp/none", "0101:x"}, 64, "must be a number"},
        {{"read", "--port", "/tmp/none", "--csv", "--json", "0101"}, 64, "excludes"},
        {{"read", "--port", "/tmp/none", "--parity", "odder", "0101"}, 64, "--parity"},
        {{"read", "--port", "/tmp/none", "--ex", "0101"}, 64, "EX gates only"},
        {{"poll", "--port", "/tmp/none", "--interval", "soon", "0101"}, 64, "--interval"},
        {{"write", "0100", "1"}, 64, "--port"},
        {{"write", "--dry-run", "01EX1001", "x"}, 64, "not a number"},
        {{"read", "--port", "/tmp/none", "01zz"}, 1, "no such address form"},
        {{"read", "--port", "/tmp/none", "0141"}, 1, "parse fail for gate 41"},
        {{"read", "--port", "/tmp/none", "0102"}, 1, "index 1"},
        {{"read", "--port", "/tmp/none", "0101:12"}, 1, "do not fit"},
        {{"read", "--port", "/tmp/none", "0100"}, 1, "command gate"},
        {{"write", "--dry-run", "0100", "3"}, 1, "a command gate takes the value 1", true},
        {{"write", "--dry-run", "01EX0901", "3"}, 1, "only EX group 10 is writable", true},
        {{"read", "--port", "/tmp/none", "0101"}, 2, "did not open: no such device"},
        {{"write", "--port", "/tmp/none", "0100", "1"}, 2, "did not open: no such device"},
        {{"demo", "--metersim", "/tmp/none"}, 2, "cannot start /tmp/none"},
        {{"open", "/tmp/none"}, 2, "did not open: no such device"},
        {{"open", "/tmp/none", "--stop", "3"}, 64, "--stop"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        const Outcome run = Vpihost(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        const std::string& said = c.onStdout ? run.out : run.err;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

TEST(Vpihost, DemoReadsEveryFamilyAndReadsTheWrittenRegisterBack) {
    const Outcome run = Vpihost({"demo", "--ex-value", "-1234"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string squeezed = Squeeze(run.out);
    for (const char* row : {"0101 0 (PLAIN)", "0101H1 1 (H1)", "01TR11 11 (TR1)", "01TK11 19 (TK1)",
                            "01TY11 40 (TY1)", "01TD011 51 (TD1)", "01TC0011 171 (TC1)",
                            "01TC1011 183 (TC13)", "01EX0001 200 (EX)", "0701 0 (PLAIN)"}) {
        EXPECT_NE(squeezed.find("\n" + std::string(row) + " done 1 1: "), std::string::npos)
            << row << run.out;
    }
    EXPECT_NE(squeezed.find("write 0100 1: acknowledged"), std::string::npos) << run.out;
    EXPECT_NE(squeezed.find("read 01EX1001 -1234 (EX read, operation 5): the value written"),
              std::string::npos)
        << run.out;
    // The RTS lines are counted, not shown.
    EXPECT_EQ(run.err.find("RTS"), std::string::npos) << run.err;
    const std::size_t note = run.out.find("the driver's ");
    ASSERT_NE(note, std::string::npos);
    EXPECT_GT(std::stoi(run.out.substr(note + 13)), 0);
    EXPECT_NE(run.out.find("metersim          stopped"), std::string::npos);
}

}  // namespace
