// The Modbus TCP face's socket side: framing by the MBAP header's length, so that a client that
// sends half a frame holds up no one, and replies built by libmodbus.
#include "outputs/modbus_server.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace host::outputs {

namespace {

constexpr const char* kRequests = "vpi_modbus_requests_total";
constexpr const char* kExceptions = "vpi_modbus_exceptions_total";
constexpr const char* kDropped = "vpi_modbus_clients_dropped_total";
constexpr const char* kWrites = "vpi_modbus_writes_total";
// How often the thread looks at the stop flag and the idle clients when nothing happens.
constexpr int kPollMs = 100;

std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string FunctionLabel(int function) {
    switch (function) {
        case kReadHolding:
        case kReadInput:
        case kWriteSingle:
        case kWriteMultiple:
            return std::to_string(function);
        default:
            return "other";
    }
}

ModbusException ExceptionFor(site::WriteOutcome outcome) {
    switch (outcome) {
        case site::WriteOutcome::Done:
            return ModbusException::None;
        case site::WriteOutcome::Failed:
        case site::WriteOutcome::Refused:
            return ModbusException::DeviceFailure;
        case site::WriteOutcome::Busy:
            return ModbusException::Busy;
        case site::WriteOutcome::NotOpen:
        case site::WriteOutcome::TimedOut:
            return ModbusException::TargetFailed;
    }
    return ModbusException::DeviceFailure;
}

const char* OutcomeLabel(site::WriteOutcome outcome) {
    switch (outcome) {
        case site::WriteOutcome::Done:
            return "acknowledged";
        case site::WriteOutcome::Failed:
            return "no_acknowledgement";
        case site::WriteOutcome::Refused:
            return "refused";
        case site::WriteOutcome::NotOpen:
            return "port_closed";
        case site::WriteOutcome::Busy:
            return "busy";
        case site::WriteOutcome::TimedOut:
            return "timed_out";
    }
    return "refused";
}

}  // namespace

ModbusServer::ModbusServer(site::SitePoller& poller, const site::ModbusTcpSettings& settings,
                           ModbusMap map)
    : poller_(poller), settings_(settings), map_(std::move(map)) {
    site::OutputCounters& counters = poller_.Outputs();
    counters.Declare(kRequests, "Modbus TCP requests, by function code", "function",
                     {"3", "4", "6", "16", "other"});
    counters.Declare(kExceptions, "Modbus TCP exception replies, by exception code", "code",
                     {"1", "2", "3", "4", "6", "10", "11"});
    counters.Declare(kDropped,
                     "Modbus TCP clients dropped: idle past the time-out, bytes that are no "
                     "Modbus TCP frame, over the most clients, a socket error",
                     "reason", {"idle", "garbage", "too_many", "error"});
    counters.Declare(
        kWrites, "Writes from Modbus TCP clients handed to a line, by outcome", "outcome",
        {"acknowledged", "no_acknowledgement", "refused", "port_closed", "busy", "timed_out"});
    // The context only builds replies on a client's socket; it never connects.
    context_ = modbus_new_tcp("127.0.0.1", 0);
}

ModbusServer::~ModbusServer() {
    Stop();
    if (listenFd_ >= 0) close(listenFd_);
    if (context_ != nullptr) modbus_free(context_);
}

int ModbusServer::Bind(std::string* error) {
    if (context_ == nullptr) {
        *error = "libmodbus could not make a context";
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(settings_.port);
    // getaddrinfo: 0 is success, else an EAI_ code for gai_strerror.
    if (const int code = getaddrinfo(settings_.host.c_str(), port.c_str(), &hints, &found);
        code != 0) {
        *error = gai_strerror(code);
        return -1;
    }
    int fd = -1;
    for (addrinfo* each = found; each != nullptr && fd < 0; each = each->ai_next) {
        fd = socket(each->ai_family, each->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // bind, listen: 0 is success, -1 with errno.
        if (bind(fd, each->ai_addr, each->ai_addrlen) != 0 || listen(fd, 64) != 0) {
            *error = std::strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;
    listenFd_ = fd;
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    return bound.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
               : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

void ModbusServer::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ModbusServer::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& client : clients_) close(client->fd);
    clients_.clear();
}

void ModbusServer::SetMap(ModbusMap map) {
    std::lock_guard lock(mapMutex_);
    map_ = std::move(map);
}

const site::SiteStatus& ModbusServer::CurrentStatus() {
    const std::int64_t now = SteadyMs();
    if (statusAtMs_ < 0 || now - statusAtMs_ >= static_cast<std::int64_t>(kStatusCacheMs)) {
        status_ = poller_.Status();
        statusAtMs_ = now;
    }
    return status_;
}

void ModbusServer::Run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        fds.clear();
        fds.push_back(pollfd{listenFd_, POLLIN, 0});
        for (const auto& client : clients_) fds.push_back(pollfd{client->fd, POLLIN, 0});
        // poll: the number of ready descriptors, 0 on time-out, -1 with errno.
        const int ready = poll(fds.data(), fds.size(), kPollMs);
        if (ready < 0 && errno != EINTR) break;
        const std::int64_t now = SteadyMs();
        // Clients first, by their place in fds, then the new ones (which fds does not hold).
        std::vector<std::unique_ptr<Client>> kept;
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            Client& client = *clients_[i];
            bool keep = true;
            if (ready > 0 && (fds[i + 1].revents & (POLLIN | POLLERR | POLLHUP)) != 0)
                keep = Receive(client, now);
            if (keep && now - client.lastMs >= static_cast<std::int64_t>(settings_.idleTimeoutMs)) {
                Drop(client, "idle");
                keep = false;
            }
            if (keep) kept.push_back(std::move(clients_[i]));
        }
        clients_ = std::move(kept);
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) Accept(now);
    }
}

void ModbusServer::Accept(std::int64_t nowMs) {
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN: no one else waits
        if (clients_.size() >= static_cast<std::size_t>(settings_.maxClients)) {
            close(fd);
            poller_.Outputs().Add(kDropped, "too_many");
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->lastMs = nowMs;
        clients_.push_back(std::move(client));
    }
}

void ModbusServer::Drop(Client& client, const char* why) {
    poller_.Outputs().Add(kDropped, why);
    close(client.fd);
    client.fd = -1;
}

bool ModbusServer::Receive(Client& client, std::int64_t nowMs) {
    // recv: the bytes read, 0 when the client closed, -1 with errno.
    const ssize_t got =
        recv(client.fd, client.buffer + client.have, sizeof client.buffer - client.have, 0);
    if (got == 0) {
        close(client.fd);
        return false;
    }
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        Drop(client, "error");
        return false;
    }
    client.have += static_cast<std::size_t>(got);
    for (;;) {
        const int length = FrameLength(client.buffer, client.have);
        if (length < 0) {
            Drop(client, "garbage");
            return false;
        }
        if (length == 0 || client.have < static_cast<std::size_t>(length)) return true;
        client.lastMs = nowMs;
        if (!Handle(client, static_cast<std::size_t>(length))) {
            Drop(client, "error");
            return false;
        }
        client.have -= static_cast<std::size_t>(length);
        std::memmove(client.buffer, client.buffer + length, client.have);
    }
}

bool ModbusServer::Handle(Client& client, std::size_t length) {
    ModbusRequest request;
    const ModbusException decoded = DecodeRequest(client.buffer, length, &request);
    poller_.Outputs().Add(kRequests, FunctionLabel(request.function));
    if (decoded != ModbusException::None) return ReplyException(client, length, decoded);
    ModbusAnswer answer;
    {
        std::lock_guard lock(mapMutex_);
        answer = AnswerRequest(map_, CurrentStatus(), site::UnixMsNow(), request);
    }
    if (answer.exception != ModbusException::None)
        return ReplyException(client, length, answer.exception);
    if (answer.write) {
        auto write =
            std::make_shared<site::LineWrite>(answer.order.gateAddress, answer.order.values);
        poller_.Enqueue(answer.order.line, write);
        const site::WriteOutcome outcome = write->Wait(kWriteWaitMs);
        poller_.Outputs().Add(kWrites, OutcomeLabel(outcome));
        // The next read shows what the line has now.
        statusAtMs_ = -1;
        if (const ModbusException failed = ExceptionFor(outcome); failed != ModbusException::None)
            return ReplyException(client, length, failed);
    }
    return Reply(client, length, request, answer);
}

bool ModbusServer::Reply(Client& client, std::size_t length, const ModbusRequest& request,
                         const ModbusAnswer& answer) {
    // The registers asked for, as libmodbus reads (3, 4) or writes (16) a mapping: one that
    // holds exactly them.
    std::vector<std::uint16_t> registers = answer.registers;
    registers.resize(static_cast<std::size_t>(request.count));
    modbus_mapping_t mapping{};
    mapping.start_registers = request.address;
    mapping.nb_registers = request.count;
    mapping.tab_registers = registers.data();
    mapping.start_input_registers = request.address;
    mapping.nb_input_registers = request.count;
    mapping.tab_input_registers = registers.data();
    modbus_set_socket(context_, client.fd);
    // modbus_reply: the bytes sent, -1 with errno when the socket would not take them.
    return modbus_reply(context_, client.buffer, static_cast<int>(length), &mapping) >= 0;
}

bool ModbusServer::ReplyException(Client& client, std::size_t length, ModbusException exception) {
    poller_.Outputs().Add(kExceptions, std::to_string(static_cast<int>(exception)));
    static_cast<void>(length);
    modbus_set_socket(context_, client.fd);
    // modbus_reply_exception: the bytes sent, -1 with errno.
    return modbus_reply_exception(context_, client.buffer, static_cast<unsigned>(exception)) >= 0;
}

}  // namespace host::outputs
