// The scan itself: one plain-block request per PLC address and line setting, each answered
// or not within a short time-out, through the serial and protocol layers directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lines/direct_port.h"
#include "lines/scan_plan.h"
#include "vpi_families.h"

namespace host::lines {

// A meter that answered.
struct FoundMeter {
    int address = 0;
    LineParameters line{};
    double replyMs = 0;         // from the request's end (RTS off) to the reply's last byte
    std::size_t fields = 0;     // plain-block fields decoded: 28 or 40 for a sound reply
    bool decoded = false;       // every field present converted
    std::vector<float> values;  // the decoded fields, from the first
};

// Where a scan is, for a progress line.
struct ScanProgress {
    const LineParameters* line = nullptr;
    int address = 0;
    std::size_t done = 0;   // probes made
    std::size_t total = 0;  // probes planned (fewer are made when meters are found)
    std::size_t found = 0;
    double leftMs = 0;  // the estimate for the probes still planned
};

struct ScanSettings {
    std::string port;
    ScanPlan plan;
    std::int64_t timeoutMs = 100;
    bool all = false;    // probe found meters again at the other line settings
    bool first = false;  // stop at the first meter found
};

// What a scan came to.
struct ScanOutcome {
    std::vector<FoundMeter> found;
    std::size_t probes = 0;
    bool interrupted = false;
    std::size_t echoes = 0;  // probes that heard only their own request back
    // A line setting the port refused or did not open at, and what the serial layer said.
    std::vector<std::pair<LineParameters, serial::SerialResult>> refused;
};

// Called before each probe, with each meter found, and once, at the first probe that heard
// only its own request back (the line echoes).
struct ScanObserver {
    std::function<void(const ScanProgress&)> probing;
    std::function<void(const FoundMeter&)> found;
    std::function<void()> echoing;
};

// What one probe came to.
enum class ProbeResult : std::int32_t {
    NoReply = 0,  // nothing within the time-out that is a sound reply from that address
    Meter = 1,    // a reply with a good checksum that names the address
    Echo = 2,     // the request itself came back, and nothing behind it: the line echoes
};

// Probes `address` once on `port` (open). Meter: `meter` filled from a reply frame with a good
// checksum that names that address, within the port's read time-out. Echo: only the request's
// own bytes came back.
ProbeResult ProbeAddress(DirectPort& port, int address, FoundMeter* meter);

// Runs the whole scan; `stop` is asked before each probe (Ctrl-C).
ScanOutcome RunScan(const ScanSettings& settings, const ScanObserver& observer,
                    const std::function<bool()>& stop);

}  // namespace host::lines
