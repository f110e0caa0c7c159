// The HTTP side of vpihost serve, on libmicrohttpd: the page and its assets, /metrics, the JSON
// API and /healthz, read-only (every method but GET and HEAD is refused). An event-driven server
// on a few polling threads of its own: no request ever waits on a line or a line on a request,
// and a connection that is idle or sends its request slowly holds no thread, only a socket,
// which its bounds (http_connections.h) take back. Optionally TLS and a password.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/non_copyable.h"
#include "site/http_connections.h"
#include "site/site_poller.h"
#include "site/web_config.h"

struct MHD_Daemon;
struct MHD_Connection;

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

// How the HTTP side is protected: TLS (none: plain HTTP) and a password check (empty: no login
// asked; called on the HTTP side's threads, may take a bcrypt round).
struct HttpSecurity {
    std::optional<TlsSettings> tls;
    std::function<bool(std::string_view user, std::string_view password)> checkPassword;
};

struct TlsMaterial;
class PasswordQueue;

class HttpServer : core::NonCopyable {
public:
    explicit HttpServer(const SitePoller& poller, HttpSecurity security = {});
    // Stops it if it runs.
    ~HttpServer();

    // Binds to `address` and listens there, before any thread starts: the port bound (the one
    // chosen when it asked for 0), or -1 with `error` saying why ("address already in use",
    // "not an address of this machine", "cannot read certificate FILE: ...", "certificate FILE
    // and key FILE do not match", ...). An address another process listens on is never shared:
    // only SO_REUSEADDR is set, so a second serve cannot take the same port.
    int Bind(const ListenAddress& address, std::string* error);

    // Serves on threads of its own until Stop(): false, with `error` set, when they could not be
    // started.
    [[nodiscard]] bool Start(std::string* error);

    // Stops accepting, ends the connections and the threads.
    void Stop();

    // What the bounds on connections have done so far.
    [[nodiscard]] ConnectionCounts Connections() const { return connections_.Counts(); }

    // The server's callbacks (libmicrohttpd calls plain functions; these forward to the object).
    struct Callbacks;

private:
    friend struct Callbacks;

    // Where a TLS connection asks for a client certificate at its handshake.
    void AskForCertificate(MHD_Connection* connection);
    // The library's call for a request (an MHD_Result): refused, parked for a password check,
    // or answered.
    int Respond(MHD_Connection* connection, const char* url, const char* method,
                std::size_t* uploadSize, void** context);
    void SweepUntilStopped();

    const SitePoller& poller_;
    HttpSecurity security_;
    std::unique_ptr<TlsMaterial> tls_;
    std::unique_ptr<PasswordQueue> passwords_;
    ConnectionTable connections_;
    int listenFd_ = -1;
    MHD_Daemon* daemon_ = nullptr;
    std::thread sweeper_;
    std::mutex sweepMutex_;
    std::condition_variable sweepWake_;
    bool stopping_ = false;
};

}  // namespace host::site
