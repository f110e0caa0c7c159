// `vpihost poll --config FILE`: every line of a site file polled side by side by the site
// poller, each reading printed as poll prints it, and a summary per gate at the end.
#pragma once

#include <string>

#include "core/output.h"
#include "core/runtime.h"

namespace host::site {

// Polls the site at `path` for `durationMs` (0: until Ctrl-C). Raises the run's exit status:
// the file's errors (nothing polled), then the worst result of any read.
void RunSite(core::Runtime& runtime, const std::string& path, core::Format format, double durationMs);

}  // namespace host::site
