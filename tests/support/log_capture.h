// Captures what the driver logs through the host's logging library, for exact assertions.
#pragma once

#include <mutex>

#include <ostream>
#include <string>
#include <thread>
#include <vector>
#include "tamrik.h"

namespace vpitest {

struct LogLine {
    int severity;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LogLine& line);

// While alive, every line goes here instead of stderr. One at a time.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const;
    // The lines logged on one thread (the driver logs on the thread that called it).
    std::vector<LogLine> LinesFrom(std::thread::id thread) const;
    std::vector<LogLine> Take();  // the lines so far, and forget them
    void Clear();

private:
    static void TAMRIK_CDECL Receive(int severity, const char* text, void* context);
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
    std::vector<std::thread::id> threads_;  // who logged lines_[i]
};

}  // namespace vpitest
