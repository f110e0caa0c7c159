// Diagnosing a port on Windows: CreateFileA says whether the name exists and whether someone
// else has it (Windows does not say who), GetCommState whether it is a serial port.
#include <windows.h>

#include "platform/port_diagnosis.h"

namespace host::platform {

namespace {

std::string SystemText(DWORD error) {
    char text[256] = {};
    // FormatMessageA: the length written, 0 when the system has no text.
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string said(text, length);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) {
        said.pop_back();
    }
    return said.empty() ? "system error " + std::to_string(error) : said;
}

}  // namespace

PortDiagnosis DiagnosePort(const std::string& port) {
    if (port.empty()) return {PortTrouble::NotFound, "no port named", 0};
    // COM10 and above (and any name) open through the device namespace.
    const std::string device = port.rfind("\\\\", 0) == 0 ? port : "\\\\.\\" + port;
    const DWORD attributes = GetFileAttributesA(port.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {PortTrouble::Directory, "is a directory", 0};
    }
    // CreateFileA: a handle, or INVALID_HANDLE_VALUE with GetLastError.
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        switch (error) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_BAD_PATHNAME:
            case ERROR_INVALID_NAME:
                return {PortTrouble::NotFound, "no such device", 0};
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                // Windows answers "access denied" for a COM port another program holds.
                return {PortTrouble::InUse, "in use by another program (or access denied)", 0};
            default:
                return {PortTrouble::Other, SystemText(error), 0};
        }
    }
    PortDiagnosis diagnosis;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    // GetCommState: non-zero on success.
    if (!GetCommState(handle, &settings)) {
        diagnosis = {PortTrouble::NotSerial, "not a serial device", 0};
    }
    CloseHandle(handle);
    return diagnosis;
}

PortDiagnosis InspectPort(const std::string& port) {
    return DiagnosePort(port);
}

}  // namespace host::platform
