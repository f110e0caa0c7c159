// `vpihost ports`: lists the machine's serial ports with the name to give the driver and
// whether it fits the host's record; `--udev-rule NAME PORT` prints a rule that gives a USB
// adapter the stable short name NAME.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "command_setup.h"
#include "commands.h"
#include "line_options.h"
#include "output.h"
#include "port_list.h"
#include "port_report.h"
#include "udev_rule.h"

namespace host {

namespace {

struct PortsOptions {
    PortListSource source;
    std::vector<std::string> udevRule;  // NAME PORT
    Format format = Format::Table;
};

// Says on stderr why no rule came; the exit status it calls for.
ExitCode SayRuleProblem(UdevRuleProblem problem, const std::string& name, const std::string& port) {
    switch (problem) {
        case UdevRuleProblem::None:
            return kExitOk;
        case UdevRuleProblem::BadName:
            std::fprintf(stderr,
                         "vpihost: link name \"%s\" must be 1 to %zu letters, digits, _ - or . "
                         "(the driver's port name)\n",
                         name.c_str(), kMaxPortName);
            return kExitUsage;
        case UdevRuleProblem::NoSuchPort:
            std::fprintf(stderr, "vpihost: no serial port \"%s\" (see `vpihost ports`)\n",
                         port.c_str());
            return kExitFailed;
        case UdevRuleProblem::NotUsb:
            std::fprintf(stderr,
                         "vpihost: %s is no USB adapter; its name does not change on its own\n",
                         port.c_str());
            return kExitFailed;
        case UdevRuleProblem::NoSerial:
            std::fprintf(stderr,
                         "vpihost: %s reports no serial number to tell it by; its "
                         "/dev/serial/by-path link names the USB socket instead\n",
                         port.c_str());
            return kExitFailed;
    }
    return kExitFailed;
}

ExitCode PrintUdevRule(const std::vector<SerialPortInfo>& ports, const std::string& name,
                       const std::string& portText) {
    // A name typed without /dev/ is looked up there, as the driver does.
    const SerialPortInfo* port = FindPort(ports, portText);
    UdevRuleProblem problem =
        ValidLinkName(name) ? UdevRuleProblem::None : UdevRuleProblem::BadName;
    if (problem == UdevRuleProblem::None && port == nullptr) problem = UdevRuleProblem::NoSuchPort;
    std::string rule;
    if (problem == UdevRuleProblem::None) problem = MakeUdevRule(*port, name, &rule);
    if (problem != UdevRuleProblem::None) return SayRuleProblem(problem, name, portText);
    std::fputs(rule.c_str(), stdout);
    return kExitOk;
}

void RunPorts(Runtime& runtime, const PortsOptions& options) {
    const std::vector<SerialPortInfo> ports = ListSerialPorts(options.source);
    if (options.udevRule.size() == 2) {
        runtime.exit.Raise(PrintUdevRule(ports, options.udevRule[0], options.udevRule[1]));
        return;
    }
    if (ports.empty()) {
        std::fprintf(stderr, "vpihost: no serial ports found\n");
        runtime.exit.Raise(kExitFailed);
        return;
    }
    PrintPorts(ports, options.format, stdout);
}

}  // namespace

void AddPortsCommand(CLI::App& app, Runtime& runtime) {
    auto [command, options] = AddCommand<PortsOptions>(
        app, runtime, "ports",
        "List the serial ports: the name to give the driver, USB details, aliases", RunPorts);
    command.add_flag("--all", options.source.all,
                     "also ports with no hardware behind them (8250 UARTs of type 0)");
    command.add_option("--root", options.source.root,
                       "Linux: look for sys/ and dev/ under this directory (for tests)");
    command
        .add_option("--udev-rule", options.udevRule,
                    "NAME PORT: print a udev rule that links the USB adapter PORT as /dev/NAME")
        ->expected(2);
    AddFormatOptions(command, options.format);
}

}  // namespace host
