// The emulated serial back-end for tests: linked in place of the real one, it keeps a
// virtual clock, plays scripted far ends, and records every call with its time stamp.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "serial.h"

namespace serial::fake {

enum class EventKind {
    Open,         // value: the handle; text: the port name
    Close,        // value: the handle
    SetTimeout,   // value: the read time-out in ms the line code set (every call)
    ClearErrors,  // value: the bytes that were waiting
    RtsOn,        // value: 1 when the line took it, 0 when it refused
    RtsOff,       // value: as for RtsOn
    Sleep,        // value: milliseconds
    Write,        // bytes: what went out (after any injected cut)
    Read,         // value: bytes asked; bytes: what was returned
};

struct Event {
    EventKind kind;
    std::uint64_t timeUs;  // virtual time at the start of the call
    std::uint32_t value;
    std::vector<std::uint8_t> bytes;
    std::string text;
};

// Called after every write with the bytes that went out; may Deliver a reply.
using Responder =
    std::function<void(const std::string& port, std::span<const std::uint8_t> request)>;

// Forgets every port, byte, fault and event; the clock restarts at 0. Ports "COM1" to "COM4"
// and "NUL" exist afterwards.
void Reset();

// Makes a port name openable (or not).
void AddPort(const std::string& name);
void RemovePort(const std::string& name);

// Bytes the far end of `port` sends, arriving `delayMs` after now, one per `gapUs`.
void Deliver(const std::string& port, std::span<const std::uint8_t> bytes,
             std::uint32_t delayMs = 0, std::uint32_t gapUs = 0);
void Deliver(const std::string& port, const std::string& text, std::uint32_t delayMs = 0);
void SetResponder(Responder responder);

// Faults. Each stays in force until Reset or until changed.
void FailOpen(SerialResult result);       // the next opens fail with this code (Ok: none)
void FailClose(bool fail);                // ClosePort answers IoFailed
void FailRts(bool fail);                  // the line refuses RTS changes
void FailClearErrors(bool fail);          // ClearErrors fails (count unknown)
void FailReadTimeoutQuery(bool fail);     // SetReadTimeout cannot read the time-outs
void FailTimeoutsChange(bool fail);       // the port refuses new time-outs
void FailWriteCall(bool fail);            // WriteOnce fails outright
void CutWritesAfter(std::int64_t bytes);  // only this many more bytes go out; -1: no limit
void FailReadsAfter(std::int64_t bytes);  // reads fail once this many more bytes were read

// Observations.
std::uint64_t NowUs();
const std::vector<Event>& Events();
std::vector<std::vector<std::uint8_t>> Writes();  // every write, in order
std::int32_t ReadTimeoutMs(PortHandle handle);    // -1 when the handle is not open
bool IsOpen(const std::string& port);
LineParameters OpenedLine(const std::string& port);
std::uint16_t OpenedFlags(const std::string& port);
std::size_t Pending(const std::string& port);  // bytes not yet read, arrived or not

}  // namespace serial::fake
