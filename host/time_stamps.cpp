// Time stamps formatted once for every host-side program; the calendar conversion itself is
// the platform file's.
#include "time_stamps.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform.h"

namespace host {

namespace {

// Now, split into whole seconds and the milliseconds past them.
struct Now {
    std::time_t seconds;
    int millis;
};

Now TakeNow() {
    const auto now = std::chrono::system_clock::now();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return Now{std::chrono::system_clock::to_time_t(now), static_cast<int>(millis)};
}

// `text` (the whole seconds) with ".mmm" and `suffix` behind it.
TimeStamp WithMillis(const char* text, int millis, const char* suffix) {
    TimeStamp stamp{};
    std::snprintf(stamp.text, sizeof stamp.text, "%s.%03d%s", text, millis, suffix);
    return stamp;
}

}  // namespace

TimeStamp Rfc3339Now() {
    const Now now = TakeNow();
    std::tm utc{};
    char text[24] = "";
    if (platform::UtcTime(now.seconds, &utc)) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    }
    return WithMillis(text, now.millis, "Z");
}

TimeStamp TimeOfDayNow() {
    const Now now = TakeNow();
    std::tm local{};
    char text[24] = "";
    if (platform::LocalTime(now.seconds, &local))
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return WithMillis(text, now.millis, "");
}

}  // namespace host
