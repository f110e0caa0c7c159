// Writing the poller's status as JSON with nlohmann::json.
#include "site/status_json.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "core/memtype_names.h"
#include "text/float_text.h"

namespace host::site {

namespace {

using nlohmann::json;

bool Stale(const GateStatus& gate, std::int64_t now) {
    return gate.valuesUnixMs == 0 ||
           static_cast<double>(now - gate.valuesUnixMs) > kStaleIntervals * gate.intervalMs;
}

// JSON has no NaN or infinity: such a value goes out as null. A float goes out in its own
// shortest digits, not in those of the double it widens to.
json Number(float value) {
    return std::isfinite(value) ? json(text::FloatAsDecimal(value)) : json(nullptr);
}

json GateReadings(const GateStatus& gate, std::int64_t now) {
    json values = json::array();
    for (std::size_t i = 0; i < gate.values.size(); ++i) {
        values.push_back({{"index", i},
                          {"key", gate.keys[i]},
                          {"name", gate.labels[i].name},
                          {"unit", gate.labels[i].unit},
                          {"value", Number(gate.values[i])}});
    }
    return {{"gate", gate.address},
            {"family", core::MemtypeName(gate.memtype)},
            {"interval_ms", gate.intervalMs},
            {"time_ms", gate.valuesUnixMs},
            {"age_ms", gate.valuesUnixMs == 0 ? json(nullptr) : json(now - gate.valuesUnixMs)},
            {"stale", Stale(gate, now)},
            {"values", values}};
}

json MeterHead(const LineStatus& line, const MeterStatus& meter, std::int64_t now) {
    bool stale = false;
    for (const GateStatus& gate : meter.gates) stale = stale || Stale(gate, now);
    return {{"name", meter.name},
            {"address", meter.address},
            {"health", MeterHealthText(line, meter)},
            {"up", MeterUp(line, meter)},
            {"why", MeterDownReason(line, meter)},
            {"silent", line.open && meter.health == MeterHealth::BackingOff},
            {"stale", stale},
            {"last_answer_ms", meter.lastAnswerUnixMs},
            {"backoff_ms", meter.backoffMs}};
}

json GateHealth(const GateStatus& gate) {
    const double done = static_cast<double>(gate.results[0]);
    return {
        {"gate", gate.address},
        {"interval_ms", gate.intervalMs},
        {"results",
         {{"done", gate.results[0]}, {"refused", gate.results[1]}, {"failed", gate.results[2]}}},
        {"last_result", gate.lastResult},
        {"last_read_ms", gate.lastReadUnixMs},
        {"exchanges", gate.attempts},
        {"exchanges_per_success",
         done > 0 ? json(static_cast<double>(gate.attemptsOfSuccesses) / done) : json(nullptr)},
        {"failed_attempts",
         {{"no_reply", gate.failures.noReply},
          {"checksum", gate.failures.checksum},
          {"conversion", gate.failures.conversion},
          {"other", gate.failures.other}}},
        {"read_ms_mean", gate.replies.count > 0
                             ? json(gate.replies.sumMs / static_cast<double>(gate.replies.count))
                             : json(nullptr)}};
}

json MeterHealthJson(const LineStatus& line, const MeterStatus& meter, std::int64_t now) {
    json out = MeterHead(line, meter, now);
    std::int64_t reads = 0;
    std::int64_t failed = 0;
    double sumMs = 0;
    json gates = json::array();
    for (const GateStatus& gate : meter.gates) {
        reads += gate.results[0] + gate.results[1] + gate.results[2];
        failed += gate.results[1] + gate.results[2];
        sumMs += gate.replies.sumMs;
        gates.push_back(GateHealth(gate));
    }
    out["consecutive_failures"] = meter.consecutiveFailures;
    out["reads"] = reads;
    out["failure_rate"] =
        reads > 0 ? json(static_cast<double>(failed) / static_cast<double>(reads)) : json(nullptr);
    out["read_ms_mean"] = reads > 0 ? json(sumMs / static_cast<double>(reads)) : json(nullptr);
    out["gates"] = gates;
    return out;
}

json LineHealth(const LineStatus& line) {
    return {{"name", line.name},
            {"port", line.port},
            {"open", line.open},
            {"problem", line.problem},
            {"opens", line.opens},
            {"open_failures", line.reopenFailures},
            {"reads", line.reads},
            {"missed_slots", line.missedSlots},
            {"lag_ms",
             {{"last", line.lastLagMs},
              {"max", line.maxLagMs},
              {"mean", line.reads > 0 ? line.lagSumMs / static_cast<double>(line.reads) : 0.0}}}};
}

}  // namespace

std::string ReadingsJson(const SiteStatus& status, std::int64_t nowUnixMs) {
    json lines = json::array();
    for (const LineStatus& line : status.lines) {
        json meters = json::array();
        for (const MeterStatus& meter : line.meters) {
            json out = MeterHead(line, meter, nowUnixMs);
            out["gates"] = json::array();
            for (const GateStatus& gate : meter.gates)
                out["gates"].push_back(GateReadings(gate, nowUnixMs));
            meters.push_back(out);
        }
        lines.push_back({{"name", line.name},
                         {"open", line.open},
                         {"problem", line.problem},
                         {"meters", meters}});
    }
    return json{{"site", status.site}, {"now_ms", nowUnixMs}, {"lines", lines}}.dump();
}

std::string StatusJson(const SiteStatus& status, std::int64_t nowUnixMs) {
    json lines = json::array();
    for (const LineStatus& line : status.lines) {
        json out = LineHealth(line);
        out["meters"] = json::array();
        for (const MeterStatus& meter : line.meters)
            out["meters"].push_back(MeterHealthJson(line, meter, nowUnixMs));
        lines.push_back(out);
    }
    return json{{"site", status.site},
                {"start_ms", status.startUnixMs},
                {"reloads",
                 {{"success", status.reloadSuccesses},
                  {"failure", status.reloadFailures},
                  {"last_success_ms", status.lastLoadUnixMs}}},
                {"now_ms", nowUnixMs},
                {"lines", lines}}
        .dump();
}

}  // namespace host::site
