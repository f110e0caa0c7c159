// The port list on Windows: the system's device map of serial ports (SERIALCOMM: device name
// to COM name), with the friendly name and manufacturer of the Ports class device where the
// set-up API knows one.
#include <windows.h>
// The set-up API needs windows.h ahead of it.
#include <devguid.h>
#include <setupapi.h>

#include <map>

#include "lines/port_list.h"

namespace host::lines {

namespace {

// UTF-8 of a wide string; empty when it does not convert.
std::string Utf8(const wchar_t* text) {
    // WideCharToMultiByte: the bytes written (with the NUL for -1), 0 on failure.
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr) == 0) {
        return {};
    }
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

// A string property of a Ports class device; empty when it has none.
std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t text[256] = L"";
    // SetupDiGetDeviceRegistryPropertyW: non-zero on success.
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                          reinterpret_cast<BYTE*>(text), sizeof text - 2,
                                          nullptr) == 0) {
        return {};
    }
    return Utf8(text);
}

// The COM name a Ports class device has in its device key ("PortName"); empty when none.
std::string DevicePortName(HDEVINFO set, SP_DEVINFO_DATA& device) {
    // SetupDiOpenDevRegKey: a key, or INVALID_HANDLE_VALUE.
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t name[64] = L"";
    DWORD size = sizeof name - 2;
    DWORD type = 0;
    // RegQueryValueExW: ERROR_SUCCESS (0) on success.
    const LONG read =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && type == REG_SZ ? Utf8(name) : std::string();
}

// Friendly name and manufacturer by COM name, from the Ports class devices present.
std::map<std::string, std::pair<std::string, std::string>> FriendlyNames() {
    std::map<std::string, std::pair<std::string, std::string>> names;
    // SetupDiGetClassDevsW: a device set, or INVALID_HANDLE_VALUE.
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    // SetupDiEnumDeviceInfo: non-zero while there is a device at the index.
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device) != 0; ++i) {
        const std::string port = DevicePortName(set, device);
        if (port.empty()) continue;
        names[port] = {DeviceProperty(set, device, SPDRP_FRIENDLYNAME),
                       DeviceProperty(set, device, SPDRP_MFG)};
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

// The SERIALCOMM device map: one value per port, named for the device, holding the COM name.
std::vector<SerialPortInfo> DeviceMap() {
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    // RegOpenKeyExW: ERROR_SUCCESS (0) on success; the key is missing when there is no port.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t device[256] = L"";
        wchar_t name[64] = L"";
        DWORD deviceSize = 255;
        DWORD nameSize = sizeof name - 2;
        DWORD type = 0;
        // RegEnumValueW: ERROR_SUCCESS, ERROR_NO_MORE_ITEMS at the end, another code on failure.
        const LONG read = RegEnumValueW(key, i, device, &deviceSize, nullptr, &type,
                                        reinterpret_cast<BYTE*>(name), &nameSize);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS || type != REG_SZ) continue;
        SerialPortInfo port;
        port.name = Utf8(name);
        port.device = Utf8(device);
        if (!port.name.empty()) ports.push_back(std::move(port));
    }
    RegCloseKey(key);
    return ports;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts(const PortListSource&) {
    std::vector<SerialPortInfo> ports = DeviceMap();
    const auto friendly = FriendlyNames();
    for (SerialPortInfo& port : ports) {
        const auto found = friendly.find(port.name);
        if (found == friendly.end()) continue;
        port.product = found->second.first;
        port.manufacturer = found->second.second;
    }
    SortPorts(ports);
    return ports;
}

std::string OpenPath(const SerialPortInfo& port, const PortListSource&) {
    return port.name;
}

}  // namespace host::lines
