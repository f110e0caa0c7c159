// `vpihost hash-password [--cost N]`: a bcrypt hash of a password for serve's web
// configuration file (basic_auth_users), so that a site needs no other tool to make one. The
// password is asked twice on the terminal, not echoed, or read as one line from stdin when
// stdin is no terminal (a script's pipe).
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/command_setup.h"
#include "app/commands.h"
#include "site/password_check.h"

namespace host::app {

namespace {

struct HashOptions {
    int cost = site::kDefaultBcryptCost;
};

// One line from stdin without its line end; false at the end of input.
bool ReadLine(std::string* line) {
    if (!std::getline(std::cin, *line)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

// Asks for a line on the terminal with echo off (restored before it returns); false at the end
// of input. Echo goes off before the prompt shows, so nothing typed after the prompt is echoed
// or thrown away. The prompt goes to stderr so that stdout holds the hash alone.
bool AskHidden(const char* prompt, std::string* line) {
    termios saved{};
    // tcgetattr: 0 on success; without it the line is read with echo as it is.
    const bool hide = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (hide) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        (void)tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    const bool got = ReadLine(line);
    if (hide) (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return got;
}

// The password: asked twice on a terminal, or one line of stdin. False, having said why.
bool ReadPassword(std::string* password) {
    if (isatty(STDIN_FILENO) == 0) {
        if (!ReadLine(password)) {
            std::fprintf(stderr, "vpihost: no password on stdin\n");
            return false;
        }
        return true;
    }
    std::string again;
    if (!AskHidden("Password: ", password) || !AskHidden("Again: ", &again)) {
        std::fprintf(stderr, "vpihost: no password given\n");
        return false;
    }
    if (*password != again) {
        std::fprintf(stderr, "vpihost: the two passwords differ; nothing hashed\n");
        return false;
    }
    return true;
}

void RunHashPassword(core::Runtime& runtime, const HashOptions& options) {
    if (options.cost < site::kMinBcryptCost || options.cost > site::kMaxBcryptCost) {
        std::fprintf(stderr, "vpihost: --cost takes %d to %d, not %d\n", site::kMinBcryptCost,
                     site::kMaxBcryptCost, options.cost);
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    std::string password;
    if (!ReadPassword(&password)) {
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    if (password.empty()) {
        std::fprintf(stderr, "vpihost: an empty password; nothing hashed\n");
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    std::string hash;
    std::string error;
    if (!site::HashPassword(password, options.cost, &hash, &error)) {
        std::fprintf(stderr, "vpihost: %s\n", error.c_str());
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    std::printf("%s\n", hash.c_str());
}

}  // namespace

void AddHashPasswordCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<HashOptions>(
        app, runtime, "hash-password",
        "Print a bcrypt hash of a password (asked twice, or one line of stdin) for "
        "basic_auth_users in serve's --web-config file",
        RunHashPassword);
    command
        .add_option("--cost", options.cost,
                    "bcrypt cost: 2^N rounds (" + std::to_string(site::kMinBcryptCost) + " to " +
                        std::to_string(site::kMaxBcryptCost) + ")")
        ->capture_default_str();
}

}  // namespace host::app
