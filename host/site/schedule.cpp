// The site poller's timing rules.
#include "site/schedule.h"

#include <algorithm>
#include <cmath>

namespace host::site {

ScheduleClock::time_point NextDue(ScheduleClock::time_point due, double intervalMs,
                                  ScheduleClock::time_point now, long* missed) {
    const auto interval = std::chrono::duration_cast<ScheduleClock::duration>(
        std::chrono::duration<double, std::milli>(intervalMs));
    ScheduleClock::time_point next = due + interval;
    long skipped = 0;
    if (next <= now && interval.count() > 0) {
        // Whole intervals behind: step over them at once rather than one by one.
        skipped = static_cast<long>((now - next) / interval) + 1;
        next += interval * skipped;
    }
    if (missed != nullptr) *missed = skipped;
    return next;
}

double BackoffMs(int failures, double baseMs, double capMs) {
    if (failures < 1) return 0;
    // 2^30 times any base is past any cap; the exponent stops there.
    const double delay = baseMs * std::ldexp(1.0, std::min(failures - 1, 30));
    return std::min(delay, capMs);
}

bool PortFailed(double latencyMs, int attempts, double timeoutMs) {
    return latencyMs < static_cast<double>(attempts) * timeoutMs / 2;
}

}  // namespace host::site
