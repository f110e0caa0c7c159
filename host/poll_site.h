// `vpihost poll --config FILE`: every line of a site file polled side by side by the site
// poller, each reading printed as poll prints it, and a summary per gate at the end.
#pragma once

#include <string>

#include "output.h"
#include "runtime.h"

namespace host {

// Polls the site at `path` for `durationMs` (0: until Ctrl-C). Raises the run's exit status:
// the file's errors (nothing polled), then the worst result of any read.
void PollSite(Runtime& runtime, const std::string& path, Format format, double durationMs);

}  // namespace host
