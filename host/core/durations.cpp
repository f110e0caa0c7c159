// Reading typed durations: a number and one unit from a short table.
#include "core/durations.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <stdexcept>

namespace host::core {

double ParseDurationMs(const std::string& text) {
    std::size_t used = 0;
    double number = 0;
    try {
        number = std::stod(text, &used);
    } catch (const std::exception&) {
        return -1;
    }
    struct Unit {
        const char* name;
        double ms;
    };
    constexpr Unit kUnits[] = {{"", 1000},   {"s", 1000},    {"ms", 1},
                               {"m", 60000}, {"min", 60000}, {"h", 3600000}};
    const std::string unit = text.substr(used);
    const auto found = std::find_if(std::begin(kUnits), std::end(kUnits),
                                    [&unit](const Unit& u) { return unit == u.name; });
    if (found == std::end(kUnits)) return -1;
    if (!(number >= 0) || !std::isfinite(number)) return -1;
    return number * found->ms;
}

}  // namespace host::core
