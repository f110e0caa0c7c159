// Preparing a site's gates through the driver's own parse and check, and naming their values.
#include "site/site_gates.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "core/gate_problems.h"
#include "core/memtype_names.h"
#include "site/modbus_site_file.h"
#include "vpi_families.h"

namespace host::site {

std::string ValueKey(std::int32_t memtype, std::int32_t index, int k) {
    return core::ValueKey(memtype, index, k);
}

namespace {

class SitePreparer {
public:
    SitePreparer(core::LoadedDriver& driver, PreparedSite& out) : driver_(driver), out_(out) {}
    void Line(const LineConfig& config);

private:
    void Error(int line, std::string reason) {
        out_.errors.push_back(ConfigError{out_.file, line, std::move(reason)});
    }
    SiteMeter Meter(const MeterConfig& config);
    bool Gate(const MeterConfig& meter, const GateConfig& config, SiteGate* gate);
    void Name(const MeterConfig& meter, SiteMeter& prepared, bool gateRefused);

    core::LoadedDriver& driver_;
    PreparedSite& out_;
};

void SitePreparer::Line(const LineConfig& config) {
    SiteLine line;
    line.name = config.name;
    line.options = config.options;
    for (const MeterConfig& meter : config.meters) line.meters.push_back(Meter(meter));
    out_.lines.push_back(std::move(line));
}

SiteMeter SitePreparer::Meter(const MeterConfig& config) {
    SiteMeter meter;
    meter.name = config.name;
    meter.address = config.address;
    meter.modbusUnit = config.modbusUnit;
    std::set<std::string> seen;
    bool gateRefused = false;
    for (const GateConfig& gateConfig : config.gates) {
        SiteGate gate;
        if (!Gate(config, gateConfig, &gate)) {
            gateRefused = true;
            continue;
        }
        if (!seen.insert(gate.gate.address).second) {
            Error(gateConfig.sourceLine, fmt::format("gate \"{}\" is read twice from meter \"{}\"",
                                                     gateConfig.text, config.name));
            continue;
        }
        meter.gates.push_back(std::move(gate));
    }
    Name(config, meter, gateRefused);
    return meter;
}

bool SitePreparer::Gate(const MeterConfig& meter, const GateConfig& config, SiteGate* gate) {
    core::PreparedGate prepared = core::PrepareReadGate(driver_, config.text);
    if (prepared.problem != core::GateProblem::None) {
        Error(config.sourceLine, core::GateProblemText(prepared));
        return false;
    }
    // A meter whose address the file got wrong has had its error already.
    if (meter.address >= 0 && prepared.gate.plcAddress != meter.address) {
        Error(config.sourceLine,
              fmt::format("gate \"{}\" is for PLC address {}, but meter \"{}\" is at {}",
                          config.text, prepared.gate.plcAddress, meter.name, meter.address));
        return false;
    }
    gate->gate = std::move(prepared.gate);
    gate->ex = gate->gate.memtype == MEMTYPE_EX;
    gate->intervalMs = config.intervalMs;
    const int count = static_cast<int>(gate->gate.values.size());
    for (int k = 0; k < count; ++k) {
        gate->keys.push_back(ValueKey(gate->gate.memtype, gate->gate.index, k));
    }
    gate->labels.assign(gate->keys.size(), ValueLabel{});
    gate->modbusWrite = config.modbusWrite;
    if (config.modbusWrite) {
        if (const std::string problem = ModbusWriteProblem(gate->gate); !problem.empty())
            Error(config.sourceLine, fmt::format("gate \"{}\": {}", config.text, problem));
    }
    return true;
}

// Hands each value name to the gate value it names; a name that no gate reads is an error,
// unless a gate of the meter was refused: its values are unknown, and its error is said.
void SitePreparer::Name(const MeterConfig& config, SiteMeter& meter, bool gateRefused) {
    for (const auto& [key, value] : config.values) {
        bool used = false;
        for (SiteGate& gate : meter.gates) {
            const auto found = std::find(gate.keys.begin(), gate.keys.end(), key);
            if (found == gate.keys.end()) continue;
            gate.labels[static_cast<std::size_t>(found - gate.keys.begin())] = value.label;
            if (value.entity) meter.entities[key] = *value.entity;
            used = true;
        }
        if (!used && !gateRefused) {
            Error(value.sourceLine,
                  fmt::format("\"{}\" names a value that no gate of meter \"{}\" reads", key,
                              config.name));
        }
    }
}

}  // namespace

PreparedSite PrepareSite(core::LoadedDriver& driver, const SiteConfig& site) {
    PreparedSite out;
    out.file = site.file;
    out.name = site.name;
    out.backoffMaxMs = site.backoffMaxMs;
    out.mqtt = site.mqtt;
    out.modbusTcp = site.modbusTcp;
    SitePreparer preparer(driver, out);
    for (const LineConfig& line : site.lines) preparer.Line(line);
    std::stable_sort(out.errors.begin(), out.errors.end(),
                     [](const ConfigError& a, const ConfigError& b) { return a.line < b.line; });
    return out;
}

}  // namespace host::site
