// vpihost read, write, poll and demo end to end: the real module, a real pseudo-terminal and
// metersim as the meters, checked against the simulator's pinned values and its request log.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
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

// The cells of a CSV row, quoted cells unquoted ("a,b" and doubled quotes).
std::vector<std::string> CsvCells(const std::string& row) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const char c = row[i];
        if (quoted && c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
            cells.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            cells.emplace_back();
        } else {
            cells.back() += c;
        }
    }
    return cells;
}

std::string WriteValues(const std::string& text) {
    const std::string path = TempPath("values");
    std::ofstream(path) << text;
    return path;
}

// Values pinned in the simulator, and what the driver must read back for them, by the key the
// values file pinned them by: every output names a value by that key.
struct Pinned {
    const char* gate;
    const char* key;
    const char* text;  // the float's shortest digits
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
    {"0101", "plain.16", "49.9"}, {"0101", "plain.9", "0.5"},     {"0101H2", "h2.5", "12.5"},
    {"01TR31", "tr3.0", "11"},    {"01TR31", "tr3.1", "11"},      {"01TR31", "tr3.2", "255"},
    {"01TK21", "tk2.0", "1"},     {"01TK21", "tk2.2", "256"},     {"01TY21", "ty2.0", "6"},
    {"01TY21", "ty2.1", "6"},     {"01EX0001", "ex.0.1", "1234"}, {"01EX0001", "ex.0.2", "-7"},
    {"0701", "plain.16", "50.1"},
};
const std::vector<std::string> kPinnedGates = {"0101",   "0101H2", "01TR31",    "01TK21",
                                               "01TY21", "0701",   "01EX0001:2"};

// The arguments as typed, for a trace.
std::string Joined(const std::vector<std::string>& args) {
    std::string joined;
    for (const std::string& arg : args) joined += arg + " ";
    return joined;
}

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
    EXPECT_EQ(rows[0], "time,gate,plc,memtype,index,result,key,value");
    std::map<std::pair<std::string, std::string>, std::string> fromCsv;
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
        fromCsv[{cells[1], cells[6]}] = cells[7];
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
        SCOPED_TRACE(std::string(p.gate) + " " + p.key);
        // The float's own shortest digits, as the values file wrote them.
        EXPECT_EQ((fromCsv[{p.gate, p.key}]), p.text);
        const Json& keys = objects[p.gate]["keys"];
        const auto at = std::find(keys.begin(), keys.end(), p.key);
        ASSERT_NE(at, keys.end()) << keys;
        const Json& value = objects[p.gate]["values"][static_cast<std::size_t>(at - keys.begin())];
        EXPECT_EQ(value.get<double>(), std::stod(p.text)) << value;
    }
    const std::string squeezed = Squeeze(table.out);
    EXPECT_NE(squeezed.find("\n01TR31 13 (TR3) done 1 tr3.0: 11 11 255\n"), std::string::npos)
        << table.out;
    EXPECT_NE(squeezed.find("\n01TY21 41 (TY2) done 1 ty2.0: 6 6\n"), std::string::npos)
        << table.out;
    EXPECT_NE(squeezed.find("\n01EX0001 200 (EX) done 1 ex.0.1: 1234 -7\n"), std::string::npos)
        << table.out;
    // Forty plain fields, eight a row, each row led by its first key.
    EXPECT_NE(squeezed.find(" plain.16: 49.9 "), std::string::npos) << table.out;
}

TEST_F(VpihostOnSim, WriteSendsWhatTheDryRunShowsAndTheRegisterReadsBack) {
    Sim sim(SimArgs());
    struct Case {
        std::vector<std::string> write;
    };
    // 12.7 has a fraction the register cannot hold: --raw sends it as the driver converts it.
    const Case cases[] = {
        {{"0100", "2"}}, {{"0100", "1"}}, {{"--raw", "01EX1003", "-5", "70000", "12.7"}}};
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

// An EX value the register would not hold as written is refused with the reason, and nothing is
// sent; the dry run shows the value as typed and as the register gets it, and the request that
// --raw sends; --raw writes what the driver's conversion makes of it.
TEST_F(VpihostOnSim, WriteRefusesAnExValueTheRegisterCannotHoldUnlessRaw) {
    Sim sim(SimArgs());
    const std::vector<std::string> port{"--quiet",  "write",     "--port",
                                        sim.Port(), "--timeout", "300"};
    struct Refused {
        const char* value;
        const char* reason;
    };
    for (const Refused& r : {Refused{"2.5", "EX value 2.5 has a fraction"},
                             Refused{"nan", "EX value nan is not a number"},
                             Refused{"inf", "EX value inf is infinite"},
                             Refused{"3000000000",
                                     "EX value 3000000000 is outside the register's "
                                     "range (-2147483648 to 2147483647)"},
                             Refused{"16777217", "EX value 16777217 is not exact"}}) {
        const Outcome run = Vpihost(With(port, {"01EX1003", "7", r.value}));
        EXPECT_EQ(run.exitCode, 64) << r.value << run.out << run.err;
        EXPECT_NE(run.err.find(r.reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--raw sends it as the driver converts it"), std::string::npos);
    }

    const Outcome dry = Vpihost({"--quiet", "write", "--dry-run", "01EX1003", "7", "2.5"});
    EXPECT_EQ(dry.exitCode, 64) << dry.out << dry.err;
    const std::string squeezed = Squeeze(dry.out);
    EXPECT_NE(squeezed.find("value 7 register gets 7\n"), std::string::npos) << dry.out;
    EXPECT_NE(squeezed.find("value 2.5 register gets 2 (not as written)\n"), std::string::npos)
        << dry.out;
    EXPECT_NE(squeezed.find("request !02601a0A030000000700000002"), std::string::npos) << dry.out;

    const Outcome raw = Vpihost(With(port, {"--raw", "01EX1003", "7", "2.5"}));
    EXPECT_EQ(raw.exitCode, 0) << raw.out << raw.err;
    EXPECT_NE(raw.err.find("note: EX value 2.5 has a fraction"), std::string::npos) << raw.err;
    const Outcome back = Vpihost({"--quiet", "read", "--ex", "--json", "--port", sim.Port(),
                                  "--timeout", "300", "01EX1003:2"});
    ASSERT_EQ(back.exitCode, 0) << back.err;
    EXPECT_EQ(Json::parse(back.out)["values"], Json::parse("[7.0, 2.0]"));
    // The refused writes sent nothing: the meter saw the --raw write and the read only.
    EXPECT_EQ(sim.Requests().size(), 2u);
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
        const std::vector<std::string> cells = CsvCells(row);
        if (cells.size() != 12 || cells[8] != "plain.0") continue;  // the first value of a read
        EXPECT_EQ(cells[2], "07,01") << row;
        order.push_back(cells[3]);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"0701", "0101", "0701", "0101"})) << port.out;
    EXPECT_NE(Squeeze(port.err).find("meter 07,01 on line "), std::string::npos) << port.err;
}

// A value's key as read prints it names the same value in a site file: copied from read's CSV
// into a site file with a name and a unit, check-config takes it and poll shows that name on
// the value the simulator pinned under the same key. poll --config and poll --port print the
// same columns in every format.
TEST_F(VpihostOnSim, AKeyFromReadNamesTheSameValueInASiteFileAndPollShowsIt) {
    Sim sim(SimArgs());
    const Outcome read =
        Vpihost({"--quiet", "read", "--port", sim.Port(), "--timeout", "300", "--csv", "0101"});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    std::string key;
    for (const std::string& row : SplitLines(read.out)) {
        const std::vector<std::string> cells = CsvCells(row);
        if (cells.size() == 8 && cells[7] == "49.9") key = cells[6];
    }
    ASSERT_EQ(key, "plain.16") << read.out;

    const std::string site = TempPath("site");
    std::ofstream(site) << "[[line]]\nname = \"bay, A\"\nport = \"" << sim.Port()
                        << "\"\ntimeout = \"300ms\"\n"
                           "[[line.meter]]\nname = \"incomer\"\naddress = 1\n"
                           "gates = [{ gate = \"0101\", interval = \"100ms\" }]\n"
                        << key << " = { name = \"frequency\", unit = \"Hz\" }\n";
    const Outcome check = Vpihost({"check-config", site});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

    const std::string head = "time,line,meter,gate,plc,memtype,index,result,key,name,unit,value";
    const Outcome csv = Vpihost({"--quiet", "poll", "--config", site, "--count", "1", "--csv"});
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    const std::vector<std::string> rows = SplitLines(csv.out);
    ASSERT_FALSE(rows.empty()) << csv.err;
    EXPECT_EQ(rows[0], head);
    bool named = false;
    for (const std::string& row : rows) {
        const std::vector<std::string> cells = CsvCells(row);
        if (cells.size() != 12 || cells[8] != key) continue;
        EXPECT_EQ(cells[1], "bay, A") << row;
        EXPECT_EQ(cells[2], "incomer") << row;
        EXPECT_EQ(cells[9], "frequency") << row;
        EXPECT_EQ(cells[10], "Hz") << row;
        EXPECT_EQ(cells[11], "49.9") << row;
        named = true;
    }
    EXPECT_TRUE(named) << csv.out;

    const Outcome json = Vpihost({"--quiet", "poll", "--config", site, "--count", "1", "--json"});
    EXPECT_EQ(json.exitCode, 0) << json.err;
    const std::vector<std::string> lines = SplitLines(json.out);
    ASSERT_FALSE(lines.empty()) << json.err;
    const Json object = Json::parse(lines[0]);
    EXPECT_EQ(object["line"], "bay, A");
    EXPECT_EQ(object["meter"], "incomer");
    EXPECT_EQ(object["keys"][16], key);
    EXPECT_EQ(object["names"][16], "frequency");
    EXPECT_EQ(object["units"][16], "Hz");
    EXPECT_EQ(object["values"][16].dump(), "49.9");

    const Outcome table = Vpihost({"--quiet", "poll", "--config", site, "--count", "1"});
    std::remove(site.c_str());
    EXPECT_EQ(table.exitCode, 0) << table.err;
    const std::string squeezed = Squeeze(table.out);
    EXPECT_NE(squeezed.find("line meter gate memtype result try values\n"), std::string::npos)
        << table.out;
    EXPECT_NE(squeezed.find("\nbay, A incomer 0101 0 (PLAIN) done 1 plain.0: "), std::string::npos)
        << table.out;
    EXPECT_NE(squeezed.find(" plain.16 frequency: 49.9 Hz\n"), std::string::npos) << table.out;

    // --port: the same columns, the port as the line and the addresses as the meter.
    const Outcome port = Vpihost({"--quiet", "poll", "--port", sim.Port(), "--timeout", "300",
                                  "--count", "1", "--csv", "0101"});
    EXPECT_EQ(port.exitCode, 0) << port.err;
    const std::vector<std::string> portRows = SplitLines(port.out);
    ASSERT_FALSE(portRows.empty()) << port.err;
    EXPECT_EQ(portRows[0], head);
    ASSERT_GE(portRows.size(), 18u) << port.out;
    const std::vector<std::string> cells = CsvCells(portRows[17]);
    ASSERT_EQ(cells.size(), 12u) << portRows[17];
    EXPECT_EQ(cells[1], sim.Port());
    EXPECT_EQ(cells[2], "01");
    EXPECT_EQ(cells[8], "plain.16");
    EXPECT_EQ(cells[11], "49.9");
    const Outcome portJson = Vpihost({"--quiet", "poll", "--port", sim.Port(), "--timeout", "300",
                                      "--count", "1", "--json", "0101"});
    ASSERT_FALSE(SplitLines(portJson.out).empty()) << portJson.err;
    const Json portObject = Json::parse(SplitLines(portJson.out)[0]);
    for (const char* field : {"line", "meter", "keys", "names", "units", "values"}) {
        EXPECT_TRUE(portObject.contains(field)) << field;
    }
}

// Without a count or a time poll goes on until it is stopped, as pollers do; SIGTERM ends it as
// Ctrl-C does, with its summary and the status of what it read.
TEST_F(VpihostOnSim, PollWithoutACountRunsUntilTerminated) {
    Sim sim(SimArgs());
    vpitest::Child poll({VPIHOST_PATH, "--quiet", "poll", "--port", sim.Port(), "--timeout", "300",
                         "--interval", "20ms", "--json", "01TY11"});
    ASSERT_TRUE(poll.WaitForOutLines(5, 10)) << "fewer than five cycles";
    poll.Signal(SIGTERM);
    const Outcome run = poll.Wait();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_GE(SplitLines(run.out).size(), 5u);
    EXPECT_NE(run.err.find("summary (interrupted):"), std::string::npos) << run.err;
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
        {{}, 64, "vpihost: no command given (`vpihost help` lists the commands)"},
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
        SCOPED_TRACE(Joined(c.args));
        const Outcome run = Vpihost(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        const std::string& said = c.onStdout ? run.out : run.err;
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

// Every command takes the line options with the same names, short forms, ranges and words; a
// wrong option is named alone, with what it takes, before anything is opened.
TEST(Vpihost, OneGrammarOfOptionsAcrossCommands) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* says;               // on stderr
        const char* notSays = nullptr;  // nor this: a second option's words, a driver line
    };
    const Case cases[] = {
        // The program's own options after the command; short forms; names in any case; a
        // time with its unit. Accepted: the port, not the options, fails.
        {{"read", "--quiet", "-p", "/tmp/none", "-b", "19200", "-t", "2s", "--parity", "EVEN",
          "0101"},
         2,
         "did not open: no such device",
         "driver["},
        {{"poll", "-p", "/tmp/none", "--parity", "Odd", "--stop", "1.5", "--interval", "2m",
          "0101"},
         2,
         "did not open: no such device"},
        {{"--quiet", "open", "/tmp/none", "-t", "300"},
         2,
         "did not open: no such device",
         "driver["},
        // One message per wrong option, saying what it takes.
        {{"read", "-p", "/tmp/none", "--parity", "odd", "--stop", "3", "0101"},
         64,
         "--stop: takes 1|1.5|2 stop bits, not \"3\"",
         "--parity"},
        {{"write", "-p", "/tmp/none", "--parity", "purple", "0100", "1"},
         64,
         "--parity: takes none|odd|even|mark|space, not \"purple\"",
         "--stop"},
        {{"sniff", "-p", "/tmp/none", "--data", "9"}, 64, "--data: takes 5 to 8 data bits, not 9"},
        // A rate the driver's record cannot hold, with why; the same in every command.
        {{"read", "-p", "/tmp/none", "-b", "115200", "0101"},
         64,
         "--baud: 115200 cannot be set: the driver's line record holds the rate in 16 bits"},
        {{"sniff", "-p", "/tmp/none", "--baud", "115200"}, 64, "holds the rate in 16 bits"},
        {{"scan", "-p", "/tmp/none", "--baud", "9600,115200"}, 64, "holds the rate in 16 bits"},
        // Time-outs: a bare number is ms; the limit in the unit written.
        {{"read", "-p", "/tmp/none", "-t", "5", "0101"},
         64,
         "--timeout: takes at least 10ms, not 5"},
        {{"scan", "-p", "/tmp/none", "-t", "20s"}, 64, "--timeout: takes at most 10s, not 20s"},
        {{"open", "/tmp/none", "--timeout", "soon"}, 64, "\"soon\" is not a time"},
        // Other durations need their unit, and show the fix.
        {{"poll", "-p", "/tmp/none", "--interval", "5", "0101"},
         64,
         "--interval: 5 needs its unit: 5s, or 5ms"},
        {{"sniff", "-p", "/tmp/none", "--duration", "0"}, 64, "--duration: takes at least 1ms"},
        // A port name the driver's record cannot hold.
        {{"read", "-p", "/tmp/much-too-long", "0101"},
         64,
         "has 18 characters; the driver's record holds 11"},
        // A reversed range and contradictory flags, refused by name.
        {{"scan", "-p", "/tmp/none", "--addresses", "1,20-5"},
         64,
         "--addresses: 20-5 runs backwards; write 5-20"},
        {{"scan", "-p", "/tmp/none", "--first", "--all"}, 64, "--first"},
        {{"poll", "-p", "/tmp/none", "--count", "2", "--duration", "1s", "0101"}, 64, "excludes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.args));
        const Outcome run = Vpihost(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        if (c.notSays != nullptr) {
            EXPECT_EQ(run.err.find(c.notSays), std::string::npos) << run.err;
        }
    }
}

// parse and check take GATE:COUNT as every command does, and show what was typed with its
// control bytes escaped, so that an address cannot move the terminal.
TEST(Vpihost, ParseTakesCountsAndEscapesWhatItEchoes) {
    const Outcome parse = Vpihost({"parse", "0101:4", "01\x1b[31mX\r"});
    EXPECT_EQ(parse.exitCode, 1) << parse.err;
    EXPECT_NE(Squeeze(parse.out).find("\"0101\" accepted 1 0 (PLAIN) 1 / 4"), std::string::npos)
        << parse.out;
    EXPECT_NE(parse.out.find("\"01\\x1B[31mX\\r\""), std::string::npos) << parse.out;
    EXPECT_EQ(parse.out.find('\x1b'), std::string::npos) << parse.out;
    EXPECT_EQ(parse.out.find('\r'), std::string::npos) << parse.out;

    const Outcome check = Vpihost({"check", "12TD0101:25"});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_NE(Squeeze(check.out).find("\"12TD0101\" accepted 12 51 (TD1) 1 / 25"),
              std::string::npos)
        << check.out;
    const Outcome noCount = Vpihost({"check", "12TD0101"});
    EXPECT_EQ(noCount.exitCode, 64);
    EXPECT_NE(noCount.err.find("12TD0101:25 or --count 25"), std::string::npos) << noCount.err;
}

// metersim takes the line options with vpihost's names, checks and words, narrowed to what its
// line can do.
TEST(Metersim, TakesTheLineOptionsAsVpihostDoes) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Case& c : {Case{{"--baud", "115200"},
                               "--baud: 115200 cannot be set: the driver's "
                               "line record holds the rate in 16 bits"},
                          Case{{"--parity", "purple"}, "--parity: takes none|odd|even|mark|space"},
                          Case{{"--parity", "MARK"},
                               "--parity: metersim serves none, odd or even parity, not mark"},
                          Case{{"--stop", "1.5"}, "--stop: metersim serves 1 or 2 stop bits"},
                          Case{{"--data", "4"}, "--data: takes 5 to 8 data bits, not 4"}}) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        std::vector<std::string> args{METERSIM_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = vpitest::RunToEnd(args);
        EXPECT_NE(run.exitCode, 0);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
    // Names in any case and the short form: it starts and listens.
    Sim sim({"-b", "19200", "--parity", "Even", "--stop", "2"});
}

// --version, help and a command line without a known command.
TEST(Vpihost, VersionHelpAndUnknownCommands) {
    const Outcome version = Vpihost({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("vpihost " VPI_VERSION " (commit ", 0), 0u) << version.out;
    // Built from a checkout, the commit is the checkout's.
    const Outcome head =
        vpitest::RunToEnd({"/usr/bin/git", "-C", VPI_SOURCE_DIR, "rev-parse", "HEAD"});
    if (head.exitCode == 0 && head.out.size() >= 12) {
        EXPECT_NE(version.out.find("(commit " + head.out.substr(0, 12)), std::string::npos)
            << version.out << head.out;
    }

    const Outcome help = Vpihost({"help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* command : {"read", "write", "poll", "scan", "sniff", "ports", "serve"}) {
        EXPECT_NE(help.out.find("\n  " + std::string(command) + " "), std::string::npos) << command;
    }

    // Each command's help speaks of its own output.
    struct Topic {
        const char* command;
        const char* says;
    };
    for (const Topic& t :
         {Topic{"scan", "one row per meter found"}, Topic{"ports", "one row per port"},
          Topic{"write", "one row for the write"}, Topic{"read", "one row per value"}}) {
        SCOPED_TRACE(t.command);
        const Outcome topic = Vpihost({"help", t.command});
        EXPECT_EQ(topic.exitCode, 0);
        EXPECT_NE(topic.out.find(t.says), std::string::npos) << topic.out;
        EXPECT_EQ(topic.out, Vpihost({t.command, "--help"}).out);
    }
    EXPECT_EQ(Vpihost({"scan", "--help"}).out.find("gate reading"), std::string::npos);

    struct Unknown {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Unknown& u :
         {Unknown{{"reed", "-p", "/tmp/none", "0101"},
                  "vpihost: unknown command \"reed\"; did you mean \"read\"?"},
          Unknown{{"--quiet", "snif"}, "unknown command \"snif\"; did you mean \"sniff\"?"},
          Unknown{{"frobnicate"}, "vpihost: unknown command \"frobnicate\" (`vpihost help`"},
          Unknown{{"help", "nope"}, "vpihost: unknown command \"nope\""}}) {
        SCOPED_TRACE(u.args[0]);
        const Outcome run = Vpihost(u.args);
        EXPECT_EQ(run.exitCode, 64);
        EXPECT_NE(run.err.find(u.says), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("subcommand"), std::string::npos) << run.err;
    }
}

TEST(Vpihost, DemoReadsEveryFamilyAndReadsTheWrittenRegisterBack) {
    const Outcome run = Vpihost({"demo", "--ex-value", "-1234"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::string squeezed = Squeeze(run.out);
    // Each gate's values led by the key of the first.
    for (const char* row :
         {"0101 0 (PLAIN) done 1 plain.0: ", "0101H1 1 (H1) done 1 h1.0: ",
          "01TR11 11 (TR1) done 1 tr1.0: ", "01TK11 19 (TK1) done 1 tk1.0: ",
          "01TY11 40 (TY1) done 1 ty1.0: ", "01TD011 51 (TD1) done 1 td1.0: ",
          "01TC0011 171 (TC1) done 1 tc1.0: ", "01TC1011 183 (TC13) done 1 tc13.0: ",
          "01EX0001 200 (EX) done 1 ex.0.1: ", "0701 0 (PLAIN) done 1 plain.0: "}) {
        EXPECT_NE(squeezed.find("\n" + std::string(row)), std::string::npos) << row << run.out;
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
