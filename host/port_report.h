// The port list as a table, CSV or JSON lines: for each port the name to give the driver and
// whether it fits the host's record, with the system's details and aliases.
#pragma once

#include <cstdio>
#include <vector>

#include "output.h"
#include "port_list.h"

namespace host {

// Prints `ports` in `format` on `out`; the table closes with a hint when a name follows plug
// order.
void PrintPorts(const std::vector<SerialPortInfo>& ports, Format format, std::FILE* out);

}  // namespace host
