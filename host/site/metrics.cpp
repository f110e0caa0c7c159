// Writing the poller's status as Prometheus metrics, family by family.
#include "site/metrics.h"

#include <fmt/format.h>

#include <array>
#include <cmath>

#include "text/float_text.h"
#include "text/text_escape.h"

namespace host::site {

std::string EscapeLabel(const std::string& label) {
    // What the exposition format escapes in a label value; every other byte goes as it is.
    constexpr std::array<text::CharEscape, 3> kLabelEscapes{{
        {'\\', "\\\\"},
        {'"', "\\\""},
        {'\n', "\\n"},
    }};
    return text::Escaped(label, kLabelEscapes, false);
}

std::string SampleText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    return fmt::format("{}", value);
}

namespace {

// Writes families: the HELP and TYPE lines once, then the samples.
class Exposition {
public:
    void Family(const char* name, const char* type, const char* help) {
        text_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    }
    void Sample(const std::string& name, const std::string& labels, double value) {
        if (labels.empty()) {
            text_ += fmt::format("{} {}\n", name, SampleText(value));
        } else {
            text_ += fmt::format("{}{{{}}} {}\n", name, labels, SampleText(value));
        }
    }
    std::string Take() { return std::move(text_); }

private:
    std::string text_;
};

std::string Label(const char* name, const std::string& value) {
    return fmt::format("{}=\"{}\"", name, EscapeLabel(value));
}

std::string MeterLabels(const LineStatus& line, const MeterStatus& meter) {
    return Label("line", line.name) + "," + Label("meter", meter.name);
}

std::string GateLabels(const LineStatus& line, const MeterStatus& meter, const GateStatus& gate) {
    return MeterLabels(line, meter) + "," + Label("gate", gate.address);
}

double Seconds(double ms) {
    return ms / 1000.0;
}

// Calls `each(line, meter, gate)` for every gate of the site.
template <typename Each>
void ForEachGate(const SiteStatus& status, Each each) {
    for (const LineStatus& line : status.lines) {
        for (const MeterStatus& meter : line.meters) {
            for (const GateStatus& gate : meter.gates) each(line, meter, gate);
        }
    }
}

void Values(Exposition& out, const SiteStatus& status) {
    out.Family("vpi_value", "gauge",
               "The last value read from a meter's gate; name and unit where the site file "
               "gives them");
    ForEachGate(status, [&out](const LineStatus& l, const MeterStatus& m, const GateStatus& g) {
        if (g.valuesUnixMs == 0) return;
        for (std::size_t i = 0; i < g.values.size(); ++i) {
            std::string labels = GateLabels(l, m, g) + "," + Label("index", std::to_string(i)) +
                                 "," + Label("key", g.keys[i]);
            if (!g.labels[i].name.empty()) labels += "," + Label("name", g.labels[i].name);
            if (!g.labels[i].unit.empty()) labels += "," + Label("unit", g.labels[i].unit);
            out.Sample("vpi_value", labels, text::FloatAsDecimal(g.values[i]));
        }
    });
    out.Family("vpi_gate_last_success_timestamp_seconds", "gauge",
               "When the gate was last read successfully (Unix time; 0: never)");
    // A gate never read successfully has its series too, at 0, so that an alert on the age of
    // the last success sees a meter that never answered.
    ForEachGate(status, [&out](const LineStatus& l, const MeterStatus& m, const GateStatus& g) {
        out.Sample("vpi_gate_last_success_timestamp_seconds", GateLabels(l, m, g),
                   Seconds(static_cast<double>(g.valuesUnixMs)));
    });
    out.Family("vpi_gate_interval_seconds", "gauge", "The interval the site file asks for");
    ForEachGate(status, [&out](const LineStatus& l, const MeterStatus& m, const GateStatus& g) {
        out.Sample("vpi_gate_interval_seconds", GateLabels(l, m, g), Seconds(g.intervalMs));
    });
}

void Counters(Exposition& out, const SiteStatus& status) {
    constexpr const char* kResults[] = {"done", "refused", "failed"};
    out.Family("vpi_reads_total", "counter", "Reads of a gate by the driver's result");
    ForEachGate(status, [&](const LineStatus& l, const MeterStatus& m, const GateStatus& g) {
        for (std::size_t r = 0; r < 3; ++r)
            out.Sample("vpi_reads_total", GateLabels(l, m, g) + "," + Label("result", kResults[r]),
                       static_cast<double>(g.results[r]));
    });
    out.Family("vpi_exchanges_total", "counter", "Request and reply exchanges of a gate's reads");
    ForEachGate(status, [&](const LineStatus& l, const MeterStatus& m, const GateStatus& g) {
        out.Sample("vpi_exchanges_total", GateLabels(l, m, g), static_cast<double>(g.attempts));
    });
    out.Family("vpi_failed_attempts_total", "counter",
               "Failed attempts by cause, from the driver's log lines");
    ForEachGate(status, [&](const LineStatus& l, const MeterStatus& m, const GateStatus& g) {
        const std::pair<const char*, int> causes[] = {{"no_reply", g.failures.noReply},
                                                      {"checksum", g.failures.checksum},
                                                      {"conversion", g.failures.conversion},
                                                      {"other", g.failures.other}};
        for (const auto& [cause, count] : causes)
            out.Sample("vpi_failed_attempts_total",
                       GateLabels(l, m, g) + "," + Label("cause", cause),
                       static_cast<double>(count));
    });
}

void ReadTimes(Exposition& out, const SiteStatus& status) {
    out.Family("vpi_read_duration_seconds", "histogram",
               "How long a read of the gate took, all attempts together");
    ForEachGate(status, [&](const LineStatus& l, const MeterStatus& m, const GateStatus& g) {
        const std::string labels = GateLabels(l, m, g);
        std::int64_t cumulative = 0;
        for (std::size_t b = 0; b < kReplyBucketsMs.size(); ++b) {
            cumulative += g.replies.counts[b];
            out.Sample("vpi_read_duration_seconds_bucket",
                       labels + "," + Label("le", SampleText(Seconds(kReplyBucketsMs[b]))),
                       static_cast<double>(cumulative));
        }
        out.Sample("vpi_read_duration_seconds_bucket", labels + ",le=\"+Inf\"",
                   static_cast<double>(g.replies.count));
        out.Sample("vpi_read_duration_seconds_sum", labels, Seconds(g.replies.sumMs));
        out.Sample("vpi_read_duration_seconds_count", labels, static_cast<double>(g.replies.count));
    });
}

void Meters(Exposition& out, const SiteStatus& status) {
    struct MeterFigure {
        const char* name;
        const char* help;
        double (*value)(const LineStatus&, const MeterStatus&);
    };
    constexpr MeterFigure kFigures[] = {
        {"vpi_meter_up",
         "1 while the meter answers on an open port; 0 while its port is closed, it is backed "
         "off or not read yet",
         [](const LineStatus& l, const MeterStatus& m) { return MeterUp(l, m) ? 1.0 : 0.0; }},
        {"vpi_meter_backoff_seconds", "How long the silent meter is left alone now (0: answering)",
         [](const LineStatus&, const MeterStatus& m) { return Seconds(m.backoffMs); }},
        {"vpi_meter_consecutive_failures", "Reads without an answer since the last answer",
         [](const LineStatus&, const MeterStatus& m) {
             return static_cast<double>(m.consecutiveFailures);
         }},
        {"vpi_meter_last_answer_timestamp_seconds",
         "When the meter last answered (Unix time; 0: never)",
         [](const LineStatus&, const MeterStatus& m) {
             return Seconds(static_cast<double>(m.lastAnswerUnixMs));
         }},
    };
    for (const MeterFigure& figure : kFigures) {
        out.Family(figure.name, "gauge", figure.help);
        for (const LineStatus& line : status.lines) {
            for (const MeterStatus& meter : line.meters)
                out.Sample(figure.name, MeterLabels(line, meter), figure.value(line, meter));
        }
    }
}

void Lines(Exposition& out, const SiteStatus& status) {
    struct LineFigure {
        const char* name;
        const char* type;
        const char* help;
        double (*value)(const LineStatus&);
    };
    constexpr LineFigure kFigures[] = {
        {"vpi_line_port_open", "gauge", "1 while the line's port is open",
         [](const LineStatus& l) { return l.open ? 1.0 : 0.0; }},
        {"vpi_line_port_opens_total", "counter", "Opens of the port, the first and every reopen",
         [](const LineStatus& l) { return static_cast<double>(l.opens); }},
        {"vpi_line_port_open_failures_total", "counter", "Opens and reopens that failed",
         [](const LineStatus& l) { return static_cast<double>(l.reopenFailures); }},
        {"vpi_poller_lag_last_seconds", "gauge", "How late the line's last read started",
         [](const LineStatus& l) { return Seconds(l.lastLagMs); }},
        {"vpi_poller_lag_max_seconds", "gauge", "The latest any read of the line started",
         [](const LineStatus& l) { return Seconds(l.maxLagMs); }},
        {"vpi_poller_missed_slots_total", "counter",
         "Intervals skipped because the line was a whole interval behind",
         [](const LineStatus& l) { return static_cast<double>(l.missedSlots); }},
    };
    for (const LineFigure& figure : kFigures) {
        out.Family(figure.name, figure.type, figure.help);
        for (const LineStatus& line : status.lines)
            out.Sample(figure.name, Label("line", line.name), figure.value(line));
    }
    out.Family("vpi_poller_lag_seconds", "summary", "How late each read started after it came due");
    for (const LineStatus& line : status.lines) {
        out.Sample("vpi_poller_lag_seconds_sum", Label("line", line.name), Seconds(line.lagSumMs));
        out.Sample("vpi_poller_lag_seconds_count", Label("line", line.name),
                   static_cast<double>(line.reads));
    }
}

void Reloads(Exposition& out, const SiteStatus& status) {
    out.Family("vpi_config_reloads_total", "counter",
               "Reloads of the site file on SIGHUP, by result (a failed one changes nothing)");
    out.Sample("vpi_config_reloads_total", Label("result", "success"),
               static_cast<double>(status.reloadSuccesses));
    out.Sample("vpi_config_reloads_total", Label("result", "failure"),
               static_cast<double>(status.reloadFailures));
    out.Family("vpi_config_last_reload_success_timestamp_seconds", "gauge",
               "When the site file running now was loaded (Unix time)");
    out.Sample("vpi_config_last_reload_success_timestamp_seconds", "",
               Seconds(static_cast<double>(status.lastLoadUnixMs)));
}

// The outputs the poller feeds (MQTT, …): written only when there are any, so that a serve
// without outputs has no empty families.
void Outputs(Exposition& out, const SiteStatus& status) {
    if (status.outputs.empty()) return;
    struct OutputFigure {
        const char* name;
        const char* type;
        const char* help;
        double (*value)(const OutputStatus&);
    };
    constexpr OutputFigure kFigures[] = {
        {"vpi_output_connected", "gauge", "1 while the output is connected to its peer",
         [](const OutputStatus& o) { return o.connected ? 1.0 : 0.0; }},
        {"vpi_output_connects_total", "counter",
         "Connections to the output's peer, the first and every reconnect",
         [](const OutputStatus& o) { return static_cast<double>(o.connects); }},
        {"vpi_output_published_total", "counter", "Messages the output's peer took",
         [](const OutputStatus& o) { return static_cast<double>(o.published); }},
    };
    for (const OutputFigure& figure : kFigures) {
        out.Family(figure.name, figure.type, figure.help);
        for (const OutputStatus& output : status.outputs)
            out.Sample(figure.name, Label("output", output.name), figure.value(output));
    }
    out.Family("vpi_output_dropped_total", "counter",
               "What an output could not pass on, by reason: its queue was full (queue_full), "
               "the message could not be sent (undelivered)");
    for (const OutputStatus& output : status.outputs) {
        out.Sample("vpi_output_dropped_total",
                   Label("output", output.name) + "," + Label("reason", "queue_full"),
                   static_cast<double>(output.droppedQueue));
        out.Sample("vpi_output_dropped_total",
                   Label("output", output.name) + "," + Label("reason", "undelivered"),
                   static_cast<double>(output.droppedUndelivered));
    }
}

// The outputs' own counts (the Modbus TCP face's requests, exceptions, dropped clients).
void OutputCounts(Exposition& out, const SiteStatus& status) {
    for (const OutputCounterFamily& family : status.outputCounters) {
        out.Family(family.name.c_str(), "counter", family.help.c_str());
        for (const auto& [value, count] : family.counts)
            out.Sample(family.name, Label(family.label.c_str(), value), static_cast<double>(count));
    }
}

}  // namespace

// No sample depends on the time now: an age is time() less a timestamp, in the query.
std::string PrometheusText(const SiteStatus& status, std::int64_t /*nowUnixMs*/) {
    Exposition out;
    out.Family("vpi_site_info", "gauge", "The site this vpihost serve polls");
    out.Sample("vpi_site_info", Label("site", status.site), 1);
    out.Family("vpi_serve_start_time_seconds", "gauge", "When polling started (Unix time)");
    out.Sample("vpi_serve_start_time_seconds", Label("site", status.site),
               Seconds(static_cast<double>(status.startUnixMs)));
    Reloads(out, status);
    Values(out, status);
    Counters(out, status);
    ReadTimes(out, status);
    Meters(out, status);
    Lines(out, status);
    Outputs(out, status);
    OutputCounts(out, status);
    return out.Take();
}

}  // namespace host::site
