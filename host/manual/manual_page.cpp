// The manual page of a program, in roff with the man(7) macros, from its CLI11 objects.
#include <CLI/CLI.hpp>
#include <sstream>

#include "manual/manual.h"

namespace host::manual {

namespace {

// Text as roff prints it: a backslash is \e, and a line that would begin with a control
// character (. or ') begins with the zero-width \& instead.
std::string Plain(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
        lineStart = c == '\n';
    }
    return out;
}

// A name typed as it is (an option, a command): bold, its hyphens minus signs, so that what is
// copied from the page works on the command line.
std::string Literal(const std::string& name) {
    std::string out = "\\fB";
    for (const char c : name) out += c == '-' ? std::string("\\-") : Plain(std::string(1, c));
    return out + "\\fR";
}

std::string Argument(const std::string& name) {
    return "\\fI" + Plain(name) + "\\fR";
}

// A flag expects no value.
bool TakesValue(const CLI::Option& option) {
    return option.get_items_expected_max() > 0;
}

std::string Names(const CLI::Option& option) {
    std::string names;
    for (const std::string& s : option.get_snames()) {
        names += (names.empty() ? "" : ", ") + Literal("-" + s);
    }
    for (const std::string& l : option.get_lnames()) {
        names += (names.empty() ? "" : ", ") + Literal("--" + l);
    }
    return names;
}

std::vector<const CLI::Option*> Visible(const CLI::App& app, bool positional) {
    return app.get_options([positional](const CLI::Option* option) {
        return !option->get_group().empty() && option->nonpositional() != positional;
    });
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
    return app.get_subcommands(
        [](const CLI::App* command) { return !command->get_group().empty(); });
}

// One option as a tagged paragraph: its names and value, then its help and what --help adds
// to it (the default, REQUIRED, repeatable).
void WriteOption(const CLI::Option& option, std::ostream& out) {
    out << ".TP\n";
    if (option.nonpositional()) {
        out << Names(option);
        if (TakesValue(option)) out << " " << Argument(option.get_type_name());
    } else {
        out << Argument(option.get_name(true));
    }
    out << "\n" << Plain(option.get_description());
    std::vector<std::string> notes;
    if (!option.get_default_str().empty()) notes.push_back("default: " + option.get_default_str());
    if (option.get_required()) notes.push_back("required");
    if (TakesValue(option) && option.get_expected_max() == CLI::detail::expected_max_vector_size)
        notes.push_back(option.nonpositional() ? "may be given more than once" : "one or more");
    if (!notes.empty()) {
        std::string joined;
        for (const std::string& note : notes) joined += (joined.empty() ? "" : "; ") + note;
        out << " (" << Plain(joined) << ")";
    }
    out << "\n";
}

// Paragraphs of `text`: filled lines, and lines indented with a space kept as they are.
void WriteText(const std::string& text, std::ostream& out) {
    std::istringstream lines(text);
    std::string line;
    bool kept = false;
    bool paragraph = false;
    while (std::getline(lines, line)) {
        const bool indented = !line.empty() && line[0] == ' ';
        if (indented != kept) {
            out << (indented ? ".PP\n.nf\n" : ".fi\n");
            kept = indented;
        }
        if (line.empty()) {
            paragraph = false;
            continue;
        }
        if (!indented && !paragraph) out << ".PP\n";
        paragraph = !indented;
        out << Plain(line) << "\n";
    }
    if (kept) out << ".fi\n";
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "vpihost - does this" or "metersim: does that": the part after the program's name.
std::string Summary(const std::string& description, const std::string& program) {
    for (const char* separator : {" - ", ": "}) {
        if (description.rfind(program + separator, 0) == 0) {
            return description.substr(program.size() + std::string(separator).size());
        }
    }
    return description;
}

std::string Usage(const CLI::App& command, const std::string& program) {
    std::string usage = Literal(program);
    if (!command.get_name().empty()) usage += " " + Literal(command.get_name());
    if (!Visible(command, false).empty()) usage += " [\\fIOPTIONS\\fR]";
    for (const CLI::Option* positional : Visible(command, true)) {
        const bool many = positional->get_expected_max() > 1;
        const std::string name = Argument(positional->get_name(true)) + (many ? "..." : "");
        usage += " " + (positional->get_required() ? name : "[" + name + "]");
    }
    return usage;
}

}  // namespace

void WriteManualPage(const CLI::App& app, const ManualFacts& facts, std::ostream& out) {
    const std::string& program = facts.program;
    out << ".\\\" The manual page of " << program << ", written by the program from its --help ("
        << program << " --manual-page).\n";
    out << ".TH " << Upper(program) << " 1 \"\" \"" << Plain(facts.version)
        << "\" \"User Commands\"\n";
    out << ".SH NAME\n"
        << program << " \\- " << Plain(Summary(app.get_description(), program)) << "\n";
    out << ".SH SYNOPSIS\n";
    const std::vector<const CLI::App*> commands = Commands(app);
    if (commands.empty()) {
        out << Usage(app, program) << "\n";
    } else {
        out << Literal(program) << " [\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fICOMMAND OPTIONS\\fR]\n";
    }
    out << ".SH DESCRIPTION\n";
    WriteText(facts.description, out);
    out << ".SH OPTIONS\n";
    for (const CLI::Option* option : Visible(app, false)) WriteOption(*option, out);
    for (const CLI::Option* option : Visible(app, true)) WriteOption(*option, out);
    if (!app.get_footer().empty()) WriteText(app.get_footer(), out);
    if (!commands.empty()) {
        out << ".SH COMMANDS\n";
        for (const CLI::App* command : commands) {
            out << ".SS " << command->get_name() << "\n";
            out << Usage(*command, program) << "\n";
            out << ".PP\n" << Plain(command->get_description()) << "\n";
            for (const CLI::Option* option : Visible(*command, false)) WriteOption(*option, out);
            for (const CLI::Option* option : Visible(*command, true)) WriteOption(*option, out);
            if (!command->get_footer().empty()) WriteText(command->get_footer(), out);
        }
    }
    for (const ManualSection& section : facts.sections) {
        out << ".SH " << Upper(section.title) << "\n";
        WriteText(section.text, out);
    }
}

}  // namespace host::manual
