// Table, CSV and JSON-lines output of the port list.
#include "lines/port_report.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "core/channel_options.h"

namespace host::lines {

namespace {

bool Fits(const std::string& name) {
    return !name.empty() && name.size() <= core::kMaxPortName;
}

std::string UsbId(const SerialPortInfo& port) {
    return port.usbVendor.empty() ? "-" : port.usbVendor + ":" + port.usbProduct;
}

std::string Description(const SerialPortInfo& port) {
    std::string text = port.manufacturer;
    if (!port.product.empty()) text += (text.empty() ? "" : " ") + port.product;
    return text.empty() ? "-" : text;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
    return text;
}

void PrintTable(const std::vector<SerialPortInfo>& ports, std::FILE* out) {
    std::fprintf(out, "%-11s %-4s %-6s %-14s %-9s %-16s %s\n", "port", "fits", "use", "driver",
                 "usb", "serial", "description");
    for (const SerialPortInfo& port : ports) {
        std::fprintf(out, "%-11s %-4s %-6s %-14s %-9s %-16s %s\n", port.name.c_str(),
                     Fits(port.name) ? "yes" : "no", port.use.c_str(),
                     port.driver.empty() ? "-" : port.driver.c_str(), UsbId(port).c_str(),
                     port.serialNumber.empty() ? "-" : port.serialNumber.c_str(),
                     Description(port).c_str());
        if (!port.trouble.empty()) std::fprintf(out, "    %s\n", port.trouble.c_str());
        for (const auto* aliases : {&port.byId, &port.byPath}) {
            for (const std::string& alias : *aliases) {
                std::fprintf(out, "    %s%s\n", alias.c_str(),
                             Fits(alias) ? "" : "  (too long for the driver)");
            }
        }
    }
    const bool plugOrder = std::any_of(ports.begin(), ports.end(), [](const SerialPortInfo& p) {
        return NameFollowsPlugOrder(p.name);
    });
    if (plugOrder) {
        std::fprintf(out,
                     "ttyUSB and ttyACM numbers follow the order adapters were plugged in; "
                     "`vpihost ports --udev-rule NAME PORT` prints a rule that gives an adapter "
                     "a stable short name.\n");
    }
}

// The system's texts about a port that both the CSV and the JSON lines carry, in the CSV's
// column order; `quoted` where a text could hold a comma or a quote.
struct PortText {
    const char* key;
    std::string SerialPortInfo::*text;
    bool quoted;
};
constexpr auto kPortTexts = std::to_array<PortText>({
    {"device", &SerialPortInfo::device, true},
    {"driver", &SerialPortInfo::driver, false},
    {"vendor", &SerialPortInfo::usbVendor, false},
    {"product_id", &SerialPortInfo::usbProduct, false},
    {"manufacturer", &SerialPortInfo::manufacturer, true},
    {"product", &SerialPortInfo::product, true},
    {"serial", &SerialPortInfo::serialNumber, true},
});
static_assert(kPortTexts.size() == 7);

std::string Quoted(const std::string& text) {
    std::string escaped;
    for (char c : text) escaped += c == '"' ? std::string("\"\"") : std::string(1, c);
    return "\"" + escaped + "\"";
}

void PrintCsv(const std::vector<SerialPortInfo>& ports, std::FILE* out) {
    std::fprintf(out, "port,fits,use,trouble");
    for (const PortText& column : kPortTexts) std::fprintf(out, ",%s", column.key);
    std::fprintf(out, ",by_id,by_path\n");
    for (const SerialPortInfo& port : ports) {
        std::fprintf(out, "%s,%s,%s,%s", Quoted(port.name).c_str(), Fits(port.name) ? "yes" : "no",
                     port.use.c_str(), Quoted(port.trouble).c_str());
        for (const PortText& column : kPortTexts) {
            const std::string& text = port.*column.text;
            std::fprintf(out, ",%s", column.quoted ? Quoted(text).c_str() : text.c_str());
        }
        std::fprintf(out, ",%s,%s\n", Quoted(Joined(port.byId)).c_str(),
                     Quoted(Joined(port.byPath)).c_str());
    }
}

void PrintJson(const std::vector<SerialPortInfo>& ports, std::FILE* out) {
    for (const SerialPortInfo& port : ports) {
        nlohmann::json line{{"port", port.name},
                            {"fits", Fits(port.name)},
                            {"use", port.use},
                            {"trouble", port.trouble},
                            {"plug_order_name", NameFollowsPlugOrder(port.name)},
                            {"interface", port.usbInterface},
                            {"by_id", port.byId},
                            {"by_path", port.byPath}};
        for (const PortText& field : kPortTexts) line[field.key] = port.*field.text;
        std::fprintf(out, "%s\n",
                     line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
}

}  // namespace

void PrintPorts(const std::vector<SerialPortInfo>& ports, core::Format format, std::FILE* out) {
    switch (format) {
        case core::Format::Table:
            PrintTable(ports, out);
            break;
        case core::Format::Csv:
            PrintCsv(ports, out);
            break;
        case core::Format::Json:
            PrintJson(ports, out);
            break;
    }
}

}  // namespace host::lines
