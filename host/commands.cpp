// Adding the command table's commands to the program.
#include "commands.h"

namespace host {

void AddCommands(CLI::App& app, Runtime& runtime) {
    for (const CommandEntry& entry : kCommands) entry.add(app, runtime);
}

}  // namespace host
