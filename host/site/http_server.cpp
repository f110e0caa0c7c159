// Routes of vpihost serve: each answers from one status copy of the poller, taken under the
// lines' locks and then written out without them.
#include "site/http_server.h"

#include <httplib.h>

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
    // Read-only: the meters are never written through HTTP.
    const auto refuse = [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Allow", "GET, HEAD");
        JsonError(response, 405, "read-only: only GET and HEAD");
    };
    server_->Post(".*", refuse).Put(".*", refuse).Patch(".*", refuse).Delete(".*", refuse);
    server_->Options(".*", refuse);
    server_->set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) {
            JsonError(response, response.status,
                      response.status == 404 ? "no such page" : "bad request");
        }
    });
}

int HttpServer::Bind(const ListenAddress& address) {
    if (address.port == 0) return server_->bind_to_any_port(address.host);
    return server_->bind_to_port(address.host, address.port) ? address.port : -1;
}

void HttpServer::Start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void HttpServer::Stop() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

}  // namespace host::site
