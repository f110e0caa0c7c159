// What the reading and writing commands share: the line options, a channel opened through the
// driver, gates parsed and checked by the driver, and the driver's log lines sorted by cause.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "output.h"

namespace CLI {
class App;
}

namespace host {

// Port and line options as typed; unset ones keep the driver's defaults (operation 14).
struct LineOptions {
    std::string port;
    std::optional<unsigned> baud;
    std::optional<unsigned> dataBits;
    std::optional<std::string> parity;
    std::optional<std::string> stopBits;
    std::int64_t timeoutMs = 1000;
};

// Adds --baud, --data, --parity, --stop and --timeout; with `withPort` a required --port too.
void AddLineOptions(CLI::App& command, LineOptions& options, bool withPort);

// The port name the system wants: on Windows COM10 and above get the \\.\ prefix (said on
// `notes`); anything else as given.
std::string SystemPortName(const std::string& port, std::FILE* notes);

// A channel: the state area sized by operation 14, opened with operation 1, closed with
// operation 11 when it goes away.
class Channel {
public:
    Channel() = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    ~Channel();

    // Checks the options, loads the driver and opens the port. Notes (time-out rounding, port
    // prefix, the line used) go to `notes`; errors to stderr with the exit status raised (64 for
    // bad options, 2 when the port does not open). True when the channel is open.
    bool Open(Runtime& runtime, const LineOptions& options, std::FILE* notes);

    // Closes the channel (operation 11) if it is open; false if the driver could not close it.
    bool Close();

    void* State() { return area_.data(); }
    const std::string& PortName() const { return port_; }
    std::int64_t TimeoutMs() const { return timeoutMs_; }

private:
    Runtime* runtime_ = nullptr;
    std::vector<std::uint32_t> area_;
    std::string port_;
    std::int64_t timeoutMs_ = 0;
    bool open_ = false;
};

// A gate ready for operations 5, 6 and 7: what the driver's parse gave and the value array.
struct Gate {
    std::string address;
    std::int32_t plcAddress = 0;
    std::int32_t memtype = 0;
    std::int32_t index = 0;
    std::vector<float> values;

    // The record for one call; it points into `values`, so build it right before the call.
    GateIoRecord Record();
};

// How many values a gate of `memtype` carries in one read (plain 40, H 34, TR/TK 3, TY 2,
// TD 25, TC 33); 0 for EX gates and codes that have no fixed count.
int RequiredCount(std::int32_t memtype);

// Splits "ADDRESS[:COUNT]". False (with `error` set) for a count that is not a number.
bool SplitGateArgument(const std::string& gateText, std::string* address, std::optional<int>* count,
                       std::string* error);

// Parses (operation 3) and checks (operation 4) a gate for reading, the count defaulting to
// the family's. Says on stderr why a gate is not readable, with the driver's own lines;
// nullopt then, and the exit status is raised to 1 (64 for a malformed gate argument).
std::optional<Gate> PrepareReadGate(Runtime& runtime, const std::string& gateText);

// Parses a gate for writing (operation 3); `count` values. Same reporting as above.
std::optional<Gate> PrepareWriteGate(Runtime& runtime, const std::string& address, int count);

// What a driver log line says about an attempt.
enum class LineClass {
    Rts,         // the line cannot switch RTS (every exchange on a pseudo-terminal)
    NoReply,     // a failed attempt: no reply came
    Checksum,    // a failed attempt: the reply's checksum did not match
    Conversion,  // a failed attempt: a field was not a number
    Length,      // an illegal length field (followed by its checksum line)
    Other,       // anything else, counted as a failed attempt
};
LineClass ClassifyLine(const std::string& text);
const char* LineClassName(LineClass kind);

// Counts of one operation's log lines by class.
struct LogTally {
    int failedAttempts = 0;  // lines that each stand for one failed attempt
    int noReply = 0;
    int checksum = 0;
    int conversion = 0;
    int other = 0;
    int rts = 0;
};
LogTally Tally(const std::vector<LogLine>& lines);

// On a line that cannot switch RTS (a pseudo-terminal, some adapters) every exchange logs two
// RTS lines, which would also keep the log's collapsing of repeated lines from working. This
// shows the first line of each RTS text and counts the rest.
void HideRepeatedRtsLines();

// Says on stderr how many RTS lines were held back, if any (not with --quiet).
void ReportHiddenRtsLines(const Runtime& runtime);

// Reads `gate` once through operation 6 (operation 5 with `ex`) on `channel` and times it.
// Attempts: a success took one more than the failed-attempt lines it logged; a failure took
// the driver's whole budget (8 for operation 6, 1 for operation 5). `tally` gets the lines.
Reading ReadGate(Runtime& runtime, Channel& channel, Gate& gate, bool ex, LogTally* tally);

}  // namespace host
