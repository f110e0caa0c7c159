// `vpihost hash-password` where serve is not built (the Windows build): the command is listed,
// and says that it belongs with serve, a Linux command.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "app/commands.h"

namespace host::app {

void AddHashPasswordCommand(CLI::App& app, core::Runtime& runtime) {
    auto* command =
        app.add_subcommand("hash-password", "(Linux only) print a bcrypt hash for serve");
    command->allow_extras();
    command->callback([&runtime] {
        std::fprintf(stderr,
                     "vpihost: hash-password makes passwords for serve, a Linux command; run it "
                     "on the machine that serves\n");
        runtime.exit.Raise(core::kExitUsage);
    });
}

}  // namespace host::app
