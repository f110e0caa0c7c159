// The HTTP side's connections and their bounds: how many one client address and all of them may
// hold open, and how long a connection may take to send a whole request line and headers.
// Idle, slow and half-sent connections cost the event-driven server nothing while they wait, but
// each holds a socket: at a limit, the connection that has waited longest for its next request
// is closed to let the new one in, so a client that opens many cannot lock a scrape out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace host::site {

struct ConnectionLimits {
    std::size_t perAddress = 64;  // open connections from one client address
    std::size_t total = 256;      // open connections in all
    // From a connection's opening, or from its last answer, to a whole request line and headers.
    std::chrono::milliseconds requestTime{10000};
};

// What the table has done, for /metrics.
struct ConnectionCounts {
    std::uint64_t open = 0;
    std::uint64_t accepted = 0;
    std::uint64_t refusedAddressLimit = 0;  // new connections refused: all busy with requests
    std::uint64_t refusedTotalLimit = 0;
    std::uint64_t closedAddressLimit = 0;  // waiting connections closed to let a new one in
    std::uint64_t closedTotalLimit = 0;
    std::uint64_t closedRequestTimeout = 0;  // no whole request in time
};

// The Prometheus families of `counts` (text format 0.0.4).
std::string ConnectionMetricsText(const ConnectionCounts& counts);

// The open connections, by the server's handle for each. Thread-safe: called from the server's
// polling threads and from the sweep. Connections are closed through `close(fd)` (a shutdown of
// the socket: the server sees its end and frees it), always under the table's lock, so a socket
// the server has already closed, and whose number may be reused, is never touched.
class ConnectionTable {
public:
    using Clock = std::chrono::steady_clock;

    ConnectionTable(ConnectionLimits limits, std::function<void(int fd)> close);

    // A new connection from `address` asks to be let in: false to refuse it. At a limit the
    // longest-waiting connection of that address (or, at the total limit, of all) is closed for
    // it; only when every one is busy with a request is the new one refused. A connection let in
    // holds its place until Opened() and Closed() for it.
    bool Admit(const std::string& address);

    // The server has set up the connection `key` let in by Admit() for `address`.
    void Opened(const void* key, int fd, const std::string& address, Clock::time_point now);
    // Its request line and headers have arrived / its answer has been sent.
    void RequestBegan(const void* key);
    void RequestEnded(const void* key, Clock::time_point now);
    // The server has closed it (its socket is still open while this runs).
    void Closed(const void* key);

    // Closes every connection that has not sent a whole request within the limit.
    void Sweep(Clock::time_point now);

    [[nodiscard]] ConnectionCounts Counts() const;

private:
    struct Connection {
        int fd = -1;
        std::string address;
        bool inRequest = false;
        bool closing = false;
        Clock::time_point waitingSince;
    };

    // Connections that still count against the limits: open and not being closed, and those let
    // in but not yet set up.
    std::size_t Holding(const std::string* address) const;
    // Closes the longest-waiting connection (of `address`, or of all when null): false when
    // every one is busy with a request.
    bool CloseLongestWaiting(const std::string* address);

    const ConnectionLimits limits_;
    const std::function<void(int fd)> close_;
    mutable std::mutex mutex_;
    std::unordered_map<const void*, Connection> connections_;
    std::map<std::string, std::size_t> admitting_;  // let in, not yet opened, by address
    ConnectionCounts counts_;
};

}  // namespace host::site
