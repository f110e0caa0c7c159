// Durations as the commands take them on the command line: "250ms", "1s", "1.5s", "2m".
#pragma once

#include <string>

namespace host {

// "250ms", "1s", "1.5s", "2m", "1h", or a bare number of seconds, in milliseconds; negative
// for a text that is no duration.
double ParseDurationMs(const std::string& text);

}  // namespace host
