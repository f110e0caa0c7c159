// `vpihost serve` where no HTTP library is built (the Windows build): the command is listed,
// and says that it is a Linux command.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "app/commands.h"

namespace host::app {

void AddServeCommand(CLI::App& app, core::Runtime& runtime) {
    auto* command = app.add_subcommand("serve", "(Linux only) poll a site file and serve it");
    command->allow_extras();
    command->callback([&runtime] {
        std::fprintf(stderr,
                     "vpihost: serve is a Linux command; on this system use `vpihost poll "
                     "--config FILE`\n");
        runtime.exit.Raise(core::kExitUsage);
    });
}

}  // namespace host::app
