// The metrics and status writers from a poller state made by hand: names that need escaping,
// values that are no numbers, a histogram with a value on a bucket's bound. The exposition is
// compared whole and handed to a real promtool; the JSON is parsed back.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <cstdio>

#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "site/metrics.h"
#include "site/site_status.h"
#include "site/status_json.h"
#include "vpi_records.h"

namespace {

constexpr std::int64_t kStartMs = 1765300000000;
constexpr std::int64_t kNowMs = kStartMs + 10000;

// One line (its name with double quotes) of two meters: one answering (its name with a
// backslash) with a gate of four values, named with a line feed, a double quote and a
// backslash, holding 230.5, NaN, +Inf and -Inf; one backed off, never answered, with no gate.
host::site::SiteStatus HandMadeStatus() {
    host::site::GateStatus gate;
    gate.address = "0701";
    gate.memtype = MEMTYPE_PLAIN;
    gate.index = 1;
    gate.intervalMs = 1000;
    gate.keys = {"plain.0", "plain.1", "plain.2", "plain.3"};
    gate.labels = {{"P\ntotal", "kW"}, {"\"Q\"", ""}, {"S\\x", ""}, {"", ""}};
    gate.values = {230.5f, std::numeric_limits<float>::quiet_NaN(),
                   std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()};
    gate.valuesUnixMs = kNowMs - 500;
    gate.lastReadUnixMs = kNowMs - 500;
    gate.lastResult = 0;
    gate.results = {5, 1, 2};
    gate.attempts = 12;
    gate.attemptsOfSuccesses = 6;
    gate.failures.noReply = 3;
    gate.failures.checksum = 2;
    gate.failures.conversion = 1;
    gate.replies.Add(5);  // on the first bound: counted in it
    gate.replies.Add(40);
    gate.replies.Add(40000);  // above the last bound

    host::site::MeterStatus answering;
    answering.name = "feeder\\2";
    answering.address = 7;
    answering.health = host::site::MeterHealth::Answering;
    answering.lastAnswerUnixMs = kNowMs - 1500;
    answering.gates = {gate};

    host::site::MeterStatus silent;
    silent.name = "spare";
    silent.address = 8;
    silent.health = host::site::MeterHealth::BackingOff;
    silent.consecutiveFailures = 3;
    silent.backoffMs = 4000;

    host::site::LineStatus line;
    line.name = "bay \"A\"";
    line.port = "/dev/ttyS0";
    line.open = true;
    line.problem = "";
    line.opens = 2;
    line.reopenFailures = 1;
    line.lastLagMs = 12;
    line.maxLagMs = 250;
    line.lagSumMs = 1000;
    line.reads = 8;
    line.missedSlots = 3;
    line.meters = {answering, silent};

    host::site::SiteStatus status;
    status.site = "Site \"N\"";
    status.startUnixMs = kStartMs;
    status.reloadSuccesses = 2;
    status.reloadFailures = 1;
    status.lastLoadUnixMs = kStartMs + 5000;
    status.lines = {line};
    return status;
}

// Label values escaped as the text format has it: \" for a double quote, \\ for a backslash,
// \n for a line feed.
const std::string kExpectedExposition = R"txt(# HELP vpi_site_info The site this vpihost serve polls
# TYPE vpi_site_info gauge
vpi_site_info{site="Site \"N\""} 1
# HELP vpi_serve_start_time_seconds When polling started (Unix time)
# TYPE vpi_serve_start_time_seconds gauge
vpi_serve_start_time_seconds{site="Site \"N\""} 1765300000
# HELP vpi_config_reloads_total Reloads of the site file on SIGHUP, by result (a failed one changes nothing)
# TYPE vpi_config_reloads_total counter
vpi_config_reloads_total{result="success"} 2
vpi_config_reloads_total{result="failure"} 1
# HELP vpi_config_last_reload_success_timestamp_seconds When the site file running now was loaded (Unix time)
# TYPE vpi_config_last_reload_success_timestamp_seconds gauge
vpi_config_last_reload_success_timestamp_seconds 1765300005
# HELP vpi_value The last value read from a meter's gate; name and unit where the site file gives them
# TYPE vpi_value gauge
vpi_value{line="bay \"A\"",meter="feeder\\2",gate="0701",index="0",key="plain.0",name="P\ntotal",unit="kW"} 230.5
vpi_value{line="bay \"A\"",meter="feeder\\2",gate="0701",index="1",key="plain.1",name="\"Q\""} NaN
vpi_value{line="bay \"A\"",meter="feeder\\2",gate="0701",index="2",key="plain.2",name="S\\x"} +Inf
vpi_value{line="bay \"A\"",meter="feeder\\2",gate="0701",index="3",key="plain.3"} -Inf
# HELP vpi_gate_last_success_timestamp_seconds When the gate was last read successfully (Unix time; 0: never)
# TYPE vpi_gate_last_success_timestamp_seconds gauge
vpi_gate_last_success_timestamp_seconds{line="bay \"A\"",meter="feeder\\2",gate="0701"} 1765300009.5
# HELP vpi_gate_interval_seconds The interval the site file asks for
# TYPE vpi_gate_interval_seconds gauge
vpi_gate_interval_seconds{line="bay \"A\"",meter="feeder\\2",gate="0701"} 1
# HELP vpi_reads_total Reads of a gate by the driver's result
# TYPE vpi_reads_total counter
vpi_reads_total{line="bay \"A\"",meter="feeder\\2",gate="0701",result="done"} 5
vpi_reads_total{line="bay \"A\"",meter="feeder\\2",gate="0701",result="refused"} 1
vpi_reads_total{line="bay \"A\"",meter="feeder\\2",gate="0701",result="failed"} 2
# HELP vpi_exchanges_total Request and reply exchanges of a gate's reads
# TYPE vpi_exchanges_total counter
vpi_exchanges_total{line="bay \"A\"",meter="feeder\\2",gate="0701"} 12
# HELP vpi_failed_attempts_total Failed attempts by cause, from the driver's log lines
# TYPE vpi_failed_attempts_total counter
vpi_failed_attempts_total{line="bay \"A\"",meter="feeder\\2",gate="0701",cause="no_reply"} 3
vpi_failed_attempts_total{line="bay \"A\"",meter="feeder\\2",gate="0701",cause="checksum"} 2
vpi_failed_attempts_total{line="bay \"A\"",meter="feeder\\2",gate="0701",cause="conversion"} 1
vpi_failed_attempts_total{line="bay \"A\"",meter="feeder\\2",gate="0701",cause="other"} 0
# HELP vpi_read_duration_seconds How long a read of the gate took, all attempts together
# TYPE vpi_read_duration_seconds histogram
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="0.005"} 1
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="0.01"} 1
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="0.025"} 1
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="0.05"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="0.1"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="0.25"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="0.5"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="1"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="2.5"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="5"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="10"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="30"} 2
vpi_read_duration_seconds_bucket{line="bay \"A\"",meter="feeder\\2",gate="0701",le="+Inf"} 3
vpi_read_duration_seconds_sum{line="bay \"A\"",meter="feeder\\2",gate="0701"} 40.045
vpi_read_duration_seconds_count{line="bay \"A\"",meter="feeder\\2",gate="0701"} 3
# HELP vpi_meter_up 1 while the meter answers on an open port; 0 while its port is closed, it is backed off or not read yet
# TYPE vpi_meter_up gauge
vpi_meter_up{line="bay \"A\"",meter="feeder\\2"} 1
vpi_meter_up{line="bay \"A\"",meter="spare"} 0
# HELP vpi_meter_backoff_seconds How long the silent meter is left alone now (0: answering)
# TYPE vpi_meter_backoff_seconds gauge
vpi_meter_backoff_seconds{line="bay \"A\"",meter="feeder\\2"} 0
vpi_meter_backoff_seconds{line="bay \"A\"",meter="spare"} 4
# HELP vpi_meter_consecutive_failures Reads without an answer since the last answer
# TYPE vpi_meter_consecutive_failures gauge
vpi_meter_consecutive_failures{line="bay \"A\"",meter="feeder\\2"} 0
vpi_meter_consecutive_failures{line="bay \"A\"",meter="spare"} 3
# HELP vpi_meter_last_answer_timestamp_seconds When the meter last answered (Unix time; 0: never)
# TYPE vpi_meter_last_answer_timestamp_seconds gauge
vpi_meter_last_answer_timestamp_seconds{line="bay \"A\"",meter="feeder\\2"} 1765300008.5
vpi_meter_last_answer_timestamp_seconds{line="bay \"A\"",meter="spare"} 0
# HELP vpi_line_port_open 1 while the line's port is open
# TYPE vpi_line_port_open gauge
vpi_line_port_open{line="bay \"A\""} 1
# HELP vpi_line_port_opens_total Opens of the port, the first and every reopen
# TYPE vpi_line_port_opens_total counter
vpi_line_port_opens_total{line="bay \"A\""} 2
# HELP vpi_line_port_open_failures_total Opens and reopens that failed
# TYPE vpi_line_port_open_failures_total counter
vpi_line_port_open_failures_total{line="bay \"A\""} 1
# HELP vpi_poller_lag_last_seconds How late the line's last read started
# TYPE vpi_poller_lag_last_seconds gauge
vpi_poller_lag_last_seconds{line="bay \"A\""} 0.012
# HELP vpi_poller_lag_max_seconds The latest any read of the line started
# TYPE vpi_poller_lag_max_seconds gauge
vpi_poller_lag_max_seconds{line="bay \"A\""} 0.25
# HELP vpi_poller_missed_slots_total Intervals skipped because the line was a whole interval behind
# TYPE vpi_poller_missed_slots_total counter
vpi_poller_missed_slots_total{line="bay \"A\""} 3
# HELP vpi_poller_lag_seconds How late each read started after it came due
# TYPE vpi_poller_lag_seconds summary
vpi_poller_lag_seconds_sum{line="bay \"A\""} 1
vpi_poller_lag_seconds_count{line="bay \"A\""} 8
)txt";

TEST(MetricsText, EscapesNamesWritesNonNumbersAndCumulativeBucketsExactly) {
    const std::string text = host::site::PrometheusText(HandMadeStatus(), kNowMs);
    EXPECT_EQ(text, kExpectedExposition);
}

// The meters of a line whose port has gone are down, whatever they last answered, and the API
// says why; a gate never read has its last-success series at 0, so that an alert on its age
// sees it; no series says "never" with -1.
TEST(MetricsText, MetersOfAClosedPortAreDownAndAGateNeverReadIsAtZero) {
    host::site::SiteStatus status = HandMadeStatus();
    host::site::GateStatus unread;
    unread.address = "0801";
    unread.intervalMs = 2000;
    status.lines[0].meters[1].gates = {unread};
    const std::string open = host::site::PrometheusText(status, kNowMs);
    EXPECT_NE(open.find("vpi_meter_up{line=\"bay \\\"A\\\"\",meter=\"feeder\\\\2\"} 1\n"),
              std::string::npos)
        << open;
    EXPECT_NE(open.find("vpi_gate_last_success_timestamp_seconds{line=\"bay \\\"A\\\"\","
                        "meter=\"spare\",gate=\"0801\"} 0\n"),
              std::string::npos)
        << open;
    EXPECT_EQ(open.find(" -1\n"), std::string::npos) << open;

    status.lines[0].open = false;
    status.lines[0].problem = "no such device";
    const std::string closed = host::site::PrometheusText(status, kNowMs);
    EXPECT_NE(closed.find("vpi_meter_up{line=\"bay \\\"A\\\"\",meter=\"feeder\\\\2\"} 0\n"),
              std::string::npos)
        << closed;
    const auto json = nlohmann::json::parse(host::site::StatusJson(status, kNowMs));
    const auto& line = json["lines"][0];
    EXPECT_EQ(line["problem"], "no such device");
    for (const auto& meter : line["meters"]) {
        EXPECT_EQ(meter["health"], "port-closed") << meter["name"];
        EXPECT_FALSE(meter["up"]) << meter["name"];
        EXPECT_EQ(meter["why"], "port closed: no such device") << meter["name"];
        EXPECT_FALSE(meter["silent"]) << "the port is to blame, not the meter";
    }
    const auto readings = nlohmann::json::parse(host::site::ReadingsJson(status, kNowMs));
    EXPECT_EQ(readings["lines"][0]["meters"][0]["health"], "port-closed");
}

TEST(MetricsText, ARealPromtoolAcceptsIt) {
    if (std::system("command -v promtool > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "promtool is not installed (tools/install-deps.sh --serve)";
    }
    const std::string path = testing::TempDir() + "metrics-" + std::to_string(getpid()) + ".txt";
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    const std::string text = host::site::PrometheusText(HandMadeStatus(), kNowMs);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    const std::string command = "promtool check metrics < " + path + " 2>&1";
    std::FILE* run = popen(command.c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string said;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, run)) > 0;)
        said.append(buffer, n);
    const int status = pclose(run);
    std::remove(path.c_str());
    EXPECT_EQ(status, 0) << said;
}

TEST(StatusJson, NamesComeBackWholeAndNonNumbersAreNull) {
    const auto readings = nlohmann::json::parse(host::site::ReadingsJson(HandMadeStatus(), kNowMs));
    EXPECT_EQ(readings["site"], "Site \"N\"");
    const auto& line = readings["lines"][0];
    EXPECT_EQ(line["name"], "bay \"A\"");
    const auto& meter = line["meters"][0];
    EXPECT_EQ(meter["name"], "feeder\\2");
    EXPECT_FALSE(meter["silent"]);
    const auto& gate = meter["gates"][0];
    EXPECT_EQ(gate["gate"], "0701");
    EXPECT_EQ(gate["age_ms"], 500);
    EXPECT_FALSE(gate["stale"]);
    const auto& values = gate["values"];
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0]["name"], "P\ntotal");
    EXPECT_EQ(values[0]["unit"], "kW");
    EXPECT_EQ(values[0]["value"], 230.5);
    EXPECT_EQ(values[1]["name"], "\"Q\"");
    EXPECT_EQ(values[2]["name"], "S\\x");
    for (int i = 1; i < 4; ++i) EXPECT_TRUE(values[i]["value"].is_null()) << i;
    EXPECT_TRUE(line["meters"][1]["silent"]);
    // A gate never read is stale, and so is its meter.
    host::site::SiteStatus never = HandMadeStatus();
    never.lines[0].meters[0].gates[0].valuesUnixMs = 0;
    const auto unread = nlohmann::json::parse(host::site::ReadingsJson(never, kNowMs));
    EXPECT_TRUE(unread["lines"][0]["meters"][0]["stale"]);
    EXPECT_TRUE(unread["lines"][0]["meters"][0]["gates"][0]["stale"]);
    EXPECT_TRUE(unread["lines"][0]["meters"][0]["gates"][0]["age_ms"].is_null());
    // Three intervals without a successful read make the gate stale.
    const auto later =
        nlohmann::json::parse(host::site::ReadingsJson(HandMadeStatus(), kNowMs - 500 + 3001));
    EXPECT_TRUE(later["lines"][0]["meters"][0]["gates"][0]["stale"]);
}

TEST(StatusJson, HealthFiguresFromTheCounts) {
    const auto status = nlohmann::json::parse(host::site::StatusJson(HandMadeStatus(), kNowMs));
    const auto& line = status["lines"][0];
    EXPECT_EQ(line["name"], "bay \"A\"");
    EXPECT_EQ(line["opens"], 2);
    EXPECT_EQ(line["open_failures"], 1);
    EXPECT_EQ(line["problem"], "");
    EXPECT_EQ(status["reloads"]["success"], 2);
    EXPECT_EQ(status["reloads"]["failure"], 1);
    EXPECT_EQ(line["missed_slots"], 3);
    EXPECT_EQ(line["lag_ms"]["mean"], 125.0);
    const auto& meter = line["meters"][0];
    EXPECT_EQ(meter["health"], "answering");
    EXPECT_TRUE(meter["up"]);
    EXPECT_EQ(meter["why"], "");
    EXPECT_EQ(meter["reads"], 8);
    EXPECT_EQ(meter["failure_rate"], 3.0 / 8.0);
    EXPECT_EQ(meter["read_ms_mean"], 40045.0 / 8.0);
    const auto& gate = meter["gates"][0];
    EXPECT_EQ(gate["exchanges_per_success"], 6.0 / 5.0);
    EXPECT_EQ(gate["failed_attempts"]["no_reply"], 3);
    EXPECT_EQ(gate["read_ms_mean"], 40045.0 / 3.0);
    const auto& silent = line["meters"][1];
    EXPECT_EQ(silent["health"], "backing-off");
    EXPECT_FALSE(silent["up"]);
    EXPECT_EQ(silent["why"], "no answer to the last 3 reads");
    EXPECT_EQ(silent["backoff_ms"], 4000.0);
    EXPECT_EQ(silent["consecutive_failures"], 3);
    EXPECT_TRUE(silent["failure_rate"].is_null()) << "no read: no rate";
}

}  // namespace

namespace {

// The metrics and the API give a meter's float in its own shortest digits, not in those of the
// double it widens to (51.599998474121094, 0.9100000262260437).
TEST(ValueDigits, MetricsAndApiGiveTheFloatsOwnDigits) {
    host::site::SiteStatus status = HandMadeStatus();
    status.lines[0].meters[0].gates[0].values = {51.6f, 0.91f, 230.1f, -7.0f};
    const std::string metrics = host::site::PrometheusText(status, kNowMs);
    for (const char* sample :
         {"key=\"plain.0\",name=\"P\\ntotal\",unit=\"kW\"} 51.6\n",
          "key=\"plain.1\",name=\"\\\"Q\\\"\"} 0.91\n", "key=\"plain.2\",name=\"S\\\\x\"} 230.1\n",
          "key=\"plain.3\"} -7\n"}) {
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample << "\n" << metrics;
    }
    const std::string readings = host::site::ReadingsJson(status, kNowMs);
    for (const char* value :
         {"\"value\":51.6}", "\"value\":0.91}", "\"value\":230.1}", "\"value\":-7.0}"}) {
        EXPECT_NE(readings.find(value), std::string::npos) << value << "\n" << readings;
    }
}

}  // namespace
