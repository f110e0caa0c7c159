// Sorting the driver's log lines by cause: the words each kind of line carries, and which
// counter each kind goes to.
#include "core/log_lines.h"

#include <array>

namespace host::core {

namespace {

// Each class of line: the words that mark it (tried in this order; a line with none of them is
// Other), the counter it adds to, and whether a line of it stands for a failed attempt. The
// length line is followed by the attempt's checksum line, which counts the attempt.
struct LineKind {
    const char* words;
    LineClass kind;
    int LogTally::*counter;
    bool failedAttempt;
};
constexpr auto kLineKinds = std::to_array<LineKind>({
    {"RTS", LineClass::Rts, &LogTally::rts, false},
    {"Fail to recv", LineClass::NoReply, &LogTally::noReply, true},
    {"Illigal msg length", LineClass::Length, nullptr, false},
    {"Check Sum", LineClass::Checksum, &LogTally::checksum, true},
    {"Fail to convert", LineClass::Conversion, &LogTally::conversion, true},
    {nullptr, LineClass::Other, &LogTally::other, true},
});
static_assert(kLineKinds.size() == 6 && kLineKinds.back().kind == LineClass::Other);

}  // namespace

LineClass ClassifyLine(const std::string& text) {
    for (const LineKind& kind : kLineKinds) {
        if (kind.words != nullptr && text.find(kind.words) != std::string::npos) return kind.kind;
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
        for (const LineKind& counting : kLineKinds) {
            if (counting.kind != kind) continue;
            if (counting.counter != nullptr) ++(tally.*counting.counter);
            if (counting.failedAttempt) ++tally.failedAttempts;
        }
    }
    return tally;
}

}  // namespace host::core
