// The MQTT output's parts that need no broker: the [mqtt] table of the site file, the unit to
// Home Assistant class table, the discovery and state messages, the only-on-change filter, and
// the reading feed that every output drains.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "outputs/mqtt_payloads.h"
#include "site/metrics.h"
#include "site/reading_feed.h"
#include "site/site_config.h"

namespace {

using host::outputs::MqttMeter;
using host::outputs::MqttValue;
using host::site::MqttSettings;

const std::string kSite =
    "site = \"North Hall\"\n[[line]]\nname = \"A\"\nport = \"/tmp/x\"\ninterval = \"1s\"\n"
    "[[line.meter]]\nname = \"m\"\naddress = 1\ngates = [\"0101\"]\n";

host::site::SiteConfigResult Parse(const std::string& text,
                                   const std::string& file = "/tmp/site.toml") {
    return host::site::ParseSiteConfig(text, file);
}

// A file the test writes and removes.
struct TempFile {
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/mqtt-test-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        path = name;
        std::ofstream(path) << text;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

// ---- The [mqtt] table ----

TEST(MqttSettingsTest, OffUnlessGivenAndDefaultsWhenGiven) {
    EXPECT_FALSE(Parse(kSite).site.mqtt.enabled);
    const auto result = Parse(kSite + "[mqtt]\nhost = \"broker\"\n");
    ASSERT_TRUE(result.errors.empty()) << result.errors[0].Text();
    const MqttSettings& mqtt = result.site.mqtt;
    EXPECT_TRUE(mqtt.enabled);
    EXPECT_EQ(mqtt.host, "broker");
    EXPECT_EQ(mqtt.port, 1883);
    EXPECT_EQ(mqtt.topicPrefix, "satec-vpi/north-hall");
    EXPECT_EQ(mqtt.discoveryPrefix, "homeassistant");
    EXPECT_TRUE(mqtt.discovery);
    EXPECT_EQ(mqtt.qos, 0);
    EXPECT_EQ(mqtt.keepAliveS, 60);
    EXPECT_FALSE(mqtt.Tls());
}

TEST(MqttSettingsTest, EveryKeyRead) {
    TempFile ca("ca"), cert("cert"), key("key"), password("s3cret\n");
    const auto result =
        Parse(kSite +
              "[mqtt]\nhost = \"b\"\nclient_id = \"north\"\nusername = \"u\"\n"
              "password_file = \"" +
              password.path +
              "\"\ntopic_prefix = \"plant/meters\"\n"
              "qos = 2\nkeep_alive = \"30s\"\nretain = true\nonly_on_change = true\n"
              "max_silence = \"2m\"\ndiscovery = false\ndiscovery_prefix = \"ha\"\n"
              "[mqtt.tls]\nca_file = \"" +
              ca.path + "\"\ncert_file = \"" + cert.path + "\"\nkey_file = \"" + key.path + "\"\n");
    ASSERT_TRUE(result.errors.empty()) << result.errors[0].Text();
    const MqttSettings& mqtt = result.site.mqtt;
    EXPECT_EQ(mqtt.port, 8883);  // TLS's port unless given
    EXPECT_EQ(mqtt.clientId, "north");
    EXPECT_EQ(mqtt.username, "u");
    EXPECT_EQ(mqtt.password, "s3cret");  // the file's first line, without its line feed
    EXPECT_EQ(mqtt.topicPrefix, "plant/meters");
    EXPECT_EQ(mqtt.qos, 2);
    EXPECT_EQ(mqtt.keepAliveS, 30);
    EXPECT_TRUE(mqtt.retain);
    EXPECT_TRUE(mqtt.onlyOnChange);
    EXPECT_EQ(mqtt.maxSilenceMs, 120000);
    EXPECT_FALSE(mqtt.discovery);
    EXPECT_EQ(mqtt.discoveryPrefix, "ha");
    EXPECT_EQ(mqtt.caFile, ca.path);
    EXPECT_EQ(mqtt.certFile, cert.path);
    EXPECT_EQ(mqtt.keyFile, key.path);
}

TEST(MqttSettingsTest, RelativeFilesAreTakenFromTheSiteFilesFolder) {
    TempFile password("pw\n");
    const std::string name = password.path.substr(password.path.rfind('/') + 1);
    const auto result =
        Parse(kSite + "[mqtt]\nhost = \"b\"\nusername = \"u\"\npassword_file = \"" + name + "\"\n");
    ASSERT_TRUE(result.errors.empty()) << result.errors[0].Text();
    EXPECT_EQ(result.site.mqtt.password, "pw");
}

struct BrokenMqtt {
    const char* what;
    std::string table;  // after "[mqtt]\n", which is line 10
    int line;
    const char* reason;
};

TEST(MqttSettingsTest, EachErrorWithItsLine) {
    const std::vector<BrokenMqtt> cases{
        {"no host", "port = 1883\n", 10, "[mqtt] has no \"host\""},
        {"unknown key", "host = \"b\"\nqoss = 1\n", 12, "unknown key \"qoss\" in [mqtt]"},
        {"port out of range", "host = \"b\"\nport = 70000\n", 12,
         "\"port\" of [mqtt] must be a whole number from 1 to 65535"},
        {"qos 3", "host = \"b\"\nqos = 3\n", 12, "from 0 to 2"},
        {"keep-alive without unit", "host = \"b\"\nkeep_alive = 60\n", 12, "with its unit"},
        {"keep-alive too short", "host = \"b\"\nkeep_alive = \"1s\"\n", 12, "at least 5s"},
        {"retain not a flag", "host = \"b\"\nretain = \"yes\"\n", 12, "true or false"},
        {"wildcard in prefix", "host = \"b\"\ntopic_prefix = \"a/+/b\"\n", 12, "without \"+\""},
        {"empty level in prefix", "host = \"b\"\ndiscovery_prefix = \"ha/\"\n", 12, "none empty"},
        {"max_silence alone", "host = \"b\"\nmax_silence = \"1m\"\n", 12,
         "is for only_on_change = true"},
        {"both passwords",
         "host = \"b\"\nusername = \"u\"\npassword = \"x\"\n"
         "password_file = \"/etc/hostname\"\n",
         14, "\"password\" or \"password_file\", not both"},
        {"password without user", "host = \"b\"\npassword = \"x\"\n", 10, "no \"username\""},
        {"password file missing",
         "host = \"b\"\nusername = \"u\"\n"
         "password_file = \"/no/such/file\"\n",
         13, "/no/such/file cannot be read"},
        {"tls without ca",
         "host = \"b\"\ntls = { cert_file = \"/etc/hostname\", key_file = "
         "\"/etc/hostname\" }\n",
         12, "no \"ca_file\""},
        {"tls cert without key",
         "host = \"b\"\ntls = { ca_file = \"/etc/hostname\", cert_file = "
         "\"/etc/hostname\" }\n",
         12, "\"cert_file\" and \"key_file\" together"},
        {"tls ca missing", "host = \"b\"\ntls = { ca_file = \"/no/ca.pem\" }\n", 12,
         "/no/ca.pem cannot be read"},
    };
    for (const BrokenMqtt& broken : cases) {
        const auto result = Parse(kSite + "[mqtt]\n" + broken.table);
        bool found = false;
        for (const auto& error : result.errors) {
            if (error.line == broken.line && error.reason.find(broken.reason) != std::string::npos)
                found = true;
        }
        EXPECT_TRUE(found) << broken.what << ": "
                           << (result.errors.empty() ? "no error" : result.errors[0].Text());
    }
}

TEST(MqttSettingsTest, EntityAskedPerValue) {
    const auto result = Parse(kSite +
                              "plain.3 = { entity = true }\n"
                              "plain.4 = { name = \"x\", entity = false }\n"
                              "ex.10.1 = { entity = true }\n"
                              "plain.5 = { entity = \"yes\" }\n");
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].line, 13);
    EXPECT_NE(result.errors[0].reason.find("\"entity\" of \"plain.5\" must be true or false"),
              std::string::npos);
    const auto& values = result.site.lines[0].meters[0].values;
    EXPECT_EQ(values.at("plain.3").entity, true);
    EXPECT_EQ(values.at("plain.4").entity, false);
    EXPECT_EQ(values.at("ex.10.1").entity, true);
}

// ---- The classes Home Assistant gets ----

TEST(SensorClassTest, FromTheUnitAndForAPowerFactorTheName) {
    struct Case {
        const char* unit;
        const char* name;
        const char* deviceClass;  // nullptr: none
        const char* stateClass;
        bool sendUnit;
    };
    const Case cases[] = {
        {"kWh", "import", "energy", "total_increasing", true},
        {"Wh", "", "energy", "total_increasing", true},
        {"W", "P L1", "power", "measurement", true},
        {"kW", "", "power", "measurement", true},
        {"VA", "", "apparent_power", "measurement", true},
        {"var", "", "reactive_power", "measurement", true},
        {"V", "voltage L1", "voltage", "measurement", true},
        {"A", "", "current", "measurement", true},
        {"Hz", "", "frequency", "measurement", true},
        {"", "power factor L1", "power_factor", "measurement", false},
        {"", "PF", "power_factor", "measurement", false},
        {"", "PF total", "power_factor", "measurement", false},
        {"", "cos phi", "power_factor", "measurement", false},
        {"", "cos \u03c6 L2", "power_factor", "measurement", false},
        {"", "PFC stage", nullptr, "measurement", true},  // "pf" inside a word is not one
        {"", "spfx", nullptr, "measurement", true},
        {"%", "THD U1", nullptr, "measurement", true},
        {"kvarh", "", nullptr, "total_increasing", true},
        {"kVA", "", nullptr, "measurement", true},  // a unit the class does not take
        {"v", "", nullptr, "measurement", true},    // units are case-sensitive
        {"", "", nullptr, "measurement", true},
    };
    for (const Case& c : cases) {
        const auto sensor = host::outputs::SensorClassOf(c.unit, c.name);
        EXPECT_STREQ(sensor.deviceClass == nullptr ? "(none)" : sensor.deviceClass,
                     c.deviceClass == nullptr ? "(none)" : c.deviceClass)
            << c.unit << " " << c.name;
        EXPECT_STREQ(sensor.stateClass, c.stateClass) << c.unit << " " << c.name;
        EXPECT_EQ(sensor.sendUnit, c.sendUnit) << c.unit << " " << c.name;
    }
}

// ---- Messages ----

MqttSettings Settings() {
    MqttSettings settings;
    settings.enabled = true;
    settings.host = "b";
    settings.topicPrefix = "satec-vpi/north-hall";
    settings.qos = 1;
    return settings;
}

const MqttMeter kMeter{"Incomers 1",
                       "Feeder/2 \"B\"",
                       7,
                       {{"plain.0", "voltage L1", "V", true},
                        {"plain.1", "", "", false},
                        {"ex.10.1", "", "", true},
                        {"plain.20", "PF", "", true}}};

TEST(MqttMessagesTest, TopicsAndIdsAreSlugsUnderThePrefix) {
    const MqttSettings settings = Settings();
    EXPECT_EQ(host::outputs::StatusTopic(settings), "satec-vpi/north-hall/status");
    EXPECT_EQ(host::outputs::StateTopic(settings, kMeter),
              "satec-vpi/north-hall/incomers-1/feeder-2-b/state");
    EXPECT_EQ(host::outputs::AvailabilityTopic(settings, kMeter),
              "satec-vpi/north-hall/incomers-1/feeder-2-b/availability");
    EXPECT_EQ(host::outputs::DiscoveryTopic(settings, "North Hall", kMeter, kMeter.values[2]),
              "homeassistant/sensor/satec-vpi_north-hall_incomers-1_feeder-2-b/ex-10-1/config");
    EXPECT_EQ(host::site::Slug("  --  "), "-");
    EXPECT_EQ(host::site::Slug("Zähler 3"), "z-hler-3");
}

TEST(MqttMessagesTest, DiscoveryConfigOfANamedValue) {
    const auto config = nlohmann::json::parse(
        host::outputs::DiscoveryPayload(Settings(), "North Hall", kMeter, kMeter.values[0]));
    EXPECT_EQ(config["name"], "voltage L1");
    EXPECT_EQ(config["unique_id"], "satec-vpi_north-hall_incomers-1_feeder-2-b_plain-0");
    EXPECT_EQ(config["state_topic"], "satec-vpi/north-hall/incomers-1/feeder-2-b/state");
    EXPECT_EQ(config["value_template"], "{{ value_json['plain.0'].value }}");
    EXPECT_EQ(config["unit_of_measurement"], "V");
    EXPECT_EQ(config["device_class"], "voltage");
    EXPECT_EQ(config["state_class"], "measurement");
    EXPECT_EQ(config["availability_mode"], "all");
    ASSERT_EQ(config["availability"].size(), 2u);
    EXPECT_EQ(config["availability"][0]["topic"], "satec-vpi/north-hall/status");
    EXPECT_EQ(config["availability"][1]["topic"],
              "satec-vpi/north-hall/incomers-1/feeder-2-b/availability");
    EXPECT_EQ(config["qos"], 1);
    const auto& device = config["device"];
    EXPECT_EQ(device["identifiers"],
              nlohmann::json::array({"satec-vpi_north-hall_incomers-1_feeder-2-b"}));
    EXPECT_EQ(device["name"], "Feeder/2 \"B\"");
    EXPECT_EQ(device["hw_version"], "line Incomers 1, PLC address 7");
}

TEST(MqttMessagesTest, DiscoveryOfAnUnnamedValueAndAPowerFactor) {
    const auto unnamed = nlohmann::json::parse(
        host::outputs::DiscoveryPayload(Settings(), "North Hall", kMeter, kMeter.values[2]));
    EXPECT_EQ(unnamed["name"], "ex.10.1");
    EXPECT_FALSE(unnamed.contains("unit_of_measurement"));
    EXPECT_FALSE(unnamed.contains("device_class"));
    const auto pf = nlohmann::json::parse(
        host::outputs::DiscoveryPayload(Settings(), "North Hall", kMeter, kMeter.values[3]));
    EXPECT_EQ(pf["device_class"], "power_factor");
    EXPECT_FALSE(pf.contains("unit_of_measurement"));
}

TEST(MqttMessagesTest, StateHoldsEveryValueReadWithNameUnitAndTime) {
    std::map<std::string, host::outputs::LatestValue> latest{
        {"plain.0", {230.1f, "2026-01-01T00:00:00.000Z"}},
        {"plain.1", {std::numeric_limits<float>::quiet_NaN(), "2026-01-01T00:00:01.000Z"}},
        {"h2.5", {1.0f, "t"}},  // not a value of this meter: left out
    };
    const auto state = nlohmann::json::parse(host::outputs::StatePayload(kMeter, latest));
    EXPECT_EQ(state.size(), 2u);
    // The float's own shortest text, not the double it widens to.
    EXPECT_EQ(state["plain.0"]["value"].dump(), "230.1");
    EXPECT_EQ(state["plain.0"]["name"], "voltage L1");
    EXPECT_EQ(state["plain.0"]["unit"], "V");
    EXPECT_EQ(state["plain.0"]["time"], "2026-01-01T00:00:00.000Z");
    EXPECT_TRUE(state["plain.1"]["value"].is_null());
    EXPECT_FALSE(state["plain.1"].contains("name"));
    EXPECT_FALSE(state["plain.1"].contains("unit"));
}

TEST(MqttMessagesTest, OnlyOnChangeWithAMaximumSilence) {
    using Latest = std::map<std::string, host::outputs::LatestValue>;
    host::outputs::ChangeFilter always(false, 0);
    const Latest a{{"plain.0", {1.0f, "t1"}}};
    EXPECT_TRUE(always.Due(a, 0));
    EXPECT_TRUE(always.Due(a, 1));

    host::outputs::ChangeFilter filter(true, 10000);
    EXPECT_TRUE(filter.Due(a, 0));                                     // the first
    EXPECT_FALSE(filter.Due(Latest{{"plain.0", {1.0f, "t2"}}}, 500));  // same value, new time
    EXPECT_TRUE(filter.Due(Latest{{"plain.0", {2.0f, "t3"}}}, 600));   // changed
    EXPECT_FALSE(filter.Due(Latest{{"plain.0", {2.0f, "t4"}}}, 10599));
    EXPECT_TRUE(filter.Due(Latest{{"plain.0", {2.0f, "t5"}}}, 10600));  // silent long enough
    EXPECT_TRUE(filter.Due(Latest{{"plain.0", {2.0f, "t"}}, {"plain.1", {0.0f, "t"}}}, 10601));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(filter.Due(Latest{{"plain.0", {nan, "t"}}, {"plain.1", {0.0f, "t"}}}, 10602));
    EXPECT_FALSE(filter.Due(Latest{{"plain.0", {nan, "t"}}, {"plain.1", {0.0f, "t"}}}, 10603));
}

TEST(MqttMessagesTest, EntitiesForNamedValuesUnlessTheFileSays) {
    host::site::PreparedSite site;
    host::site::SiteLine line;
    line.name = "A";
    host::site::SiteMeter meter;
    meter.name = "m";
    meter.address = 1;
    host::site::SiteGate gate;
    gate.keys = {"plain.0", "plain.1", "plain.2", "plain.3"};
    gate.labels = {{"volts", "V"}, {"", ""}, {"", ""}, {"", "A"}};
    meter.gates.push_back(gate);
    meter.entities = {{"plain.2", true}, {"plain.3", false}};
    line.meters.push_back(meter);
    site.lines.push_back(line);
    const auto meters = host::outputs::MqttMeters(site);
    ASSERT_EQ(meters.size(), 1u);
    ASSERT_EQ(meters[0].values.size(), 4u);
    EXPECT_TRUE(meters[0].values[0].entity);   // named
    EXPECT_FALSE(meters[0].values[1].entity);  // neither name nor unit
    EXPECT_TRUE(meters[0].values[2].entity);   // asked for
    EXPECT_FALSE(meters[0].values[3].entity);  // a unit, but turned off
}

// ---- The feed ----

host::core::Reading ReadingOf(float value) {
    host::core::Reading reading;
    reading.plcAddress = 1;
    reading.values = {value};
    return reading;
}

TEST(ReadingFeedTest, EverySubscriberGetsEachReadingOnceInOrder) {
    host::site::ReadingFeed feed;
    auto first = feed.Subscribe("one", 8);
    auto second = feed.Subscribe("two", 8);
    for (int i = 0; i < 3; ++i) feed.Publish("A", ReadingOf(static_cast<float>(i)));
    for (const auto& subscription : {first, second}) {
        host::site::FeedItem item;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(subscription->Take(&item, std::chrono::milliseconds(0)));
            EXPECT_EQ(item.line, "A");
            EXPECT_EQ(item.reading.values[0], static_cast<float>(i));
        }
        EXPECT_FALSE(subscription->Take(&item, std::chrono::milliseconds(0)));
    }
}

TEST(ReadingFeedTest, AFullQueueDropsAndCountsWithoutWaiting) {
    host::site::ReadingFeed feed;
    auto slow = feed.Subscribe("slow", 2);  // never drained
    auto quick = feed.Subscribe("quick", 100);
    for (int i = 0; i < 10; ++i) feed.Publish("A", ReadingOf(static_cast<float>(i)));
    EXPECT_EQ(slow->Queued(), 2u);
    EXPECT_EQ(quick->Queued(), 10u);  // one slow output costs the others nothing
    const auto outputs = feed.Outputs();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].name, "slow");
    EXPECT_EQ(outputs[0].droppedQueue, 8);
    EXPECT_EQ(outputs[1].droppedQueue, 0);
    // The oldest are kept: what was dropped is the newest.
    host::site::FeedItem item;
    ASSERT_TRUE(slow->Take(&item, std::chrono::milliseconds(0)));
    EXPECT_EQ(item.reading.values[0], 0.0f);
}

TEST(ReadingFeedTest, ASubscriptionGivenBackIsFedNoMore) {
    host::site::ReadingFeed feed;
    auto kept = feed.Subscribe("kept", 4);
    {
        auto gone = feed.Subscribe("gone", 4);
        EXPECT_EQ(feed.Outputs().size(), 2u);
    }
    feed.Publish("A", ReadingOf(1));
    EXPECT_EQ(feed.Outputs().size(), 1u);
    EXPECT_EQ(kept->Queued(), 1u);
}

TEST(ReadingFeedTest, TakeWaitsForAReadingOrAWake) {
    host::site::ReadingFeed feed;
    auto subscription = feed.Subscribe("out", 4);
    std::thread publisher([&feed] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        feed.Publish("B", ReadingOf(5));
    });
    host::site::FeedItem item;
    // Far longer than the publisher needs: it returns when the reading comes.
    EXPECT_TRUE(subscription->Take(&item, std::chrono::seconds(30)));
    EXPECT_EQ(item.line, "B");
    publisher.join();
    std::thread waker([&subscription] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        subscription->Wake();
    });
    EXPECT_FALSE(subscription->Take(&item, std::chrono::seconds(30)));
    waker.join();
}

TEST(ReadingFeedTest, OutputCountersInTheMetrics) {
    host::site::SiteStatus status;
    EXPECT_EQ(host::site::PrometheusText(status, 0).find("vpi_output"), std::string::npos)
        << "no output, no output families";
    host::site::OutputStatus output;
    output.name = "mqtt";
    output.connected = true;
    output.connects = 2;
    output.published = 5;
    output.droppedQueue = 1;
    output.droppedUndelivered = 3;
    status.outputs.push_back(output);
    const std::string text = host::site::PrometheusText(status, 0);
    for (const char* line : {"vpi_output_connected{output=\"mqtt\"} 1\n",
                             "vpi_output_connects_total{output=\"mqtt\"} 2\n",
                             "vpi_output_published_total{output=\"mqtt\"} 5\n",
                             "vpi_output_dropped_total{output=\"mqtt\",reason=\"queue_full\"} 1\n",
                             "vpi_output_dropped_total{output=\"mqtt\",reason=\"undelivered\"} 3\n",
                             "# TYPE vpi_output_dropped_total counter\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

}  // namespace
