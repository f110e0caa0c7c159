// A udev rule that gives one USB serial adapter, by its serial number, a stable short link in
// /dev that the driver can open by its name.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lines/port_list.h"

namespace host::lines {

// Why no rule was made.
enum class UdevRuleProblem {
    None,
    BadName,     // the link name is empty, too long for the driver or has other characters
    NoSuchPort,  // no listed port has that name, device or alias
    NotUsb,      // the port is no USB device
    NoSerial,    // the adapter reports no serial number to tell it by
};

// The port of `ports` that `text` names: its name ("ttyUSB0"), its device ("/dev/ttyUSB0") or
// one of its /dev/serial aliases ("ttyUSB0" and "/dev/ttyUSB0" alike). Null when none does.
const SerialPortInfo* FindPort(const std::vector<SerialPortInfo>& ports, const std::string& text);

// True when `name` can be a link in /dev the driver opens: 1 to 11 letters, digits, "_",
// "-" or "." (not "." or ".." and not the null device's "NUL").
bool ValidLinkName(const std::string& name);

// The rule (with its comment lines) for `port` under `name`, or the problem.
UdevRuleProblem MakeUdevRule(const SerialPortInfo& port, const std::string& name,
                             std::string* rule);

}  // namespace host::lines
