// The summary of a site polled from the command line: cycles and exchanges; per meter the
// results of its gates, attempts per success, what failed attempts met and how long successful
// reads took; per line its reads, opens, lag and missed slots. All from the site's status.
#pragma once

#include <cstdio>

#include "site/site_status.h"

namespace host::site {

// The cycles of a site run: how often every gate has been read (the gate read least often).
long CompletedCycles(const SiteStatus& status);

// Writes the summary of `status` to `out`; "(interrupted)" when Ctrl-C ended the run.
void PrintRunSummary(std::FILE* out, const SiteStatus& status, bool interrupted);

}  // namespace host::site
