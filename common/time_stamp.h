// Time stamps in RFC 3339, UTC, to the millisecond: for the logging library's lines and for the
// host tools' readings alike. Header only, from the standard library's calendar, so that it
// needs no platform call and no library of its own.
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>

namespace timestamp {

// A formatted time stamp, held without the heap so that the logging library's default sink
// can take one while a caller counts allocations.
struct TimeStamp {
    char text[96];

    const char* c_str() const { return text; }
};

// A moment split into whole seconds since 1970 and the milliseconds past them.
struct SplitTime {
    std::time_t seconds;
    int millis;
};

inline SplitTime SplitNow() {
    const auto now = std::chrono::system_clock::now();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return SplitTime{std::chrono::system_clock::to_time_t(now), static_cast<int>(millis)};
}

// `text` (the whole seconds) with ".mmm" and `suffix` behind it.
inline TimeStamp WithMillis(const char* text, int millis, const char* suffix) {
    TimeStamp stamp{};
    std::snprintf(stamp.text, sizeof stamp.text, "%s.%03d%s", text, millis, suffix);
    return stamp;
}

// Now as "2026-12-08T04:20:30.123Z".
inline TimeStamp Rfc3339Now() {
    using namespace std::chrono;
    const SplitTime now = SplitNow();
    const sys_seconds seconds{duration_cast<sys_seconds::duration>(
        system_clock::from_time_t(now.seconds).time_since_epoch())};
    const sys_days day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{seconds - day};
    // Room for any value of the fields, which the compiler cannot bound.
    char text[80] = "";
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<unsigned>(time.hours().count()),
                  static_cast<unsigned>(time.minutes().count()),
                  static_cast<unsigned>(time.seconds().count()));
    return WithMillis(text, now.millis, "Z");
}

}  // namespace timestamp
