// metersim as a child process: started, waited for until it says where it listens, stopped by
// its own process id, its link removed if it could not remove it itself. The one way vpihost
// demo, the tests and the benchmarks start a simulated line; free of any test framework.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

namespace host::platform {

// How a start went.
enum class SimStart : std::int32_t {
    Started = 0,      // it said "metersim: listening on PATH"
    NoPipe = 1,       // no pipe for its output (Error() says why)
    NotStarted = 2,   // the program did not start (Error() says why)
    Silent = 3,       // it started but said something else, or nothing within 10 s
    Unsupported = 4,  // this platform has no pseudo-terminals to simulate a line on
};

class MeterSimProcess {
public:
    MeterSimProcess() = default;
    MeterSimProcess(const MeterSimProcess&) = delete;
    MeterSimProcess& operator=(const MeterSimProcess&) = delete;
    // Stops it (SIGTERM) if it still runs.
    ~MeterSimProcess();

    // False where Start can only give Unsupported.
    static bool Supported();

    // Starts `argv` (argv[0] is the program) with its standard output on a pipe of ours and
    // its standard error to `stderrPath` (empty: ours), and waits at most 10 s for its first
    // line, which the simulator prints only once its line is ready.
    [[nodiscard]] SimStart Start(std::vector<std::string> argv, const std::string& stderrPath = "");

    // The system's error number of a start that gave NoPipe or NotStarted; 0 otherwise.
    int Error() const { return error_; }
    // What it said first (all that came while waiting); PATH of "listening on PATH".
    const std::string& FirstLine() const { return firstLine_; }
    const std::string& Listening() const { return listening_; }
    // Its process id; 0 or less when it does not run.
    long Pid() const { return pid_; }

    // Sends `signal` to it, waits for it to end and returns its exit status (-1 when it was
    // ended by a signal, or did not run). A --link it was given that is still a symbolic link
    // after an end by a signal (SIGKILL leaves it behind) is removed; a regular file there is
    // never touched.
    int Stop(int signal = SIGTERM);

    // Waits for it to end on its own; the exit status as Stop gives it.
    int Wait();

private:
    int Reap();

    long pid_ = -1;
    int out_ = -1;  // the read end of its standard output
    int error_ = 0;
    std::string link_;
    std::string firstLine_;
    std::string listening_;
};

}  // namespace host::platform
