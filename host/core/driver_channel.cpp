// The channel's lifetime: checking the line options, sizing and opening it, closing it.
#include "core/driver_channel.h"

#include <cstring>

namespace host::core {

Channel::~Channel() {
    static_cast<void>(Close());
}

ChannelProblem Channel::Check(const ChannelOptions& options) {
    options_ = options;
    parity_ = options.parity ? ParityCode(*options.parity) : -1;
    stopBits_ = options.stopBits ? StopBitsCode(*options.stopBits) : -1;
    if ((options.parity && parity_ < 0) || (options.stopBits && stopBits_ < 0)) {
        return ChannelProblem::ParityOrStop;
    }
    if (options.timeoutMs < 0 || options.timeoutMs > kMaxTimeoutMs) return ChannelProblem::Timeout;
    if (options.port.empty() || options.port.size() > kMaxPortName) return ChannelProblem::PortName;
    return ChannelProblem::None;
}

ChannelProblem Channel::Prepare(LoadedDriver& driver) {
    driver_ = &driver;
    DriverInfo info{};
    if (driver.Call(VpiOperation::Info, nullptr, &info) != VpiDone || info.stateSize <= 0) {
        return ChannelProblem::NoStateSize;
    }
    // As large as the driver asked, aligned for its 32-bit fields.
    area_.assign((static_cast<std::size_t>(info.stateSize) + 3) / 4, 0);

    record_ = OpenChannelRecord{};
    std::memcpy(record_.portName, options_.port.c_str(), options_.port.size() + 1);
    record_.active = 1;
    // Units of 10 ms, rounded up so that the wait is never shorter than asked.
    record_.readTimeout = static_cast<std::int32_t>(TimeoutUnits());
    record_.line = info.defaultLine;
    if (options_.baud) record_.line.baudRate = static_cast<std::uint16_t>(*options_.baud);
    if (options_.dataBits) record_.line.dataBits = static_cast<std::uint16_t>(*options_.dataBits);
    if (parity_ >= 0) record_.line.parity = static_cast<std::uint16_t>(parity_);
    if (stopBits_ >= 0) record_.line.stopBits = static_cast<std::uint16_t>(stopBits_);
    return ChannelProblem::None;
}

ChannelProblem Channel::Open() {
    openResult_ = driver_->Call(VpiOperation::Open, area_.data(), &record_);
    if (openResult_ != VpiDone) return ChannelProblem::NotOpened;
    open_ = true;
    return ChannelProblem::None;
}

ChannelProblem Channel::Reopen() {
    openResult_ = driver_->Call(VpiOperation::ReopenPort, area_.data(), nullptr);
    if (openResult_ != VpiDone) return ChannelProblem::NotOpened;
    open_ = true;
    return ChannelProblem::None;
}

std::int32_t Channel::Close() {
    if (!open_) return VpiDone;
    open_ = false;
    return driver_->Call(VpiOperation::Close, area_.data(), nullptr);
}

std::int64_t Channel::TimeoutMs() const {
    const std::int64_t units = TimeoutUnits();
    return units > 0 ? units * 10 : 1000;
}

}  // namespace host::core
