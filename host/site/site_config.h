// The site file: the lines of one site, the meters on each and the gates to read from each
// meter with their intervals, read from TOML into a model; every error with its file and line.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/channel_options.h"
#include "site/modbus_settings.h"
#include "site/mqtt_settings.h"

namespace host::site {

// A name and unit a site file gives one value; both may be empty.
struct ValueLabel {
    std::string name;
    std::string unit;
};

// One gate to read, as the file gives it (the driver has not seen it yet).
struct GateConfig {
    std::string text;  // the gate address, with ":COUNT" for EX gates
    double intervalMs = 0;
    int sourceLine = 0;
    bool modbusWrite = false;  // Modbus TCP clients may write it
};

// A value name of a meter, keyed as metersim's values file keys its fields: "plain.0",
// "h2.5", "tr3.1", "ex.10.1".
struct ValueName {
    ValueLabel label;
    int sourceLine = 0;
    // Whether an output that makes entities of values (MQTT discovery) makes one of this value,
    // when the file says; otherwise it does for values with a name or a unit.
    std::optional<bool> entity;
};

struct MeterConfig {
    std::string name;
    int address = 0;  // the PLC address, 0 to 99
    int sourceLine = 0;
    int modbusUnit = -1;  // its unit on the Modbus TCP face; -1: its PLC address
    std::vector<GateConfig> gates;
    std::map<std::string, ValueName> values;
};

struct LineConfig {
    std::string name;
    core::ChannelOptions options;
    int sourceLine = 0;
    std::vector<MeterConfig> meters;
};

struct SiteConfig {
    std::string file;
    std::string name;  // the site's name, for labels; empty when the file gives none
    double backoffMaxMs = 60000;
    std::vector<LineConfig> lines;
    MqttSettings mqtt;
    ModbusTcpSettings modbusTcp;
};

// One thing wrong with a site file, and where.
struct ConfigError {
    std::string file;
    int line = 0;  // 0 when the error belongs to no line (the file did not open)
    std::string reason;

    // "FILE:LINE: reason" (or "FILE: reason").
    std::string Text() const;
};

struct SiteConfigResult {
    SiteConfig site;
    std::vector<ConfigError> errors;  // in the file's order; the site is unusable unless empty
};

// The shortest interval a gate may have, and the bounds of a meter's back-off cap.
inline constexpr double kMinIntervalMs = 100;
inline constexpr double kMinBackoffMaxMs = 1000;
inline constexpr double kMaxBackoffMaxMs = 24.0 * 3600 * 1000;
// The shortest read time-out of a line: the poller takes a read that fails in less than half
// its time-outs for a lost port, which a shorter one cannot tell from a silent meter.
inline constexpr double kMinTimeoutMs = 50;

// Parses `text` as the site file `file`. Checks everything that needs no driver: keys,
// types, ranges, names and addresses unique, each gate's interval.
SiteConfigResult ParseSiteConfig(std::string_view text, const std::string& file);

// Reads and parses the file at `path`; a file that does not open is one error.
SiteConfigResult LoadSiteConfig(const std::string& path);

}  // namespace host::site
