// The udev rule text for a stable adapter name.
#include "lines/udev_rule.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "core/channel_options.h"

namespace host::lines {

namespace {

bool LinkCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '.';
}

// udev compares attribute values as glob patterns: *, ? and [ would match other adapters.
bool PlainValue(const std::string& value) {
    return !value.empty() && value.find_first_of("*?[]\"\\|") == std::string::npos;
}

}  // namespace

const SerialPortInfo* FindPort(const std::vector<SerialPortInfo>& ports, const std::string& text) {
    const std::string device = text.find('/') == std::string::npos ? "/dev/" + text : text;
    for (const SerialPortInfo& port : ports) {
        const bool alias =
            std::find(port.byId.begin(), port.byId.end(), text) != port.byId.end() ||
            std::find(port.byPath.begin(), port.byPath.end(), text) != port.byPath.end();
        if (text == port.name || device == port.device || alias) return &port;
    }
    return nullptr;
}

bool ValidLinkName(const std::string& name) {
    if (name.empty() || name.size() > core::kMaxPortName || name == "." || name == "..")
        return false;
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper != "NUL" && std::all_of(name.begin(), name.end(), LinkCharacter);
}

UdevRuleProblem MakeUdevRule(const SerialPortInfo& port, const std::string& name,
                             std::string* rule) {
    if (!ValidLinkName(name)) return UdevRuleProblem::BadName;
    if (port.usbVendor.empty() || port.usbProduct.empty()) return UdevRuleProblem::NotUsb;
    if (!PlainValue(port.serialNumber)) return UdevRuleProblem::NoSerial;
    // One adapter may carry several ports (one USB interface each), all with one serial
    // number: the interface number tells them apart. usb_id sets it for every USB tty before
    // rules numbered above 60 run.
    const std::string interface =
        port.usbInterface.empty()
            ? std::string()
            : fmt::format(", ENV{{ID_USB_INTERFACE_NUM}}==\"{}\"", port.usbInterface);
    *rule = fmt::format(
        "# {} (now {}): the link /dev/{}, which the driver opens as \"{}\".\n"
        "# Save as /etc/udev/rules.d/99-vpihost-{}.rules, then run:\n"
        "#   udevadm control --reload && udevadm trigger --subsystem-match=tty\n"
        "SUBSYSTEM==\"tty\", ATTRS{{idVendor}}==\"{}\", ATTRS{{idProduct}}==\"{}\", "
        "ATTRS{{serial}}==\"{}\"{}, SYMLINK+=\"{}\"\n",
        port.product.empty() ? "USB serial adapter" : port.product, port.device, name, name, name,
        port.usbVendor, port.usbProduct, port.serialNumber, interface, name);
    return UdevRuleProblem::None;
}

}  // namespace host::lines
