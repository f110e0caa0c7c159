// The site file's keys of the Modbus TCP face: the [modbus_tcp] table, a meter's
// "modbus_unit" and a gate's "modbus_write"; read by the site file's parser.
#pragma once

#include <toml++/toml.h>
#include <string>
#include <vector>

#include "core/gate_prep.h"
#include "site/site_config.h"

namespace host::site {

// The keys of [modbus_tcp].
void ReadModbusTcp(const toml::node& node, const std::string& file, ModbusTcpSettings* settings,
                   std::vector<ConfigError>* errors);

// A meter's "modbus_unit" (1 to 247) into `meter.modbusUnit`, when the table gives one.
void ReadModbusUnit(const toml::table& table, const std::string& file, MeterConfig* meter,
                    std::vector<ConfigError>* errors);

// A gate table's "modbus_write" (true or false) into `gate.modbusWrite`, when it gives one.
void ReadModbusWrite(const toml::table& table, const std::string& file, GateConfig* gate,
                     std::vector<ConfigError>* errors);

// Why Modbus TCP clients cannot write `gate` ("" when they can): only EX registers of the
// writable group are written through the face.
std::string ModbusWriteProblem(const core::Gate& gate);

// With the face on: gives every meter without "modbus_unit" its PLC address as its unit, and
// names a meter at PLC address 0 without one (unit 0 is broadcast) and a unit two meters share
// (the face serves the whole site, so units are unique across lines).
void ResolveModbusUnits(SiteConfig* site, std::vector<ConfigError>* errors);

}  // namespace host::site
