// Reading the Modbus TCP face's keys of a site file, every error with its line.
#include "site/modbus_site_file.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <string_view>

#include "core/durations.h"
#include "core/memtype_names.h"
#include "protocol.h"

namespace host::site {

namespace {

constexpr std::string_view kModbusKeys[] = {"listen", "word_order", "idle_timeout", "max_clients"};
constexpr double kMinIdleMs = 1000;
constexpr double kMaxIdleMs = 3600 * 1000;
constexpr int kMostClients = 1000;

int LineOf(const toml::node& node) {
    return static_cast<int>(node.source().begin.line);
}

class ModbusReader {
public:
    ModbusReader(const std::string& file, std::vector<ConfigError>* errors)
        : file_(file), errors_(errors) {}

    void Error(int line, std::string reason) {
        errors_->push_back(ConfigError{file_, line, std::move(reason)});
    }

    // "HOST:PORT", "[::1]:PORT".
    void Listen(const toml::node& node, ModbusTcpSettings* settings) {
        const auto* text = node.as_string();
        const std::string value = text != nullptr ? text->get() : std::string();
        const std::size_t colon = value.rfind(':');
        std::string host = colon == std::string::npos ? "" : value.substr(0, colon);
        const std::string port = colon == std::string::npos ? "" : value.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        const bool digits =
            !port.empty() && port.size() <= 5 &&
            std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (host.empty() || !digits || std::stol(port) > 65535) {
            Error(LineOf(node),
                  "\"listen\" of [modbus_tcp] must be \"HOST:PORT\", e.g. "
                  "\"127.0.0.1:1502\" (port 0 to 65535)");
            return;
        }
        settings->host = host;
        settings->port = static_cast<int>(std::stol(port));
    }

    void WordOrder(const toml::node& node, ModbusTcpSettings* settings) {
        const auto* text = node.as_string();
        if (text != nullptr && (text->get() == "big" || text->get() == "swapped")) {
            settings->swappedWords = text->get() == "swapped";
            return;
        }
        Error(LineOf(node),
              "\"word_order\" of [modbus_tcp] must be \"big\" (a float's high word "
              "first) or \"swapped\" (its low word first)");
    }

    void IdleTimeout(const toml::node& node, ModbusTcpSettings* settings) {
        const auto* text = node.as_string();
        const std::optional<core::Duration> duration =
            text != nullptr ? core::ReadDuration(text->get()) : std::nullopt;
        if (!duration || duration->unit.empty()) {
            Error(LineOf(node),
                  "\"idle_timeout\" of [modbus_tcp] must be a time with its unit, "
                  "such as \"10s\"");
            return;
        }
        if (const std::string problem =
                core::DurationLimitProblem(*duration, kMinIdleMs, kMaxIdleMs);
            !problem.empty()) {
            Error(LineOf(node), "\"idle_timeout\" of [modbus_tcp] must be " + problem);
            return;
        }
        settings->idleTimeoutMs = duration->ms;
    }

    void MaxClients(const toml::node& node, ModbusTcpSettings* settings) {
        const auto* number = node.as_integer();
        if (number == nullptr || number->get() < 1 || number->get() > kMostClients) {
            Error(LineOf(node), fmt::format("\"max_clients\" of [modbus_tcp] must be a whole "
                                            "number from 1 to {}",
                                            kMostClients));
            return;
        }
        settings->maxClients = static_cast<int>(number->get());
    }

private:
    const std::string& file_;
    std::vector<ConfigError>* errors_;
};

}  // namespace

void ReadModbusTcp(const toml::node& node, const std::string& file, ModbusTcpSettings* settings,
                   std::vector<ConfigError>* errors) {
    ModbusReader reader(file, errors);
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        reader.Error(LineOf(node), "\"modbus_tcp\" must be a table: [modbus_tcp]");
        return;
    }
    settings->enabled = true;
    settings->sourceLine = LineOf(node);
    for (auto&& [key, value] : *table) {
        if (key == "listen") {
            reader.Listen(value, settings);
        } else if (key == "word_order") {
            reader.WordOrder(value, settings);
        } else if (key == "idle_timeout") {
            reader.IdleTimeout(value, settings);
        } else if (key == "max_clients") {
            reader.MaxClients(value, settings);
        } else {
            reader.Error(LineOf(value),
                         fmt::format("unknown key \"{}\" in [modbus_tcp]", key.str()));
        }
    }
}

void ReadModbusUnit(const toml::table& table, const std::string& file, MeterConfig* meter,
                    std::vector<ConfigError>* errors) {
    const toml::node* node = table.get("modbus_unit");
    if (node == nullptr) return;
    const auto* number = node->as_integer();
    if (number == nullptr || number->get() < kModbusFirstUnit || number->get() > kModbusLastUnit) {
        ModbusReader(file, errors)
            .Error(LineOf(*node), fmt::format("\"modbus_unit\" of meter \"{}\" must be a whole "
                                              "number from {} to {}",
                                              meter->name, kModbusFirstUnit, kModbusLastUnit));
        return;
    }
    meter->modbusUnit = static_cast<int>(number->get());
}

void ReadModbusWrite(const toml::table& table, const std::string& file, GateConfig* gate,
                     std::vector<ConfigError>* errors) {
    const toml::node* node = table.get("modbus_write");
    if (node == nullptr) return;
    const auto* flag = node->as_boolean();
    if (flag == nullptr) {
        ModbusReader(file, errors).Error(LineOf(*node), "\"modbus_write\" must be true or false");
        return;
    }
    gate->modbusWrite = flag->get();
}

std::string ModbusWriteProblem(const core::Gate& gate) {
    if (gate.memtype == MEMTYPE_EX && core::ExGroup(gate.index) == protocol::kWritableExGroup)
        return "";
    return fmt::format(
        "\"modbus_write\" is for EX gates of group {}, the registers a meter "
        "takes writes to",
        protocol::kWritableExGroup);
}

void ResolveModbusUnits(SiteConfig* site, std::vector<ConfigError>* errors) {
    if (!site->modbusTcp.enabled) return;
    ModbusReader reader(site->file, errors);
    std::map<int, const MeterConfig*> units;
    for (LineConfig& line : site->lines) {
        for (MeterConfig& meter : line.meters) {
            if (meter.modbusUnit < 0) {
                // An address the file got wrong has had its error already.
                if (meter.address < 0) continue;
                if (meter.address == 0) {
                    reader.Error(meter.sourceLine,
                                 fmt::format("meter \"{}\" is at PLC address 0, which is no "
                                             "Modbus unit (0 is broadcast): give it "
                                             "\"modbus_unit\" (1 to {})",
                                             meter.name, kModbusLastUnit));
                    continue;
                }
                meter.modbusUnit = meter.address;
            }
            const auto [other, added] = units.emplace(meter.modbusUnit, &meter);
            if (!added) {
                reader.Error(meter.sourceLine,
                             fmt::format("meter \"{}\" would be Modbus unit {}, which is meter "
                                         "\"{}\"'s already: give one of them \"modbus_unit\"",
                                         meter.name, meter.modbusUnit, other->second->name));
            }
        }
    }
}

}  // namespace host::site
