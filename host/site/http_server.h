// The HTTP side of vpihost serve, on cpp-httplib: the page and its assets, /metrics, the JSON
// API and /healthz, read-only (every method but GET and HEAD is refused), on a thread pool of
// its own so that no request ever waits on a line or a line on a request.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "core/non_copyable.h"
#include "site/site_poller.h"

namespace httplib {
class Server;
}

namespace host::site {

// Where to listen: "127.0.0.1:9300", "[::1]:9300", "localhost:0" (port 0: any free one).
struct ListenAddress {
    std::string host;
    int port = 0;
};

// Splits "HOST:PORT". False, with `error` set, for a text without a host or with a port that is
// not 0 to 65535.
bool ParseListenAddress(const std::string& text, ListenAddress* address, std::string* error);

// True for an address only this machine reaches (127.0.0.0/8, ::1, localhost).
bool IsLoopback(const std::string& host);

class HttpServer : core::NonCopyable {
public:
    explicit HttpServer(const SitePoller& poller);
    // Stops it if it runs.
    ~HttpServer();

    // Binds to `address` and listens there, before any thread starts: the port bound (the one
    // chosen when it asked for 0), or -1 with `error` saying why ("address already in use",
    // "not an address of this machine", ...). An address another process listens on is never
    // shared: only SO_REUSEADDR is set, so a second serve cannot take the same port.
    int Bind(const ListenAddress& address, std::string* error);

    // Serves on a thread of its own until Stop().
    void Start();

    // Stops accepting, ends the requests under way and the thread.
    void Stop();

private:
    void Route();

    const SitePoller& poller_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

}  // namespace host::site
