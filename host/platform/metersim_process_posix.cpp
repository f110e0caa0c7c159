// Starting and stopping metersim on POSIX: posix_spawn with its standard output on a pipe,
// poll for the first line, kill and waitpid by its own process id.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>

#include "platform/metersim_process.h"

extern char** environ;

namespace host::platform {

namespace {

constexpr std::string_view kListening = "metersim: listening on ";
constexpr auto kStartWait = std::chrono::seconds(10);

// The value given to --link in `argv`; empty when there is none.
std::string LinkOf(const std::vector<std::string>& argv) {
    for (std::size_t i = 1; i + 1 < argv.size(); ++i) {
        if (argv[i] == "--link") return argv[i + 1];
    }
    return {};
}

// What comes on `fd` until a whole line has come, the pipe ends or the wait is over.
std::string ReadFirstLine(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd waitFor{fd, POLLIN, 0};
        // poll: >0 ready, 0 time-out, -1 error (EINTR: try again).
        const int ready = left > 0 ? poll(&waitFor, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[256];
        // read: bytes read, 0 at end of file, -1 on error.
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        line.append(buffer, static_cast<std::size_t>(got));
    }
    return line;
}

// posix_spawn of `argv` with standard output to `out` and standard error to `stderrPath`.
// The error number, 0 when it started.
int Spawn(std::vector<std::string>& argv, int out, const std::string& stderrPath, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out);
    if (!stderrPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    // posix_spawn: 0 on success, else the error number.
    const int spawned = posix_spawn(pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned;
}

}  // namespace

MeterSimProcess::~MeterSimProcess() {
    static_cast<void>(Stop(SIGTERM));
}

bool MeterSimProcess::Supported() {
    return true;
}

SimStart MeterSimProcess::Start(std::vector<std::string> argv, const std::string& stderrPath) {
    link_ = LinkOf(argv);
    int out[2];
    // pipe2: 0 on success, -1 with errno. Close-on-exec, so that no other child keeps it open.
    if (pipe2(out, O_CLOEXEC) != 0) {
        error_ = errno;
        return SimStart::NoPipe;
    }
    pid_t pid = -1;
    error_ = argv.empty() ? EINVAL : Spawn(argv, out[1], stderrPath, &pid);
    close(out[1]);
    if (error_ != 0) {
        close(out[0]);
        return SimStart::NotStarted;
    }
    pid_ = pid;
    out_ = out[0];
    firstLine_ = ReadFirstLine(out_);
    if (firstLine_.rfind(kListening, 0) != 0) return SimStart::Silent;
    listening_ = firstLine_.substr(kListening.size(), firstLine_.find('\n') - kListening.size());
    return SimStart::Started;
}

int MeterSimProcess::Stop(int signal) {
    // kill: 0 on success, -1 when there is no such process (it has ended already).
    if (pid_ > 0) static_cast<void>(kill(static_cast<pid_t>(pid_), signal));
    return Reap();
}

int MeterSimProcess::Wait() {
    return Reap();
}

int MeterSimProcess::Reap() {
    int exitStatus = -1;
    if (pid_ > 0) {
        int status = 0;
        // waitpid: the child's id once it has ended, -1 on error (EINTR: wait again).
        while (waitpid(static_cast<pid_t>(pid_), &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        struct stat info {};
        // lstat: 0 when something is there. Only a link it made and could not remove goes.
        if (!WIFEXITED(status) && !link_.empty() && lstat(link_.c_str(), &info) == 0 &&
            S_ISLNK(info.st_mode)) {
            static_cast<void>(unlink(link_.c_str()));
        }
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
    return exitStatus;
}

}  // namespace host::platform
