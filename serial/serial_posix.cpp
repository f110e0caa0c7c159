// Serial back-end for POSIX systems: the line discipline of the Win32 port by termios means.
//
// The handle is the descriptor itself (moved off 0, which means "no port"). The port is
// opened non-blocking and every wait is a poll() against a monotonic deadline, so a read
// waits at most the read time-out for its whole count, like a Win32 total time-out. The
// time-out of each port lives in a fixed table indexed by descriptor: no allocation, and two
// channels never touch the same entry since they never hold the same descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform.h"
#include "serial_line_mapping.h"
#include "serial_posix_speed.h"

namespace serial {

namespace {

// Descriptors at or above this cannot hold a port: their read time-out has nowhere to live.
constexpr int kMaxDescriptors = 4096;

// Read total time-out of each open port in milliseconds; 0 waits without limit, as a Win32
// total time-out of 0 does. Written by OpenPort and SetReadTimeout, read by ReadOnce.
std::array<std::atomic<std::uint32_t>, kMaxDescriptors> gReadTimeoutMs{};

// Who holds each descriptor this layer opened and has not closed: the ChannelState it was
// opened for (or kAnyHolder), null for every other descriptor. Every operation asks first: a
// descriptor number the host's state area happens to hold may be the host's own file, or
// another channel's port, and neither is touched. Set when an open has succeeded; cleared
// before the close, so that a descriptor number the system hands out again at once is never
// taken for ours, and put back when the system refused the close.
std::array<std::atomic<const void*>, kMaxDescriptors> gOwner{};

// The device and inode of the file each descriptor was opened on. A descriptor closed behind
// our back and handed out again by the system still has its owner recorded here; unless it
// is the same device again, fstat tells it apart.
std::array<std::atomic<std::uint64_t>, kMaxDescriptors> gDevice{};
std::array<std::atomic<std::uint64_t>, kMaxDescriptors> gInode{};

// The holder of a port opened for no channel in particular (line tools, test benches).
constexpr char kAnyHolder = 0;

constexpr char kNullName[] = "NUL";
constexpr char kNullDevice[] = "/dev/null";
constexpr char kDevDir[] = "/dev/";

// The standard speeds by their termios constants; the constants' values are the system's
// own business, so nothing here assumes them. The host's baud rate is 16 bits wide.
struct Speed {
    std::uint16_t baud;
    speed_t code;
};
constexpr auto kSpeeds = std::to_array<Speed>({
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
});
static_assert(kSpeeds.size() == 16);

// Calls `call` again for as long as it fails with EINTR; returns its last result.
// For calls that report failure as -1 with errno (open, read, write, ioctl, poll, fcntl,
// flock, tcsetattr, tcgetattr, tcdrain).
template <typename Call>
auto RetryOnInterrupt(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

int Descriptor(PortHandle handle) {
    return static_cast<int>(handle);
}

bool InTable(int fd) {
    return fd > 0 && fd < kMaxDescriptors;
}

const void* OwnerOf(int fd) {
    return InTable(fd) ? gOwner[static_cast<std::size_t>(fd)].load(std::memory_order_acquire)
                       : nullptr;
}

bool Owned(int fd) {
    return OwnerOf(fd) != nullptr;
}

// Records `fd` as ours, held by `owner` (null: by anybody), with the file it is open on.
// False, with nothing recorded, when that file cannot be named.
bool Adopt(int fd, const ChannelState* owner) {
    struct stat file {};
    // fstat: 0 or -1.
    if (fstat(fd, &file) != 0) return false;
    const auto slot = static_cast<std::size_t>(fd);
    gDevice[slot].store(static_cast<std::uint64_t>(file.st_dev), std::memory_order_relaxed);
    gInode[slot].store(static_cast<std::uint64_t>(file.st_ino), std::memory_order_relaxed);
    const void* holder = owner != nullptr ? static_cast<const void*>(owner) : &kAnyHolder;
    gOwner[slot].store(holder, std::memory_order_release);
    return true;
}

// True when `fd` is still open on the file recorded at its open.
bool SameFile(int fd) {
    struct stat file {};
    const auto slot = static_cast<std::size_t>(fd);
    return fstat(fd, &file) == 0 &&
           static_cast<std::uint64_t>(file.st_dev) ==
               gDevice[slot].load(std::memory_order_relaxed) &&
           static_cast<std::uint64_t>(file.st_ino) == gInode[slot].load(std::memory_order_relaxed);
}

// The monotonic clock in microseconds: deadlines are kept finer than poll()'s milliseconds so
// that a wait resumed in the middle of a millisecond is not cut short.
std::uint64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for CLOCK_MONOTONIC
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// Milliseconds left until `deadline` (µs), rounded up, as poll() takes them; -1 (no limit)
// for deadline 0.
int RemainingMs(std::uint64_t deadline) {
    if (deadline == 0) return -1;
    const std::uint64_t now = NowUs();
    if (now >= deadline) return 0;
    const std::uint64_t left = (deadline - now + 999u) / 1000u;
    return left > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(left);
}

enum class Wait : std::uint8_t { Ready, TimedOut, Failed };

// Waits for `events` on `fd` until the deadline (0: no limit). Ready when the descriptor is
// ready (or has hung up or failed, which the following read or write reports).
Wait WaitFor(int fd, short events, std::uint64_t deadline) {
    pollfd entry{fd, events, 0};
    // poll: the number of ready descriptors, 0 on time-out, -1 on failure. A poll that keeps
    // failing would otherwise turn every wait into a loop that never sleeps.
    const int ready = RetryOnInterrupt([&] { return poll(&entry, 1, RemainingMs(deadline)); });
    if (ready == -1) return Wait::Failed;
    return ready == 0 ? Wait::TimedOut : Wait::Ready;
}

bool Passed(std::uint64_t deadline) {
    return deadline != 0 && NowUs() >= deadline;
}

// The device path for a port name: "NUL" is the null device; a relative name is looked up
// under /dev/ (so "ttyUSB0" or "pts/3" fit the host's 11 characters); a path that starts with
// "/", "./" or "../" is used as given. False when the name does not fit `path`.
bool DevicePath(const char* portName, char* path, std::size_t capacity) {
    const char* source = portName;
    const char* prefix = "";
    if (std::strcmp(portName, kNullName) == 0) {
        source = kNullDevice;
    } else if (portName[0] != '/' && std::strncmp(portName, "./", 2) != 0 &&
               std::strncmp(portName, "../", 3) != 0) {
        prefix = kDevDir;
    }
    const std::size_t prefixLength = std::strlen(prefix);
    const std::size_t sourceLength = std::strlen(source);
    if (prefixLength + sourceLength + 1 > capacity) return false;
    std::memcpy(path, prefix, prefixLength);
    std::memcpy(path + prefixLength, source, sourceLength + 1);
    return true;
}

// Closes a port that is being given up: lets go of the exclusive-use flag first, since on a
// pseudo-terminal it outlives the descriptor and would refuse our own next open.
[[nodiscard]] bool Release(int fd) {
    static_cast<void>(ioctl(fd, TIOCNXCL));  // 0 or -1; ENOTTY on the null device is fine
    // close: 0 or -1. Not retried on EINTR: the descriptor is gone either way on Linux.
    return close(fd) == 0 || errno == EINTR;
}

// Moves a descriptor off 0, which the channel reads as "no port". True with `fd` updated.
bool MoveOffZero(int& fd) {
    if (fd != 0) return true;
    // fcntl(F_DUPFD_CLOEXEC): the new descriptor, or -1. Locks belong to the open file, so
    // the duplicate keeps them.
    const int moved = RetryOnInterrupt([&] { return fcntl(fd, F_DUPFD_CLOEXEC, 1); });
    static_cast<void>(close(fd));
    if (moved == -1) return false;
    fd = moved;
    return true;
}

// Applies the whole line setting. False when the system refuses any part of it.
bool Configure(int fd, const LineParameters& line, std::uint16_t lineFlags, termios tio) {
    cfmakeraw(&tio);
    // A local line that receives; no modem hang-up on close, no flow control of any kind.
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Every wait is our own poll(). VMIN 1 makes an empty non-blocking read say EAGAIN, so
    // that a read of 0 bytes means the line is gone, as it does on the null device.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (!line_mapping::SetFraming(tio, line)) return false;
    int raise = 0;
    int drop = 0;
    if (!line_mapping::SetHandshake(tio, lineFlags, &raise, &drop)) return false;

    if (line.baudRate == 0) return false;
    const Speed* standard = nullptr;
    for (const Speed& speed : kSpeeds) {
        if (speed.baud == line.baudRate) standard = &speed;
    }
    // Other rates are set below through the system's arbitrary-speed interface; until then
    // the line keeps a standard speed it certainly knows.
    const speed_t code = standard != nullptr ? standard->code : B9600;
    // cfsetispeed/cfsetospeed: 0 or -1.
    if (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0) return false;
    // tcsetattr: 0 when any of the change was applied, -1 otherwise; read back below.
    if (RetryOnInterrupt([&] { return tcsetattr(fd, TCSANOW, &tio); }) != 0) return false;
    if (standard == nullptr && !posix_speed::SetCustomSpeed(fd, line.baudRate)) return false;

    // tcsetattr succeeds when only part of the change took; what counts is what holds now.
    // Character size and the parity enable are not compared: a pseudo-terminal always
    // reports eight bits without parity, whatever it was told, and it is a line like any other.
    termios applied{};
    if (RetryOnInterrupt([&] { return tcgetattr(fd, &applied); }) != 0) return false;
    tcflag_t framing = CSTOPB | CRTSCTS | CLOCAL | CREAD;
#if defined(CMSPAR)
    framing |= CMSPAR;
#endif
    if ((applied.c_cflag & framing) != (tio.c_cflag & framing)) return false;
    if (standard != nullptr && cfgetospeed(&applied) != code) return false;

    // Modem lines: a pseudo-terminal has none, and the system keeps the levels it has.
    if (raise != 0) static_cast<void>(ioctl(fd, TIOCMBIS, &raise));  // 0 or -1
    if (drop != 0) static_cast<void>(ioctl(fd, TIOCMBIC, &drop));    // 0 or -1
    return true;
}

// Opens `path` for a port: a descriptor moved off 0 and within the tables, or -1 (nothing
// left open). Non-blocking, so neither the open (carrier) nor any read or write ever waits in
// the kernel; not our controlling terminal; not passed to children.
int OpenDescriptor(const char* path) {
    // open: a descriptor, or -1.
    int fd =
        RetryOnInterrupt([&] { return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd == -1) return -1;
    if (!MoveOffZero(fd)) return -1;
    if (!InTable(fd)) {
        static_cast<void>(close(fd));
        return -1;
    }
    return fd;
}

// Exclusive use. flock (0 or -1) stops any cooperating opener, root included; TIOCEXCL
// (0 or -1) stops every other unprivileged open of the terminal. False when either refuses.
bool LockExclusive(int fd) {
    if (RetryOnInterrupt([&] { return flock(fd, LOCK_EX | LOCK_NB); }) != 0) return false;
    return ioctl(fd, TIOCEXCL) == 0 || errno == ENOTTY;
}

// The read time-out a port has from its open on, on every platform.
void StoreOpenReadTimeout(int fd) {
    gReadTimeoutMs[static_cast<std::size_t>(fd)].store(
        static_cast<std::uint32_t>(kOpenReadTimeoutMs), std::memory_order_relaxed);
}

// The read time-out, then the line: StateUnreadable when the descriptor has no terminal
// settings to start from, SettingsRefused when the line does not take them.
SerialResult ConfigurePort(int fd, const LineParameters& line, std::uint16_t lineFlags) {
    // tcgetattr: 0 or -1 (ENOTTY for anything that is no terminal).
    termios current{};
    if (RetryOnInterrupt([&] { return tcgetattr(fd, &current); }) != 0) {
        return SerialResult::StateUnreadable;
    }
    // The read time-out before the line settings, as on every platform; it cannot fail here.
    StoreOpenReadTimeout(fd);
    if (!Configure(fd, line, lineFlags, current)) return SerialResult::SettingsRefused;
    return SerialResult::Ok;
}

// Records the opened descriptor as `owner`'s port and hands it out; when every record is
// taken it is given up again (a locked terminal through Release, the null device closed).
SerialResult Hold(int fd, const ChannelState* owner, PortHandle* handle, bool locked) {
    if (!Adopt(fd, owner)) {
        if (locked) {
            static_cast<void>(Release(fd));
        } else {
            static_cast<void>(close(fd));
        }
        return SerialResult::NotOpened;
    }
    *handle = static_cast<PortHandle>(fd);
    return SerialResult::Ok;
}

// A value of one of LineParameters' framing words (its low byte) and the c_cflag bits it
// selects; a value no rule names is one the line cannot take.
struct FramingRule {
    std::uint16_t value;
    tcflag_t bits;
};

constexpr auto kCharacterSizeRules = std::to_array<FramingRule>({
    {5, CS5},
    {6, CS6},
    {7, CS7},
    {8, CS8},
});
static_assert(kCharacterSizeRules.size() == 4);

// None, odd, even; then mark and space where the system has "stick" parity, the parity bit
// fixed at 1 (odd) or 0 (even).
constexpr auto kParityRules = std::to_array<FramingRule>({
    {0, 0}, {1, PARENB | PARODD}, {2, PARENB},
#if defined(CMSPAR)
        {3, PARENB | PARODD | CMSPAR}, {4, PARENB | CMSPAR},
#endif
});
#if defined(CMSPAR)
constexpr tcflag_t kParityMask = PARENB | PARODD | CMSPAR;
static_assert(kParityRules.size() == 5);
#else
constexpr tcflag_t kParityMask = PARENB | PARODD;
static_assert(kParityRules.size() == 3);
#endif

// One and a half stop bits have no termios setting.
constexpr auto kStopBitRules = std::to_array<FramingRule>({
    {0, 0},
    {2, CSTOPB},
});
static_assert(kStopBitRules.size() == 2);

// The rule for the low byte of `word`, or nullptr.
template <std::size_t N>
const FramingRule* RuleFor(const std::array<FramingRule, N>& rules, std::uint16_t word) {
    for (const FramingRule& rule : rules) {
        if (static_cast<unsigned>(rule.value) == (word & 0xFFu)) return &rule;
    }
    return nullptr;
}

}  // namespace

namespace line_mapping {

// Character size, parity and stop bits into `tio`. False for a value the line cannot take;
// `tio` is then left as it was.
bool SetFraming(termios& tio, const LineParameters& line) {
    const FramingRule* size = RuleFor(kCharacterSizeRules, line.dataBits);
    const FramingRule* parity = RuleFor(kParityRules, line.parity);
    const FramingRule* stop = RuleFor(kStopBitRules, line.stopBits);
    if (size == nullptr || parity == nullptr || stop == nullptr) return false;
    constexpr tcflag_t kFramingMask = CSIZE | kParityMask | CSTOPB;
    tio.c_cflag = (tio.c_cflag & ~kFramingMask) | size->bits | parity->bits | stop->bits;
    // Check incoming parity only when there is parity to check.
    if (parity->bits != 0) {
        tio.c_iflag |= INPCK;
    } else {
        tio.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    }
    return true;
}

// The DTR and RTS levels that lineFlags ask for at open. Handshake and toggle modes have
// no portable termios means except RTS/CTS; those that cannot be honoured refuse the open.
bool SetHandshake(termios& tio, std::uint16_t lineFlags, int* raise, int* drop) {
    *raise = 0;
    *drop = 0;
    if ((lineFlags & kDtrOnBits) != 0) {
        *raise |= TIOCM_DTR;
    } else if ((lineFlags & kDtrHandshakeBit) != 0) {
        return false;
    } else {
        *drop |= TIOCM_DTR;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if ((lineFlags & kRtsOnBits) != 0) {
        *raise |= TIOCM_RTS;
    } else if ((lineFlags & kRtsHandshakeBit) != 0) {
        tio.c_cflag |= CRTSCTS;
    } else if ((lineFlags & kRtsToggleBit) != 0) {
        return false;
    } else {
        *drop |= TIOCM_RTS;
    }
    return true;
}

}  // namespace line_mapping

SerialResult OpenPort(const char* portName, const LineParameters& line, std::uint16_t lineFlags,
                      PortHandle* handle, const ChannelState* owner) {
    char path[128];
    if (!DevicePath(portName, path, sizeof path)) return SerialResult::NotOpened;
    const int fd = OpenDescriptor(path);
    if (fd == -1) return SerialResult::NotOpened;

    // The null device is a sink that anybody may open as often as he likes; nothing more.
    if (std::strcmp(portName, kNullName) == 0) {
        StoreOpenReadTimeout(fd);
        return Hold(fd, owner, handle, false);
    }
    if (!LockExclusive(fd)) {
        static_cast<void>(close(fd));
        return SerialResult::NotOpened;
    }
    const SerialResult configured = ConfigurePort(fd, line, lineFlags);
    if (configured != SerialResult::Ok) {
        static_cast<void>(Release(fd));
        return configured;
    }
    // Queue sizes: the terminal's buffers are the kernel's and far above 1200 bytes.
    return Hold(fd, owner, handle, true);
}

SerialResult ClosePort(PortHandle handle) {
    const int fd = Descriptor(handle);
    // Only our own ports: descriptor 0 or a file of the host's must not be taken away.
    const void* owner = OwnerOf(fd);
    if (owner == nullptr) return SerialResult::IoFailed;
    auto& slot = gOwner[static_cast<std::size_t>(fd)];
    slot.store(nullptr, std::memory_order_release);
    if (Release(fd)) return SerialResult::Ok;
    // Refused: the port stays open and stays its holder's, as on every platform, unless an
    // open has taken the number meanwhile (then the system did let it go after all). Where
    // the system let it go regardless, the next look finds the file gone and no port.
    const void* none = nullptr;
    static_cast<void>(slot.compare_exchange_strong(none, owner, std::memory_order_acq_rel));
    return SerialResult::IoFailed;
}

bool OwnsPort(PortHandle handle) {
    return Owned(Descriptor(handle));
}

PortHandle PortOf(const ChannelState& channel) {
    const int fd = Descriptor(channel.port);
    const void* owner = OwnerOf(fd);
    // Another channel's descriptor is refused before any system call on it.
    if (owner != &channel && owner != &kAnyHolder) return 0;
    if (SameFile(fd)) return channel.port;
    // Closed behind our back (and perhaps handed out again): the port we opened is gone, and
    // the number is forgotten here, so that nobody takes it for ours again.
    static_cast<void>(gOwner[static_cast<std::size_t>(fd)].compare_exchange_strong(
        owner, nullptr, std::memory_order_acq_rel));
    return 0;
}

namespace platform {

bool ReadOnce(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
              std::uint32_t* received) {
    *received = 0;
    const int fd = Descriptor(handle);
    if (!Owned(fd)) return false;
    const std::uint32_t timeoutMs =
        gReadTimeoutMs[static_cast<std::size_t>(fd)].load(std::memory_order_relaxed);
    const std::uint64_t deadline =
        timeoutMs == 0 ? 0 : NowUs() + static_cast<std::uint64_t>(timeoutMs) * 1000u;
    std::uint32_t total = 0;
    while (total < count) {
        // read: the bytes read, 0 at end of file, -1 on failure (EAGAIN: nothing yet).
        const ssize_t got =
            RetryOnInterrupt([&] { return read(fd, buffer + total, count - total); });
        if (got > 0) {
            total += static_cast<std::uint32_t>(got);
            *received = total;
            continue;
        }
        if (got == 0) break;  // the null device, or a line that is gone: nothing will come
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            // What came before the failure is reported; the next read reports the failure.
            return total > 0;
        }
        // A descriptor that polls ready but has nothing to read must not hold the read
        // past its time-out either.
        if (Passed(deadline)) break;
        const Wait wait = WaitFor(fd, POLLIN, deadline);
        if (wait == Wait::TimedOut) break;
        if (wait == Wait::Failed) return total > 0;  // as a failed read
    }
    return true;
}

bool WriteOnce(PortHandle handle, const std::uint8_t* bytes, std::uint32_t count,
               std::uint32_t* written) {
    *written = 0;
    const int fd = Descriptor(handle);
    if (!Owned(fd)) return false;
    std::uint32_t total = 0;
    // A write has no time-out: it waits for room until every byte is queued.
    while (total < count) {
        // write: the bytes queued, or -1 (EAGAIN: the output queue is full).
        const ssize_t put =
            RetryOnInterrupt([&] { return write(fd, bytes + total, count - total); });
        if (put > 0) {
            total += static_cast<std::uint32_t>(put);
            *written = total;
            continue;
        }
        if (put == -1 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            WaitFor(fd, POLLOUT, 0) == Wait::Ready) {
            continue;
        }
        if (total == 0) return false;
        break;  // a short write: the caller sees the count
    }
    // Until the last stop bit has left the UART; only then may the RTS tail start, or RTS
    // would drop under the end of a request at low speed. tcdrain: 0 or -1 (ENOTTY on the
    // null device, which has nothing to drain).
    static_cast<void>(RetryOnInterrupt([&] { return tcdrain(fd); }));
    return true;
}

bool GetTimeouts(PortHandle handle, Timeouts* timeouts) {
    const int fd = Descriptor(handle);
    // Only a terminal has time-outs, as only a serial port has them on Win32.
    termios probe{};
    if (!Owned(fd) || RetryOnInterrupt([&] { return tcgetattr(fd, &probe); }) != 0) return false;
    *timeouts = Timeouts{};
    timeouts->readConstant =
        gReadTimeoutMs[static_cast<std::size_t>(fd)].load(std::memory_order_relaxed);
    return true;
}

bool SetTimeouts(PortHandle handle, const Timeouts& timeouts) {
    const int fd = Descriptor(handle);
    if (!Owned(fd)) return false;
    // The read total time-out is the only one a terminal here keeps: every wait is our poll().
    gReadTimeoutMs[static_cast<std::size_t>(fd)].store(timeouts.readConstant,
                                                       std::memory_order_relaxed);
    return true;
}

bool ClearErrors(PortHandle handle, std::uint32_t* bytesWaiting) {
    const int fd = Descriptor(handle);
    // A terminal keeps no error condition to clear: framing and parity faults come in
    // with the data. FIONREAD: 0 or -1.
    int waiting = 0;
    if (!Owned(fd) || ioctl(fd, FIONREAD, &waiting) != 0) return false;
    *bytesWaiting = waiting < 0 ? 0u : static_cast<std::uint32_t>(waiting);
    return true;
}

bool SetRts(PortHandle handle, bool on) {
    const int fd = Descriptor(handle);
    int bits = TIOCM_RTS;
    // TIOCMBIS/TIOCMBIC: 0 or -1 (a pseudo-terminal has no modem lines: ENOTTY).
    return Owned(fd) && ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

std::uint64_t NowUs() {
    return serial::NowUs();
}

void SleepMs(std::uint32_t milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(milliseconds / 1000u);
    until.tv_nsec += static_cast<long>((milliseconds % 1000u) * 1000000u);
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    // clock_nanosleep: 0, or the error number itself (EINTR: go on sleeping to the same end).
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace platform
}  // namespace serial
