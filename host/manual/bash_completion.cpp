// The bash completion script of a program, from its CLI11 objects.
#include <CLI/CLI.hpp>

#include "manual/manual.h"

namespace host::manual {

namespace {

std::vector<const CLI::Option*> Options(const CLI::App& app) {
    return app.get_options([](const CLI::Option* option) {
        return !option->get_group().empty() && option->nonpositional();
    });
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
    return app.get_subcommands(
        [](const CLI::App* command) { return !command->get_group().empty(); });
}

std::vector<std::string> OptionNames(const CLI::Option& option) {
    std::vector<std::string> names;
    for (const std::string& s : option.get_snames()) names.push_back("-" + s);
    for (const std::string& l : option.get_lnames()) names.push_back("--" + l);
    return names;
}

std::string Joined(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
    return text;
}

// What completes the value of `option`: the choices its value type lists after a colon
// ("TEXT:none|odd|even"), file names for a text (ports, site files, value files), nothing for
// a number.
std::string ValueCompletion(const CLI::Option& option) {
    const std::string type = option.get_type_name();
    const std::size_t colon = type.find(':');
    if (colon != std::string::npos && type.find('|', colon) != std::string::npos) {
        std::string choices = type.substr(colon + 1);
        for (char& c : choices) c = c == '|' ? ' ' : c;
        return "COMPREPLY=($(compgen -W \"" + choices + "\" -- \"$cur\"))";
    }
    if (type.rfind("TEXT", 0) == 0) {
        return "compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\"))";
    }
    return "COMPREPLY=()";
}

// The value cases of one command's options: "command:--option)"; the program's own are "*:" (they
// are taken after a command too).
void WriteValueCases(const CLI::App& app, const std::string& command, std::ostream& out) {
    for (const CLI::Option* option : Options(app)) {
        if (option->get_items_expected_max() == 0) continue;  // a flag
        std::vector<std::string> patterns;
        for (const std::string& name : OptionNames(*option))
            patterns.push_back(command + ":" + name);
        out << "        " << Joined(patterns, "|") << ")\n            " << ValueCompletion(*option)
            << "\n            return ;;\n";
    }
}

std::vector<std::string> Words(const CLI::App& app) {
    std::vector<std::string> words;
    for (const CLI::Option* option : Options(app)) {
        for (const std::string& name : OptionNames(*option)) words.push_back(name);
    }
    return words;
}

// What completes a command's arguments (not its options): "-f" for files when its first
// positional is a FILE or a PORT, the program's commands for a COMMAND, else nothing.
std::string ArgumentValues(const CLI::App& command, const std::vector<std::string>& commands) {
    const std::vector<const CLI::Option*> positionals =
        command.get_options([](const CLI::Option* option) { return option->get_positional(); });
    if (positionals.empty()) return "";
    const std::string name = positionals.front()->get_name(true);
    if (name == "FILE" || name == "PORT") return "-f";
    if (name == "COMMAND") return Joined(commands, " ");
    return "";
}

}  // namespace

void WriteBashCompletion(const CLI::App& app, const std::string& program, std::ostream& out) {
    const std::vector<const CLI::App*> commands = Commands(app);
    std::vector<std::string> commandNames;
    for (const CLI::App* command : commands) commandNames.push_back(command->get_name());
    std::string function = "_" + program;
    for (char& c : function) c = c == '-' ? '_' : c;

    out << "# bash completion for " << program << ", written by the program from its --help ("
        << program << " --bash-completion).\n";
    out << function << "() {\n";
    out << "    local cur=${COMP_WORDS[COMP_CWORD]} prev= command= i\n";
    out << "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}\n";
    if (!commands.empty()) {
        out << "    # The command: the first word that names one.\n";
        out << "    for ((i = 1; i < COMP_CWORD; i++)); do\n";
        out << "        case ${COMP_WORDS[i]} in\n";
        out << "        " << Joined(commandNames, "|")
            << ")\n            command=${COMP_WORDS[i]}\n            break ;;\n";
        out << "        esac\n    done\n";
    }
    out << "    # The value of an option that takes one.\n";
    out << "    case $command:$prev in\n";
    for (const CLI::App* command : commands) WriteValueCases(*command, command->get_name(), out);
    WriteValueCases(app, "*", out);
    out << "    esac\n";
    out << "    # The command's options, and what its arguments may be (-f: files).\n";
    out << "    local words values\n";
    out << "    case $command in\n";
    std::vector<std::string> top = Words(app);
    top.insert(top.end(), commandNames.begin(), commandNames.end());
    out << "    \"\") words=\"" << Joined(top, " ") << "\" ;;\n";
    for (const CLI::App* command : commands) {
        out << "    " << command->get_name() << ") words=\"" << Joined(Words(*command), " ")
            << "\"";
        const std::string values = ArgumentValues(*command, commandNames);
        if (!values.empty()) out << "; values=\"" << values << "\"";
        out << " ;;\n";
    }
    out << "    esac\n";
    out << "    if [[ $cur != -* ]]; then\n";
    out << "        case $values in\n";
    out << "        -f)\n";
    out << "            compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\"))\n";
    out << "            return ;;\n";
    out << "        ?*) words=$values ;;\n";
    out << "        esac\n";
    out << "    fi\n";
    out << "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n";
    out << "}\n";
    out << "complete -F " << function << " " << program << "\n";
}

}  // namespace host::manual
