// `vpihost demo`: the whole road in a few seconds without a meter. Starts metersim (beside
// vpihost) on a pseudo-terminal with two meters, reads a gate of every family through the
// driver, writes a command gate and an EX register, reads the register back, and stops it.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gates.h"
#include "host.h"
#include "output.h"

#if !defined(_WIN32)
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;
#endif

namespace host {

namespace {

struct DemoOptions {
    std::string metersim;  // empty: beside vpihost
    std::int64_t timeoutMs = 200;
    float exValue = 4242;
};

#if !defined(_WIN32)

// The pseudo-terminal cannot switch RTS, so every exchange logs two RTS lines: kept off the
// screen here and counted.
bool HideRts(int, const std::string& text) {
    return ClassifyLine(text) == LineClass::Rts;
}

// metersim as a child process, stopped with SIGTERM when this goes away.
class Simulator {
public:
    ~Simulator() { Stop(); }

    // Starts it and waits for its first line; false with the reason on stderr.
    bool Start(const std::string& program, const std::vector<std::string>& arguments) {
        int out[2];
        if (pipe(out) != 0) {
            std::perror("vpihost: pipe");
            return false;
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        // posix_spawn: 0 on success, else the error number.
        const int spawned =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            std::fprintf(stderr, "vpihost: cannot start %s: %s\n", program.c_str(),
                         std::strerror(spawned));
            close(out[0]);
            pid_ = -1;
            return false;
        }
        out_ = out[0];
        // Its first line says where it listens; the line is usable from then on.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd waitFor{out_, POLLIN, 0};
            // poll: >0 ready, 0 time-out, -1 error (EINTR: try again).
            const int ready = left > 0 ? poll(&waitFor, 1, static_cast<int>(left)) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            char buffer[256];
            // read: bytes read, 0 at end of file, -1 on error.
            const ssize_t got = read(out_, buffer, sizeof buffer);
            if (got <= 0) break;
            line.append(buffer, static_cast<std::size_t>(got));
        }
        const std::string prefix = "metersim: listening on ";
        if (line.rfind(prefix, 0) != 0) {
            std::fprintf(stderr, "vpihost: metersim did not start (it said \"%s\")\n",
                         line.c_str());
            return false;
        }
        listening_ = line.substr(prefix.size(), line.find('\n') - prefix.size());
        return true;
    }

    const std::string& Listening() const { return listening_; }

    // SIGTERM and wait; false if it did not end cleanly.
    bool Stop() {
        if (pid_ <= 0) return true;
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (out_ >= 0) close(out_);
        out_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string listening_;
};

std::string BesideProgram(const std::string& name) {
    const std::string module = DriverModule::DefaultPath();
    return module.substr(0, module.find_last_of('/') + 1) + name;
}

void RunDemo(Runtime& runtime, const DemoOptions& options) {
    if (!runtime.LoadDriver()) return;
    const std::string program =
        options.metersim.empty() ? BesideProgram("metersim") : options.metersim;
    // The driver takes port names of at most 11 characters: "/tmp/vd" and four digits.
    const std::string link = fmt::format("/tmp/vd{:04d}", static_cast<int>(getpid() % 10000));
    Simulator sim;
    if (!sim.Start(program, {"--meter", "01", "--meter", "07", "--seed", "1", "--link", link})) {
        RaiseExit(runtime, kExitFailed);
        return;
    }
    std::printf("metersim          meters 01 and 07 on %s (%s)\n", sim.Listening().c_str(),
                link.c_str());

    SetLogFilter(HideRts);
    int rtsLines = 0;
    LineOptions line;
    line.port = link;
    line.timeoutMs = options.timeoutMs;
    {
        Channel channel;
        if (!channel.Open(runtime, line, stdout)) {
            SetLogFilter(nullptr);
            return;
        }
        rtsLines += Tally(runtime.TakeLog()).rts;

        // One gate of every family from meter 01, the plain block of meter 07, and the live
        // EX registers (group 0: voltages, currents, power, frequency).
        const char* const gateTexts[] = {"0101",    "0101H1",   "01TR11",   "01TK11",     "01TY11",
                                     "01TD011", "01TC0011", "01TC1011", "01EX0001:4", "0701"};
        std::vector<Gate> gates;
        for (const char* gateText : gateTexts) {
            if (auto gate = PrepareReadGate(runtime, gateText)) gates.push_back(std::move(*gate));
        }
        std::printf("\n");
        ReadingPrinter printer(Format::Table);
        for (Gate& gate : gates) {
            LogTally tally;
            const Reading reading = ReadGate(runtime, channel, gate, false, &tally);
            rtsLines += tally.rts;
            printer.Print(reading);
            if (reading.result == VpiRefused) RaiseExit(runtime, kExitRefused);
            if (reading.result == VpiFailed) RaiseExit(runtime, kExitFailed);
        }

        // Writes: the command gate (1 clears the demand maxima) and one EX register of group 10.
        std::printf("\n");
        auto write = [&](const std::string& address, float value) {
            auto gate = PrepareWriteGate(runtime, address, 1);
            if (!gate) return false;
            gate->values[0] = value;
            GateIoRecord record = gate->Record();
            const std::int32_t result =
                runtime.driver.Call(VpiOperation::Write, channel.State(), &record);
            rtsLines += Tally(runtime.TakeLog()).rts;
            std::printf("write %-11s %s: %s\n", address.c_str(), FormatValue(value).c_str(),
                        result == VpiDone ? "acknowledged" : ResultName(result));
            if (result != VpiDone)
                RaiseExit(runtime, result == VpiRefused ? kExitRefused : kExitFailed);
            return result == VpiDone;
        };
        static_cast<void>(write("0100", 1.0f));
        if (write("01EX1001", options.exValue)) {
            // Read back with the single-exchange EX read.
            if (auto gate = PrepareReadGate(runtime, "01EX1001:1")) {
                LogTally tally;
                const Reading back = ReadGate(runtime, channel, *gate, true, &tally);
                rtsLines += tally.rts;
                const bool same = back.result == VpiDone && back.values[0] == options.exValue;
                std::printf("read  01EX1001    %s (EX read, operation 5): %s\n",
                            back.result == VpiDone ? FormatValue(back.values[0]).c_str()
                                                   : ResultName(back.result),
                            same ? "the value written" : "NOT the value written");
                if (!same) RaiseExit(runtime, kExitFailed);
            }
        }
        static_cast<void>(channel.Close());
        rtsLines += Tally(runtime.TakeLog()).rts;
    }
    SetLogFilter(nullptr);
    std::printf(
        "\nnote: a pseudo-terminal has no RTS line, so the driver's %d messages about "
        "setting RTS were expected and kept off the screen\n",
        rtsLines);
    if (!sim.Stop()) {
        std::fprintf(stderr, "vpihost: metersim did not stop cleanly\n");
        RaiseExit(runtime, kExitFailed);
    }
    std::printf("metersim          stopped\n");
}

#else

void RunDemo(Runtime& runtime, const DemoOptions&) {
    std::fprintf(stderr,
                 "vpihost: the demo needs Linux (it runs the meter simulator on a "
                 "pseudo-terminal); on Windows use read, write and poll with a real port\n");
    RaiseExit(runtime, kExitUsage);
}

#endif

void AddDemoCommand(CLI::App& app, Runtime& runtime) {
    auto options = std::make_shared<DemoOptions>();
    auto* command = app.add_subcommand(
        "demo",
        "Start metersim with two meters on a pseudo-terminal, read a gate of every family, "
        "write a command and an EX register, read it back (Linux)");
    command->add_option("--metersim", options->metersim, "the simulator (default: beside vpihost)");
    command->add_option("--timeout", options->timeoutMs, "read time-out in ms")
        ->capture_default_str();
    command->add_option("--ex-value", options->exValue, "the value written to EX register 10/1")
        ->capture_default_str();
    command->callback([&runtime, options] { RunDemo(runtime, *options); });
}

}  // namespace

const bool kRegistered = RegisterCommand(70, AddDemoCommand);

}  // namespace host
