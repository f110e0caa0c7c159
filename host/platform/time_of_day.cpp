// The local time of day, formatted once for every host-side program.
#include "platform/time_of_day.h"

#include <ctime>

#include "platform/system_calls.h"

namespace host::platform {

timestamp::TimeStamp TimeOfDayNow() {
    const timestamp::SplitTime now = timestamp::SplitNow();
    std::tm local{};
    char text[24] = "";
    if (LocalTime(now.seconds, &local)) std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return timestamp::WithMillis(text, now.millis, "");
}

}  // namespace host::platform
