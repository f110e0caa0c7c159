// The port list as a table, CSV or JSON lines: for each port the name to give the driver and
// whether it fits the host's record, with the system's details and aliases.
#pragma once

#include <cstdio>
#include <vector>

#include "core/output.h"
#include "lines/port_list.h"

namespace host::lines {

// Prints `ports` in `format` on `out`; the table closes with a hint when a name follows plug
// order.
void PrintPorts(const std::vector<SerialPortInfo>& ports, core::Format format, std::FILE* out);

}  // namespace host::lines
