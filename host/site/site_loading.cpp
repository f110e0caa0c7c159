// Reading a site file and preparing its gates, with every error said.
#include "site/site_loading.h"

#include <algorithm>
#include <cstdio>

#include "core/driver_steps.h"

namespace host::site {

core::ExitCode LoadSite(core::Runtime& runtime, const std::string& path, PreparedSite* site) {
    const SiteConfigResult config = LoadSiteConfig(path);
    std::vector<ConfigError> errors = config.errors;
    // The driver checks the gates of a file with other errors too, so that one run names all.
    if (const core::ExitCode loaded = core::LoadDriver(runtime); loaded != core::kExitOk)
        return loaded;
    *site = PrepareSite(runtime.driver, config.site);
    errors.insert(errors.end(), site->errors.begin(), site->errors.end());
    std::stable_sort(errors.begin(), errors.end(),
                     [](const ConfigError& a, const ConfigError& b) { return a.line < b.line; });
    for (const ConfigError& error : errors) std::fprintf(stderr, "%s\n", error.Text().c_str());
    return errors.empty() ? core::kExitOk : core::kExitRefused;
}

}  // namespace host::site
