// `vpihost help [COMMAND]` and the words for a command line without a known command.
#include "app/command_help.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "app/commands.h"

namespace host::app {

namespace {

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0u : 1u)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::vector<std::string> CommandNames(CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(command->get_name());
    return names;
}

void SayUnknown(CLI::App& app, const std::string& typed) {
    const std::string nearest = NearestName(typed, CommandNames(app));
    std::fprintf(stderr, "vpihost: unknown command \"%s\"", typed.c_str());
    if (!nearest.empty()) std::fprintf(stderr, "; did you mean \"%s\"?", nearest.c_str());
    std::fprintf(stderr, " (`vpihost help` lists the commands)\n");
}

}  // namespace

std::string NearestName(const std::string& typed, const std::vector<std::string>& names) {
    std::string best;
    std::size_t bestDistance = 0;
    for (const std::string& name : names) {
        const std::size_t distance = EditDistance(typed, name);
        if (best.empty() || distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    // Up to a third of the word wrong, and at least one slip, reads as a typing error; more is
    // another word.
    const std::size_t allowed = std::max<std::size_t>(1, typed.size() / 3);
    return bestDistance <= allowed ? best : std::string();
}

bool SayMissingCommand(CLI::App& app) {
    if (!app.get_subcommands().empty()) return false;
    for (const std::string& word : app.remaining()) {
        if (word.empty() || word[0] == '-') continue;
        SayUnknown(app, word);
        return true;
    }
    std::fprintf(stderr, "vpihost: no command given (`vpihost help` lists the commands)\n");
    return true;
}

void AddHelpCommand(CLI::App& app, core::Runtime& runtime) {
    auto topic = std::make_shared<std::string>();
    CLI::App* command =
        app.add_subcommand("help", "Describe vpihost's commands, or one command and its output");
    command->add_option("COMMAND", *topic, "the command to describe");
    command->callback([&app, &runtime, topic] {
        if (topic->empty()) {
            // app.help() would describe the command chosen, this one; the formatter describes
            // the program.
            std::cout << app.get_formatter()->make_help(&app, app.get_name(),
                                                        CLI::AppFormatMode::Normal);
            return;
        }
        CLI::App* described = nullptr;
        for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
            if (sub->get_name() == *topic) described = sub;
        if (described == nullptr || described->get_name() == "help") {
            SayUnknown(app, *topic);
            runtime.exit.Raise(core::kExitUsage);
            return;
        }
        std::cout << described->help(app.get_name());
    });
}

}  // namespace host::app
