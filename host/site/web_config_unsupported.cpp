// The web configuration where serve is not built (the Windows build): check-config says that
// it belongs with serve, a Linux command.
#include "site/web_config.h"

namespace host::site {

bool LoadWebConfig(const std::string& path, WebConfig* config, std::string* error) {
    *config = WebConfig{};
    config->file = path;
    *error = path + ": the web configuration is for serve, a Linux command";
    return false;
}

}  // namespace host::site
