// Routes of vpihost serve on libmicrohttpd: each answers from one status copy of the poller,
// taken under the lines' locks and then written out without them. The socket is made here, the
// connections' bounds are kept in a ConnectionTable, passwords are checked on threads of their
// own while the connection waits parked.
#include "site/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "site/http_tls.h"
#include "site/metrics.h"
#include "site/password_queue.h"
#include "site/status_json.h"
#include "site/web_assets.h"

namespace host::site {

namespace {

// Polling threads: each waits on its connections with epoll and answers their requests, which
// take well under a millisecond (a status copy and its text). Two keep a scrape answered while
// the other is busy with a page's assets; passwords are never checked on them.
constexpr unsigned int kPollingThreads = 2;
// Checker threads for passwords, and the checks that may wait for one; more are answered 503.
constexpr std::size_t kPasswordThreads = 2;
constexpr std::size_t kPasswordsWaiting = 64;
// A request line and headers must fit in this; a longer one is answered 414 or 431 and closed.
constexpr std::size_t kConnectionMemory = 16 * 1024;
// A connection without any traffic for this long is closed by the library, whatever it is
// doing (an answer the client does not read, a request line never finished).
constexpr unsigned int kInactivitySeconds = 10;
// How often overdue connections are looked for.
constexpr std::chrono::milliseconds kSweepEvery{250};
constexpr int kListenBacklog = 128;
constexpr const char* kRealm = "vpihost";

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

// A socket bound to `address` and listening, or -1 with errno set (0: nothing resolved).
// Only SO_REUSEADDR: with SO_REUSEPORT a second process could bind the same port and the kernel
// would split the connections between the two, so a scrape would reach a healthy or a broken
// instance at random. SO_REUSEADDR alone still lets a restarted serve bind at once while the
// last one's connections linger in TIME_WAIT.
int ListenOn(const ListenAddress& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    // getaddrinfo: 0 on success.
    if (getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found) != 0) {
        errno = 0;
        return -1;
    }
    int failure = 0;
    int fd = -1;
    for (const addrinfo* each = found; each != nullptr && fd < 0; each = each->ai_next) {
        // socket: a descriptor, or -1.
        fd = socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    each->ai_protocol);
        if (fd < 0) {
            failure = errno;
            continue;
        }
        const int yes = 1;
        // setsockopt: 0 on success; a socket without it still serves.
        static_cast<void>(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes));
        if (each->ai_family == AF_INET6) {
            static_cast<void>(setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes));
        }
        // bind, listen: 0 on success, -1 on failure.
        if (bind(fd, each->ai_addr, each->ai_addrlen) != 0 || listen(fd, kListenBacklog) != 0) {
            failure = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    errno = failure;
    return fd;
}

// The port a bound socket has, or -1.
int BoundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    // getsockname: 0 on success.
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return -1;
    if (bound.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

// A client's address without its port: what the per-address bound counts by.
std::string AddressText(const sockaddr* address) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    const void* bytes = nullptr;
    if (address->sa_family == AF_INET6) {
        bytes = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    } else if (address->sa_family == AF_INET) {
        bytes = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    } else {
        return "other";
    }
    // inet_ntop: the text, or null.
    return inet_ntop(address->sa_family, bytes, text.data(), text.size()) != nullptr
               ? std::string(text.data())
               : "other";
}

// What a request has come to between the library's calls for it.
struct RequestState {
    std::atomic<int> password{kUnchecked};
    static constexpr int kUnchecked = 0;
    static constexpr int kAllowed = 1;
    static constexpr int kRefused = 2;
    static constexpr int kBusy = 3;
};

// An answer to queue: status, body, content type and headers.
struct Reply {
    unsigned int status = 200;
    std::string body;
    const char* type = "text/plain";
    std::vector<std::pair<const char*, std::string>> headers;
    const std::string_view* persistent = nullptr;  // an embedded file, sent without a copy
};

Reply JsonError(unsigned int status, const std::string& message) {
    return Reply{
        status, nlohmann::json{{"error", message}}.dump() + "\n", "application/json", {}, nullptr};
}

enum MHD_Result Queue(MHD_Connection* connection, const Reply& answer, bool askPassword = false) {
    MHD_Response* response =
        answer.persistent != nullptr
            ? MHD_create_response_from_buffer(answer.persistent->size(),
                                              const_cast<char*>(answer.persistent->data()),
                                              MHD_RESPMEM_PERSISTENT)
            : MHD_create_response_from_buffer(
                  answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    static_cast<void>(MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type));
    for (const auto& [name, value] : answer.headers) {
        static_cast<void>(MHD_add_response_header(response, name, value.c_str()));
    }
    const enum MHD_Result queued =
        askPassword ? MHD_queue_basic_auth_fail_response(connection, kRealm, response)
                    : MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

// A header of the request, or "" when it has none.
const char* LookUp(MHD_Connection* connection, const char* header) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, header);
    return value != nullptr ? value : "";
}

// The first query parameter of a request, if it has one: the API takes none.
std::string FirstParameter(MHD_Connection* connection) {
    std::string first;
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* out, enum MHD_ValueKind, const char* key, const char*) {
            *static_cast<std::string*>(out) = key;
            return MHD_NO;  // the first is enough
        },
        &first);
    return first;
}

// The answer to a GET or HEAD of `url`, once the request is allowed in.
Reply Route(const SitePoller& poller, const ConnectionTable& connections,
            MHD_Connection* connection, const std::string_view url) {
    for (const WebAsset& asset : WebAssets()) {
        if (url == asset.path) {
            Reply file{200, "", asset.type.data(), {}, &asset.body};
            file.headers.emplace_back(MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
            return file;
        }
    }
    if (url == "/healthz") return Reply{200, "ok\n", "text/plain", {}, nullptr};
    const bool metrics = url == "/metrics";
    const bool readings = url == "/api/v1/readings";
    const bool status = url == "/api/v1/status";
    if (!metrics && !readings && !status) return JsonError(404, "no such page");
    const std::string parameter = FirstParameter(connection);
    if (!parameter.empty()) return JsonError(400, "unknown parameter \"" + parameter + "\"");
    const SiteStatus site = poller.Status();
    const std::int64_t now = UnixMsNow();
    if (metrics) {
        return Reply{200,
                     PrometheusText(site, now) + ConnectionMetricsText(connections.Counts()),
                     "text/plain; version=0.0.4; charset=utf-8",
                     {},
                     nullptr};
    }
    return Reply{200,
                 readings ? ReadingsJson(site, now) : StatusJson(site, now),
                 "application/json",
                 {},
                 nullptr};
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

// The library's callbacks, each given the server as its closure.
struct HttpServer::Callbacks {
    static enum MHD_Result Accept(void* server, const sockaddr* address, socklen_t) {
        return static_cast<HttpServer*>(server)->connections_.Admit(AddressText(address)) ? MHD_YES
                                                                                          : MHD_NO;
    }

    static void Notify(void* cls, MHD_Connection* connection, void**,
                       enum MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            server->connections_.Closed(connection);
            return;
        }
        const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* from =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        server->connections_.Opened(connection, fd != nullptr ? fd->connect_fd : -1,
                                    from != nullptr ? AddressText(from->client_addr) : "other",
                                    ConnectionTable::Clock::now());
        if (server->tls_) server->AskForCertificate(connection);
    }

    static void Completed(void* cls, MHD_Connection* connection, void** context,
                          enum MHD_RequestTerminationCode) {
        delete static_cast<RequestState*>(*context);
        *context = nullptr;
        static_cast<HttpServer*>(cls)->connections_.RequestEnded(connection,
                                                                 ConnectionTable::Clock::now());
    }

    static enum MHD_Result Access(void* cls, MHD_Connection* connection, const char* url,
                                  const char* method, const char*, const char*, size_t* uploadSize,
                                  void** context) {
        return static_cast<enum MHD_Result>(
            static_cast<HttpServer*>(cls)->Respond(connection, url, method, uploadSize, context));
    }
};

HttpServer::HttpServer(const SitePoller& poller, HttpSecurity security)
    : poller_(poller), security_(std::move(security)), connections_(ConnectionLimits{}, [](int fd) {
          // shutdown: 0 on success; the library sees the connection end and closes it.
          static_cast<void>(shutdown(fd, SHUT_RDWR));
      }) {}

HttpServer::~HttpServer() {
    Stop();
    if (listenFd_ >= 0) close(listenFd_);
}

void HttpServer::AskForCertificate(MHD_Connection* connection) {
    if (tls_->clientAuth == ClientAuth::None) return;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr) return;
    // The handshake itself asks for a certificate, and fails without one where one is required;
    // whether it chains to the client CA is checked when the request comes.
    const bool required = tls_->clientAuth == ClientAuth::RequireAny ||
                          tls_->clientAuth == ClientAuth::RequireAndVerify;
    gnutls_certificate_server_set_request(static_cast<gnutls_session_t>(info->tls_session),
                                          required ? GNUTLS_CERT_REQUIRE : GNUTLS_CERT_REQUEST);
}

int HttpServer::Respond(MHD_Connection* connection, const char* url, const char* method,
                        size_t* uploadSize, void** context) {
    auto* state = static_cast<RequestState*>(*context);
    if (state == nullptr) {
        state = new RequestState;
        *context = state;
        connections_.RequestBegan(connection, ConnectionTable::Clock::now());
        // Read-only: the meters are never written through HTTP. Every method but GET and HEAD is
        // refused before anything else, whatever the path, before any body is read.
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            Reply refused = JsonError(405, "read-only: only GET and HEAD");
            refused.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
            return Queue(connection, refused);
        }
        // Nor is a body wanted: one announced is refused before it is read, so that no
        // request's time is spent in the client's hands.
        if (MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                        MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr ||
            std::strtoull(LookUp(connection, MHD_HTTP_HEADER_CONTENT_LENGTH), nullptr, 10) > 0) {
            return Queue(connection, JsonError(413, "a request here carries no body"));
        }
        if (tls_) {
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
            const std::string problem = ClientCertificateProblem(
                info != nullptr ? info->tls_session : nullptr, tls_->clientAuth);
            if (!problem.empty()) {
                Reply refused = JsonError(403, problem);
                refused.headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
                return Queue(connection, refused);
            }
        }
        // /healthz stays open: a service manager or load balancer asks it without a password.
        if (passwords_ && std::strcmp(url, "/healthz") != 0) {
            char* password = nullptr;
            char* user = MHD_basic_auth_get_username_password(connection, &password);
            if (user == nullptr || password == nullptr) {
                MHD_free(user);
                MHD_free(password);
                state->password = RequestState::kRefused;
                return MHD_YES;
            }
            std::string name(user), secret(password);
            MHD_free(user);
            MHD_free(password);
            // Parked until the check is made: its thread wakes the connection, and the
            // library calls here again.
            MHD_suspend_connection(connection);
            const bool queued = passwords_->Submit(
                std::move(name), std::move(secret), [connection, state](bool allowed) {
                    state->password = allowed ? RequestState::kAllowed : RequestState::kRefused;
                    MHD_resume_connection(connection);
                });
            if (!queued) {
                state->password = RequestState::kBusy;
                MHD_resume_connection(connection);
            }
            return MHD_YES;
        }
        // Answered at the library's next call, once the whole request is in: an answer
        // queued before that closes the connection instead of keeping it for the next request.
        state->password = RequestState::kAllowed;
        return MHD_YES;
    }
    // Nothing of a body comes (refused above); should the library pass any, it is dropped.
    if (*uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    switch (state->password.load()) {
        case RequestState::kAllowed:
            break;
        case RequestState::kBusy: {
            Reply busy = JsonError(503, "too many password checks waiting");
            busy.headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "1");
            return Queue(connection, busy);
        }
        default:
            // The same answer for an unknown user and a wrong password.
            return Queue(connection, JsonError(401, "a user name and password are needed"), true);
    }
    return Queue(connection, Route(poller_, connections_, connection, url));
}

int HttpServer::Bind(const ListenAddress& address, std::string* error) {
    if (security_.tls) {
        auto material = std::make_unique<TlsMaterial>();
        if (!LoadTlsMaterial(*security_.tls, material.get(), error)) return -1;
        tls_ = std::move(material);
    }
    listenFd_ = ListenOn(address);
    if (listenFd_ < 0) {
        *error = BindFailure(errno);
        return -1;
    }
    return BoundPort(listenFd_);
}

bool HttpServer::Start(std::string* error) {
    if (listenFd_ < 0) {
        *error = "not bound";
        return false;
    }
    if (security_.checkPassword) {
        passwords_ = std::make_unique<PasswordQueue>(security_.checkPassword, kPasswordThreads,
                                                     kPasswordsWaiting);
    }
    // The library's own limit is set above the table's, so that every refusal is the table's
    // (and counted): with a pool, each thread takes its share of it, and all may land on one.
    const ConnectionLimits limits;
    const auto libraryLimit =
        static_cast<intptr_t>((limits.total + limits.perAddress) * 2 * kPollingThreads);
    std::vector<MHD_OptionItem> options{
        {MHD_OPTION_LISTEN_SOCKET, listenFd_, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, kPollingThreads, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, libraryLimit, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kInactivitySeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Callbacks::Notify), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Callbacks::Completed), this},
    };
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (tls_) {
        flags |= MHD_USE_TLS;
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, tls_->cert.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, tls_->key.data()});
        options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, tls_->priorities.data()});
        if (!tls_->clientCa.empty()) {
            options.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, tls_->clientCa.data()});
        }
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, &Callbacks::Accept, this, &Callbacks::Access, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *error = "the HTTP side's threads did not start";
        passwords_.reset();
        return false;
    }
    // The library closes the listening socket when it stops.
    listenFd_ = -1;
    stopping_ = false;
    sweeper_ = std::thread([this] { SweepUntilStopped(); });
    return true;
}

void HttpServer::SweepUntilStopped() {
    std::unique_lock lock(sweepMutex_);
    while (!sweepWake_.wait_for(lock, kSweepEvery, [this] { return stopping_; })) {
        connections_.Sweep(ConnectionTable::Clock::now());
    }
}

void HttpServer::Stop() {
    {
        const std::lock_guard lock(sweepMutex_);
        stopping_ = true;
    }
    sweepWake_.notify_all();
    if (sweeper_.joinable()) sweeper_.join();
    // Parked connections are woken (refused) before the library stops: it must not stop with
    // any parked.
    if (passwords_) passwords_->Stop();
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

}  // namespace host::site
