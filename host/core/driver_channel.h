// A channel opened through the driver: the state area sized by operation 14, opened with
// operation 1, closed with operation 11. Says nothing itself; each step returns what happened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/channel_options.h"
#include "core/loaded_driver.h"
#include "core/non_copyable.h"
#include "vpi_records.h"

namespace host::core {

// What kept a channel from opening.
enum class ChannelProblem {
    None,
    ParityOrStop,  // --parity or --stop names no code
    Timeout,       // --timeout outside 0 to the driver's largest
    PortName,      // the port name is empty or longer than the record holds
    NoStateSize,   // the driver did not say how large its state area is
    NotOpened,     // operation 1 did not open the port (OpenResult() says what it answered)
};

// The largest time-out in ms that operation 1 takes (a 32-bit count of 10 ms).
inline constexpr std::int64_t kMaxTimeoutMs = std::int64_t{INT32_MAX} * 10;

class Channel : NonCopyable {
public:
    // Closes the channel if it is still open.
    ~Channel();

    // Checks `options` without calling the driver: ParityOrStop, Timeout or PortName, or None.
    // The port name is passed on as given.
    ChannelProblem Check(const ChannelOptions& options);

    // Sizes the state area by operation 14 and sets up the open record over the driver's
    // default line with the options' changes. NoStateSize or None.
    ChannelProblem Prepare(LoadedDriver& driver);

    // Opens the port with operation 1: NotOpened or None.
    ChannelProblem Open();

    // Opens the port again with the settings of the last open (operation 13), after Close():
    // NotOpened or None. The driver's reopen leaves the port at the 1000 ms time-out of an
    // opening, as it does for every host.
    ChannelProblem Reopen();

    // Closes the channel (operation 11) if it is open; the driver's answer (VpiDone when it
    // was not open).
    std::int32_t Close();

    void* State() { return area_.data(); }
    const std::string& PortName() const { return options_.port; }
    // The time-out asked for, in ms, and the driver's count of 10 ms it becomes (rounded up).
    std::int64_t AskedTimeoutMs() const { return options_.timeoutMs; }
    std::int64_t TimeoutUnits() const { return (options_.timeoutMs + 9) / 10; }
    // The time-out the port has: 1000 ms (the opening's) when the count is 0.
    std::int64_t TimeoutMs() const;
    // The line operation 1 is given (after Prepare).
    const LineParameters& Line() const { return record_.line; }
    // Whether the port is open (operation 1 or 13 done, 11 not yet).
    bool IsOpen() const { return open_; }

    // What operation 1 answered.
    std::int32_t OpenResult() const { return openResult_; }

private:
    LoadedDriver* driver_ = nullptr;
    ChannelOptions options_;
    int parity_ = -1;
    int stopBits_ = -1;
    std::vector<std::uint32_t> area_;
    OpenChannelRecord record_{};
    std::int32_t openResult_ = VpiDone;
    bool open_ = false;
};

}  // namespace host::core
