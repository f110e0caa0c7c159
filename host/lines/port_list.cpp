// What the port list says on every platform: the sort order and names that follow plug order.
#include <algorithm>
#include <cctype>

#include "lines/port_list.h"

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

bool NameFollowsPlugOrder(const std::string& name) {
    return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

}  // namespace host::lines
