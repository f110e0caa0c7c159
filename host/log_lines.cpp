// Sorting the driver's log lines by cause: the words each kind of line carries, and which
// counter each kind goes to.
#include "log_lines.h"

#include <array>

namespace host {

namespace {

// The words that mark each class, tried in this order; a line with none of them is Other.
struct Marker {
    const char* words;
    LineClass kind;
};
constexpr std::array<Marker, 5> kMarkers{{
    {"RTS", LineClass::Rts},
    {"Fail to recv", LineClass::NoReply},
    {"Illigal msg length", LineClass::Length},
    {"Check Sum", LineClass::Checksum},
    {"Fail to convert", LineClass::Conversion},
}};
static_assert(kMarkers.size() == 5);

// The counter each class adds to, and whether a line of it stands for a failed attempt. The
// length line is followed by the attempt's checksum line, which counts the attempt.
struct Counting {
    LineClass kind;
    int LogTally::*counter;
    bool failedAttempt;
};
constexpr std::array<Counting, 6> kCounting{{
    {LineClass::Rts, &LogTally::rts, false},
    {LineClass::NoReply, &LogTally::noReply, true},
    {LineClass::Checksum, &LogTally::checksum, true},
    {LineClass::Conversion, &LogTally::conversion, true},
    {LineClass::Length, nullptr, false},
    {LineClass::Other, &LogTally::other, true},
}};
static_assert(kCounting.size() == 6);

}  // namespace

LineClass ClassifyLine(const std::string& text) {
    for (const Marker& marker : kMarkers) {
        if (text.find(marker.words) != std::string::npos) return marker.kind;
    }
    return LineClass::Other;
}

LogTally& LogTally::operator+=(const LogTally& more) {
    failedAttempts += more.failedAttempts;
    noReply += more.noReply;
    checksum += more.checksum;
    conversion += more.conversion;
    other += more.other;
    rts += more.rts;
    return *this;
}

LogTally Tally(const std::vector<LogLine>& lines) {
    LogTally tally;
    for (const LogLine& line : lines) {
        const LineClass kind = ClassifyLine(line.text);
        for (const Counting& counting : kCounting) {
            if (counting.kind != kind) continue;
            if (counting.counter != nullptr) ++(tally.*counting.counter);
            if (counting.failedAttempt) ++tally.failedAttempts;
        }
    }
    return tally;
}

}  // namespace host
