// The poller's status records: the reply-time histogram, names of meter health, the clock.
#include "poll_status.h"

#include <algorithm>
#include <chrono>

namespace host {

void ReplyHistogram::Add(double ms) {
    const auto bucket = std::lower_bound(kReplyBucketsMs.begin(), kReplyBucketsMs.end(), ms);
    ++counts[static_cast<std::size_t>(bucket - kReplyBucketsMs.begin())];
    sumMs += ms;
    ++count;
}

const char* MeterHealthName(MeterHealth health) {
    switch (health) {
        case MeterHealth::Unknown:
            return "unknown";
        case MeterHealth::Answering:
            return "answering";
        case MeterHealth::BackingOff:
            return "backing-off";
    }
    return "?";
}

std::int64_t UnixMsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace host
