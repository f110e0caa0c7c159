// The site poller's status in the Prometheus text exposition format: one gauge per value read,
// counters of reads, exchanges and failure causes, a histogram of read times, each meter's
// back-off and each line's port and lag. Every series is named by the site file, so their
// number is bounded by it.
#pragma once

#include <cstdint>
#include <string>

#include "site/site_status.h"

namespace host::site {

// The exposition of `status` as of `nowUnixMs` (text format 0.0.4).
std::string PrometheusText(const SiteStatus& status, std::int64_t nowUnixMs);

// `label` as a label value: backslash, double quote and line feed escaped.
std::string EscapeLabel(const std::string& label);

// A sample value: the shortest text that reads back as `value`; NaN, +Inf, -Inf as named.
std::string SampleText(double value);

}  // namespace host::site
