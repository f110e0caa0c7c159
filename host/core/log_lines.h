// The driver's log lines as vpihost sees them: each line, what it says about an attempt, and
// the lines of one operation counted by cause.
#pragma once

#include <string>
#include <vector>

namespace host::core {

// One line the driver logged through the host's logging library.
struct LogLine {
    int severity;
    std::string text;
};

// What a driver log line says about an attempt, told by the words the driver uses.
enum class LineClass {
    Rts,         // the line cannot switch RTS (every exchange on a pseudo-terminal)
    NoReply,     // a failed attempt: no reply came
    Checksum,    // a failed attempt: the reply's checksum did not match
    Conversion,  // a failed attempt: a field was not a number
    Length,      // an illegal length field (followed by its checksum line)
    Other,       // anything else, counted as a failed attempt
};
LineClass ClassifyLine(const std::string& text);

// Counts of one operation's log lines by class.
struct LogTally {
    int failedAttempts = 0;  // lines that each stand for one failed attempt
    int noReply = 0;
    int checksum = 0;
    int conversion = 0;
    int other = 0;
    int rts = 0;

    LogTally& operator+=(const LogTally& more);
};
LogTally Tally(const std::vector<LogLine>& lines);

}  // namespace host::core
