// What the site poller knows at one moment: per line its port and lag, per meter its health
// and back-off, per gate the last values with their time and the counts of results, attempts,
// failure causes and reply times. Plain copies, taken under each line's lock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/log_lines.h"
#include "site/output_counters.h"
#include "site/site_config.h"

namespace host::site {

// Upper bounds of the reply-time histogram's buckets, in ms (the last bucket is everything
// above). From a meter answering at once at 115200 baud to eight attempts of a long time-out.
inline constexpr auto kReplyBucketsMs =
    std::to_array<double>({5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000, 30000});
static_assert(kReplyBucketsMs.size() == 12);

struct ReplyHistogram {
    std::array<std::int64_t, kReplyBucketsMs.size() + 1> counts{};  // +1: above the last bound
    double sumMs = 0;
    std::int64_t count = 0;

    void Add(double ms);
};

// The times of the successful reads: the fewest figures that sum up any number of them.
struct SuccessTimes {
    std::int64_t count = 0;
    double sumMs = 0;
    double minMs = 0;
    double maxMs = 0;

    void Add(double ms);
    // Every read of `other` counted here too.
    void Merge(const SuccessTimes& other);
};

struct GateStatus {
    std::string address;
    std::int32_t memtype = 0;
    std::int32_t index = 0;
    double intervalMs = 0;
    std::vector<std::string> keys;   // per value
    std::vector<ValueLabel> labels;  // per value
    std::vector<float> values;       // of the last successful read
    std::int64_t valuesUnixMs = 0;   // when it was made; 0: never
    std::int64_t lastReadUnixMs = 0;
    std::int32_t lastResult = -1;           // -1: not read yet
    std::array<std::int64_t, 3> results{};  // by the driver's result 0, 1, 2
    std::int64_t attempts = 0;              // exchanges, all reads
    std::int64_t attemptsOfSuccesses = 0;
    core::LogTally failures;
    ReplyHistogram replies;  // every read's time, whatever its result
    SuccessTimes successTimes;
};

// A meter that stops answering is read less often, doubling up to the site's cap.
enum class MeterHealth : std::int32_t {
    Unknown = 0,     // not read yet
    Answering = 1,   // its last read had an answer
    BackingOff = 2,  // its last read had none; the next is put off
};
const char* MeterHealthName(MeterHealth health);

struct MeterStatus {
    std::string name;
    int address = 0;
    MeterHealth health = MeterHealth::Unknown;
    int consecutiveFailures = 0;
    double backoffMs = 0;  // the current delay before the next try; 0 when answering
    std::int64_t lastAnswerUnixMs = 0;
    std::vector<GateStatus> gates;
};

struct LineStatus {
    std::string name;
    std::string port;
    bool open = false;
    bool ended = false;  // its thread has ended, its channel closed
    // While the port is not open: why, as the system tells ("no such device", "in use by
    // process 4711 (minicom)", "not opened yet"). Empty while open.
    std::string problem = "not opened yet";
    // The read under way: its gate (empty between reads), since when, and how long its
    // attempts may take at most (their time-outs added up).
    std::string reading;
    std::int64_t readingSinceUnixMs = 0;
    double readingLimitMs = 0;
    std::int64_t opens = 0;  // successful opens and reopens
    std::int64_t reopenFailures = 0;
    double lastLagMs = 0;  // how late the last read started after it came due
    double maxLagMs = 0;
    double lagSumMs = 0;
    std::int64_t reads = 0;
    std::int64_t missedSlots = 0;  // intervals skipped because the line fell a whole one behind
    std::vector<MeterStatus> meters;
};

// What an output reports of itself for the metrics: its counters, kept by the output (readings
// dropped at its queue are counted by the reading feed).
struct OutputStatus {
    std::string name;                     // "mqtt"
    bool connected = false;               // to its peer (the broker), where it has one
    std::int64_t connects = 0;            // successful connects: the first and every reconnect
    std::int64_t published = 0;           // messages its peer took
    std::int64_t droppedQueue = 0;        // readings dropped because its queue was full
    std::int64_t droppedUndelivered = 0;  // messages dropped because they could not be sent
};

struct SiteStatus {
    std::string site;
    std::int64_t startUnixMs = 0;
    // Reloads of the site file on SIGHUP, and when the configuration running now was loaded
    // (the start, until a reload succeeds).
    std::int64_t reloadSuccesses = 0;
    std::int64_t reloadFailures = 0;
    std::int64_t lastLoadUnixMs = 0;
    std::vector<LineStatus> lines;
    std::vector<OutputStatus> outputs;                // the outputs fed by the poller, when any
    std::vector<OutputCounterFamily> outputCounters;  // the outputs' own counts (Modbus TCP)
};

// Whether the meter is up: its last read had an answer and its line's port is open now. A meter
// on a port that has gone is never up, whatever it answered before.
bool MeterUp(const LineStatus& line, const MeterStatus& meter);

// The meter's health as the outputs say it: its own, or "port-closed" while its line's port is
// not open.
const char* MeterHealthText(const LineStatus& line, const MeterStatus& meter);

// Why the meter is not up, in a few words ("port closed: no such device", "no answer to the
// last 3 reads", "not read yet"); empty while it is up.
std::string MeterDownReason(const LineStatus& line, const MeterStatus& meter);

// Milliseconds since 1970 by the system clock.
std::int64_t UnixMsNow();

}  // namespace host::site
