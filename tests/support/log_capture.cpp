// The capturing sink of the logging library.
#include "log_capture.h"

#include "tamrik.h"

namespace vpitest {

std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << "[" << line.severity << "] \"" << line.text << "\"";
}

LogCapture::LogCapture() {
    SetLogSink(&LogCapture::Receive, this);
}
LogCapture::~LogCapture() {
    SetLogSink(nullptr, nullptr);
}

void TAMRIK_CDECL LogCapture::Receive(int severity, const char* text, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard lock(self->mutex_);
    self->lines_.push_back(LogLine{severity, text});
    self->threads_.push_back(std::this_thread::get_id());
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<LogLine> LogCapture::LinesFrom(std::thread::id thread) const {
    std::lock_guard lock(mutex_);
    std::vector<LogLine> lines;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (threads_[i] == thread) lines.push_back(lines_[i]);
    }
    return lines;
}

std::vector<LogLine> LogCapture::Take() {
    std::lock_guard lock(mutex_);
    std::vector<LogLine> taken;
    taken.swap(lines_);
    threads_.clear();
    return taken;
}

void LogCapture::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    threads_.clear();
}

}  // namespace vpitest
