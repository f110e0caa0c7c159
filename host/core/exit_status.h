// vpihost's exit status: the codes, their ranking, and what a driver result calls for.
#pragma once

#include <cstdint>

namespace host::core {

enum ExitCode : int {
    kExitOk = 0,       // every gate done
    kExitRefused = 1,  // something was refused by the driver
    kExitFailed = 2,   // something failed: the port, the meter, or loading the driver
    kExitUsage = 64,   // the command line was wrong
    // A search stopped by Ctrl-C before its end (scan): what it printed is not the whole
    // answer. 128 + SIGINT, as shells report a command ended by Ctrl-C.
    kExitInterrupted = 130,
};

// The exit status a driver result calls for: done 0, refused 1, anything else 2.
ExitCode ExitFor(std::int32_t driverResult);

// The worst exit status seen so far (usage > interrupted > failed > refused > ok).
class ExitStatus {
public:
    // Keeps `code` if it is worse than the one kept.
    void Raise(ExitCode code);
    // Raises `code` and says whether it is kExitOk, for a command that stops on any other:
    //   if (!runtime.exit.Passed(LoadDriver(runtime))) return;
    [[nodiscard]] bool Passed(ExitCode code);
    ExitCode Code() const { return code_; }

private:
    ExitCode code_ = kExitOk;
};

}  // namespace host::core
