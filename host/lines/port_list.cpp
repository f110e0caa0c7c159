// What the port list says on every platform: the sort order and names that follow plug order.
#include <algorithm>
#include <array>
#include <cctype>

#include "lines/port_list.h"

#include "core/name_table.h"
#include "platform/port_diagnosis.h"

namespace host::lines {

namespace {

// "ttyUSB10" as ("ttyUSB", 10), so that numbers sort as numbers.
std::pair<std::string, long> SortKey(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])) != 0) {
        --digits;
    }
    const std::string tail = name.substr(digits);
    return {name.substr(0, digits), tail.empty() || tail.size() > 9 ? -1 : std::stol(tail)};
}

}  // namespace

void SortPorts(std::vector<SerialPortInfo>& ports) {
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return SortKey(a.name) < SortKey(b.name);
    });
}

void MarkUsable(std::vector<SerialPortInfo>& ports, const PortListSource& source) {
    // Indexed by PortTrouble: a missing node and a directory both mean nothing to open there.
    constexpr auto kUses =
        std::to_array<const char*>({"ok", "gone", "denied", "held", "other", "gone", "other"});
    static_assert(static_cast<int>(platform::PortTrouble::InUse) == 3 &&
                  static_cast<int>(platform::PortTrouble::NotSerial) == 4 &&
                  static_cast<int>(platform::PortTrouble::Other) == 6);
    for (SerialPortInfo& port : ports) {
        const platform::PortDiagnosis diagnosis = platform::InspectPort(OpenPath(port, source));
        port.trouble = diagnosis.reason;
        port.use = core::NameOf(kUses, diagnosis.trouble, "other");
    }
}

bool NameFollowsPlugOrder(const std::string& name) {
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

}  // namespace host::lines
