// Opening and closing the line tools' own port.
#include "line_port.h"

#include <cstring>

namespace host {

LinePort::LinePort() : state_(std::make_unique<ChannelState>()) {}

LinePort::~LinePort() {
    Close();
}

serial::SerialResult LinePort::Open(const std::string& name, const LineParameters& line,
                                    std::int64_t timeoutMs) {
    Close();
    *state_ = ChannelState{};
    serial::PortHandle handle = 0;
    const serial::SerialResult opened =
        serial::OpenPort(name.c_str(), line, kLineToolFlags, &handle);
    if (opened != serial::SerialResult::Ok) return opened;
    state_->port = handle;
    state_->active = 1;
    state_->settings.line = line;
    std::strncpy(state_->settings.portName, name.c_str(), sizeof state_->settings.portName - 1);
    state_->readTimeout = static_cast<std::int32_t>((timeoutMs + 9) / 10);
    static_cast<void>(serial::SetReadTimeout(handle, state_->readTimeout));
    return serial::SerialResult::Ok;
}

void LinePort::Close() {
    if (state_->port == 0) return;
    // A close the system refuses leaves nothing for us to do: the handle is gone either way.
    static_cast<void>(serial::ClosePort(state_->port));
    state_->port = 0;
    state_->active = 0;
}

bool LinePort::IsOpen() const {
    return state_->port != 0;
}

const char* SerialResultText(serial::SerialResult result) {
    switch (result) {
        case serial::SerialResult::Ok:
            return "ok";
        case serial::SerialResult::NotOpened:
            return "did not open";
        case serial::SerialResult::ShortWrite:
            return "short write";
        case serial::SerialResult::StateUnreadable:
            return "settings unreadable";
        case serial::SerialResult::SettingsRefused:
            return "refused the line settings";
        case serial::SerialResult::IoFailed:
            return "input/output failed";
    }
    return "failed";
}

}  // namespace host
