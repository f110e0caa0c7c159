// Reading typed durations: a number and one unit from a short table.
#include "core/durations.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace host::core {

namespace {

struct Unit {
    const char* name;
    double ms;
};
constexpr auto kUnits = std::to_array<Unit>({{"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}});
static_assert(kUnits.size() == 4);

const Unit* UnitNamed(const std::string& name) {
    const auto found = std::find_if(kUnits.begin(), kUnits.end(),
                                    [&name](const Unit& u) { return name == u.name; });
    return found == kUnits.end() ? nullptr : &*found;
}

}  // namespace

std::optional<Duration> ReadDuration(const std::string& text) {
    // stod would take leading blanks, hex and "inf"; a duration is digits and a point.
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        return std::nullopt;
    std::size_t used = 0;
    double number = 0;
    try {
        number = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (text.find_first_of("xXpP") < used || !std::isfinite(number)) return std::nullopt;
    Duration duration;
    duration.unit = text.substr(used);
    if (duration.unit.empty()) {
        duration.ms = number;
        return duration;
    }
    const Unit* unit = UnitNamed(duration.unit);
    if (unit == nullptr) return std::nullopt;
    duration.ms = number * unit->ms;
    return duration;
}

std::string DurationText(double ms, const std::string& unit) {
    const Unit* named = UnitNamed(unit);
    if (named == nullptr) named = &kUnits[0];
    // In the unit written while that reads well (10s in minutes is not 0.1666…m); otherwise
    // in the largest unit that holds it whole.
    const double thousandths = ms / named->ms * 1000;
    if (thousandths != std::round(thousandths)) {
        for (const Unit& other : kUnits) {
            if (std::fmod(ms, other.ms) == 0) named = &other;
        }
    }
    return fmt::format("{}{}", ms / named->ms, named->name);
}

std::string DurationLimitProblem(const Duration& duration, double lowMs, double highMs) {
    if (duration.ms < lowMs) return "at least " + DurationText(lowMs, duration.unit);
    if (duration.ms > highMs) return "at most " + DurationText(highMs, duration.unit);
    return {};
}

double ParseDurationMs(const std::string& text) {
    const std::optional<Duration> duration = ReadDuration(text);
    if (!duration) return -1;
    return duration->unit.empty() ? duration->ms * 1000 : duration->ms;
}

CLI::Validator DurationCheck(double lowMs, double highMs, const char* bareUnit, bool bareMs) {
    const std::string bare = bareUnit;
    return CLI::Validator(
        [lowMs, highMs, bare, bareMs](std::string& text) -> std::string {
            std::optional<Duration> duration = ReadDuration(text);
            if (!duration) {
                return fmt::format(
                    "\"{}\" is not a time; write a number and its unit: 500ms, 1s, "
                    "2m, 1h",
                    text);
            }
            if (duration->unit.empty()) {
                if (!bare.empty()) {
                    duration->unit = bare;
                    duration->ms *= UnitNamed(bare)->ms;
                } else if (duration->ms != 0) {
                    return fmt::format("{} needs its unit: {}s, or {}ms", text, text, text);
                }
            }
            if (std::string limit = DurationLimitProblem(*duration, lowMs, highMs); !limit.empty())
                return fmt::format("takes {}, not {}", limit, text);
            text = bareMs ? fmt::format("{}", std::ceil(duration->ms))
                          : fmt::format("{}ms", duration->ms);
            return {};
        },
        bare.empty() ? "TIME" : "TIME (bare: " + bare + ")");
}

}  // namespace host::core
