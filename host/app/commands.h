// The command table: every command of vpihost, in the order --help lists them, each added by
// a function of its own cmd_*.cpp file.
#pragma once

#include <array>

#include "core/runtime.h"

namespace CLI {
class App;
}

namespace host::app {

// Adds one command (or a pair that shares its code) to `app`; its callback works on `runtime`.
using CommandAdder = void (*)(CLI::App& app, core::Runtime& runtime);

void AddInfoCommand(CLI::App& app, core::Runtime& runtime);
void AddOpenCommand(CLI::App& app, core::Runtime& runtime);
void AddParseCommands(CLI::App& app, core::Runtime& runtime);  // parse and check
void AddReadCommand(CLI::App& app, core::Runtime& runtime);
void AddWriteCommand(CLI::App& app, core::Runtime& runtime);
void AddPollCommand(CLI::App& app, core::Runtime& runtime);
void AddDemoCommand(CLI::App& app, core::Runtime& runtime);
void AddCheckConfigCommand(CLI::App& app, core::Runtime& runtime);
// On Linux it serves; where no HTTP library is built it says that serve is a Linux command.
void AddServeCommand(CLI::App& app, core::Runtime& runtime);
// serve's passwords; a Linux command as serve is.
void AddHashPasswordCommand(CLI::App& app, core::Runtime& runtime);
void AddModbusMapCommand(CLI::App& app, core::Runtime& runtime);
// The line tools: the serial and protocol layers directly, not the driver.
void AddScanCommand(CLI::App& app, core::Runtime& runtime);
void AddSniffCommand(CLI::App& app, core::Runtime& runtime);
void AddPortsCommand(CLI::App& app, core::Runtime& runtime);
// `help [COMMAND]`: the program's or one command's --help.
void AddHelpCommand(CLI::App& app, core::Runtime& runtime);

struct CommandEntry {
    const char* name;
    CommandAdder add;
};

inline constexpr auto kCommands = std::to_array<CommandEntry>({
    {"info", AddInfoCommand},
    {"open", AddOpenCommand},
    {"parse, check", AddParseCommands},
    {"read", AddReadCommand},
    {"write", AddWriteCommand},
    {"poll", AddPollCommand},
    {"demo", AddDemoCommand},
    {"check-config", AddCheckConfigCommand},
    {"serve", AddServeCommand},
    {"hash-password", AddHashPasswordCommand},
    {"modbus-map", AddModbusMapCommand},
    {"scan", AddScanCommand},
    {"sniff", AddSniffCommand},
    {"ports", AddPortsCommand},
    {"help", AddHelpCommand},
});
static_assert(kCommands.size() == 15);

// Adds every command of kCommands to `app`, in the table's order.
void AddCommands(CLI::App& app, core::Runtime& runtime);

}  // namespace host::app
