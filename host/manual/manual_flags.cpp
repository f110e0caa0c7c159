// The hidden flags through which a program prints its manual page and its bash completion.
#include <CLI/CLI.hpp>
#include <iostream>

#include "manual/manual.h"

namespace host::manual {

void AddManualFlags(CLI::App& app, const ManualFacts& facts) {
    // The group "" hides them from --help, and so from the page and the completion themselves:
    // they are for the build, which installs what they print.
    app.add_flag_callback("--manual-page",
                          [&app, &facts] {
                              WriteManualPage(app, facts, std::cout);
                              throw CLI::Success();
                          })
        ->group("")
        ->trigger_on_parse();
    app.add_flag_callback("--bash-completion",
                          [&app, &facts] {
                              WriteBashCompletion(app, facts.program, std::cout);
                              throw CLI::Success();
                          })
        ->group("")
        ->trigger_on_parse();
}

}  // namespace host::manual
