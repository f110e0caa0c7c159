// The manual page and the bash completion of a program, written from the same CLI11 objects its
// --help comes from, so that neither can name a command or an option the program does not have,
// or miss one it has. Each program adds two hidden flags that print them; the build installs
// what they print.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace host::manual {

// A section of the manual page that --help does not hold (EXIT STATUS, FILES, SEE ALSO...).
// `text`: paragraphs separated by blank lines; within one, a line that starts with a space is
// kept as it is (a table, an example), the others are filled.
struct ManualSection {
    std::string title;
    std::string text;
};

struct ManualFacts {
    std::string program;  // "vpihost"
    std::string version;  // "vpihost 7.0.0"
    // After the description of --help, before the options.
    std::string description;
    std::vector<ManualSection> sections;  // after the commands, in this order
};

// Writes the manual page (roff, man(7) macros) of `app`: NAME and the description from the
// program's, SYNOPSIS, OPTIONS as --help lists them, COMMANDS with one subsection per command
// (its description, usage, options, footer), then `facts.sections`. Hidden options and commands
// (an empty group) are left out, as --help leaves them out.
void WriteManualPage(const CLI::App& app, const ManualFacts& facts, std::ostream& out);

// Writes a bash completion script for `app`: its commands and options before a command, the
// command's own options after it, the choices of an option whose value type lists them
// ("TEXT:none|odd|even"), file names for any other option's value. Defines _PROGRAM and
// registers it with `complete -F`.
void WriteBashCompletion(const CLI::App& app, const std::string& program, std::ostream& out);

// Adds the hidden flags --manual-page and --bash-completion to `app`: each prints its text on
// stdout and ends the parse with CLI::Success (exit status 0), before any check of the command
// line, as --version does. `facts` must outlive the parse.
void AddManualFlags(CLI::App& app, const ManualFacts& facts);

}  // namespace host::manual
