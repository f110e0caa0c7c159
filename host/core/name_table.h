// Names of small codes (results, checks, line settings) kept in tables indexed by the code,
// each table pinned to its enum by static_assert next to the code that reads it.
#pragma once

#include <array>
#include <cstddef>

namespace host::core {

// The name of `code` in `names`, a table indexed by the code; `fallback` for a negative code,
// a code past the table's end, or a gap in it (a null entry: a number the code never takes).
template <typename Code, std::size_t N>
constexpr const char* NameOf(const std::array<const char*, N>& names, Code code,
                             const char* fallback = "?") {
    const auto at = static_cast<long long>(code);
    if (at < 0 || at >= static_cast<long long>(N)) return fallback;
    const char* name = names[static_cast<std::size_t>(at)];
    return name != nullptr ? name : fallback;
}

}  // namespace host::core
