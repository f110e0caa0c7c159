// The emulated serial back-end: a virtual clock, per-port far ends and an event record.
#include "serial_fake.h"

#include <cstdint>
#include <deque>
#include <map>

#include "platform.h"

namespace serial::fake {

namespace {

struct PendingByte {
    std::uint64_t arrivalUs;
    std::uint8_t value;
};

struct Port {
    bool exists = true;
    PortHandle handle = 0;         // 0: not open
    const void* holder = nullptr;  // the channel it was opened for; kAnyHolder for none
    std::uint32_t readTimeoutMs = kOpenReadTimeoutMs;
    LineParameters line{};
    std::uint16_t flags = 0;
    std::deque<PendingByte> input;
};

struct State {
    std::uint64_t nowUs = 0;
    PortHandle nextHandle = 100;
    std::map<std::string, Port> ports;
    std::vector<Event> events;
    Responder responder;
    SerialResult openFailure = SerialResult::Ok;
    bool failClose = false;
    bool failRts = false;
    bool failClearErrors = false;
    bool failTimeoutQuery = false;
    bool failTimeoutsChange = false;
    bool failWriteCall = false;
    std::int64_t writeBudget = -1;
    std::int64_t readBudget = -1;
};

// The holder of a port opened for no channel in particular.
constexpr char kAnyHolder = 0;

State& S() {
    static State state;
    return state;
}

Port* ByHandle(PortHandle handle, std::string* name = nullptr) {
    for (auto& [portName, port] : S().ports) {
        if (port.handle != 0 && port.handle == handle) {
            if (name != nullptr) *name = portName;
            return &port;
        }
    }
    return nullptr;
}

void Record(EventKind kind, std::uint32_t value, std::vector<std::uint8_t> bytes = {},
            std::string text = {}) {
    S().events.push_back(Event{kind, S().nowUs, value, std::move(bytes), std::move(text)});
}

std::uint32_t Arrived(const Port& port) {
    std::uint32_t count = 0;
    for (const PendingByte& b : port.input) {
        if (b.arrivalUs > S().nowUs) break;
        ++count;
    }
    return count;
}

}  // namespace

void Reset() {
    S() = State{};
    for (const char* name : {"COM1", "COM2", "COM3", "COM4", "NUL"}) S().ports[name] = Port{};
}

void AddPort(const std::string& name) {
    S().ports[name].exists = true;
}
void RemovePort(const std::string& name) {
    S().ports[name].exists = false;
}

void Deliver(const std::string& port, std::span<const std::uint8_t> bytes, std::uint32_t delayMs,
             std::uint32_t gapUs) {
    auto& input = S().ports[port].input;
    std::uint64_t at = S().nowUs + std::uint64_t{delayMs} * 1000;
    if (!input.empty() && input.back().arrivalUs > at) at = input.back().arrivalUs;
    for (std::uint8_t b : bytes) {
        input.push_back(PendingByte{at, b});
        at += gapUs;
    }
}

void Deliver(const std::string& port, const std::string& text, std::uint32_t delayMs) {
    Deliver(port,
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                          text.size()),
            delayMs);
}

void SetResponder(Responder responder) {
    S().responder = std::move(responder);
}
void FailOpen(SerialResult result) {
    S().openFailure = result;
}
void FailClose(bool fail) {
    S().failClose = fail;
}
void FailRts(bool fail) {
    S().failRts = fail;
}
void FailClearErrors(bool fail) {
    S().failClearErrors = fail;
}
void FailTimeoutsChange(bool fail) {
    S().failTimeoutsChange = fail;
}
void FailReadTimeoutQuery(bool fail) {
    S().failTimeoutQuery = fail;
}
void FailWriteCall(bool fail) {
    S().failWriteCall = fail;
}
void CutWritesAfter(std::int64_t bytes) {
    S().writeBudget = bytes;
}
void FailReadsAfter(std::int64_t bytes) {
    S().readBudget = bytes;
}

std::uint64_t NowUs() {
    return S().nowUs;
}
const std::vector<Event>& Events() {
    return S().events;
}

std::vector<std::vector<std::uint8_t>> Writes() {
    std::vector<std::vector<std::uint8_t>> writes;
    for (const Event& e : S().events) {
        if (e.kind == EventKind::Write) writes.push_back(e.bytes);
    }
    return writes;
}

std::int32_t ReadTimeoutMs(PortHandle handle) {
    const Port* port = ByHandle(handle);
    if (port == nullptr) return -1;
    return port->readTimeoutMs > INT32_MAX ? INT32_MAX
                                           : static_cast<std::int32_t>(port->readTimeoutMs);
}

bool IsOpen(const std::string& port) {
    auto it = S().ports.find(port);
    return it != S().ports.end() && it->second.handle != 0;
}

LineParameters OpenedLine(const std::string& port) {
    return S().ports[port].line;
}
std::uint16_t OpenedFlags(const std::string& port) {
    return S().ports[port].flags;
}
std::size_t Pending(const std::string& port) {
    return S().ports[port].input.size();
}

}  // namespace serial::fake

// The back-end entry points, in place of the Win32 or POSIX ones.
namespace serial {

using fake::EventKind;

SerialResult OpenPort(const char* portName, const LineParameters& line, std::uint16_t lineFlags,
                      PortHandle* handle, const ChannelState* owner) {
    auto& s = fake::S();
    auto it = s.ports.find(portName);
    if (it == s.ports.end() || !it->second.exists || it->second.handle != 0) {
        return SerialResult::NotOpened;
    }
    if (s.openFailure != SerialResult::Ok) return s.openFailure;
    fake::Port& port = it->second;
    port.handle = s.nextHandle++;
    port.holder = owner != nullptr ? static_cast<const void*>(owner) : &fake::kAnyHolder;
    port.readTimeoutMs = kOpenReadTimeoutMs;
    port.line = line;
    port.flags = lineFlags;
    *handle = port.handle;
    fake::Record(EventKind::Open, port.handle, {}, portName);
    return SerialResult::Ok;
}

SerialResult ClosePort(PortHandle handle) {
    fake::Port* port = fake::ByHandle(handle);
    if (port == nullptr || fake::S().failClose) return SerialResult::IoFailed;
    fake::Record(EventKind::Close, handle);
    port->handle = 0;
    return SerialResult::Ok;
}

bool OwnsPort(PortHandle handle) {
    return fake::ByHandle(handle) != nullptr;
}

PortHandle PortOf(const ChannelState& channel) {
    const fake::Port* port = fake::ByHandle(channel.port);
    if (port == nullptr) return 0;
    return port->holder == &channel || port->holder == &fake::kAnyHolder ? channel.port : 0;
}

namespace platform {

bool ReadOnce(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
              std::uint32_t* received) {
    auto& s = fake::S();
    fake::Port* port = fake::ByHandle(handle);
    *received = 0;
    if (port == nullptr) return false;
    const std::uint64_t deadline = s.nowUs + static_cast<std::uint64_t>(port->readTimeoutMs) * 1000;
    const std::uint64_t startUs = s.nowUs;
    std::vector<std::uint8_t> got;
    bool failed = false;
    while (got.size() < count && !port->input.empty() &&
           port->input.front().arrivalUs <= deadline) {
        if (s.readBudget == 0) {
            failed = true;
            break;
        }
        if (s.readBudget > 0) --s.readBudget;
        if (port->input.front().arrivalUs > s.nowUs) s.nowUs = port->input.front().arrivalUs;
        got.push_back(port->input.front().value);
        port->input.pop_front();
    }
    // Short of the count, the read waits out its whole time-out, as ReadFile does.
    if (!failed && got.size() < count) s.nowUs = deadline;
    for (std::size_t i = 0; i < got.size(); ++i) buffer[i] = got[i];
    *received = static_cast<std::uint32_t>(got.size());
    s.events.push_back(fake::Event{EventKind::Read, startUs, count, got, {}});
    return !failed;
}

bool WriteOnce(PortHandle handle, const std::uint8_t* bytes, std::uint32_t count,
               std::uint32_t* written) {
    auto& s = fake::S();
    std::string name;
    fake::Port* port = fake::ByHandle(handle, &name);
    if (port == nullptr || s.failWriteCall) return false;
    std::uint32_t n = count;
    if (s.writeBudget >= 0 && s.writeBudget < static_cast<std::int64_t>(n)) {
        n = static_cast<std::uint32_t>(s.writeBudget);
    }
    if (s.writeBudget >= 0) s.writeBudget -= n;
    std::vector<std::uint8_t> out(bytes, bytes + n);
    fake::Record(EventKind::Write, n, out);
    *written = n;
    if (name != "NUL" && s.responder) s.responder(name, out);
    return true;
}

bool GetTimeouts(PortHandle handle, Timeouts* timeouts) {
    fake::Port* port = fake::ByHandle(handle);
    if (port == nullptr || fake::S().failTimeoutQuery) return false;
    *timeouts = Timeouts{};
    timeouts->readConstant = port->readTimeoutMs;
    return true;
}

bool SetTimeouts(PortHandle handle, const Timeouts& timeouts) {
    fake::Port* port = fake::ByHandle(handle);
    if (port == nullptr || fake::S().failTimeoutsChange) return false;
    port->readTimeoutMs = timeouts.readConstant;
    // Every call is recorded: a test sees each one the line code makes.
    fake::Record(EventKind::SetTimeout, timeouts.readConstant);
    return true;
}

bool ClearErrors(PortHandle handle, std::uint32_t* bytesWaiting) {
    fake::Port* port = fake::ByHandle(handle);
    if (port == nullptr || fake::S().failClearErrors) {
        fake::Record(EventKind::ClearErrors, 0xFFFFFFFFu);
        return false;
    }
    *bytesWaiting = fake::Arrived(*port);
    fake::Record(EventKind::ClearErrors, *bytesWaiting);
    return true;
}

bool SetRts(PortHandle handle, bool on) {
    // The null device has no modem lines, as on a real system.
    std::string name;
    const bool ok = fake::ByHandle(handle, &name) != nullptr && name != "NUL" && !fake::S().failRts;
    fake::Record(on ? EventKind::RtsOn : EventKind::RtsOff, ok ? 1u : 0u);
    return ok;
}

std::uint64_t NowUs() {
    return fake::S().nowUs;
}

void SleepMs(std::uint32_t milliseconds) {
    fake::Record(EventKind::Sleep, milliseconds);
    fake::S().nowUs += std::uint64_t{milliseconds} * 1000;
}

}  // namespace platform
}  // namespace serial
