// Opening and closing the line tools' own port.
#include "lines/direct_port.h"

#include <array>
#include <cstring>

#include "core/name_table.h"
#include "platform/port_diagnosis.h"

namespace host::lines {

DirectPort::DirectPort() : state_(std::make_unique<ChannelState>()) {}

DirectPort::~DirectPort() {
    Close();
}

serial::SerialResult DirectPort::Open(const std::string& name, const LineParameters& line,
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

void DirectPort::Close() {
    if (state_->port == 0) return;
    // A close the system refuses leaves nothing for us to do: the handle is gone either way.
    static_cast<void>(serial::ClosePort(state_->port));
    state_->port = 0;
    state_->active = 0;
}

bool DirectPort::IsOpen() const {
    return state_->port != 0;
}

const char* SerialResultText(serial::SerialResult result) {
    // Indexed by SerialResult; the numbers the serial layer leaves out fall back to "failed".
    constexpr std::array<const char*, 8> kTexts{
        "ok",    "did not open",        "short write",
        nullptr, "settings unreadable", "refused the line settings",
        nullptr, "input/output failed"};
    static_assert(static_cast<int>(serial::SerialResult::Ok) == 0 &&
                  static_cast<int>(serial::SerialResult::NotOpened) == 1 &&
                  static_cast<int>(serial::SerialResult::ShortWrite) == 2 &&
                  static_cast<int>(serial::SerialResult::StateUnreadable) == 4 &&
                  static_cast<int>(serial::SerialResult::SettingsRefused) == 5 &&
                  static_cast<int>(serial::SerialResult::IoFailed) == 7);
    return core::NameOf(kTexts, result, "failed");
}

bool PortUnusable(serial::SerialResult result) {
    // A port that opens but has no terminal settings is no serial port at any setting.
    return result == serial::SerialResult::NotOpened ||
           result == serial::SerialResult::StateUnreadable;
}

std::string OpenFailureText(const std::string& port, serial::SerialResult result) {
    if (PortUnusable(result)) return platform::PortFailureText(port);
    return port + " " + SerialResultText(result);
}

}  // namespace host::lines
