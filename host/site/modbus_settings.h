// The Modbus TCP face's settings as a site file gives them in [modbus_tcp]; off unless given.
#pragma once

#include <string>

namespace host::site {

// 502 needs privileges; the face listens on 1502 unless told, and on loopback only, so that
// nothing reaches the meters' values from another machine until the site file says so.
inline constexpr int kModbusDefaultPort = 1502;
inline constexpr const char* kModbusDefaultHost = "127.0.0.1";
// The unit ids a Modbus TCP gateway may give its targets: 0 is broadcast, 248 to 255 reserved.
inline constexpr int kModbusFirstUnit = 1;
inline constexpr int kModbusLastUnit = 247;

struct ModbusTcpSettings {
    bool enabled = false;  // the site file has [modbus_tcp]
    std::string host = kModbusDefaultHost;
    int port = kModbusDefaultPort;  // 0: any free port (tests)
    bool swappedWords = false;      // a float's low word first ("swapped"); high word first else
    double idleTimeoutMs = 10000;   // a client that sends nothing complete for this long is dropped
    int maxClients = 32;
    int sourceLine = 0;
};

}  // namespace host::site
