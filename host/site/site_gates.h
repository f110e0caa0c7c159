// A site file's gates made ready through the driver: each parsed (operation 3) and checked
// (operation 4) as a host does at start-up, held to its meter's address, and its values named.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/gate_prep.h"
#include "core/loaded_driver.h"
#include "site/site_config.h"

namespace host::site {

// One gate of a meter, ready to read.
struct SiteGate {
    core::Gate gate;
    bool ex = false;  // read with operation 5
    double intervalMs = 0;
    std::vector<std::string> keys;   // per value: "plain.0", "h2.5", "ex.10.1"
    std::vector<ValueLabel> labels;  // per value: what the file names it (may be empty)
    bool modbusWrite = false;        // Modbus TCP clients may write it
};

struct SiteMeter {
    std::string name;
    int address = 0;
    int modbusUnit = -1;  // on the Modbus TCP face, when it is on
    std::vector<SiteGate> gates;
    std::map<std::string, bool> entities;  // by key: the file's "entity = true|false"
};

struct SiteLine {
    std::string name;
    core::ChannelOptions options;
    std::vector<SiteMeter> meters;
};

// The site with every gate ready, or the errors that keep it from polling.
struct PreparedSite {
    std::string file;
    std::string name;
    double backoffMaxMs = 0;
    std::vector<SiteLine> lines;
    MqttSettings mqtt;
    ModbusTcpSettings modbusTcp;
    std::vector<ConfigError> errors;
};

// The key a site file names value `k` of a gate of `memtype` at `index` by: the family's name
// in lower case with its number ("plain.k", "h2.k", "tr3.k"); for EX gates the group and item of
// the register ("ex.10.(item+k)").
std::string ValueKey(std::int32_t memtype, std::int32_t index, int k);

// Prepares every gate of `site` through `driver`. Errors: a gate the driver refuses (with its
// lines), a gate for another PLC address than its meter's, a gate twice on a meter, a value
// name no gate of its meter reads. Calls the driver from the calling thread only.
PreparedSite PrepareSite(core::LoadedDriver& driver, const SiteConfig& site);

}  // namespace host::site
