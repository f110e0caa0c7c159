// The site file made ready for polling: read, its gates prepared through the driver, every
// error said in the file's order.
#pragma once

#include <string>

#include "core/exit_status.h"
#include "core/runtime.h"
#include "site/site_gates.h"

namespace host::site {

// Reads the site file at `path` and prepares its gates through the driver, saying every error
// on stderr as "FILE:LINE: reason", in the file's order. kExitRefused when the file has
// errors (nothing of it is then used), kExitFailed when the driver does not load.
[[nodiscard]] core::ExitCode LoadSite(core::Runtime& runtime, const std::string& path,
                                      PreparedSite* site);

}  // namespace host::site
