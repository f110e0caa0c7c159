// The time stamps of the host side: RFC 3339 in UTC for readings and the logging library's
// lines, the local time of day for the driver's lines on vpihost's stderr.
#pragma once

#include <string>

namespace host {

// A formatted time stamp, held without the heap so that the logging library's default sink
// can take one while a caller counts allocations.
struct TimeStamp {
    char text[32];

    const char* c_str() const { return text; }
    std::string str() const { return text; }
};

// Now as "2026-12-08T04:20:30.123Z".
TimeStamp Rfc3339Now();

// Now as the local time of day, "04:20:30.123".
TimeStamp TimeOfDayNow();

}  // namespace host
