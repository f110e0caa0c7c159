// Whole exchanges through VpiMain over the real POSIX back-end against metersim on
// pseudo-terminals: wall and thread CPU per read of every family, reads at line speed, reads
// on many channels at once, and a read that must first purge a stale line.
//
// Prints one "key value" line per figure. Every floor is measured in the same run: the
// simulator's own reply time comes from its event record, and the system calls an exchange
// cannot do without are timed by a bare client that makes them on the same descriptor.
//
// Usage: vpi_bench_exchange unpaced [reads] | baud RATE [reads] | scaling CHANNELS [seconds]
//        | stale [reads]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/metersim_process.h"
#include "tamrik.h"
#include "vpi_records.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- Measuring ----------------------------------------------------------------------------

double ThreadCpuUs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double WallUs() {
    return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

void Print(const std::string& key, double value) {
    std::printf("%s %.3f\n", key.c_str(), value);
}

// Every line the driver logs lands here: on a pseudo-terminal the RTS changes fail and are
// logged twice per exchange, and stderr would put a terminal's cost into the figures.
std::atomic<std::uint64_t> gLogLines{0};
void CountingSink(int, const char*, void*) {
    gLogLines.fetch_add(1, std::memory_order_relaxed);
}

// ---- The simulated meter line -------------------------------------------------------------

// metersim as a child on a pseudo-terminal of its own, with its event record in a file.
class MeterLine {
public:
    explicit MeterLine(const std::vector<std::string>& extra, const std::string& tag) {
        eventsPath_ = "/tmp/vpi-bench-" + std::to_string(getpid()) + "-" + tag + ".jsonl";
        std::vector<std::string> argv{METERSIM_PATH, "--events", eventsPath_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        // "metersim: listening on /dev/pts/N": the driver looks relative names up under /dev/,
        // which keeps the port name within its eleven characters.
        const std::string prefix = "/dev/";
        if (sim_.Start(std::move(argv)) == host::platform::SimStart::Started &&
            sim_.Listening().rfind(prefix, 0) == 0)
            port_ = sim_.Listening().substr(prefix.size());
    }
    ~MeterLine() {
        static_cast<void>(sim_.Stop());
        std::remove(eventsPath_.c_str());
    }
    MeterLine(const MeterLine&) = delete;
    MeterLine& operator=(const MeterLine&) = delete;

    bool Ready() const { return !port_.empty() && port_.size() <= 11; }
    const std::string& Port() const { return port_; }

    // CPU the simulator has used so far (user + system), in microseconds; clock-tick grained.
    double CpuUs() const {
        std::ifstream stat("/proc/" + std::to_string(sim_.Pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t closeParen = text.rfind(')');
        if (closeParen == std::string::npos) return 0.0;
        std::vector<std::string> fields;
        std::size_t at = closeParen + 2;
        while (at < text.size()) {
            const std::size_t space = text.find(' ', at);
            fields.push_back(text.substr(at, space - at));
            if (space == std::string::npos) break;
            at = space + 1;
        }
        if (fields.size() < 13) return 0.0;
        // Fields 14 and 15 of the record (utime, stime) are 11 and 12 after the state.
        const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
        return ticks * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    // Per answered request of `command`: microseconds from the request's arrival to the last
    // reply byte written, as the simulator recorded them.
    std::vector<double> ReplyTimesUs(const std::string& command) const {
        std::vector<double> times;
        std::ifstream in(eventsPath_);
        std::string line;
        while (std::getline(in, line)) {
            const auto event = nlohmann::json::parse(line, nullptr, false);
            if (event.is_discarded() || event.value("kind", "") != "request") continue;
            if (!event.value("answered", false) || event.value("command", "") != command) continue;
            times.push_back(event["reply_end_us"].get<double>() - event["time_us"].get<double>());
        }
        return times;
    }

private:
    host::platform::MeterSimProcess sim_;
    std::string port_;
    std::string eventsPath_;
};

// ---- The driver ---------------------------------------------------------------------------

std::int32_t Call(ChannelState* channel, VpiOperation operation, void* argument) {
    VpiCall call{channel, static_cast<std::int32_t>(operation), 1, 0, argument};
    return VpiMain(&call);
}

bool OpenChannel(ChannelState* channel, const std::string& port) {
    OpenChannelRecord open{};
    std::memcpy(open.portName, port.c_str(), port.size() + 1);
    open.active = 1;
    open.readTimeout = 100;
    open.line = LineParameters{9600, 8, 0, 0};
    return Call(channel, VpiOperation::Open, &open) == VpiDone;
}

struct Family {
    const char* name;
    std::int32_t memtype;
    std::int32_t index;
    std::int32_t count;
    VpiOperation operation;
    const char* command;  // as the simulator records it
};
constexpr std::array<Family, 8> kFamilies{{
    {"plain", MEMTYPE_PLAIN, 1, 40, VpiOperation::Read, "0"},
    {"H", MEMTYPE_H2, 1, 34, VpiOperation::Read, "H2"},
    {"TR", MEMTYPE_TR3, 1, 3, VpiOperation::Read, "P02"},
    {"TK", MEMTYPE_TK2, 1, 3, VpiOperation::Read, "P09"},
    {"TY", MEMTYPE_TY2, 1, 2, VpiOperation::Read, "U01"},
    {"TD", MEMTYPE_TD16, 1, 25, VpiOperation::Read, "Q0F"},
    {"TC", MEMTYPE_TC5, 1, 33, VpiOperation::Read, "R0005"},
    {"EX", MEMTYPE_EX, 0x0001, 36, VpiOperation::ReadEx, "A000124"},
}};

struct Sample {
    std::vector<double> wallUs;
    std::vector<double> cpuUs;
    int failures = 0;
};

// `reads` reads of one gate, each timed on its own.
Sample ReadMany(ChannelState* channel, const Family& family, int reads, std::int32_t plc = 1) {
    std::array<float, 40> values{};
    GateIoRecord gate{};
    gate.plcAddress = plc;
    gate.memtype = family.memtype;
    gate.index = family.index;
    gate.count = family.count;
    gate.values = values.data();
    Sample sample;
    for (int i = 0; i < reads; ++i) {
        const double wall0 = WallUs();
        const double cpu0 = ThreadCpuUs();
        const std::int32_t result = Call(channel, family.operation, &gate);
        const double cpu1 = ThreadCpuUs();
        const double wall1 = WallUs();
        if (result != VpiDone) ++sample.failures;
        sample.wallUs.push_back(wall1 - wall0);
        sample.cpuUs.push_back(cpu1 - cpu0);
    }
    return sample;
}

// ---- The bare client ----------------------------------------------------------------------

template <typename CallT>
auto Retry(CallT call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

void SleepUntilMs(std::uint32_t ms) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += static_cast<long>(ms) * 1000000L;
    until.tv_sec += until.tv_nsec / 1000000000L;
    until.tv_nsec %= 1000000000L;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// Exactly `count` bytes off a non-blocking descriptor: read, and wait in poll when nothing
// is there, as any client of a non-blocking line must.
bool ReadExactly(int fd, std::uint8_t* buffer, std::size_t count) {
    std::size_t total = 0;
    while (total < count) {
        const ssize_t got = Retry([&] { return read(fd, buffer + total, count - total); });
        if (got > 0) {
            total += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        pollfd entry{fd, POLLIN, 0};
        if (Retry([&] { return poll(&entry, 1, 1000); }) <= 0) return false;
    }
    return true;
}

// One exchange with nothing but the system calls it needs: ask what waits in the input, RTS
// on, 10 ms, write, drain, 12 ms, RTS off, then the reply's header and its counted bytes.
// No logging, no checksum, no decoding: the floor the driver's CPU time is held against.
bool BareExchange(int fd, const std::uint8_t* request, std::size_t length) {
    int waiting = 0;
    static_cast<void>(ioctl(fd, FIONREAD, &waiting));
    int rts = TIOCM_RTS;
    static_cast<void>(ioctl(fd, TIOCMBIS, &rts));
    SleepUntilMs(10);
    if (Retry([&] { return write(fd, request, length); }) != static_cast<ssize_t>(length))
        return false;
    static_cast<void>(Retry([&] { return tcdrain(fd); }));
    SleepUntilMs(12);
    static_cast<void>(ioctl(fd, TIOCMBIC, &rts));
    std::array<std::uint8_t, 512> reply{};
    if (!ReadExactly(fd, reply.data(), 4) || reply[0] != '!') return false;
    const std::size_t counted =
        static_cast<std::size_t>((reply[1] - '0') * 100 + (reply[2] - '0') * 10 + (reply[3] - '0'));
    return counted <= 496 && ReadExactly(fd, reply.data() + 4, counted);
}

// The request the driver sends for `family` (requestBuffer after one read), as it goes out.
std::vector<std::uint8_t> DriverRequest(const ChannelState& channel, const Family& family) {
    const std::uint8_t* start = channel.requestBuffer;
    const std::uint8_t* end =
        static_cast<const std::uint8_t*>(std::memchr(start, '\n', sizeof channel.requestBuffer));
    std::size_t length = end == nullptr ? 0 : static_cast<std::size_t>(end - start) + 1;
    // Every family but plain and H sends the NUL behind the frame as well.
    if (length > 0 && family.memtype > MEMTYPE_H6) ++length;
    return std::vector<std::uint8_t>(start, start + length);
}

// ---- Modes --------------------------------------------------------------------------------

constexpr double kRtsWaitsUs = 22000.0;  // 10 ms before the write and 12 ms after it
constexpr double kLeadUs = 10000.0;
constexpr double kTailUs = 12000.0;

// A read cannot end before the 10 ms lead, nor before the 12 ms tail or the simulator's reply
// is over, whichever is later: the reply goes out while the tail runs.
double ExchangeFloorUs(double replyUs) {
    return kLeadUs + std::max(kTailUs, replyUs);
}

int Unpaced(int reads) {
    MeterLine line({"--meter", "01", "--seed", "3"}, "unpaced");
    if (!line.Ready()) return 2;
    ChannelState channel{};
    if (!OpenChannel(&channel, line.Port())) return 2;
    for (const Family& family : kFamilies) {
        const std::string key = std::string("unpaced.") + family.name;
        const std::uint64_t logsBefore = gLogLines.load();
        static_cast<void>(ReadMany(&channel, family, 3));  // warm caches and the simulator
        const double logs = static_cast<double>(gLogLines.load() - logsBefore) / 3;

        // The driver's reads and the bare client's exchanges of the same request on the same
        // descriptor, one after the other, so that both see the machine in the same state.
        const std::vector<std::uint8_t> request = DriverRequest(channel, family);
        const int fd = static_cast<int>(channel.port);
        Sample driver;
        std::vector<double> bareCpu;
        std::vector<double> bareWall;
        int bareFailures = 0;
        for (int i = 0; i < reads; ++i) {
            const Sample one = ReadMany(&channel, family, 1);
            driver.wallUs.push_back(one.wallUs[0]);
            driver.cpuUs.push_back(one.cpuUs[0]);
            driver.failures += one.failures;
            const double wall0 = WallUs();
            const double cpu0 = ThreadCpuUs();
            if (!BareExchange(fd, request.data(), request.size())) ++bareFailures;
            bareCpu.push_back(ThreadCpuUs() - cpu0);
            bareWall.push_back(WallUs() - wall0);
        }
        const double replyUs = Median(line.ReplyTimesUs(family.command));
        Print(key + ".wall_us", Median(driver.wallUs));
        Print(key + ".floor_us", ExchangeFloorUs(replyUs));
        Print(key + ".sim_reply_us", replyUs);
        Print(key + ".cpu_us", Median(driver.cpuUs));
        Print(key + ".bare_cpu_us", Median(bareCpu));
        Print(key + ".bare_wall_us", Median(bareWall));
        Print(key + ".log_lines_per_read", logs);
        Print(key + ".failures", driver.failures + bareFailures);
    }
    static_cast<void>(Call(&channel, VpiOperation::Close, nullptr));
    return 0;
}

int AtBaud(int baud, int reads) {
    MeterLine line({"--meter", "01", "--seed", "3", "--baud", std::to_string(baud)},
                   "baud" + std::to_string(baud));
    if (!line.Ready()) return 2;
    ChannelState channel{};
    if (!OpenChannel(&channel, line.Port())) return 2;
    const Family& plain = kFamilies[0];
    static_cast<void>(ReadMany(&channel, plain, 1));
    const Sample sample = ReadMany(&channel, plain, reads);
    static_cast<void>(Call(&channel, VpiOperation::Close, nullptr));
    // Request (10 bytes) and reply (201 data characters: 211 bytes) at 10 bits a character.
    constexpr double kRequestBytes = 10;
    constexpr double kReplyBytes = 211;
    const double wireUs = (kRequestBytes + kReplyBytes) * 10.0 * 1e6 / baud;
    const double replyUs = Median(line.ReplyTimesUs(plain.command));
    const std::string key = "baud" + std::to_string(baud) + ".plain";
    Print(key + ".wall_us", Median(sample.wallUs));
    Print(key + ".theory_us", kRtsWaitsUs + wireUs);
    Print(key + ".floor_us", ExchangeFloorUs(replyUs));
    Print(key + ".sim_reply_us", replyUs);
    Print(key + ".failures", sample.failures);
    return 0;
}

struct ChannelResult {
    int reads = 0;
    int failures = 0;
    double cpuUs = 0.0;
};

int Scaling(int channels, double seconds) {
    std::vector<std::unique_ptr<MeterLine>> lines;
    for (int k = 0; k < channels; ++k) {
        lines.push_back(std::make_unique<MeterLine>(
            std::vector<std::string>{"--meter", "01", "--seed", std::to_string(k + 1)},
            "scale" + std::to_string(k)));
        if (!lines.back()->Ready()) return 2;
    }
    std::vector<ChannelResult> results(static_cast<std::size_t>(channels));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    Clock::time_point until{};
    std::vector<std::thread> threads;
    for (int k = 0; k < channels; ++k) {
        threads.emplace_back([&, k] {
            ChannelResult& result = results[static_cast<std::size_t>(k)];
            ChannelState channel{};
            const bool open = OpenChannel(&channel, lines[static_cast<std::size_t>(k)]->Port());
            if (open) static_cast<void>(ReadMany(&channel, kFamilies[0], 2));
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            if (!open) {
                result.failures = 1;
                return;
            }
            const double cpu0 = ThreadCpuUs();
            while (Clock::now() < until) {
                const Sample one = ReadMany(&channel, kFamilies[0], 1);
                ++result.reads;
                result.failures += one.failures;
            }
            result.cpuUs = ThreadCpuUs() - cpu0;
            static_cast<void>(Call(&channel, VpiOperation::Close, nullptr));
        });
    }
    while (ready.load() < channels) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double simCpu0 = 0.0;
    for (const auto& line : lines) simCpu0 += line->CpuUs();
    const Clock::time_point start = Clock::now();
    until =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    go.store(true);
    for (std::thread& thread : threads) thread.join();
    const double wallS = std::chrono::duration<double>(Clock::now() - start).count();
    double simCpu = -simCpu0;
    for (const auto& line : lines) simCpu += line->CpuUs();
    int reads = 0;
    int failures = 0;
    double driverCpu = 0.0;
    for (const ChannelResult& result : results) {
        reads += result.reads;
        failures += result.failures;
        driverCpu += result.cpuUs;
    }
    const std::string key = "scaling." + std::to_string(channels);
    Print(key + ".reads_per_s", reads / wallS);
    Print(key + ".driver_cpu_us_per_read", reads > 0 ? driverCpu / reads : 0.0);
    Print(key + ".sim_cpu_us_per_read", reads > 0 ? simCpu / reads : 0.0);
    Print(key + ".cores_used", (driverCpu + simCpu) / 1e6 / wallS);
    Print(key + ".failures", failures);
    return 0;
}

int Stale(int reads) {
    // Meter 01 sends four bytes behind every reply; they wait in the line until the next
    // request's purge. Meter 02 on the same line sends clean replies.
    MeterLine line(
        {"--meter", "01", "--meter", "02", "--seed", "3", "--fault", "trailing:meter=01"}, "stale");
    if (!line.Ready()) return 2;
    ChannelState channel{};
    if (!OpenChannel(&channel, line.Port())) return 2;
    const Family& plain = kFamilies[0];
    static_cast<void>(ReadMany(&channel, plain, 2, 1));
    const Sample stale = ReadMany(&channel, plain, reads, 1);
    static_cast<void>(ReadMany(&channel, plain, 2, 2));  // the first of these purges
    const Sample quiet = ReadMany(&channel, plain, reads, 2);
    static_cast<void>(Call(&channel, VpiOperation::Close, nullptr));
    const double replyUs = Median(line.ReplyTimesUs(plain.command));
    Print("stale.plain.wall_us", Median(stale.wallUs));
    Print("stale.plain.cpu_us", Median(stale.cpuUs));
    // The purge reads with a 50 ms time-out and waits it out for the rest of its 512 bytes.
    Print("stale.plain.floor_us", ExchangeFloorUs(replyUs) + 50000.0);
    Print("quiet.plain.wall_us", Median(quiet.wallUs));
    Print("quiet.plain.cpu_us", Median(quiet.cpuUs));
    Print("quiet.plain.floor_us", ExchangeFloorUs(replyUs));
    Print("stale.failures", stale.failures + quiet.failures);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vpi_bench_exchange unpaced [reads] | baud RATE [reads] |"
                 " scaling CHANNELS [seconds] | stale [reads]\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    SetLogSink(CountingSink, nullptr);
    const std::string mode = argv[1];
    const auto arg = [&](int i, double fallback) {
        return argc > i ? std::stod(argv[i]) : fallback;
    };
    int status = 64;
    if (mode == "unpaced") {
        status = Unpaced(static_cast<int>(arg(2, 40)));
    } else if (mode == "baud" && argc > 2) {
        status = AtBaud(static_cast<int>(arg(2, 9600)), static_cast<int>(arg(3, 10)));
    } else if (mode == "scaling" && argc > 2) {
        status = Scaling(static_cast<int>(arg(2, 1)), arg(3, 2.0));
    } else if (mode == "stale") {
        status = Stale(static_cast<int>(arg(2, 20)));
    } else {
        return Usage();
    }
    if (status != 0) std::fprintf(stderr, "vpi_bench_exchange: %s: could not run\n", mode.c_str());
    SetLogSink(nullptr, nullptr);
    return status;
}
