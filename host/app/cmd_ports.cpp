// `vpihost ports`: lists the machine's serial ports with the name to give the driver and
// whether it fits the host's record; `--udev-rule NAME PORT` prints a rule that gives a USB
// adapter the stable short name NAME.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/channel_options.h"
#include "core/output.h"
#include "lines/port_list.h"
#include "lines/port_report.h"
#include "lines/udev_rule.h"

namespace host::app {

namespace {

struct PortsOptions {
    lines::PortListSource source;
    std::vector<std::string> udevRule;  // NAME PORT
    core::Format format = core::Format::Table;
};

// Says on stderr why no rule came; the exit status it calls for.
core::ExitCode SayRuleProblem(lines::UdevRuleProblem problem, const std::string& name,
                              const std::string& port) {
    switch (problem) {
        case lines::UdevRuleProblem::None:
            return core::kExitOk;
        case lines::UdevRuleProblem::BadName:
            std::fprintf(stderr,
                         "vpihost: link name \"%s\" must be 1 to %zu letters, digits, _ - or . "
                         "(the driver's port name)\n",
                         name.c_str(), core::kMaxPortName);
            return core::kExitUsage;
        case lines::UdevRuleProblem::NoSuchPort:
            std::fprintf(stderr, "vpihost: no serial port \"%s\" (see `vpihost ports`)\n",
                         port.c_str());
            return core::kExitFailed;
        case lines::UdevRuleProblem::NotUsb:
            std::fprintf(stderr,
                         "vpihost: %s is no USB adapter; its name does not change on its own\n",
                         port.c_str());
            return core::kExitFailed;
        case lines::UdevRuleProblem::NoSerial:
            std::fprintf(stderr,
                         "vpihost: %s reports no serial number to tell it by; its "
                         "/dev/serial/by-path link names the USB socket instead\n",
                         port.c_str());
            return core::kExitFailed;
    }
    return core::kExitFailed;
}

core::ExitCode PrintUdevRule(const std::vector<lines::SerialPortInfo>& ports,
                             const std::string& name, const std::string& portText) {
    // A name typed without /dev/ is looked up there, as the driver does.
    const lines::SerialPortInfo* port = lines::FindPort(ports, portText);
    lines::UdevRuleProblem problem =
        lines::ValidLinkName(name) ? lines::UdevRuleProblem::None : lines::UdevRuleProblem::BadName;
    if (problem == lines::UdevRuleProblem::None && port == nullptr)
        problem = lines::UdevRuleProblem::NoSuchPort;
    std::string rule;
    if (problem == lines::UdevRuleProblem::None) problem = lines::MakeUdevRule(*port, name, &rule);
    if (problem != lines::UdevRuleProblem::None) return SayRuleProblem(problem, name, portText);
    std::fputs(rule.c_str(), stdout);
    return core::kExitOk;
}

void RunPorts(core::Runtime& runtime, const PortsOptions& options) {
    std::vector<lines::SerialPortInfo> ports = lines::ListSerialPorts(options.source);
    if (options.udevRule.size() == 2) {
        runtime.exit.Raise(PrintUdevRule(ports, options.udevRule[0], options.udevRule[1]));
        return;
    }
    if (ports.empty()) {
        std::fprintf(stderr, "vpihost: no serial ports found\n");
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    lines::MarkUsable(ports, options.source);
    lines::PrintPorts(ports, options.format, stdout);
}

}  // namespace

void AddPortsCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<PortsOptions>(
        app, runtime, "ports",
        "List the serial ports: the name to give the driver, whether it fits the driver, whether "
        "this user can open it now (ok, held by another process, denied, gone), USB details and "
        "aliases",
        RunPorts);
    command.add_flag("--all", options.source.all,
                     "also ports with no hardware behind them (8250 UARTs of type 0)");
    command.add_option("--root", options.source.root,
                       "Linux: look for sys/ and dev/ under this directory (for tests)");
    command
        .add_option("--udev-rule", options.udevRule,
                    "NAME PORT: print a udev rule that links the USB adapter PORT as /dev/NAME")
        ->expected(2);
    core::AddFormatOptions(command, options.format);
}

}  // namespace host::app
