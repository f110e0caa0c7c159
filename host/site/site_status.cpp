// The poller's status records: the reply-time histogram, names of meter health, the clock.
#include "site/site_status.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

#include "core/name_table.h"

namespace host::site {

void ReplyHistogram::Add(double ms) {
    const auto bucket = std::lower_bound(kReplyBucketsMs.begin(), kReplyBucketsMs.end(), ms);
    ++counts[static_cast<std::size_t>(bucket - kReplyBucketsMs.begin())];
    sumMs += ms;
    ++count;
}

void SuccessTimes::Add(double ms) {
    minMs = count == 0 ? ms : std::min(minMs, ms);
    maxMs = count == 0 ? ms : std::max(maxMs, ms);
    sumMs += ms;
    ++count;
}

void SuccessTimes::Merge(const SuccessTimes& other) {
    if (other.count == 0) return;
    minMs = count == 0 ? other.minMs : std::min(minMs, other.minMs);
    maxMs = count == 0 ? other.maxMs : std::max(maxMs, other.maxMs);
    sumMs += other.sumMs;
    count += other.count;
}

const char* MeterHealthName(MeterHealth health) {
    // Indexed by MeterHealth.
    constexpr std::array<const char*, 3> kNames{"unknown", "answering", "backing-off"};
    static_assert(static_cast<int>(MeterHealth::Unknown) == 0 &&
                  static_cast<int>(MeterHealth::Answering) == 1 &&
                  static_cast<int>(MeterHealth::BackingOff) == 2);
    return core::NameOf(kNames, health);
}

bool MeterUp(const LineStatus& line, const MeterStatus& meter) {
    return line.open && meter.health == MeterHealth::Answering;
}

const char* MeterHealthText(const LineStatus& line, const MeterStatus& meter) {
    return line.open ? MeterHealthName(meter.health) : "port-closed";
}

std::string MeterDownReason(const LineStatus& line, const MeterStatus& meter) {
    if (!line.open) return "port closed: " + line.problem;
    switch (meter.health) {
        case MeterHealth::Answering:
            return "";
        case MeterHealth::BackingOff:
            return "no answer to the last " + std::to_string(meter.consecutiveFailures) +
                   (meter.consecutiveFailures == 1 ? " read" : " reads");
        case MeterHealth::Unknown:
            break;
    }
    return "not read yet";
}

std::int64_t UnixMsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace host::site
