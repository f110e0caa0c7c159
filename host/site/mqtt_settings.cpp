// The [mqtt] table of the site file: each key checked, every error with its line.
#include "site/mqtt_settings.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>

#include "core/durations.h"
#include "site/mqtt_settings_parse.h"

namespace host::site {

std::string Slug(const std::string& text) {
    std::string slug;
    bool gap = false;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 && c < 0x80) {
            if (gap && !slug.empty()) slug += '-';
            slug += static_cast<char>(std::tolower(c));
            gap = false;
        } else {
            gap = true;
        }
    }
    return slug.empty() ? "-" : slug;
}

std::string DefaultTopicPrefix(const std::string& siteName) {
    return siteName.empty() ? "satec-vpi" : "satec-vpi/" + Slug(siteName);
}

namespace {

constexpr std::string_view kMqttKeys[] = {"host",        "port",         "client_id",
                                          "username",    "password",     "password_file",
                                          "tls",         "topic_prefix", "qos",
                                          "keep_alive",  "retain",       "only_on_change",
                                          "max_silence", "discovery",    "discovery_prefix"};
constexpr std::string_view kTlsKeys[] = {"ca_file", "cert_file", "key_file"};

// The longest keep-alive MQTT can say (16 bits of seconds), and a floor below which a broker
// would be pinged more often than it is worth.
constexpr double kMinKeepAliveMs = 5000;
constexpr double kMaxKeepAliveMs = 65535000;
constexpr double kMinSilenceMs = 1000;
constexpr double kMaxSilenceMs = 24.0 * 3600 * 1000;

int LineOf(const toml::node& node) {
    return static_cast<int>(node.source().begin.line);
}

class MqttParser {
public:
    explicit MqttParser(SiteConfigResult& result) : out_(result) {}

    void Table(const toml::table& table);

private:
    void Error(int line, std::string reason) {
        out_.errors.push_back(ConfigError{out_.site.file, line, std::move(reason)});
    }
    template <std::size_t N>
    void UnknownKeys(const toml::table& table, const std::string_view (&keys)[N],
                     const char* where);
    bool Text(const toml::table& table, const char* key, std::string* out, const char* where);
    void Integer(const toml::table& table, const char* key, int low, int high, int* out);
    void Flag(const toml::table& table, const char* key, bool* out);
    bool Duration(const toml::table& table, const char* key, double lowMs, double highMs,
                  double* out);
    void Topic(const toml::table& table, const char* key, std::string* out);
    std::string File(const toml::table& table, const char* key, const char* where);
    void Tls(const toml::node& node, MqttSettings& mqtt);
    void Password(const toml::table& table, MqttSettings& mqtt);

    SiteConfigResult& out_;
};

template <std::size_t N>
void MqttParser::UnknownKeys(const toml::table& table, const std::string_view (&keys)[N],
                             const char* where) {
    for (auto&& [key, node] : table) {
        if (std::find(std::begin(keys), std::end(keys), key.str()) != std::end(keys)) continue;
        Error(LineOf(node), fmt::format("unknown key \"{}\" in {}", key.str(), where));
    }
}

bool MqttParser::Text(const toml::table& table, const char* key, std::string* out,
                      const char* where) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return false;
    const auto* text = node->as_string();
    if (text == nullptr || text->get().empty()) {
        Error(LineOf(*node),
              fmt::format("\"{}\" of {} must be a text that is not empty", key, where));
        return false;
    }
    *out = text->get();
    return true;
}

void MqttParser::Integer(const toml::table& table, const char* key, int low, int high, int* out) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return;
    const auto* number = node->as_integer();
    if (number == nullptr || number->get() < low || number->get() > high) {
        Error(LineOf(*node),
              fmt::format("\"{}\" of [mqtt] must be a whole number from {} to {}", key, low, high));
        return;
    }
    *out = static_cast<int>(number->get());
}

void MqttParser::Flag(const toml::table& table, const char* key, bool* out) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return;
    const auto* flag = node->as_boolean();
    if (flag == nullptr) {
        Error(LineOf(*node), fmt::format("\"{}\" of [mqtt] must be true or false", key));
        return;
    }
    *out = flag->get();
}

bool MqttParser::Duration(const toml::table& table, const char* key, double lowMs, double highMs,
                          double* out) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return false;
    const auto* text = node->as_string();
    const std::optional<core::Duration> duration =
        text != nullptr ? core::ReadDuration(text->get()) : std::nullopt;
    if (!duration || duration->unit.empty()) {
        Error(LineOf(*node),
              fmt::format("\"{}\" of [mqtt] must be a time with its unit, such as \"30s\" or "
                          "\"5m\"",
                          key));
        return false;
    }
    if (const std::string limit = core::DurationLimitProblem(*duration, lowMs, highMs);
        !limit.empty()) {
        Error(LineOf(*node), fmt::format("\"{}\" of [mqtt] must be {}", key, limit));
        return false;
    }
    *out = duration->ms;
    return true;
}

// A topic prefix: levels separated by "/", none empty, no wildcard.
void MqttParser::Topic(const toml::table& table, const char* key, std::string* out) {
    std::string topic;
    if (!Text(table, key, &topic, "[mqtt]")) return;
    const bool wildcard = topic.find_first_of("+#") != std::string::npos;
    const bool emptyLevel =
        topic.front() == '/' || topic.back() == '/' || topic.find("//") != std::string::npos;
    if (wildcard || emptyLevel || topic.find('\0') != std::string::npos) {
        Error(LineOf(*table.get(key)),
              fmt::format("\"{}\" of [mqtt] must be topic levels joined by \"/\", none empty, "
                          "without \"+\" or \"#\"",
                          key));
        return;
    }
    *out = topic;
}

// A file the output reads at start: taken from the site file's folder unless absolute, and
// read now, so that check-config says when it cannot be.
std::string MqttParser::File(const toml::table& table, const char* key, const char* where) {
    std::string name;
    if (!Text(table, key, &name, where)) return {};
    std::filesystem::path path(name);
    if (path.is_relative()) path = std::filesystem::path(out_.site.file).parent_path() / path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Error(LineOf(*table.get(key)),
              fmt::format("\"{}\" of {}: {} cannot be read", key, where, path.string()));
        return {};
    }
    return path.string();
}

void MqttParser::Tls(const toml::node& node, MqttSettings& mqtt) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        Error(LineOf(node),
              "\"tls\" of [mqtt] must be a table { ca_file = \"...\", cert_file = "
              "\"...\", key_file = \"...\" }");
        return;
    }
    UnknownKeys(*table, kTlsKeys, "[mqtt.tls]");
    mqtt.caFile = File(*table, "ca_file", "[mqtt.tls]");
    mqtt.certFile = File(*table, "cert_file", "[mqtt.tls]");
    mqtt.keyFile = File(*table, "key_file", "[mqtt.tls]");
    if (!table->contains("ca_file"))
        Error(LineOf(node),
              "[mqtt.tls] has no \"ca_file\": the broker's certificate is checked "
              "against it");
    if (table->contains("cert_file") != table->contains("key_file"))
        Error(LineOf(node), "[mqtt.tls] takes \"cert_file\" and \"key_file\" together");
}

void MqttParser::Password(const toml::table& table, MqttSettings& mqtt) {
    Text(table, "username", &mqtt.username, "[mqtt]");
    const bool given = Text(table, "password", &mqtt.password, "[mqtt]");
    if (table.contains("password_file")) {
        if (table.contains("password")) {
            Error(LineOf(*table.get("password_file")),
                  "[mqtt] takes \"password\" or \"password_file\", not both");
            return;
        }
        mqtt.passwordFile = File(table, "password_file", "[mqtt]");
        if (!mqtt.passwordFile.empty()) {
            std::ifstream in(mqtt.passwordFile, std::ios::binary);
            std::getline(in, mqtt.password);
            // A file written by an editor ends in a line feed, which is no part of it.
            if (!mqtt.password.empty() && mqtt.password.back() == '\r') mqtt.password.pop_back();
            if (mqtt.password.empty())
                Error(LineOf(*table.get("password_file")),
                      fmt::format("\"password_file\" of [mqtt]: {} has no password on its first "
                                  "line",
                                  mqtt.passwordFile));
        }
    }
    if ((given || table.contains("password_file")) && !table.contains("username"))
        Error(LineOf(table), "[mqtt] has a password but no \"username\"");
}

void MqttParser::Table(const toml::table& table) {
    MqttSettings& mqtt = out_.site.mqtt;
    mqtt.enabled = true;
    mqtt.sourceLine = LineOf(table);
    UnknownKeys(table, kMqttKeys, "[mqtt]");
    if (!Text(table, "host", &mqtt.host, "[mqtt]") && !table.contains("host"))
        Error(mqtt.sourceLine, "[mqtt] has no \"host\" (the broker's name or address)");
    Text(table, "client_id", &mqtt.clientId, "[mqtt]");
    Password(table, mqtt);
    if (const toml::node* tls = table.get("tls")) Tls(*tls, mqtt);
    mqtt.port = mqtt.Tls() ? 8883 : 1883;
    Integer(table, "port", 1, 65535, &mqtt.port);
    mqtt.topicPrefix = DefaultTopicPrefix(out_.site.name);
    Topic(table, "topic_prefix", &mqtt.topicPrefix);
    Integer(table, "qos", 0, 2, &mqtt.qos);
    double keepAliveMs = mqtt.keepAliveS * 1000.0;
    if (Duration(table, "keep_alive", kMinKeepAliveMs, kMaxKeepAliveMs, &keepAliveMs))
        mqtt.keepAliveS = static_cast<int>(keepAliveMs / 1000);
    Flag(table, "retain", &mqtt.retain);
    Flag(table, "only_on_change", &mqtt.onlyOnChange);
    if (Duration(table, "max_silence", kMinSilenceMs, kMaxSilenceMs, &mqtt.maxSilenceMs) &&
        !mqtt.onlyOnChange)
        Error(LineOf(*table.get("max_silence")),
              "\"max_silence\" of [mqtt] is for only_on_change = true: every read is sent "
              "otherwise");
    Flag(table, "discovery", &mqtt.discovery);
    Topic(table, "discovery_prefix", &mqtt.discoveryPrefix);
}

}  // namespace

void ParseMqttSettings(const toml::node& node, SiteConfigResult& result) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        result.errors.push_back(ConfigError{result.site.file, LineOf(node),
                                            "\"mqtt\" must be a table: [mqtt] with host = ..."});
        return;
    }
    MqttParser(result).Table(*table);
}

}  // namespace host::site
