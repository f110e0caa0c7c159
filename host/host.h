// The host tool's shared pieces: exit codes, the loaded driver and its log, and the
// registration function of each command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver_module.h"

namespace CLI {
class App;
}

namespace host {

enum ExitCode : int {
    kExitOk = 0,       // every gate done
    kExitRefused = 1,  // something was refused by the driver
    kExitFailed = 2,   // something failed: the port, the meter, or loading the driver
    kExitUsage = 64,   // the command line was wrong
};

// One line the driver logged through the host's logging library.
struct LogLine {
    int severity;
    std::string text;
};

// What every command works with.
struct Runtime {
    std::string modulePath;  // --module; empty: beside the program
    bool quietLog = false;   // --quiet: keep the driver's log lines off stderr
    int exitCode = kExitOk;
    DriverModule driver;

    // Loads the driver module (once); on failure says why on stderr and sets kExitFailed.
    bool LoadDriver();

    // The driver's log lines since the last TakeLog(), oldest first.
    std::vector<LogLine> TakeLog();
};

// Installs the logging library's sink: driver lines go to stderr with a time stamp and the
// severity, identical lines in a row collapsed, and are kept for TakeLog().
void InstallLogSink(Runtime& runtime);

// Lines for which `hide` says true are kept for TakeLog() but not shown on stderr (null: show all).
void SetLogFilter(bool (*hide)(int severity, const std::string& text));

// Raises the exit code to `code` if it is worse than the current one (usage > failed > refused).
void RaiseExit(Runtime& runtime, int code);

// Each command lives in a cmd_*.cpp file of its own and registers itself at start-up:
//   const bool kRegistered = RegisterCommand(10, AddInfoCommand);
// `order` sets where it appears in --help.
using CommandAdder = void (*)(CLI::App& app, Runtime& runtime);
bool RegisterCommand(int order, CommandAdder adder);

// Adds every registered command to `app`, in order.
void AddRegisteredCommands(CLI::App& app, Runtime& runtime);

}  // namespace host
