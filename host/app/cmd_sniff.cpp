// `vpihost sniff --port NAME`: listens on a line without sending (RTS stays off, so the
// adapter only receives), frames what passes in both directions, pairs each request with the
// addressed meter's reply and prints one record per exchange; on Ctrl-C or after --duration a
// summary per meter.
#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/durations.h"
#include "core/interrupt.h"
#include "core/output.h"
#include "lines/direct_port.h"
#include "lines/scan_plan.h"
#include "lines/sniff_report.h"

namespace host::app {

namespace {

using Clock = std::chrono::steady_clock;

struct SniffOptions {
    std::string port;
    lines::ScanListOptions line;  // one value each
    std::optional<std::string> duration;
    bool json = false;
    bool raw = false;
};

// The one line setting to listen at, in the order --help shows them.
constexpr std::array<TextOption<lines::ScanListOptions>, 4> kLineOptions{{
    {"--baud", &lines::ScanListOptions::baud, "bits per second"},
    {"--data", &lines::ScanListOptions::data, "data bits"},
    {"--parity", &lines::ScanListOptions::parity, "none|odd|even|mark|space"},
    {"--stop", &lines::ScanListOptions::stop, "stop bits: 1|1.5|2"},
}};

// How long a read waits before the loop looks at the clock and Ctrl-C again.
constexpr std::int64_t kReadWaitMs = 20;
// Silence inside a frame longer than this ends it as truncated: well above the gaps a meter
// leaves between parts of one reply.
constexpr std::int64_t kFrameGapUs = 60000;

constexpr std::int64_t kDrainUs = 200000;

std::int64_t MicrosSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

enum class Read : std::uint8_t { Byte, Quiet, Gone };

// One byte at a time off the port. A read that fails long before its wait is over, again and
// again, means the port is gone (an adapter pulled out, the null device): without this the
// listener would spin instead of waiting.
class ByteReader {
public:
    explicit ByteReader(lines::DirectPort& port) : port_(port) {}
    Read Next(std::uint8_t* byte) {
        const auto asked = Clock::now();
        std::uint32_t got = 0;
        // A read that gets nothing within its time-out reports a failure: the line was quiet.
        static_cast<void>(serial::ReadPort(port_.State().port, byte, 1, &got));
        if (got == 1) {
            instantFailures_ = 0;
            return Read::Byte;
        }
        const bool instant = Clock::now() - asked < std::chrono::milliseconds(kReadWaitMs / 4);
        instantFailures_ = instant ? instantFailures_ + 1 : 0;
        return instantFailures_ > kInstantFailuresForGone ? Read::Gone : Read::Quiet;
    }

private:
    static constexpr int kInstantFailuresForGone = 50;
    lines::DirectPort& port_;
    int instantFailures_ = 0;
};

enum class ListenEnd : std::uint8_t { Duration, Interrupted, PortGone };

// Reads the line byte by byte (each with its own time stamp) until Ctrl-C, the duration or
// the port's loss; every item goes to `sniffer`.
ListenEnd Listen(lines::DirectPort& port, lines::Sniffer& sniffer,
                 std::optional<double> durationMs) {
    const core::InterruptWatch watch;
    const auto start = Clock::now();
    lines::FrameSplitter splitter(kFrameGapUs);
    ByteReader reader(port);
    std::vector<lines::SniffItem> items;
    // Once the time is up or Ctrl-C came, what the line already holds is still read, up to
    // the first quiet read, and never longer than kDrainUs on a line that does not go quiet.
    std::int64_t endingUs = -1;
    Read read = Read::Quiet;
    while (read != Read::Gone) {
        const bool due =
            watch.Interrupted() ||
            (durationMs && static_cast<double>(MicrosSince(start)) >= *durationMs * 1e3);
        if (endingUs < 0 && due) endingUs = MicrosSince(start);
        std::uint8_t byte = 0;
        read = reader.Next(&byte);
        const std::int64_t now = MicrosSince(start);
        if (read == Read::Byte) {
            splitter.Feed(byte, now, items);
        } else {
            splitter.Idle(now, items);
        }
        for (const lines::SniffItem& item : items) sniffer.Take(item);
        items.clear();
        if (endingUs >= 0 && (read != Read::Byte || now - endingUs > kDrainUs)) break;
    }
    splitter.Flush(items);
    for (const lines::SniffItem& item : items) sniffer.Take(item);
    sniffer.Finish();
    if (read == Read::Gone) return ListenEnd::PortGone;
    return watch.Interrupted() ? ListenEnd::Interrupted : ListenEnd::Duration;
}

void RunSniff(core::Runtime& runtime, const SniffOptions& options) {
    std::string error;
    const std::optional<lines::ScanPlan> plan = lines::MakeScanPlan(options.line, &error);
    const double durationMs = options.duration ? core::ParseDurationMs(*options.duration) : 0;
    if (!plan || plan->lines.size() != 1 || (options.duration && !(durationMs > 0))) {
        std::fprintf(stderr, "vpihost: %s\n",
                     !plan ? error.c_str()
                           : "sniff listens at one line setting (--baud, --data, --parity and "
                             "--stop take one value each); --duration takes a time above 0 such "
                             "as 500ms, 30s, 2m");
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    lines::DirectPort port;
    const serial::SerialResult opened = port.Open(options.port, plan->lines[0], kReadWaitMs);
    if (opened != serial::SerialResult::Ok) {
        std::fprintf(stderr, "vpihost: %s\n", lines::OpenFailureText(options.port, opened).c_str());
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    // What the adapter queued before we listened is no part of this capture.
    static_cast<void>(serial::PurgeInput(port.State().port));
    std::fprintf(stderr, "listening on %s at %s (nothing is sent)\n", options.port.c_str(),
                 lines::ShortLineText(plan->lines[0]).c_str());
    lines::SniffPrinter printer(options.json ? core::Format::Json : core::Format::Table,
                                options.raw);
    lines::Sniffer sniffer([&printer](const lines::SniffRecord& record) { printer.Print(record); });
    const ListenEnd end =
        Listen(port, sniffer, options.duration ? std::optional<double>(durationMs) : std::nullopt);
    if (end == ListenEnd::PortGone) {
        std::fprintf(stderr, "vpihost: %s: reads fail at once; the port is gone\n",
                     options.port.c_str());
        runtime.exit.Raise(core::kExitFailed);
    }
    // Beside JSON lines the summary goes to stderr, so that stdout stays one object a line.
    lines::PrintSniffSummary(options.json ? stderr : stdout, sniffer.Figures(),
                             end == ListenEnd::Interrupted);
}

}  // namespace

void AddSniffCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<SniffOptions>(
        app, runtime, "sniff",
        "Watch a line without sending: every exchange, its checksum, reply time, values", RunSniff);
    command.add_option("--port", options.port, "the serial port to listen on")->required();
    AddTextOptions(command, options.line, kLineOptions);
    command.add_option("--duration", options.duration, "listen for this long (30s, 5m, ...)");
    command.add_flag("--json", options.json,
                     "JSON lines: one object per record, as metersim --events writes them");
    command.add_flag("--raw", options.raw, "the bytes too (printable and hex)");
}

}  // namespace host::app
