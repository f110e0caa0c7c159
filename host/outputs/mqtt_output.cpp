// The MQTT output over libmosquitto: its network thread connects and reconnects, this output's
// thread turns readings and health into messages.
#include "outputs/mqtt_output.h"

#include <fmt/format.h>
#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "vpi_families.h"

namespace host::outputs {

namespace {

// How often the meters' health is looked at for their availability.
constexpr auto kHealthEvery = std::chrono::milliseconds(1000);
// How long the output's thread waits for a reading before it looks at everything else.
constexpr auto kWait = std::chrono::milliseconds(200);
// libmosquitto's reconnect back-off: 1 s, doubling, up to a minute.
constexpr unsigned kReconnectFirstS = 1;
constexpr unsigned kReconnectMaxS = 60;

const char* Null(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

// libmosquitto's message without its full stop, to go inside a sentence of ours.
std::string Reason(const char* text) {
    std::string reason = text;
    if (!reason.empty() && reason.back() == '.') reason.pop_back();
    return reason;
}

}  // namespace

MqttOutput::MqttOutput(const site::PreparedSite& site, std::shared_ptr<site::FeedSubscription> feed,
                       StatusSource status, Say say)
    : settings_(site.mqtt),
      site_(site.name),
      feed_(std::move(feed)),
      status_(std::move(status)),
      say_(std::move(say)) {
    SetMeters(MqttMeters(site));
}

MqttOutput::~MqttOutput() {
    Stop();
}

bool MqttOutput::Start(std::string* error) {
    // libmosquitto counts its initialisations; each is undone by one cleanup.
    mosquitto_lib_init();
    libraryStarted_ = true;
    // A clean session: what was not sent before a restart is not worth sending after it.
    mosq_ = mosquitto_new(Null(settings_.clientId), true, this);
    if (mosq_ == nullptr) {
        *error = "cannot make an MQTT client (out of memory, or a client id it refuses)";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, OnConnect);
    mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
    mosquitto_publish_callback_set(mosq_, OnPublish);
    mosquitto_reconnect_delay_set(mosq_, kReconnectFirstS, kReconnectMaxS, true);
    const std::string status = StatusTopic(settings_);
    // The broker says "offline" for us when the connection ends without a goodbye (a crash, a
    // kill, a cable): kept, so that whoever subscribes later sees it too.
    int rc = mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty())
        rc = mosquitto_username_pw_set(mosq_, settings_.username.c_str(), Null(settings_.password));
    if (rc == MOSQ_ERR_SUCCESS && settings_.Tls())
        rc = mosquitto_tls_set(mosq_, settings_.caFile.c_str(), nullptr, Null(settings_.certFile),
                               Null(settings_.keyFile), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = fmt::format("MQTT settings refused: {}", mosquitto_strerror(rc));
        return false;
    }
    rc = mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port,
                                 settings_.keepAliveS);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_start(mosq_);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error =
                fmt::format("cannot start the MQTT client's thread: {}", mosquitto_strerror(rc));
            return false;
        }
        loopStarted_ = true;
    } else {
        // libmosquitto's thread reconnects a connection that was made once, but not one whose
        // first try failed at once (a broker not started yet): this output's thread tries again
        // with the same back-off until one is under way.
        say_(fmt::format("cannot connect to {}:{} yet: {}; trying again", settings_.host,
                         settings_.port,
                         rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
        retryS_ = kReconnectFirstS;
        retryAt_ = std::chrono::steady_clock::now() + std::chrono::seconds(retryS_);
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MqttOutput::Reload(const site::PreparedSite& site) {
    std::lock_guard lock(reloadMutex_);
    reloaded_ = MqttMeters(site);
    feed_->Wake();
}

void MqttOutput::Stop() {
    if (thread_.joinable()) {
        stop_ = true;
        feed_->Wake();
        thread_.join();
    }
    if (mosq_ != nullptr) {
        if (loopStarted_) {
            // A goodbye: the will is not sent then, so the status says offline itself.
            if (feed_->Counters().connected)
                mosquitto_publish(mosq_, nullptr, StatusTopic(settings_).c_str(), 7, "offline", 1,
                                  true);
            mosquitto_disconnect(mosq_);
            mosquitto_loop_stop(mosq_, false);
            loopStarted_ = false;
        }
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    feed_->Counters().connected = false;
    if (libraryStarted_) {
        mosquitto_lib_cleanup();
        libraryStarted_ = false;
    }
}

void MqttOutput::Run() {
    auto healthAt = std::chrono::steady_clock::now();
    while (!stop_) {
        if (!loopStarted_ && std::chrono::steady_clock::now() >= retryAt_) FirstConnect();
        site::FeedItem item;
        if (feed_->Take(&item, kWait)) Handle(item);
        if (announce_.exchange(false)) Announce();
        ApplyReload();
        if (std::chrono::steady_clock::now() >= healthAt) {
            Availability(false);
            healthAt = std::chrono::steady_clock::now() + kHealthEvery;
        }
    }
}

void MqttOutput::FirstConnect() {
    if (mosquitto_reconnect_async(mosq_) == MOSQ_ERR_SUCCESS &&
        mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS) {
        loopStarted_ = true;
        return;
    }
    retryS_ = std::min(retryS_ * 2, kReconnectMaxS);
    retryAt_ = std::chrono::steady_clock::now() + std::chrono::seconds(retryS_);
}

void MqttOutput::Handle(const site::FeedItem& item) {
    const core::Reading& reading = item.reading;
    if (reading.result != VpiDone) return;
    for (MeterState& state : meters_) {
        if (state.meter.line != item.line || state.meter.address != reading.plcAddress) continue;
        for (std::size_t k = 0; k < reading.values.size(); ++k) {
            state.latest[site::ValueKey(reading.memtype, reading.index, static_cast<int>(k))] =
                LatestValue{reading.values[k], reading.time};
        }
        if (state.filter.Due(state.latest, site::UnixMsNow()))
            Publish(StateTopic(settings_, state.meter), StatePayload(state.meter, state.latest),
                    settings_.retain);
        // A meter that has just answered is online now, not at the next look at the health.
        if (state.availability != true) Availability(false);
        return;
    }
}

// On every connect: the service is online, configs of values gone are emptied, every config
// and availability is sent again (a broker that restarted without its store has lost them).
void MqttOutput::Announce() {
    Publish(StatusTopic(settings_), "online", true);
    discovered_.clear();
    ApplyReload();
    for (auto topic = toClear_.begin(); topic != toClear_.end();) {
        topic = Publish(*topic, "", true) ? toClear_.erase(topic) : std::next(topic);
    }
    for (const auto& [topic, payload] : DiscoveryConfigs()) {
        if (Publish(topic, payload, true)) discovered_[topic] = payload;
    }
    Availability(true);
}

void MqttOutput::ApplyReload() {
    std::optional<std::vector<MqttMeter>> next;
    {
        std::lock_guard lock(reloadMutex_);
        next.swap(reloaded_);
    }
    if (!next) return;
    const std::map<std::string, std::string> before = DiscoveryConfigs();
    std::set<std::string> gone;  // the topics of meters no longer in the file
    for (const MeterState& state : meters_) {
        const bool stays = std::any_of(next->begin(), next->end(), [&](const MqttMeter& m) {
            return m.line == state.meter.line && m.name == state.meter.name;
        });
        if (!stays) {
            gone.insert(AvailabilityTopic(settings_, state.meter));
            gone.insert(StateTopic(settings_, state.meter));
        }
    }
    SetMeters(*next);
    const std::map<std::string, std::string> after = DiscoveryConfigs();
    for (const auto& [topic, payload] : before) {
        if (after.count(topic) == 0) gone.insert(topic);
    }
    toClear_.insert(gone.begin(), gone.end());
    for (auto topic = toClear_.begin(); topic != toClear_.end();) {
        topic = Publish(*topic, "", true) ? toClear_.erase(topic) : std::next(topic);
    }
    for (const auto& [topic, payload] : after) {
        const auto sent = discovered_.find(topic);
        if (sent != discovered_.end() && sent->second == payload) continue;
        if (Publish(topic, payload, true)) discovered_[topic] = payload;
    }
    for (auto sent = discovered_.begin(); sent != discovered_.end();) {
        sent = after.count(sent->first) == 0 ? discovered_.erase(sent) : std::next(sent);
    }
    Availability(true);
}

// Each meter's availability from its honest health: online only while it answers on an open
// port. Sent when it changes, or with `force` every one.
void MqttOutput::Availability(bool force) {
    const site::SiteStatus status = status_();
    for (MeterState& state : meters_) {
        bool up = false;
        for (const site::LineStatus& line : status.lines) {
            if (line.name != state.meter.line) continue;
            for (const site::MeterStatus& meter : line.meters) {
                if (meter.name == state.meter.name) up = site::MeterUp(line, meter);
            }
        }
        if (!force && state.availability == up) continue;
        if (Publish(AvailabilityTopic(settings_, state.meter), up ? "online" : "offline", true))
            state.availability = up;
    }
}

bool MqttOutput::Publish(const std::string& topic, const std::string& payload, bool retain) {
    site::FeedCounters& counters = feed_->Counters();
    if (!counters.connected || unsent_ >= kMaxUnsent) {
        counters.droppedUndelivered.fetch_add(1);
        return false;
    }
    ++unsent_;
    const int rc =
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), settings_.qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        --unsent_;
        counters.droppedUndelivered.fetch_add(1);
        return false;
    }
    return true;
}

void MqttOutput::SetMeters(const std::vector<MqttMeter>& meters) {
    std::vector<MeterState> next;
    for (const MqttMeter& meter : meters) {
        MeterState state{
            meter, {}, ChangeFilter(settings_.onlyOnChange, settings_.maxSilenceMs), std::nullopt};
        for (MeterState& old : meters_) {
            if (old.meter.line == meter.line && old.meter.name == meter.name) {
                state.latest = std::move(old.latest);
                state.availability = old.availability;
            }
        }
        next.push_back(std::move(state));
    }
    meters_ = std::move(next);
}

std::map<std::string, std::string> MqttOutput::DiscoveryConfigs() const {
    std::map<std::string, std::string> configs;
    if (!settings_.discovery) return configs;
    for (const MeterState& state : meters_) {
        for (const MqttValue& value : state.meter.values) {
            if (!value.entity) continue;
            configs[DiscoveryTopic(settings_, site_, state.meter, value)] =
                DiscoveryPayload(settings_, site_, state.meter, value);
        }
    }
    return configs;
}

void MqttOutput::OnConnect(struct mosquitto* /*mosq*/, void* self, int rc) {
    auto& output = *static_cast<MqttOutput*>(self);
    site::FeedCounters& counters = output.feed_->Counters();
    if (rc != 0) {
        // Said once per reason: the library tries again with back-off.
        if (output.lastRefusal_.exchange(rc) != rc) {
            output.say_(fmt::format("broker {}:{} refused the connection: {}; trying again",
                                    output.settings_.host, output.settings_.port,
                                    Reason(mosquitto_connack_string(rc))));
        }
        return;
    }
    output.lastRefusal_ = 0;
    // Messages of a connection that is gone are never acknowledged now.
    output.unsent_ = 0;
    counters.connected = true;
    counters.connects.fetch_add(1);
    output.say_(
        fmt::format("connected to broker {}:{}", output.settings_.host, output.settings_.port));
    output.announce_ = true;
    output.feed_->Wake();
}

void MqttOutput::OnDisconnect(struct mosquitto* /*mosq*/, void* self, int rc) {
    auto& output = *static_cast<MqttOutput*>(self);
    const bool was = output.feed_->Counters().connected.exchange(false);
    if (rc != 0 && was)
        output.say_(fmt::format("connection to broker {}:{} lost: {}; reconnecting",
                                output.settings_.host, output.settings_.port,
                                Reason(mosquitto_strerror(rc))));
}

void MqttOutput::OnPublish(struct mosquitto* /*mosq*/, void* self, int /*mid*/) {
    auto& output = *static_cast<MqttOutput*>(self);
    if (output.unsent_ > 0) --output.unsent_;
    output.feed_->Counters().published.fetch_add(1);
}

}  // namespace host::outputs
