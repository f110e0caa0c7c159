// The site poller's status as JSON for the HTTP API and the page: the latest readings with
// their age, and the health of every line, meter and gate.
#pragma once

#include <cstdint>
#include <string>

#include "site/site_status.h"

namespace host::site {

// A gate's values are stale when its last successful read is older than this many intervals
// (or there has been none).
inline constexpr double kStaleIntervals = 3;

// /api/v1/readings: per line and meter, each gate's latest values with key, name, unit, the
// time they were read and their age; `line` (non-empty) keeps that line only.
std::string ReadingsJson(const SiteStatus& status, std::int64_t nowUnixMs);

// /api/v1/status: per line its port, opens and lag; per meter its health, back-off, last
// answer, failure rate and mean reply time; per gate the counts of results and failure causes.
std::string StatusJson(const SiteStatus& status, std::int64_t nowUnixMs);

}  // namespace host::site
