// The MQTT output: each meter's state and availability, the service's status with a last will,
// and Home Assistant discovery, sent to a broker through libmosquitto. Readings come from the
// poller's feed on a thread of this output's own; libmosquitto's own thread keeps the
// connection and reconnects with back-off. Nothing here ever waits on a line, and a line never
// waits on the broker: what cannot be sent is dropped and counted.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/non_copyable.h"
#include "outputs/mqtt_payloads.h"
#include "site/reading_feed.h"
#include "site/site_gates.h"
#include "site/site_status.h"

struct mosquitto;

namespace host::outputs {

// Messages handed to libmosquitto and not yet sent (or, at QoS 1 and 2, acknowledged): past
// this many, a slow broker's messages are dropped instead of queued.
inline constexpr std::int64_t kMaxUnsent = 1000;

class MqttOutput : core::NonCopyable {
public:
    using StatusSource = std::function<site::SiteStatus()>;
    using Say = std::function<void(const std::string&)>;

    // `site`'s [mqtt] settings and meters; readings from `feed`; the meters' health from
    // `status` (called on the output's thread about once a second); events worth a log line
    // to `say`, from either of the output's threads.
    MqttOutput(const site::PreparedSite& site, std::shared_ptr<site::FeedSubscription> feed,
               StatusSource status, Say say);
    // Stops it.
    ~MqttOutput();

    // Starts the connection (in the background: a broker that is not there yet is tried again
    // with back-off) and the output's thread. False, with why in `error`, when libmosquitto
    // refuses the settings (a TLS file it cannot use).
    [[nodiscard]] bool Start(std::string* error);

    // The meters of a reloaded site file: the discovery configs of values gone from it are
    // emptied, new ones sent. The broker settings stay those of the start.
    void Reload(const site::PreparedSite& site);

    // Sends "offline" to the status topic, disconnects and ends both threads.
    void Stop();

private:
    struct MeterState {
        MqttMeter meter;
        std::map<std::string, LatestValue> latest;
        ChangeFilter filter;
        std::optional<bool> availability;  // as last sent
    };

    void Run();
    void FirstConnect();
    void Handle(const site::FeedItem& item);
    void Announce();
    void ApplyReload();
    void Availability(bool force);
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    void SetMeters(const std::vector<MqttMeter>& meters);
    std::map<std::string, std::string> DiscoveryConfigs() const;

    static void OnConnect(struct mosquitto* mosq, void* self, int rc);
    static void OnDisconnect(struct mosquitto* mosq, void* self, int rc);
    static void OnPublish(struct mosquitto* mosq, void* self, int mid);

    site::MqttSettings settings_;
    std::string site_;
    std::shared_ptr<site::FeedSubscription> feed_;
    StatusSource status_;
    Say say_;
    struct mosquitto* mosq_ = nullptr;
    bool libraryStarted_ = false;
    std::atomic<bool> loopStarted_{false};  // libmosquitto's thread runs
    unsigned retryS_ = 0;                   // while it does not: the back-off of the first connect
    std::chrono::steady_clock::time_point retryAt_{};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> announce_{false};  // (re)connected: send status, discovery, availability
    std::atomic<std::int64_t> unsent_{0};
    std::atomic<int> lastRefusal_{0};  // the broker's last CONNACK refusal, said once

    // The output's thread alone touches these.
    std::vector<MeterState> meters_;
    std::map<std::string, std::string> discovered_;  // config topic -> payload, as sent
    std::set<std::string> toClear_;                  // config topics to empty when connected

    std::mutex reloadMutex_;  // guards reloaded_
    std::optional<std::vector<MqttMeter>> reloaded_;
};

}  // namespace host::outputs
