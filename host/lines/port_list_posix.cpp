// The port list on Linux: /sys/class/tty entries with a device behind them, their driver and
// USB attributes from sysfs, and the /dev/serial/by-id and by-path links that point to them.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "lines/port_list.h"

namespace host::lines {

namespace {

namespace fs = std::filesystem;

// The first line of a sysfs attribute; empty when there is none.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A serial-core UART slot with no chip behind it reports type 0 (the kernel makes 4 or 32 of
// them for 8250 UARTs); USB adapters have no type.
bool Placeholder(const fs::path& entry) {
    return Attribute(entry / "type") == "0";
}

// The driver of the hardware behind `device`. Newer kernels put the serial core's own port
// and controller devices (bus serial-base) between the tty and the hardware: those are passed.
std::string DriverOf(fs::path device) {
    constexpr int kLevels = 4;
    std::error_code error;
    for (int i = 0; i < kLevels && !device.empty(); ++i, device = device.parent_path()) {
        const fs::path driver = fs::read_symlink(device / "driver", error);
        if (error) continue;
        if (driver.parent_path().parent_path().filename() != "serial-base") {
            return driver.filename().string();
        }
    }
    return {};
}

// The USB device (the directory with idVendor) at or above `device`, up to `top`.
void ReadUsb(fs::path device, const fs::path& top, SerialPortInfo* port) {
    std::error_code error;
    for (; !device.empty() && device != top && device != device.parent_path();
         device = device.parent_path()) {
        if (port->usbInterface.empty() && fs::exists(device / "bInterfaceNumber", error)) {
            port->usbInterface = Attribute(device / "bInterfaceNumber");
        }
        if (!fs::exists(device / "idVendor", error)) continue;
        port->usbVendor = Attribute(device / "idVendor");
        port->usbProduct = Attribute(device / "idProduct");
        port->manufacturer = Attribute(device / "manufacturer");
        port->product = Attribute(device / "product");
        port->serialNumber = Attribute(device / "serial");
        return;
    }
    port->usbInterface.clear();
}

// The links in `dir` (/dev/serial/by-id or by-path under the root) that name /dev/`name`, as
// the paths a user types (without the root).
std::vector<std::string> LinksTo(const fs::path& root, const char* dir, const std::string& name) {
    std::vector<std::string> links;
    const fs::path where = root / "dev/serial" / dir;
    std::error_code error;
    for (const fs::directory_entry& link : fs::directory_iterator(where, error)) {
        const fs::path target = fs::read_symlink(link.path(), error);
        if (error) continue;
        if ((where / target).lexically_normal().filename() == name) {
            links.push_back((fs::path("/dev/serial") / dir / link.path().filename()).string());
        }
    }
    std::sort(links.begin(), links.end());
    return links;
}

// One port's details, or false when the entry has no device behind it.
bool ReadPort(const fs::path& root, const fs::directory_entry& entry, bool all,
              SerialPortInfo* port) {
    std::error_code error;
    const fs::path device = fs::canonical(entry.path() / "device", error);
    if (error) return false;
    if (!all && Placeholder(entry.path())) return false;
    port->driver = DriverOf(device);
    port->name = entry.path().filename().string();
    port->device = "/dev/" + port->name;
    ReadUsb(device, fs::canonical(root / "sys", error), port);
    port->byId = LinksTo(root, "by-id", port->name);
    port->byPath = LinksTo(root, "by-path", port->name);
    return true;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const PortListSource& source) {
    const fs::path root = source.root.empty() ? fs::path("/") : fs::path(source.root);
    std::vector<SerialPortInfo> ports;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(root / "sys/class/tty", error)) {
        SerialPortInfo port;
        if (ReadPort(root, entry, source.all, &port)) ports.push_back(std::move(port));
    }
    SortPorts(ports);
    return ports;
}

std::string OpenPath(const SerialPortInfo& port, const PortListSource& source) {
    return source.root + port.device;
}

}  // namespace host::lines
