// Runs vpihost (or any program) as a child for the line tools' tests: to the end with its
// output in files, in the background until a signal, or on a pseudo-terminal as a person
// would see it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vpitest {

inline std::string TempPath(const std::string& stem) {
    static int counter = 0;
    return "/tmp/vpihost-lines-" + std::to_string(getpid()) + "-" + std::to_string(++counter) +
           "-" + stem;
}

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// A program started with its standard output and error in files of its own.
class Child {
public:
    explicit Child(std::vector<std::string> args) : out_(TempPath("out")), err_(TempPath("err")) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            static_cast<void>(Wait());
        }
        std::remove(out_.c_str());
        std::remove(err_.c_str());
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits (at most `seconds`) until its standard error or output holds `text`. True when
    // it came.
    bool WaitForErr(const std::string& text, int seconds = 20) const {
        return WaitFor(err_, text, seconds);
    }
    bool WaitForOut(const std::string& text, int seconds = 20) const {
        return WaitFor(out_, text, seconds);
    }
    // Waits (at most `seconds`) until its standard output holds `count` lines that are not
    // empty (the last one perhaps not ended yet). True when they came.
    bool WaitForOutLines(std::size_t count, int seconds = 20) const {
        return WaitUntil(
            out_, [count](const std::string& out) { return SplitLines(out).size() >= count; },
            seconds);
    }
    void Signal(int signal) const {
        if (pid_ > 0) kill(pid_, signal);
    }
    // Waits for it to end; its exit status and output (-1 when a signal ended it).
    Outcome Wait() {
        Outcome run;
        int status = 0;
        if (pid_ > 0) {
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        pid_ = -1;
        run.out = ReadWhole(out_);
        run.err = ReadWhole(err_);
        return run;
    }

private:
    static bool WaitFor(const std::string& file, const std::string& text, int seconds) {
        return WaitUntil(
            file, [&text](const std::string& got) { return got.find(text) != std::string::npos; },
            seconds);
    }
    // Reads `file` every 20 ms until `done` holds for what it holds, for at most `seconds`.
    template <typename Done>
    static bool WaitUntil(const std::string& file, Done done, int seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (done(ReadWhole(file))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    pid_t pid_ = -1;
    std::string out_;
    std::string err_;
};

// `args` run to the end.
inline Outcome RunToEnd(std::vector<std::string> args) {
    Child child(std::move(args));
    return child.Wait();
}

// `args` run on a pseudo-terminal (standard output and error both): everything it wrote
// there, and its exit status. A terminal that stays silent ends the read after 60 s.
inline Outcome RunOnTerminal(std::vector<std::string> args) {
    Outcome run;
    int master = -1;
    winsize size{};
    size.ws_col = 200;
    size.ws_row = 50;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    EXPECT_GT(pid, 0);
    if (pid <= 0) return run;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        pollfd entry{master, POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) continue;
        char buffer[512];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;  // EIO once the child has gone and its side is closed
        run.out.append(buffer, static_cast<std::size_t>(got));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace vpitest
