// The MQTT output's settings as the site file's [mqtt] table gives them; off unless it is there.
#pragma once

#include <string>

namespace host::site {

struct MqttSettings {
    bool enabled = false;  // the file has an [mqtt] table
    int sourceLine = 0;
    std::string host;
    int port = 1883;       // 8883 with TLS, unless given
    std::string clientId;  // empty: the library makes one up (with a clean session)
    std::string username;  // empty: none
    std::string password;  // given, or read from password_file
    std::string passwordFile;
    // TLS when caFile is set: the broker's certificate is checked against it; a client
    // certificate and its key when the broker asks for one.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string topicPrefix;  // "satec-vpi/<site>" unless given
    int qos = 0;
    int keepAliveS = 60;
    bool retain = false;  // of the meters' state messages; status and discovery are always kept
    bool onlyOnChange = false;
    double maxSilenceMs = 300000;  // with onlyOnChange: a state sent at least this often
    bool discovery = true;
    std::string discoveryPrefix = "homeassistant";

    bool Tls() const { return !caFile.empty(); }
    bool operator==(const MqttSettings&) const = default;
};

// `text` as a topic level or an identifier: letters and digits in lower case, every other run
// of characters one "-"; "-" alone when nothing is left ("Incomer 2/North" -> "incomer-2-north").
std::string Slug(const std::string& text);

// The topic prefix when the file gives none: "satec-vpi/<site's slug>", or "satec-vpi".
std::string DefaultTopicPrefix(const std::string& siteName);

}  // namespace host::site
