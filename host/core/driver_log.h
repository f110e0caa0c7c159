// The driver's log as vpihost receives it: the logging library's sink, which shows each line
// on stderr with the time of day and keeps it for the command that made the call.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/log_lines.h"
#include "core/non_copyable.h"
#include "tamrik.h"

namespace host::core {

// Which RTS lines reach stderr. On a line that cannot switch RTS (a pseudo-terminal, some
// adapters) every exchange logs two RTS lines, which would also keep the collapsing of
// repeated lines from working.
enum class RtsLines {
    Show,         // every one
    FirstOfEach,  // the first line of each RTS text; the rest are counted
    Hide,         // none (the caller counts them from its own lines)
};

class DriverLog : NonCopyable {
public:
    // Hands the logging library its default sink back.
    ~DriverLog();

    // Becomes the logging library's sink. Each line goes to stderr as "04:20:30.123
    // driver[8] text" (not when `quiet`), identical lines in a row shown once with a count,
    // and is kept for Take().
    void Install(bool quiet);

    // The lines the calling thread's driver calls logged since its last Take(), oldest first
    // (the driver logs from the thread that called it, so each line worker gets its own).
    // Says first how often the last shown line repeated, so that the count comes before what
    // follows.
    std::vector<LogLine> Take();

    // The calling thread's driver lines carry `label` in front from now on ("line A:" for a
    // line of serve's), so that lines of several channels are told apart; empty: none.
    void LabelThread(const std::string& label);

    // A line of the host's own among the driver's (serve's events): shown on stderr as
    // "04:20:30.123 LABEL TEXT" even when quiet, after the count of a repeated driver line it
    // would otherwise come between. Not kept for Take().
    void Say(const std::string& label, const std::string& text);

    // Which RTS lines to show from now on.
    void ShowRts(RtsLines mode);

    // How many RTS lines FirstOfEach has held back so far.
    int HiddenRtsLines();

    // Called before each line the log shows on stderr, on the thread that logs it: a command
    // with a line of its own on the terminal (scan's progress) clears it there, so that the
    // two never run together. Empty: nothing is called.
    void BeforeEachLine(std::function<void()> clear);

private:
    static void TAMRIK_CDECL Sink(int severity, const char* text, void* context);
    void Receive(int severity, const char* text);
    bool Hidden(const std::string& text);
    void FlushRepeats();

    std::mutex mutex_;
    bool installed_ = false;
    bool quiet_ = false;
    std::map<std::thread::id, std::vector<LogLine>> pending_;
    std::map<std::thread::id, std::string> labels_;
    std::string lastLabel_;
    std::string lastText_;
    int lastSeverity_ = -1;
    int repeats_ = 0;
    RtsLines rts_ = RtsLines::Show;
    std::vector<std::string> rtsSeen_;
    int rtsHidden_ = 0;
    std::function<void()> beforeLine_;
};

}  // namespace host::core
