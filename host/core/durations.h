// Durations as people type them on the command line and in a site file: "250ms", "1s", "2m".
#pragma once

#include <string>

namespace host::core {

// "250ms", "1s", "1.5s", "2m", "1h", or a bare number of seconds, in ms; negative when the text
// is not a duration (no number, an unknown unit, a negative or infinite number).
double ParseDurationMs(const std::string& text);

}  // namespace host::core
