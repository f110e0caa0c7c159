// Durations as people type them on the command line and in a site file: "250ms", "1s", "2m",
// "1h". Limits are said back in the unit the person wrote.
#pragma once

#include <optional>
#include <string>

namespace CLI {
class Validator;
}

namespace host::core {

// A duration as typed: its length and the unit it was written in ("ms", "s", "m" or "h";
// empty for a bare number).
struct Duration {
    double ms = 0;
    std::string unit;
};

// "250ms", "1.5s", "2m", "1h", or a bare number (unit left empty); nullopt for anything else
// (no number, an unknown unit, a negative or infinite number).
std::optional<Duration> ReadDuration(const std::string& text);

// `ms` written in `unit` ("ms", "s", "m", "h"; empty: ms), shortest: 86400000 in "h" is "24h",
// 50 in "s" is "0.05s".
std::string DurationText(double ms, const std::string& unit);

// Empty when `duration` lies from `lowMs` to `highMs`; else the limit it passes, in the unit
// it was written in: "at least 1s", "at most 24h".
std::string DurationLimitProblem(const Duration& duration, double lowMs, double highMs);

// "250ms", "1s", "1.5s", "2m", "1h", or a bare number of seconds, in ms; negative when the text
// is not a duration.
double ParseDurationMs(const std::string& text);

// A CLI11 check of a duration option from `lowMs` to `highMs`. A bare number is taken in
// `bareUnit` ("ms" for a time-out, as it always was) or, with `bareUnit` empty, refused unless it
// is 0. The value is passed on rewritten: with `bareMs` as a plain number of ms (for an
// integer option), otherwise as "Nms".
CLI::Validator DurationCheck(double lowMs, double highMs, const char* bareUnit, bool bareMs);

}  // namespace host::core
