// Starts metersim as a child process and waits for the line that says it is listening. Free
// of any test framework, so that the benchmarks start their simulated lines the same way.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace vpitest {

struct MeterSimChild {
    pid_t pid = -1;
    int stdoutFd = -1;      // the rest of its standard output; the caller closes it
    std::string firstLine;  // "metersim: listening on PATH\n" once it is ready
    int error = 0;          // why the pipe or the spawn failed; 0 when the child started
};

// `argv[0]` is the program. Standard error goes to `stderrPath` (empty: ours). Waits at most 10 s
// for the first line, which the simulator prints only when its line is ready.
inline MeterSimChild SpawnMeterSim(std::vector<std::string> argv,
                                   const std::string& stderrPath = "/dev/null") {
    MeterSimChild child;
    int out[2];
    if (pipe(out) != 0) {
        child.error = errno;
        return child;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (!stderrPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    child.error = posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), environ);
    if (child.error != 0) child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (child.error == 0 && child.firstLine.find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd entry{out[0], POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) continue;
        char chunk[256];
        const ssize_t got = read(out[0], chunk, sizeof chunk);
        if (got <= 0) break;
        child.firstLine.append(chunk, static_cast<std::size_t>(got));
    }
    child.stdoutFd = out[0];
    return child;
}

}  // namespace vpitest
