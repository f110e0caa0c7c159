// The logging library's sink for vpihost: time-stamped lines on stderr, repeats collapsed,
// RTS lines held back on request, every line kept for the command.
#include "core/driver_log.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/time_of_day.h"

namespace host::core {

DriverLog::~DriverLog() {
    if (installed_) SetLogSink(nullptr, nullptr);
}

void DriverLog::Install(bool quiet) {
    {
        std::lock_guard lock(mutex_);
        quiet_ = quiet;
        installed_ = true;
    }
    SetLogSink(&DriverLog::Sink, this);
}

void TAMRIK_CDECL DriverLog::Sink(int severity, const char* text, void* context) {
    static_cast<DriverLog*>(context)->Receive(severity, text);
}

void DriverLog::Receive(int severity, const char* text) {
    std::lock_guard lock(mutex_);
    std::vector<LogLine>& pending = pending_[std::this_thread::get_id()];
    pending.push_back(LogLine{severity, text});
    if (Hidden(pending.back().text)) return;
    const auto labelled = labels_.find(std::this_thread::get_id());
    const std::string label = labelled == labels_.end() ? "" : labelled->second + " ";
    // A failing read logs the same line up to eight times; show it once and count the rest.
    if (severity == lastSeverity_ && lastText_ == text && lastLabel_ == label) {
        ++repeats_;
        return;
    }
    FlushRepeats();
    lastSeverity_ = severity;
    lastText_ = text;
    lastLabel_ = label;
    if (!quiet_) {
        if (beforeLine_) beforeLine_();
        std::fprintf(stderr, "%s %sdriver[%d] %s\n", platform::TimeOfDayNow().c_str(),
                     label.c_str(), severity, text);
    }
}

void DriverLog::LabelThread(const std::string& label) {
    std::lock_guard lock(mutex_);
    if (label.empty()) {
        labels_.erase(std::this_thread::get_id());
    } else {
        labels_[std::this_thread::get_id()] = label;
    }
}

void DriverLog::Say(const std::string& label, const std::string& text) {
    std::lock_guard lock(mutex_);
    FlushRepeats();
    lastSeverity_ = -1;
    lastText_.clear();
    if (beforeLine_) beforeLine_();
    std::fprintf(stderr, "%s %s %s\n", platform::TimeOfDayNow().c_str(), label.c_str(),
                 text.c_str());
}

bool DriverLog::Hidden(const std::string& text) {
    if (rts_ == RtsLines::Show || ClassifyLine(text) != LineClass::Rts) return false;
    if (rts_ == RtsLines::Hide) return true;
    if (std::find(rtsSeen_.begin(), rtsSeen_.end(), text) != rtsSeen_.end()) {
        ++rtsHidden_;
        return true;
    }
    rtsSeen_.push_back(text);
    return false;
}

void DriverLog::FlushRepeats() {
    if (repeats_ > 0 && !quiet_) {
        if (beforeLine_) beforeLine_();
        std::fprintf(stderr, "%s %sdriver[%d] ... repeated %d times\n",
                     platform::TimeOfDayNow().c_str(), lastLabel_.c_str(), lastSeverity_, repeats_);
    }
    repeats_ = 0;
}

void DriverLog::BeforeEachLine(std::function<void()> clear) {
    std::lock_guard lock(mutex_);
    beforeLine_ = std::move(clear);
}

std::vector<LogLine> DriverLog::Take() {
    std::lock_guard lock(mutex_);
    FlushRepeats();
    lastSeverity_ = -1;
    lastText_.clear();
    std::vector<LogLine> lines;
    const auto mine = pending_.find(std::this_thread::get_id());
    if (mine == pending_.end()) return lines;
    lines.swap(mine->second);
    pending_.erase(mine);
    return lines;
}

void DriverLog::ShowRts(RtsLines mode) {
    std::lock_guard lock(mutex_);
    rts_ = mode;
}

int DriverLog::HiddenRtsLines() {
    std::lock_guard lock(mutex_);
    return rtsHidden_;
}

}  // namespace host::core
