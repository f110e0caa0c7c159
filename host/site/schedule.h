// The site poller's timing rules: when a gate's next read is due, and how long a silent meter
// or a failed port is left alone. Pure functions, so that the rules are tested apart from
// threads and time.
#pragma once

#include <chrono>

namespace host::site {

using ScheduleClock = std::chrono::steady_clock;

// The time a line's thread goes by: the steady clock in service. A test hands the poller a
// timer of its own, so that the schedule is checked against exact probe times, not a wall clock.
class ScheduleTimer {
public:
    virtual ~ScheduleTimer() = default;
    virtual ScheduleClock::time_point Now() = 0;
    // The line's thread is about to sleep until `when`. The steady clock lets the time pass; a
    // test's timer may move itself there, so that the sleep ends at once.
    virtual void Sleeping(ScheduleClock::time_point when) { static_cast<void>(when); }
};

class SteadyTimer final : public ScheduleTimer {
public:
    ScheduleClock::time_point Now() override { return ScheduleClock::now(); }
};

// The gate's next due time after a read that was due at `due`: one interval later on the same
// grid, so that a late read does not shift the ones after it. Slots that have passed already
// are skipped, never made up, so a gate is never read faster than its interval asks;
// `*missed` (if given) gets how many were skipped.
ScheduleClock::time_point NextDue(ScheduleClock::time_point due, double intervalMs,
                                  ScheduleClock::time_point now, long* missed);

// The delay after `failures` failures in a row (1 or more): `baseMs` doubled for each failure
// after the first, at most `capMs`.
double BackoffMs(int failures, double baseMs, double capMs);

// Whether a read that failed (the driver's 2) after `latencyMs` and `attempts` attempts failed
// at the port rather than at the meter. A silent meter costs a full time-out per attempt; a
// port that has gone (a removed adapter, a simulator that stopped) fails each attempt at once,
// after only the RTS turn-round (some 20 ms). Less than half the time-outs is a port failure,
// which tells the two apart when the time-out is 50 ms or more.
bool PortFailed(double latencyMs, int attempts, double timeoutMs);

}  // namespace host::site
