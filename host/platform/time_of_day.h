// The local time of day of the driver's lines on vpihost's stderr; the calendar conversion is
// the platform file's (system_calls_*.cpp).
#pragma once

#include "time_stamp.h"

namespace host::platform {

// Now as the local time of day, "04:20:30.123".
timestamp::TimeStamp TimeOfDayNow();

}  // namespace host::platform
