// `vpihost poll`: a site polled from the command line by the site poller, either the lines of a
// site file (--config) or the one line of --port with the gates typed. Every reading is printed
// as it comes (CSV, JSON lines) or, for the table, the last one of each gate at the end, with a
// live status line on a terminal; a summary per meter and line closes the run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/channel_options.h"
#include "core/gate_prep.h"
#include "core/output.h"
#include "core/runtime.h"
#include "site/site_gates.h"

namespace host::site {

struct SiteRunOptions {
    core::Format format = core::Format::Table;
    std::optional<double> durationMs;  // none: until the count of cycles, or Ctrl-C
    std::optional<long> cycles;        // stop once every gate has been read this often
    // Open the site's one line before its thread starts, saying the line's notes and why it does
    // not open as the other commands do (--port); otherwise each line's thread opens its port,
    // retrying while it does not open, as the service does.
    bool openFirst = false;
};

// The one line of --port: `gates` on the port of `options`, as one meter named by the PLC
// addresses they name ("01", "01,02"), each gate read every `intervalMs` (with operation 5 when
// `ex`) in the order given.
PreparedSite PortSite(const core::ChannelOptions& options, std::vector<core::Gate> gates,
                      double intervalMs, bool ex);

// Polls `site` (prepared, without errors) as `options` say. Raises the run's exit status: the
// worst result of any read, and what a line opened first said when it did not open or close.
void RunSite(core::Runtime& runtime, const PreparedSite& site, const SiteRunOptions& options);

// Loads the site file at `path` and polls it. Raises the run's exit status: the file's errors
// (nothing polled), then as RunSite.
void RunSiteFile(core::Runtime& runtime, const std::string& path, const SiteRunOptions& options);

}  // namespace host::site
