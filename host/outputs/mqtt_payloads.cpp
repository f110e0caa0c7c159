// The MQTT output's topics and messages: pure functions of the site and the latest readings.
#include "outputs/mqtt_payloads.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>

#include "text/float_text.h"

namespace host::outputs {

namespace {

struct UnitClass {
    const char* unit;
    SensorClass sensor;
};

// Only the units Home Assistant takes for each device class: a value of a class in a unit the
// class does not list is refused by it, so kVA and kvar go without a class.
constexpr auto kUnitClasses = std::to_array<UnitClass>({
    {"Wh", {"energy", "total_increasing", true}},
    {"kWh", {"energy", "total_increasing", true}},
    {"MWh", {"energy", "total_increasing", true}},
    {"W", {"power", "measurement", true}},
    {"kW", {"power", "measurement", true}},
    {"MW", {"power", "measurement", true}},
    {"VA", {"apparent_power", "measurement", true}},
    {"var", {"reactive_power", "measurement", true}},
    {"V", {"voltage", "measurement", true}},
    {"kV", {"voltage", "measurement", true}},
    {"A", {"current", "measurement", true}},
    {"mA", {"current", "measurement", true}},
    {"Hz", {"frequency", "measurement", true}},
    // Counters of energy that Home Assistant has no class for in these units: they count up all
    // the same, which its statistics need to know.
    {"varh", {nullptr, "total_increasing", true}},
    {"kvarh", {nullptr, "total_increasing", true}},
    {"VAh", {nullptr, "total_increasing", true}},
    {"kVAh", {nullptr, "total_increasing", true}},
});
static_assert(kUnitClasses.size() == 17);

std::string Lower(const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// A name that says "power factor": "power factor L1", "PF", "PF L2", "cos phi", "cos φ".
bool NamesPowerFactor(const std::string& name) {
    const std::string lower = Lower(name);
    if (lower.find("power factor") != std::string::npos) return true;
    if (lower.find("cos phi") != std::string::npos ||
        lower.find("cos \u03c6") != std::string::npos ||
        lower.find("cos\u03c6") != std::string::npos)
        return true;
    // "pf" as a word of its own.
    for (std::size_t at = lower.find("pf"); at != std::string::npos;
         at = lower.find("pf", at + 1)) {
        const bool startsWord =
            at == 0 || std::isalnum(static_cast<unsigned char>(lower[at - 1])) == 0;
        const bool endsWord =
            at + 2 == lower.size() || std::isalnum(static_cast<unsigned char>(lower[at + 2])) == 0;
        if (startsWord && endsWord) return true;
    }
    return false;
}

std::string KeySlug(const std::string& key) {
    return site::Slug(key);
}

std::string MeterPath(const site::MqttSettings& settings, const MqttMeter& meter) {
    return settings.topicPrefix + "/" + site::Slug(meter.line) + "/" + site::Slug(meter.name);
}

}  // namespace

SensorClass SensorClassOf(const std::string& unit, const std::string& name) {
    for (const UnitClass& entry : kUnitClasses) {
        if (unit == entry.unit) return entry.sensor;
    }
    if (unit.empty() && NamesPowerFactor(name)) return {"power_factor", "measurement", false};
    return {};
}

std::vector<MqttMeter> MqttMeters(const site::PreparedSite& site) {
    std::vector<MqttMeter> meters;
    for (const site::SiteLine& line : site.lines) {
        for (const site::SiteMeter& siteMeter : line.meters) {
            MqttMeter meter{line.name, siteMeter.name, siteMeter.address, {}};
            for (const site::SiteGate& gate : siteMeter.gates) {
                for (std::size_t k = 0; k < gate.keys.size(); ++k) {
                    MqttValue value{gate.keys[k], gate.labels[k].name, gate.labels[k].unit,
                                    !gate.labels[k].name.empty() || !gate.labels[k].unit.empty()};
                    if (const auto asked = siteMeter.entities.find(value.key);
                        asked != siteMeter.entities.end())
                        value.entity = asked->second;
                    meter.values.push_back(std::move(value));
                }
            }
            meters.push_back(std::move(meter));
        }
    }
    return meters;
}

std::string StatusTopic(const site::MqttSettings& settings) {
    return settings.topicPrefix + "/status";
}

std::string StateTopic(const site::MqttSettings& settings, const MqttMeter& meter) {
    return MeterPath(settings, meter) + "/state";
}

std::string AvailabilityTopic(const site::MqttSettings& settings, const MqttMeter& meter) {
    return MeterPath(settings, meter) + "/availability";
}

std::string DeviceId(const std::string& site, const MqttMeter& meter) {
    return "satec-vpi_" + site::Slug(site) + "_" + site::Slug(meter.line) + "_" +
           site::Slug(meter.name);
}

std::string UniqueId(const std::string& site, const MqttMeter& meter, const MqttValue& value) {
    return DeviceId(site, meter) + "_" + KeySlug(value.key);
}

std::string DiscoveryTopic(const site::MqttSettings& settings, const std::string& site,
                           const MqttMeter& meter, const MqttValue& value) {
    return settings.discoveryPrefix + "/sensor/" + DeviceId(site, meter) + "/" +
           KeySlug(value.key) + "/config";
}

std::string DiscoveryPayload(const site::MqttSettings& settings, const std::string& site,
                             const MqttMeter& meter, const MqttValue& value) {
    const SensorClass sensor = SensorClassOf(value.unit, value.name);
    nlohmann::ordered_json config;
    config["name"] = value.name.empty() ? value.key : value.name;
    config["unique_id"] = UniqueId(site, meter, value);
    config["state_topic"] = StateTopic(settings, meter);
    // The key has dots, so it is looked up by subscript, not by attribute.
    config["value_template"] = "{{ value_json['" + value.key + "'].value }}";
    config["availability"] = nlohmann::ordered_json::array(
        {{{"topic", StatusTopic(settings)}}, {{"topic", AvailabilityTopic(settings, meter)}}});
    config["availability_mode"] = "all";
    config["payload_available"] = "online";
    config["payload_not_available"] = "offline";
    if (sensor.sendUnit && !value.unit.empty()) config["unit_of_measurement"] = value.unit;
    if (sensor.deviceClass != nullptr) config["device_class"] = sensor.deviceClass;
    config["state_class"] = sensor.stateClass;
    config["qos"] = settings.qos;
    config["device"] = {
        {"identifiers", nlohmann::ordered_json::array({DeviceId(site, meter)})},
        {"name", meter.name},
        {"manufacturer", "SATEC"},
        {"model", "series 280/288/290"},
        {"hw_version", "line " + meter.line + ", PLC address " + std::to_string(meter.address)},
    };
    config["origin"] = {{"name", "vpihost serve"}};
    return config.dump();
}

std::string StatePayload(const MqttMeter& meter, const std::map<std::string, LatestValue>& latest) {
    nlohmann::ordered_json state = nlohmann::ordered_json::object();
    for (const MqttValue& value : meter.values) {
        const auto found = latest.find(value.key);
        if (found == latest.end()) continue;
        nlohmann::ordered_json item;
        const double number = text::FloatAsDecimal(found->second.value);
        // JSON has no NaN or infinity: such a reading is null.
        item["value"] = std::isfinite(number) ? nlohmann::ordered_json(number) : nullptr;
        if (!value.name.empty()) item["name"] = value.name;
        if (!value.unit.empty()) item["unit"] = value.unit;
        item["time"] = found->second.time;
        state[value.key] = std::move(item);
    }
    return state.dump();
}

bool ChangeFilter::Due(const std::map<std::string, LatestValue>& latest, std::int64_t nowMs) {
    bool due = !onlyOnChange_ || !sentOnce_ ||
               static_cast<double>(nowMs - sentMs_) >= maxSilenceMs_ ||
               latest.size() != sent_.size();
    if (!due) {
        for (const auto& [key, value] : latest) {
            const auto sent = sent_.find(key);
            // Compared as bits, so that a NaN that stays NaN is no change.
            if (sent == sent_.end() ||
                std::memcmp(&sent->second, &value.value, sizeof(float)) != 0) {
                due = true;
                break;
            }
        }
    }
    if (!due) return false;
    sentOnce_ = true;
    sentMs_ = nowMs;
    sent_.clear();
    for (const auto& [key, value] : latest) sent_[key] = value.value;
    return true;
}

}  // namespace host::outputs
