// Reading the site file's [mqtt] table into MqttSettings, for the site file's parser.
#pragma once

#include <toml++/toml.h>

#include "site/site_config.h"

namespace host::site {

// Reads `node` (the value of the site's "mqtt" key) into `result.site.mqtt`, adding an error
// with its line for every key, type or range that is wrong and for a file it names that cannot
// be read. Relative file names are taken from the site file's folder. Call after the site's
// name is read (the default topic prefix comes from it).
void ParseMqttSettings(const toml::node& node, SiteConfigResult& result);

}  // namespace host::site
