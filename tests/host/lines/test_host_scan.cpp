// vpihost scan end to end: metersim's meters on a pseudo-terminal found at their addresses and
// line speed, each absent address one request and one time-out, results in every format, the
// progress line on a terminal only, and the refusals of bad lists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "sim_line.h"
#include "vpihost_run.h"

namespace {

using Json = nlohmann::json;
using vpitest::Outcome;
using vpitest::RunToEnd;
using vpitest::SimLine;

Outcome Scan(const std::string& port, std::vector<std::string> more) {
    std::vector<std::string> args{VPIHOST_PATH, "--quiet", "scan", "--port", port};
    args.insert(args.end(), more.begin(), more.end());
    return RunToEnd(args);
}

// The JSON lines of a scan, by address.
std::map<int, Json> Found(const Outcome& run) {
    std::map<int, Json> found;
    for (const std::string& line : vpitest::SplitLines(run.out)) {
        const Json meter = Json::parse(line);
        found[meter["address"].get<int>()] = meter;
    }
    return found;
}

std::set<int> Addresses(const std::map<int, Json>& found) {
    std::set<int> addresses;
    for (const auto& [address, meter] : found) addresses.insert(address);
    return addresses;
}

TEST(Scan, FindsExactlyTheMetersOnTheLineEachAbsentAddressOneTimeOut) {
    SimLine sim({"--meter", "03", "--meter", "17", "--meter", "42"});
    ASSERT_TRUE(sim.Started());
    const auto start = std::chrono::steady_clock::now();
    const Outcome run = Scan(sim.Port(), {"--addresses", "0-45", "--timeout", "50", "--json"});
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::map<int, Json> found = Found(run);
    EXPECT_EQ(Addresses(found), (std::set<int>{3, 17, 42}));
    for (const auto& [address, meter] : found) {
        EXPECT_EQ(meter["baud"], 9600);
        EXPECT_EQ(meter["line"], "9600 8N1");
        EXPECT_EQ(meter["fields"], 40);
        EXPECT_EQ(meter["decoded"], true);
        EXPECT_EQ(meter["values"].size(), 40u);
        EXPECT_GT(meter["values"][0].get<double>(), 100.0);  // a phase voltage
    }
    // 43 silent addresses, each waited out for its whole time-out.
    EXPECT_GE(elapsedMs, 43 * 50.0);
    EXPECT_NE(run.err.find("3 meter(s) found in 46 probe(s) at 1 line setting(s)"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("sends requests as a master"), std::string::npos) << run.err;

    // One plain-block request per address, each address once, in order.
    const std::vector<Json> requests = sim.Requests();
    ASSERT_EQ(requests.size(), 46u);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i]["meter"], static_cast<int>(i));
        EXPECT_EQ(requests[i]["command"], "0");
    }
}

TEST(Scan, AutoBaudFindsTheMetersAtTheirLineSpeedOnly) {
    SimLine sim({"--meter", "05", "--meter", "12", "--line-speed", "19200"});
    ASSERT_TRUE(sim.Started());
    const Outcome run =
        Scan(sim.Port(), {"--addresses", "4-13", "--baud", "auto", "--timeout", "30", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::map<int, Json> found = Found(run);
    EXPECT_EQ(Addresses(found), (std::set<int>{5, 12}));
    EXPECT_EQ(vpitest::SplitLines(run.out).size(), 2u) << run.out;
    for (const auto& [address, meter] : found) EXPECT_EQ(meter["baud"], 19200);
    // Seven rates; the two meters are not asked again once found at 19200.
    EXPECT_NE(run.err.find("2 meter(s) found in 60 probe(s) at 7 line setting(s)"),
              std::string::npos)
        << run.err;

    // With --all they are asked at every rate, and answer at 19200 alone.
    const Outcome all = Scan(sim.Port(), {"--addresses", "5,12", "--baud", "9600,19200,38400",
                                          "--timeout", "30", "--json", "--all"});
    ASSERT_EQ(all.exitCode, 0) << all.err;
    const std::vector<std::string> lines = vpitest::SplitLines(all.out);
    ASSERT_EQ(lines.size(), 2u) << all.out;
    for (const std::string& line : lines) EXPECT_EQ(Json::parse(line)["baud"], 19200);

    // The meters heard the requests at 19200 only; the others got no reply for the speed.
    for (const Json& request : sim.Requests()) {
        if (request["answered"] == true) continue;
        const std::string reason = request.value("reason", "");
        EXPECT_TRUE(reason.find("meters at 19200") != std::string::npos ||
                    reason == "other address")
            << request.dump();
    }
}

TEST(Scan, FirstStopsAtTheFirstMeterAndTableAndCsvCarryTheSameRows) {
    SimLine sim({"--meter", "07", "--meter", "09"});
    ASSERT_TRUE(sim.Started());
    const Outcome first = Scan(sim.Port(), {"--addresses", "5-20", "--timeout", "150", "--first"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const std::vector<std::string> rows = vpitest::SplitLines(first.out);
    ASSERT_EQ(rows.size(), 3u) << first.out;  // header, one meter, the closing sentence
    EXPECT_EQ(rows[0].rfind("address", 0), 0u);
    EXPECT_EQ(rows[1].rfind("07      9600 8N1", 0), 0u) << rows[1];
    EXPECT_EQ(rows[2], "1 meter(s) found in 3 probe(s) at 1 line setting(s)");

    const Outcome csv = Scan(sim.Port(), {"--addresses", "7-9", "--timeout", "150", "--csv"});
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    const std::vector<std::string> lines = vpitest::SplitLines(csv.out);
    ASSERT_EQ(lines.size(), 3u) << csv.out;
    EXPECT_EQ(lines[0], "address,baud,data,parity,stop,reply_ms,fields,decoded,v1,v2,v3");
    EXPECT_EQ(lines[1].rfind("7,9600,8,none,1,", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("9,9600,8,none,1,", 0), 0u) << lines[2];
    EXPECT_EQ(std::count(lines[1].begin(), lines[1].end(), ','), 10);
}

// Meters that answer, but not soundly: 04 with a checksum off by one, 05 with a frame (checksum
// to match) that names meter 15. Neither is a meter at 04, 05 or 15; the sound 03 is found.
TEST(Scan, RepliesWithABadChecksumOrAnotherAddressFindNoMeter) {
    SimLine sim({"--meter", "03", "--meter", "04", "--meter", "05", "--fault", "checksum:meter=04",
                 "--fault", "address=15:meter=05"});
    ASSERT_TRUE(sim.Started());
    const Outcome run = Scan(sim.Port(), {"--addresses", "3-5,15", "--timeout", "50", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Addresses(Found(run)), (std::set<int>{3})) << run.out;
    EXPECT_NE(run.err.find("1 meter(s) found in 4 probe(s)"), std::string::npos) << run.err;
    // The meters did answer, as the faults say.
    std::map<int, std::string> replies;
    for (const Json& request : sim.Requests()) {
        if (request["reply"].is_object()) replies[request["meter"]] = request["reply"]["text"];
    }
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[5].substr(4, 3), "150") << replies[5];
    EXPECT_EQ(replies[4].substr(4, 3), "040") << replies[4];
}

// On a line that echoes every request, the absent addresses hear their own request back and
// nothing else: none of them is a meter, and the summary says the line echoes. The meter
// behind the echo is found with its values.
TEST(Scan, AnEchoingLineIsReportedAndItsEchoesAreNoMeters) {
    SimLine sim({"--meter", "03", "--fault", "echo"});
    ASSERT_TRUE(sim.Started());
    const Outcome run = Scan(sim.Port(), {"--addresses", "1-4", "--timeout", "50", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::map<int, Json> found = Found(run);
    EXPECT_EQ(Addresses(found), (std::set<int>{3})) << run.out;
    EXPECT_EQ(found.at(3)["fields"], 40);
    EXPECT_NE(run.err.find("1 meter(s) found in 4 probe(s) at 1 line setting(s); 3 probe(s) "
                           "heard only their own request back: the line echoes"),
              std::string::npos)
        << run.err;

    // Without an echo, nothing is said of one.
    SimLine plain({"--meter", "03"});
    ASSERT_TRUE(plain.Started());
    const Outcome quiet = Scan(plain.Port(), {"--addresses", "1-4", "--timeout", "50", "--json"});
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.err.find("echo"), std::string::npos) << quiet.err;
}

TEST(Scan, NoMeterIsExitTwoAndBadListsAreUsageErrors) {
    SimLine sim({"--meter", "30"});
    ASSERT_TRUE(sim.Started());
    const Outcome none = Scan(sim.Port(), {"--addresses", "1-3", "--timeout", "20", "--json"});
    EXPECT_EQ(none.exitCode, 2) << none.err;
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("0 meter(s) found in 3 probe(s)"), std::string::npos) << none.err;

    const Outcome missing = Scan("/tmp/no-such-line-here", {"--addresses", "1"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("no-such-line-here did not open: no such device"), std::string::npos)
        << missing.err;

    struct Bad {
        std::vector<std::string> options;
        const char* says;
    };
    const Bad bad[] = {
        {{"--addresses", "1-100"}, "--addresses"},
        {{"--addresses", "20-10"}, "--addresses"},
        {{"--addresses", "1,,2"}, "--addresses"},
        {{"--addresses", "x"}, "--addresses"},
        {{"--baud", "115200"}, "16 bits"},
        {{"--baud", "9600,"}, "--baud"},
        {{"--parity", "none,evn"}, "--parity"},
        {{"--stop", "3"}, "--stop"},
        {{"--data", "9"}, "--data"},
        {{"--timeout", "0"}, "--timeout"},
        {{"--timeout", "10001"}, "--timeout"},
    };
    for (const Bad& b : bad) {
        const Outcome run = Scan(sim.Port(), b.options);
        EXPECT_EQ(run.exitCode, 64) << b.options[0] << " " << b.options[1];
        EXPECT_NE(run.err.find(b.says), std::string::npos) << run.err;
    }
    // None of the refused scans put a request on the line.
    EXPECT_EQ(sim.Requests().size(), 3u);
}

TEST(Scan, ShowsProgressOnATerminalAndNothingButResultsOffOne) {
    SimLine sim({"--meter", "02"});
    ASSERT_TRUE(sim.Started());
    const std::vector<std::string> options{"--addresses", "0-4", "--timeout", "20"};
    const Outcome terminal =
        vpitest::RunOnTerminal({VPIHOST_PATH, "--quiet", "scan", "--port", sim.Port(),
                                "--addresses", "0-4", "--timeout", "20"});
    EXPECT_EQ(terminal.exitCode, 0) << terminal.out;
    EXPECT_NE(terminal.out.find("\rscan 9600 8N1  address 00  0 found  1/5"), std::string::npos)
        << terminal.out;
    EXPECT_NE(terminal.out.find("address 04  1 found  5/5"), std::string::npos) << terminal.out;
    EXPECT_NE(terminal.out.find("02      9600 8N1"), std::string::npos) << terminal.out;

    const Outcome files = Scan(sim.Port(), options);
    EXPECT_EQ(files.exitCode, 0) << files.err;
    EXPECT_EQ(files.out.find('\r'), std::string::npos) << files.out;
    EXPECT_EQ(files.err.find('\r'), std::string::npos) << files.err;
    EXPECT_EQ(files.err.find("left"), std::string::npos) << files.err;
    EXPECT_NE(files.out.find("02      9600 8N1"), std::string::npos) << files.out;
}

}  // namespace
