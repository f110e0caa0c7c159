// Setting up a command of vpihost: the options object CLI11 fills as it parses, the callback
// that runs the command on it, and tables of text options shown with their defaults.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "core/runtime.h"

namespace host::app {

// A command just added and the options it will run on, for the caller to add its options to.
template <typename Options>
struct CommandSetup {
    CLI::App& command;
    Options& options;
};

// Adds the subcommand `name` to `app` with a fresh `Options`; when the command is chosen,
// `run(runtime, options)` is called once parsing is done. The options live as long as the
// callback holding them, that is as long as `app`.
template <typename Options, typename Run>
CommandSetup<Options> AddCommand(CLI::App& app, core::Runtime& runtime, const std::string& name,
                                 const std::string& description, Run run) {
    auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(name, description);
    command->callback([&runtime, options, run] { run(runtime, *options); });
    return {*command, *options};
}

// A text option kept in a member of `Fields`, shown in --help with its default.
template <typename Fields>
struct TextOption {
    const char* name;
    std::string Fields::*field;
    const char* help;
};

// Adds every option of `table` to `command`, in the table's order.
template <typename Fields, std::size_t N>
void AddTextOptions(CLI::App& command, Fields& fields,
                    const std::array<TextOption<Fields>, N>& table) {
    for (const TextOption<Fields>& option : table) {
        command.add_option(option.name, fields.*(option.field), option.help)->capture_default_str();
    }
}

}  // namespace host::app
