// The Modbus TCP face (Linux): one thread with poll() over the listening socket and every
// client, answers from the poller's status through the register map, writes handed to the
// line's own thread. A client costs a socket and a 260-byte buffer; one that sends nothing
// whole for the idle time-out, or bytes that are no Modbus TCP frame, is dropped and counted.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/non_copyable.h"
#include "outputs/modbus_map.h"
#include "outputs/modbus_registers.h"
#include "site/modbus_settings.h"
#include "site/site_poller.h"

typedef struct _modbus modbus_t;

namespace host::outputs {

// The status is copied at most this often: a copy takes each line's lock for a moment, and no
// value changes faster than the shortest gate interval (100 ms), so many clients reading at
// once cost the lines no more than one reader.
inline constexpr double kStatusCacheMs = 100;
// How long a write waits for its line: the read under way, then the driver's attempts.
inline constexpr double kWriteWaitMs = 5000;

class ModbusServer : core::NonCopyable {
public:
    ModbusServer(site::SitePoller& poller, const site::ModbusTcpSettings& settings, ModbusMap map);
    // Stops it if it runs.
    ~ModbusServer();

    // Binds and listens, before the thread starts: the port bound (the one chosen for 0), or -1
    // with `error` saying why.
    int Bind(std::string* error);

    // Serves on a thread of its own until Stop().
    void Start();

    // Closes every client and the listening socket, ends the thread.
    void Stop();

    // The map of a reloaded site file, for the requests from now on.
    void SetMap(ModbusMap map);

private:
    struct Client {
        int fd = -1;
        std::uint8_t buffer[kMaxFrameLength] = {};
        std::size_t have = 0;
        std::int64_t lastMs = 0;  // when it connected or last sent a whole request
    };

    void Run();
    void Accept(std::int64_t nowMs);
    // False when the client is to be dropped.
    bool Receive(Client& client, std::int64_t nowMs);
    bool Handle(Client& client, std::size_t length);
    bool Reply(Client& client, std::size_t length, const ModbusRequest& request,
               const ModbusAnswer& answer);
    bool ReplyException(Client& client, std::size_t length, ModbusException exception);
    void Drop(Client& client, const char* why);
    const site::SiteStatus& CurrentStatus();

    site::SitePoller& poller_;
    site::ModbusTcpSettings settings_;
    std::mutex mapMutex_;
    ModbusMap map_;
    modbus_t* context_ = nullptr;
    int listenFd_ = -1;
    std::vector<std::unique_ptr<Client>> clients_;
    site::SiteStatus status_;
    std::int64_t statusAtMs_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace host::outputs
