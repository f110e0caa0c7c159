// Routes of vpihost serve: each answers from one status copy of the poller, taken under the
// lines' locks and then written out without them.
#include "site/http_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <nlohmann/json.hpp>

#include "site/metrics.h"
#include "site/status_json.h"
#include "site/web_assets.h"

namespace host::site {

namespace {

// Requests carry no body here; anything larger than this is refused before it is read.
constexpr std::size_t kMaxPayload = 4096;
// Workers for requests: a scrape, a page and its API calls at once, with room to spare.
constexpr std::size_t kWorkers = 4;

void JsonError(httplib::Response& response, int status, const std::string& message) {
    response.status = status;
    response.set_content(nlohmann::json{{"error", message}}.dump() + "\n", "application/json");
}

// The API takes no parameters; one given is a mistake worth saying.
bool NoParameters(const httplib::Request& request, httplib::Response& response) {
    if (request.params.empty()) return true;
    JsonError(response, 400, "unknown parameter \"" + request.params.begin()->first + "\"");
    return false;
}

// The library's default also sets SO_REUSEPORT, with which a second process binds the same
// port and the kernel splits the connections between the two: a scrape would reach a healthy
// or a broken instance at random. SO_REUSEADDR alone still lets a restarted serve bind at once
// while the last one's connections linger in TIME_WAIT.
void ReuseAddressOnly(socket_t socket) {
    const int yes = 1;
    // setsockopt: 0 on success, -1 on failure; a socket without it still serves.
    static_cast<void>(setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes));
}

// Why bind() failed, from its errno, in the words the rest of vpihost uses.
std::string BindFailure(int error) {
    switch (error) {
        case EADDRINUSE:
            return "address already in use (another vpihost serve, or another program, listens "
                   "there)";
        case EADDRNOTAVAIL:
            return "not an address of this machine";
        case EACCES:
            return "permission denied (ports below 1024 need privileges)";
        case 0:
            return "the host name does not resolve to an address";
        default:
            return std::strerror(error);
    }
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress* address, std::string* error) {
    const std::size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (host.empty() || !digits || std::stoi(port) > 65535) {
        *error = "--listen takes HOST:PORT, such as 127.0.0.1:9300 (port 0 to 65535)";
        return false;
    }
    address->host = host;
    address->port = std::stoi(port);
    return true;
}

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

HttpServer::HttpServer(const SitePoller& poller)
    : poller_(poller), server_(std::make_unique<httplib::Server>()) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server_->set_payload_max_length(kMaxPayload);
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(5, 0);
    server_->set_socket_options(ReuseAddressOnly);
    Route();
}

HttpServer::~HttpServer() {
    Stop();
}

void HttpServer::Route() {
    for (const WebAsset& asset : WebAssets()) {
        server_->Get(std::string(asset.path),
                     [&asset](const httplib::Request&, httplib::Response& response) {
                         response.set_content(asset.body.data(), asset.body.size(),
                                              std::string(asset.type).c_str());
                         response.set_header("Cache-Control", "no-cache");
                     });
    }
    server_->Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
        if (!NoParameters(request, response)) return;
        response.set_content(PrometheusText(poller_.Status(), UnixMsNow()),
                             "text/plain; version=0.0.4; charset=utf-8");
    });
    server_->Get(
        "/api/v1/readings", [this](const httplib::Request& request, httplib::Response& response) {
            if (!NoParameters(request, response)) return;
            response.set_content(ReadingsJson(poller_.Status(), UnixMsNow()), "application/json");
        });
    server_->Get(
        "/api/v1/status", [this](const httplib::Request& request, httplib::Response& response) {
            if (!NoParameters(request, response)) return;
            response.set_content(StatusJson(poller_.Status(), UnixMsNow()), "application/json");
        });
    server_->Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok\n", "text/plain");
    });
    // Read-only: the meters are never written through HTTP. Every method but GET and HEAD is
    // refused before routing, whatever the path and before any body is read; a method HTTP
    // does not define never gets here (the library answers 400: not HTTP).
    server_->set_pre_routing_handler(
        [](const httplib::Request& request, httplib::Response& response) {
            if (request.method == "GET" || request.method == "HEAD") {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            response.set_header("Allow", "GET, HEAD");
            JsonError(response, 405, "read-only: only GET and HEAD");
            return httplib::Server::HandlerResponse::Handled;
        });
    server_->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            JsonError(response, response.status,
                      response.status == 404 ? "no such page" : "bad request");
        }
    });
}

int HttpServer::Bind(const ListenAddress& address, std::string* error) {
    // The library closes the socket after a failed bind(), which leaves errno as bind() set it;
    // 0 is left when no address was tried at all (the name did not resolve).
    errno = 0;
    const int port = address.port == 0 ? server_->bind_to_any_port(address.host)
                     : server_->bind_to_port(address.host, address.port) ? address.port
                                                                         : -1;
    if (port < 0) *error = BindFailure(errno);
    return port;
}

void HttpServer::Start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // The library's stop() does nothing until its loop runs: a Stop() that came first would
    // leave the thread serving and the join waiting for ever.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_->is_running() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void HttpServer::Stop() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

}  // namespace host::site
