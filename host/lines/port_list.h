// The serial ports of this machine, as the system lists them: on Linux from sysfs with their
// /dev/serial aliases and USB details, on Windows from the device map of serial ports. One
// back-end file per platform (port_list_posix.cpp, port_list_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace host::lines {

struct SerialPortInfo {
    std::string name;                 // the name to give the driver: "ttyUSB0", "COM3"
    std::string device;               // the system's name: "/dev/ttyUSB0", "\Device\Serial0"
    std::vector<std::string> byId;    // /dev/serial/by-id links to it
    std::vector<std::string> byPath;  // /dev/serial/by-path links to it
    std::string driver;               // the kernel driver ("ftdi_sio", "serial8250")
    std::string usbVendor;            // four hex digits, empty when it is no USB device
    std::string usbProduct;
    std::string manufacturer;
    std::string product;  // the USB product string, or Windows' friendly name
    std::string serialNumber;
    std::string usbInterface;  // the USB interface number ("00"), when known
    // What keeps this user from opening it ("in use by process 4711 (minicom)", "permission
    // denied (...)"); empty when nothing does. Filled by MarkUsable.
    std::string trouble;
    // "ok", "held", "denied", "gone" or "other": the trouble in one word, for the table.
    std::string use = "ok";
};

// Where the port list looks.
struct PortListSource {
    // Linux: the directory that holds sys/ and dev/ ("" is the machine's own "/"); tests point
    // it at a fake tree. Windows: unused.
    std::string root;
    // Also the ports with no hardware behind them (Linux: 8250 UARTs of type 0).
    bool all = false;
};

// The ports, sorted by name (ttyS2 before ttyS10). Empty when there are none or the
// system's list cannot be read.
std::vector<SerialPortInfo> ListSerialPorts(const PortListSource& source);

// Looks at each port without opening it where the system allows (opening resets some
// devices) and fills in `trouble` and `use`.
void MarkUsable(std::vector<SerialPortInfo>& ports, const PortListSource& source);

// The name the system opens the port by: the device under the source's root on Linux, the COM
// name on Windows.
std::string OpenPath(const SerialPortInfo& port, const PortListSource& source);

// Sorts by name, numbers as numbers (used by both back-ends).
void SortPorts(std::vector<SerialPortInfo>& ports);

// True when the name follows the order adapters were plugged in (ttyUSBn, ttyACMn), so that
// a host configured with it may open another adapter after a replug.
bool NameFollowsPlugOrder(const std::string& name);

}  // namespace host::lines
