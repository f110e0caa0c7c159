// Help on the commands: `vpihost help [COMMAND]`, and what to say when the command line names
// no command, or one that does not exist.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace host::app {

// The name of `names` nearest to `typed` (fewest letters to add, drop or change), if it is near
// enough to be a slip of the keyboard; empty otherwise.
std::string NearestName(const std::string& typed, const std::vector<std::string>& names);

// After a parse of `app` that failed without a command: says on stderr that no command was
// given, or that the first word is no command (with the nearest one), and returns true; false
// when a command was found (its own error stands).
bool SayMissingCommand(CLI::App& app);

}  // namespace host::app
