// Adding the command table's commands to the program.
#include "app/commands.h"

namespace host::app {

void AddCommands(CLI::App& app, core::Runtime& runtime) {
    for (const CommandEntry& entry : kCommands) entry.add(app, runtime);
}

}  // namespace host::app
