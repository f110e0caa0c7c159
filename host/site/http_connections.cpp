// Bounds on the HTTP side's connections: admission at the limits, the request deadline, and
// what they counted.
#include "site/http_connections.h"

#include <fmt/format.h>

#include <utility>

namespace host::site {

std::string ConnectionMetricsText(const ConnectionCounts& counts) {
    std::string text;
    text +=
        "# HELP vpi_http_connections_open Connections open to the HTTP side\n"
        "# TYPE vpi_http_connections_open gauge\n";
    text += fmt::format("vpi_http_connections_open {}\n", counts.open);
    text +=
        "# HELP vpi_http_connections_accepted_total Connections let in\n"
        "# TYPE vpi_http_connections_accepted_total counter\n";
    text += fmt::format("vpi_http_connections_accepted_total {}\n", counts.accepted);
    text +=
        "# HELP vpi_http_connections_refused_total New connections refused at a limit, every "
        "open one being busy with a request\n"
        "# TYPE vpi_http_connections_refused_total counter\n";
    text += fmt::format("vpi_http_connections_refused_total{{reason=\"address_limit\"}} {}\n",
                        counts.refusedAddressLimit);
    text += fmt::format("vpi_http_connections_refused_total{{reason=\"total_limit\"}} {}\n",
                        counts.refusedTotalLimit);
    text +=
        "# HELP vpi_http_connections_closed_total Connections closed by serve: the "
        "longest-waiting one at a limit, or one without a whole request in time\n"
        "# TYPE vpi_http_connections_closed_total counter\n";
    text += fmt::format("vpi_http_connections_closed_total{{reason=\"address_limit\"}} {}\n",
                        counts.closedAddressLimit);
    text += fmt::format("vpi_http_connections_closed_total{{reason=\"total_limit\"}} {}\n",
                        counts.closedTotalLimit);
    text += fmt::format("vpi_http_connections_closed_total{{reason=\"request_timeout\"}} {}\n",
                        counts.closedRequestTimeout);
    return text;
}

ConnectionTable::ConnectionTable(ConnectionLimits limits, std::function<void(int fd)> close)
    : limits_(limits), close_(std::move(close)) {}

std::size_t ConnectionTable::Holding(const std::string* address) const {
    std::size_t holding = 0;
    for (const auto& [key, connection] : connections_) {
        if (!connection.closing && (address == nullptr || connection.address == *address)) {
            ++holding;
        }
    }
    for (const auto& [from, count] : admitting_) {
        if (address == nullptr || from == *address) holding += count;
    }
    return holding;
}

bool ConnectionTable::CloseLongestWaiting(const std::string* address) {
    Connection* longest = nullptr;
    for (auto& [key, connection] : connections_) {
        if (connection.closing || connection.inRequest) continue;
        if (address != nullptr && connection.address != *address) continue;
        if (longest == nullptr || connection.waitingSince < longest->waitingSince) {
            longest = &connection;
        }
    }
    if (longest == nullptr) return false;
    longest->closing = true;
    close_(longest->fd);
    return true;
}

bool ConnectionTable::Admit(const std::string& address) {
    const std::lock_guard lock(mutex_);
    if (Holding(&address) >= limits_.perAddress) {
        if (!CloseLongestWaiting(&address)) {
            ++counts_.refusedAddressLimit;
            return false;
        }
        ++counts_.closedAddressLimit;
    }
    if (Holding(nullptr) >= limits_.total) {
        if (!CloseLongestWaiting(nullptr)) {
            ++counts_.refusedTotalLimit;
            return false;
        }
        ++counts_.closedTotalLimit;
    }
    ++admitting_[address];
    ++counts_.accepted;
    return true;
}

void ConnectionTable::Opened(const void* key, int fd, const std::string& address,
                             Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const auto admitted = admitting_.find(address);
    if (admitted != admitting_.end() && --admitted->second == 0) admitting_.erase(admitted);
    connections_[key] = Connection{fd, address, false, false, now};
}

void ConnectionTable::RequestBegan(const void* key) {
    const std::lock_guard lock(mutex_);
    const auto found = connections_.find(key);
    if (found != connections_.end()) found->second.inRequest = true;
}

void ConnectionTable::RequestEnded(const void* key, Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const auto found = connections_.find(key);
    if (found == connections_.end()) return;
    found->second.inRequest = false;
    found->second.waitingSince = now;
}

void ConnectionTable::Closed(const void* key) {
    const std::lock_guard lock(mutex_);
    connections_.erase(key);
}

void ConnectionTable::Sweep(Clock::time_point now) {
    const std::lock_guard lock(mutex_);
    for (auto& [key, connection] : connections_) {
        if (connection.closing || connection.inRequest) continue;
        if (now - connection.waitingSince < limits_.requestTime) continue;
        connection.closing = true;
        ++counts_.closedRequestTimeout;
        close_(connection.fd);
    }
}

ConnectionCounts ConnectionTable::Counts() const {
    const std::lock_guard lock(mutex_);
    ConnectionCounts counts = counts_;
    counts.open = connections_.size();
    return counts;
}

}  // namespace host::site
