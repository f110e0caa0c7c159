// What the MQTT output sends, built without a broker: the topics, each meter's state as JSON,
// and the Home Assistant discovery config of each value that gets an entity, with the device
// and state class its unit calls for.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "site/mqtt_settings.h"
#include "site/site_gates.h"

namespace host::outputs {

// How Home Assistant is to take a value: its device class (nullptr: none) and state class, and
// whether the unit goes with it (a power factor is sent without one).
struct SensorClass {
    const char* deviceClass = nullptr;
    const char* stateClass = "measurement";
    bool sendUnit = true;
};

// The classes of a value by its unit: kWh and Wh count up (energy, total_increasing), W and kW
// are power, VA apparent power, var reactive power, V, A and Hz voltage, current and frequency;
// a value without a unit named as a power factor ("power factor", "PF", "cos phi") is one;
// anything else (%, kvarh, a unit not listed) a measurement without a class, except the energy
// counters kvarh, kVAh and their W/VA forms, which count up without one.
SensorClass SensorClassOf(const std::string& unit, const std::string& name);

// One value of a meter as the MQTT output knows it.
struct MqttValue {
    std::string key;  // "plain.16", "ex.10.1"
    std::string name;
    std::string unit;
    bool entity = false;  // gets a discovery config
};

struct MqttMeter {
    std::string line;
    std::string name;
    int address = 0;
    std::vector<MqttValue> values;  // in the gates' order
};

// The meters of `site`, line by line: a value gets an entity when the file says so, or else
// when it has a name or a unit.
std::vector<MqttMeter> MqttMeters(const site::PreparedSite& site);

// The topics under the prefix: "<prefix>/status" (the service: online, or offline by the last
// will), "<prefix>/<line>/<meter>/state" and ".../availability" (slugs of the names).
std::string StatusTopic(const site::MqttSettings& settings);
std::string StateTopic(const site::MqttSettings& settings, const MqttMeter& meter);
std::string AvailabilityTopic(const site::MqttSettings& settings, const MqttMeter& meter);

// Home Assistant's identifiers: the meter's device "satec-vpi_<site>_<line>_<meter>" (slugs),
// and a value's unique id, that with "_<key>" ("plain-16").
std::string DeviceId(const std::string& site, const MqttMeter& meter);
std::string UniqueId(const std::string& site, const MqttMeter& meter, const MqttValue& value);

// "<discovery prefix>/sensor/<device id>/<key slug>/config".
std::string DiscoveryTopic(const site::MqttSettings& settings, const std::string& site,
                           const MqttMeter& meter, const MqttValue& value);

// The retained config that makes `value` an entity of the meter's device.
std::string DiscoveryPayload(const site::MqttSettings& settings, const std::string& site,
                             const MqttMeter& meter, const MqttValue& value);

// A value's latest reading.
struct LatestValue {
    float value = 0;
    std::string time;  // RFC 3339, as read
};

// The state of a meter: {"plain.0": {"value": 230.1, "name": "voltage L1", "unit": "V",
// "time": "..."}, ...}, every value read so far; name and unit where the file gives them, a
// value that is not a number as null.
std::string StatePayload(const MqttMeter& meter, const std::map<std::string, LatestValue>& latest);

// Whether a meter's state is sent: with only-on-change, when a value changed since the last
// one sent or the last is `maxSilenceMs` old; otherwise always.
class ChangeFilter {
public:
    ChangeFilter(bool onlyOnChange, double maxSilenceMs)
        : onlyOnChange_(onlyOnChange), maxSilenceMs_(maxSilenceMs) {}

    // Whether `latest` is to be sent at `nowMs`; when it is, it is taken as sent.
    [[nodiscard]] bool Due(const std::map<std::string, LatestValue>& latest, std::int64_t nowMs);

private:
    bool onlyOnChange_;
    double maxSilenceMs_;
    bool sentOnce_ = false;
    std::int64_t sentMs_ = 0;
    std::map<std::string, float> sent_;
};

}  // namespace host::outputs
