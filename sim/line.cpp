// The simulator's end of the serial line: opening it, reading, paced and offered writes.
#include "line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

namespace sim {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Repeats a POSIX call that a signal interrupted (-1 with EINTR) until it completes. Not for
// the waits the simulator's shutdown has to end (the main loop's poll, the sleeps): a signal
// there is the news, not a nuisance.
template <typename Call>
auto RetryOnInterrupt(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

void SetNonBlocking(int fd) {
    // fcntl: -1 on failure.
    const int flags = RetryOnInterrupt([fd] { return fcntl(fd, F_GETFL); });
    if (flags == -1 ||
        RetryOnInterrupt([fd, flags] { return fcntl(fd, F_SETFL, flags | O_NONBLOCK); }) == -1) {
        Fail("fcntl");
    }
}

struct SpeedCodeOf {
    int baud;
    speed_t code;
};
constexpr std::array<SpeedCodeOf, 14> kSpeeds{{{300, B300},
                                               {600, B600},
                                               {1200, B1200},
                                               {1800, B1800},
                                               {2400, B2400},
                                               {4800, B4800},
                                               {9600, B9600},
                                               {19200, B19200},
                                               {38400, B38400},
                                               {57600, B57600},
                                               {115200, B115200},
                                               {230400, B230400},
                                               {460800, B460800},
                                               {921600, B921600}}};

speed_t SpeedCode(int baud) {
    for (const SpeedCodeOf& speed : kSpeeds) {
        if (speed.baud == baud) return speed.code;
    }
    errno = EINVAL;
    Fail("baud rate " + std::to_string(baud));
}

// Data bits as the CSIZE flags; EINVAL for a count the line cannot take.
tcflag_t SizeFlags(int dataBits) {
    struct Size {
        int bits;
        tcflag_t flags;
    };
    constexpr std::array<Size, 4> kSizes{{{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}}};
    for (const Size& size : kSizes) {
        if (size.bits == dataBits) return size.flags;
    }
    errno = EINVAL;
    Fail("data bits");
}

}  // namespace

std::chrono::nanoseconds CharacterTime(const LineSettings& settings) {
    if (settings.baud <= 0) return std::chrono::nanoseconds{0};
    const int bits = 1 + settings.dataBits + (settings.parity == 'N' ? 0 : 1) + settings.stopBits;
    return std::chrono::nanoseconds{std::int64_t{1'000'000'000} * bits / settings.baud};
}

Line Line::OpenPty(const LineSettings& settings) {
    int master = -1;
    int slave = -1;
    std::array<char, 256> name{};
    termios tio{};
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    // A pseudo-terminal has no real speed; it reports the one it was given (never B0, which
    // would read as a hang-up) and the pacing is ours.
    speed_t code = B9600;
    try {
        if (settings.baud > 0) code = SpeedCode(settings.baud);
    } catch (const std::system_error&) {
        code = B9600;
    }
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    // openpty: 0 or -1. The slave is raw from its first moment: a client that opens it
    // before we could change it must not meet echo or line editing.
    if (openpty(&master, &slave, name.data(), &tio, nullptr) != 0) Fail("openpty");
    static_cast<void>(RetryOnInterrupt([master] { return fcntl(master, F_SETFD, FD_CLOEXEC); }));
    static_cast<void>(RetryOnInterrupt([slave] { return fcntl(slave, F_SETFD, FD_CLOEXEC); }));
    SetNonBlocking(master);
    return Line(master, slave, name.data());
}

Line Line::OpenDevice(const std::string& path, const LineSettings& settings) {
    const int fd = RetryOnInterrupt(
        [&] { return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd == -1) Fail("open " + path);
    Line line(fd, -1, path);
    termios tio{};
    // tcgetattr, tcsetattr: 0 or -1.
    if (RetryOnInterrupt([&] { return tcgetattr(fd, &tio); }) != 0) Fail("tcgetattr " + path);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= SizeFlags(settings.dataBits);
    if (settings.parity == 'E') tio.c_cflag |= PARENB;
    if (settings.parity == 'O') tio.c_cflag |= PARENB | PARODD;
    if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
    const speed_t code = SpeedCode(settings.baud > 0 ? settings.baud : 9600);
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (RetryOnInterrupt([&] { return tcsetattr(fd, TCSANOW, &tio); }) != 0) {
        Fail("tcsetattr " + path);
    }
    return line;
}

Line::Line(Line&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      slave_(std::exchange(other.slave_, -1)),
      path_(std::move(other.path_)),
      tap_(std::exchange(other.tap_, nullptr)) {}

Line::~Line() {
    if (slave_ != -1) close(slave_);
    if (fd_ != -1) close(fd_);
}

std::string Line::ReadAvailable() {
    std::string bytes;
    std::array<char, 512> chunk{};
    for (;;) {
        const ssize_t got = RetryOnInterrupt([&] { return read(fd_, chunk.data(), chunk.size()); });
        if (got <= 0) break;  // EAGAIN: all read; EIO: no slave (cannot happen while we hold one)
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    if (tap_ != nullptr && !bytes.empty()) tap_->Offer(bytes);
    return bytes;
}

void Line::Offer(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        // write: the count, or -1 (EAGAIN: the listener's queue is full; the rest is lost).
        const ssize_t put =
            RetryOnInterrupt([&] { return write(fd_, bytes.data() + done, bytes.size() - done); });
        if (put <= 0) return;
        done += static_cast<std::size_t>(put);
    }
}

int Line::Speed() const {
    // On a pseudo-terminal the slave holds the settings; the master's terminal calls would
    // reach them too, but the kept slave descriptor says plainly whose they are.
    const int fd = slave_ != -1 ? slave_ : fd_;
    termios tio{};
    if (RetryOnInterrupt([&] { return tcgetattr(fd, &tio); }) != 0) return 0;
    const speed_t code = cfgetospeed(&tio);
    for (const SpeedCodeOf& speed : kSpeeds) {
        if (speed.code == code) return speed.baud;
    }
    return 0;
}

void SleepUntil(std::chrono::steady_clock::time_point deadline,
                const volatile std::sig_atomic_t& stop) {
    // The steady clock is CLOCK_MONOTONIC in libstdc++; a signal ends the sleep early.
    const auto since = deadline.time_since_epoch();
    timespec when{};
    when.tv_sec =
        static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    when.tv_nsec = static_cast<long>((since - std::chrono::seconds(when.tv_sec)).count());
    while (!stop) {
        const int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
        if (result != EINTR) break;
    }
}

std::size_t Line::Write(const std::string& bytes, std::chrono::nanoseconds characterTime,
                        const volatile std::sig_atomic_t& stop) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t done = 0;
    auto lastProgress = start;
    while (done < bytes.size() && !stop) {
        std::size_t count = bytes.size() - done;
        if (characterTime.count() > 0) {
            // Character k leaves at start + k character times: a fixed schedule, so that
            // sleeping late once does not slow the rest of the reply down.
            SleepUntil(start + characterTime * static_cast<std::int64_t>(done), stop);
            count = 1;
        }
        const ssize_t put =
            RetryOnInterrupt([&] { return write(fd_, bytes.data() + done, count); });
        const auto now = std::chrono::steady_clock::now();
        if (put > 0) {
            if (tap_ != nullptr) tap_->Offer(bytes.substr(done, static_cast<std::size_t>(put)));
            done += static_cast<std::size_t>(put);
            lastProgress = now;
            continue;
        }
        if (put == -1 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (now - lastProgress > std::chrono::seconds(1)) break;
        // Not retried: a signal that interrupts this wait may be the one that stops us.
        pollfd entry{fd_, POLLOUT, 0};
        static_cast<void>(poll(&entry, 1, 50));
    }
    if (characterTime.count() > 0 && !stop) {
        // The last character is on the line only one character time after it was handed over.
        SleepUntil(start + characterTime * static_cast<std::int64_t>(done), stop);
    }
    return done;
}

Link::Link(const std::string& name, const std::string& target) : name_(name), target_(target) {
    struct stat info {};
    if (lstat(name.c_str(), &info) == 0) {
        struct stat pointed {};
        if (S_ISLNK(info.st_mode) && stat(name.c_str(), &pointed) != 0) {
            // Left behind by a simulator that did not get to clean up.
            if (unlink(name.c_str()) != 0) Fail("remove stale link " + name);
        } else {
            name_.clear();
            errno = EEXIST;
            Fail(name + " exists and is no stale link");
        }
    }
    if (symlink(target.c_str(), name.c_str()) != 0) {
        name_.clear();
        Fail("symlink " + name);
    }
}

Link::Link(Link&& other) noexcept
    : name_(std::exchange(other.name_, {})), target_(std::exchange(other.target_, {})) {}

Link& Link::operator=(Link&& other) noexcept {
    if (this != &other) {
        Remove();
        name_ = std::exchange(other.name_, {});
        target_ = std::exchange(other.target_, {});
    }
    return *this;
}

Link::~Link() {
    Remove();
}

void Link::Remove() {
    if (name_.empty()) return;
    std::array<char, 4096> pointed{};
    const ssize_t length = readlink(name_.c_str(), pointed.data(), pointed.size() - 1);
    if (length > 0 && std::string(pointed.data(), static_cast<std::size_t>(length)) == target_) {
        static_cast<void>(unlink(name_.c_str()));
    }
    name_.clear();
}

}  // namespace sim
