// The POSIX serial back-end where things go wrong: handles it never handed out, handshake
// modes a terminal cannot honour, names at the edge of its path buffer, a far end that hangs
// up in the middle of a read or a write, signals during its waits, a line that never goes
// quiet, and a process that is short of descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "elapsed.h"
#include "log_capture.h"
#include "platform.h"
#include "pty_pair.h"
#include "serial.h"
#include "serial_posix_speed.h"
#include "vpi_records.h"

namespace {

using serial::PortHandle;
using serial::SerialResult;
using Clock = std::chrono::steady_clock;

using vpitest::MsSince;

constexpr LineParameters kLine{9600, 8, 0, 0};
constexpr std::uint16_t kChannelFlags = 8;

using vpitest::Pty;

class PosixEdges : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()); }
    void TearDown() override {
        for (PortHandle h : open_) static_cast<void>(serial::ClosePort(h));
    }
    PortHandle OpenOk(const std::string& name, std::uint16_t flags = kChannelFlags) {
        PortHandle handle = 0;
        EXPECT_EQ(serial::OpenPort(name.c_str(), kLine, flags, &handle), SerialResult::Ok) << name;
        if (handle != 0) open_.push_back(handle);
        return handle;
    }
    void Close(PortHandle handle) {
        EXPECT_EQ(serial::ClosePort(handle), SerialResult::Ok);
        std::erase(open_, handle);
    }
    // Reads `count` bytes while the far end sends `bytes`, `delayMs` after the read began: the
    // read's result, and the milliseconds until the bytes were sent and the read had ended.
    std::pair<SerialResult, std::int64_t> ReadWhileSent(PortHandle handle, std::uint8_t* buffer,
                                                        std::uint32_t count,
                                                        std::uint32_t* received,
                                                        const std::string& bytes, int delayMs) {
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            pty_.Send(bytes);
        });
        const auto start = Clock::now();
        const SerialResult result = serial::ReadPort(handle, buffer, count, received);
        late.join();
        return {result, MsSince(start)};
    }

    Pty pty_;
    std::vector<PortHandle> open_;
};

TEST_F(PosixEdges, HandlesThatAreNoPortOfOursAreRefusedByEveryCall) {
    // 0 is "no port"; 4096 and above have no slot for a read time-out; all ones is -1 as a
    // descriptor. None may reach the system, or the table behind the time-outs.
    for (const PortHandle handle :
         {PortHandle{0}, PortHandle{4096}, PortHandle{70000}, PortHandle{0xFFFFFFFFu}}) {
        SCOPED_TRACE(handle);
        std::uint8_t buffer[4] = {};
        std::uint32_t count = 99;
        EXPECT_EQ(serial::ClosePort(handle), SerialResult::IoFailed);
        EXPECT_EQ(serial::SetReadTimeout(handle, 50), 0);
        EXPECT_EQ(serial::ReadPort(handle, buffer, 4, &count), SerialResult::IoFailed);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(serial::WritePort(handle, buffer, 4, &count), SerialResult::IoFailed);
        EXPECT_EQ(serial::PurgeInput(handle), SerialResult::NotOpened);
        vpitest::LogCapture capture;
        serial::RaiseRts(handle);
        serial::DropRts(handle);
        EXPECT_EQ(capture.Lines().size(), 2u);  // both refusals are logged
    }
    // A handle that was ours and is closed: the second close is refused, and so is every
    // primitive the line code builds on, though the descriptor number may be open again.
    const PortHandle handle = OpenOk(pty_.Slave());
    ASSERT_NE(handle, 0u);
    Close(handle);
    EXPECT_EQ(serial::ClosePort(handle), SerialResult::IoFailed);
    EXPECT_FALSE(serial::OwnsPort(handle));
    serial::platform::Timeouts timeouts{};
    EXPECT_FALSE(serial::platform::GetTimeouts(handle, &timeouts));
    EXPECT_FALSE(serial::platform::SetTimeouts(handle, timeouts));
    EXPECT_FALSE(serial::platform::SetRts(handle, true));
}

// A poll() that fails (here: the process may hold no descriptor at all, so even one to watch
// is too many) ends a read as a failed read, and a write waiting for room as a short one;
// neither loops.
TEST_F(PosixEdges, AFailingPollEndsReadsAndWrites) {
    const PortHandle handle = OpenOk(pty_.Slave());
    ASSERT_EQ(serial::SetReadTimeout(handle, 100), 100);  // 1 s that must not be waited out
    // Fill the line's output until the terminal takes no more, so that a write must wait.
    std::vector<std::uint8_t> chunk(4096, 'w');
    std::uint32_t written = 0;
    while (written < 4u << 20) {
        const ssize_t put = write(static_cast<int>(handle), chunk.data(), chunk.size());
        if (put <= 0) break;
        written += static_cast<std::uint32_t>(put);
    }
    ASSERT_EQ(errno, EAGAIN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    std::uint8_t buffer[4] = {};
    std::uint32_t received = 99;
    const auto start = Clock::now();
    const SerialResult read = serial::ReadPort(handle, buffer, 4, &received);
    // More than the terminal's queue holds even after it has moved some of it on: the write
    // must wait for room at some point, and that wait's poll fails.
    std::vector<std::uint8_t> big(1u << 20, 'w');
    std::uint32_t sent = 99;
    const SerialResult write =
        serial::WritePort(handle, big.data(), static_cast<std::uint32_t>(big.size()), &sent);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(read, SerialResult::IoFailed);
    EXPECT_EQ(received, 0u);
    // Nothing went (the call failed) or part of it did (a short write with its count).
    EXPECT_TRUE(write == SerialResult::IoFailed || write == SerialResult::ShortWrite);
    if (write == SerialResult::ShortWrite) {
        EXPECT_LT(sent, big.size());
    }
    EXPECT_LT(MsSince(start), 5000);  // it ended; nothing was waited out or looped on
}

TEST_F(PosixEdges, HandshakeFlagsAreHonouredOrRefused) {
    struct Case {
        const char* name;
        std::uint16_t flags;
        SerialResult result;
        bool rtsCts;
    };
    const std::vector<Case> cases{
        {"both off", 0x0000, SerialResult::Ok, false},
        {"the channel's flags", kChannelFlags, SerialResult::Ok, false},
        {"DTR on", 0x0101, SerialResult::Ok, false},
        {"DTR on wins over DTR handshake", 0x8101, SerialResult::Ok, false},
        {"DTR handshake", 0x8000, SerialResult::SettingsRefused, false},
        {"RTS on", 0x0202, SerialResult::Ok, false},
        {"DTR and RTS on", 0x0303, SerialResult::Ok, false},
        {"RTS handshake", 0x1000, SerialResult::Ok, true},
        {"RTS on wins over RTS toggle", 0x2202, SerialResult::Ok, false},
        {"RTS toggle", 0x2000, SerialResult::SettingsRefused, false},
        {"RTS handshake wins over toggle", 0x3000, SerialResult::Ok, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortHandle handle = 0;
        ASSERT_EQ(serial::OpenPort(pty_.Slave().c_str(), kLine, c.flags, &handle), c.result);
        if (c.result != SerialResult::Ok) {
            EXPECT_EQ(handle, 0u);
            continue;
        }
        termios tio{};
        ASSERT_EQ(tcgetattr(static_cast<int>(handle), &tio), 0);
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.rtsCts);
        // A refused open before this one kept nothing: every open here gets the port.
        EXPECT_EQ(serial::ClosePort(handle), SerialResult::Ok);
    }
}

TEST_F(PosixEdges, DevicePathsUpToTheBufferAndRelativeNames) {
    // An absolute name of 127 characters fits the path buffer with its NUL; 128 do not.
    const std::string slave = pty_.Slave();
    ASSERT_EQ(slave.rfind("/dev/", 0), 0u);
    const auto padded = [&](std::size_t length) {
        std::string filler;
        while (slave.size() + filler.size() + 2 <= length) filler += "./";
        if (slave.size() + filler.size() < length) filler += "/";
        return "/dev/" + filler + slave.substr(5);
    };
    ASSERT_EQ(padded(127).size(), 127u);
    ASSERT_EQ(padded(128).size(), 128u);
    Close(OpenOk(padded(127)));
    PortHandle handle = 0;
    EXPECT_EQ(serial::OpenPort(padded(128).c_str(), kLine, kChannelFlags, &handle),
              SerialResult::NotOpened);
    EXPECT_EQ(serial::OpenPort(std::string(300, 'p').c_str(), kLine, kChannelFlags, &handle),
              SerialResult::NotOpened);

    // "./" and "../" are taken from the working directory, not from /dev/.
    char dir[] = "/tmp/vpi-edges-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string top = dir;
    ASSERT_EQ(mkdir((top + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink(slave.c_str(), (top + "/link").c_str()), 0);
    const int home = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(home, 0);
    ASSERT_EQ(chdir((top + "/sub").c_str()), 0);
    const SerialResult up = serial::OpenPort("../link", kLine, kChannelFlags, &handle);
    if (up == SerialResult::Ok) Close(handle);
    ASSERT_EQ(chdir(top.c_str()), 0);
    const SerialResult here = serial::OpenPort("./link", kLine, kChannelFlags, &handle);
    if (here == SerialResult::Ok) Close(handle);
    const SerialResult missing = serial::OpenPort("./sub/none", kLine, kChannelFlags, &handle);
    ASSERT_EQ(fchdir(home), 0);
    close(home);
    unlink((top + "/link").c_str());
    rmdir((top + "/sub").c_str());
    rmdir(top.c_str());
    EXPECT_EQ(up, SerialResult::Ok);
    EXPECT_EQ(here, SerialResult::Ok);
    EXPECT_EQ(missing, SerialResult::NotOpened);
}

TEST_F(PosixEdges, ATimeoutOfZeroWaitsWithoutLimitAndTheLongestStillEndsWithTheBytes) {
    const PortHandle handle = OpenOk(pty_.Slave());
    std::uint8_t buffer[4] = {};
    std::uint32_t received = 0;

    // 0 waits until the bytes come, as a Win32 total time-out of 0 does, not "don't wait".
    ASSERT_EQ(serial::SetReadTimeout(handle, 0), 100);
    const auto [waited, waitedMs] = ReadWhileSent(handle, buffer, 4, &received, "wxyz", 300);
    EXPECT_EQ(waited, SerialResult::Ok);
    EXPECT_GE(waitedMs, 250);
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "wxyz");

    // Negative time-outs are taken as 0.
    EXPECT_EQ(serial::SetReadTimeout(handle, -7), 0);
    EXPECT_EQ(serial::SetReadTimeout(handle, INT32_MAX), 0);

    // The longest time-out (beyond what one poll() takes) still ends the read at the bytes.
    const auto [ended, endedMs] = ReadWhileSent(handle, buffer, 4, &received, "abcd", 100);
    EXPECT_EQ(ended, SerialResult::Ok);
    EXPECT_LT(endedMs, 5000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "abcd");
}

TEST_F(PosixEdges, AByteInTheMiddleOfAWaitDoesNotShortenTheTimeout) {
    // The time-out is a lower bound too: the rest of a reply that comes just before it must
    // be taken. One byte arrives a few milliseconds into each read of two, and the read
    // must still wait its whole 10 ms for the second, wherever within a millisecond the read
    // and the byte fell.
    const PortHandle handle = OpenOk(pty_.Slave());
    ASSERT_EQ(serial::SetReadTimeout(handle, 1), 100);  // 10 ms
    std::int64_t shortestUs = 1000000;
    int midWait = 0;  // reads the byte reached in time (on a loaded machine some miss)
    for (int i = 0; i < 40; ++i) {
        std::thread sender([&, i] {
            std::this_thread::sleep_for(std::chrono::microseconds(3000 + 97 * i));
            static_cast<void>(write(pty_.Master(), "b", 1));
        });
        std::uint8_t buffer[2] = {};
        std::uint32_t received = 0;
        const auto start = Clock::now();
        const bool ok = serial::platform::ReadOnce(handle, buffer, 2, &received);
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        sender.join();
        // A byte that came after the read gave up would be taken by the next one: wait for
        // it (the terminal may hand it over a little after the write returned) and take it.
        if (received == 0) {
            std::uint8_t late = 0;
            for (int tries = 0;
                 tries < 200 && serial::ReadPort(handle, &late, 1, nullptr) != SerialResult::Ok;
                 ++tries) {
            }
        }
        ASSERT_TRUE(ok);
        ASSERT_LE(received, 1u);
        midWait += static_cast<int>(received);
        shortestUs = us < shortestUs ? us : shortestUs;
    }
    EXPECT_GE(midWait, 1) << "no byte arrived within a read";
    EXPECT_GE(shortestUs, 10000);
}

TEST_F(PosixEdges, AHangUpEndsAReadAtOnceWithTheBytesBeforeIt) {
    const PortHandle handle = OpenOk(pty_.Slave());
    ASSERT_EQ(serial::SetReadTimeout(handle, 200), 100);  // 2 s: a hang-up must not wait it out
    pty_.Send("abcde");
    ASSERT_TRUE(vpitest::WaitForInput(static_cast<int>(handle), 5));
    pty_.CloseMaster();
    std::uint8_t buffer[20] = {};
    std::uint32_t received = 99;
    const auto start = Clock::now();
    const SerialResult first = serial::ReadPort(handle, buffer, 20, &received);
    const auto elapsed = MsSince(start);
    EXPECT_EQ(first, SerialResult::IoFailed);
    EXPECT_LT(elapsed, 1500);
    // The system may throw pending input away at a hang-up; whatever it still handed over
    // is counted, and kept.
    ASSERT_LE(received, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), received),
              std::string("abcde").substr(0, received));
    EXPECT_EQ(serial::ReadPort(handle, buffer, 4, &received), SerialResult::IoFailed);
    EXPECT_EQ(received, 0u);
    // A write to a line that is gone fails with nothing written.
    std::uint32_t written = 99;
    EXPECT_EQ(serial::WritePort(handle, buffer, 4, &written), SerialResult::IoFailed);
    // The descriptor itself is still ours to close.
    Close(handle);
}

TEST_F(PosixEdges, AWriteCutOffByAHangUpReportsWhatWentOut) {
    // Nobody reads the master, so the terminal's queue fills and the write waits for room;
    // the far end then hangs up. The write ends short, with the count it got out.
    const PortHandle handle = OpenOk(pty_.Slave());
    const std::string big(1 << 20, 'h');
    std::thread hangUp([&] {
        // The hang-up once the write has begun: bytes wait at the master. A megabyte does not
        // fit the terminal's queue, so the write is then waiting for room, or about to.
        // FIONREAD: 0 or -1.
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        for (int waiting = 0; waiting == 0 && Clock::now() < deadline;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (ioctl(pty_.Master(), FIONREAD, &waiting) != 0) waiting = 0;
        }
        pty_.CloseMaster();
    });
    std::uint32_t written = 0;
    const SerialResult result =
        serial::WritePort(handle, reinterpret_cast<const std::uint8_t*>(big.data()),
                          static_cast<std::uint32_t>(big.size()), &written);
    hangUp.join();
    EXPECT_EQ(result, SerialResult::ShortWrite);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
}

TEST_F(PosixEdges, AMasterSideWhoseFarEndClosedFailsAtOnceWithTheBytesBeforeIt) {
    // The master side of a new pseudo-terminal is a terminal like any other; once the slave
    // has written and closed, a read gets what was written and then an I/O error, which must
    // end the read at once rather than be waited on like an empty line.
    PortHandle handle = 0;
    ASSERT_EQ(serial::OpenPort("/dev/ptmx", kLine, kChannelFlags, &handle), SerialResult::Ok);
    open_.push_back(handle);
    const int master = static_cast<int>(handle);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const char* name = ptsname(master);
    ASSERT_NE(name, nullptr);
    const int slave = open(name, O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    ASSERT_EQ(write(slave, "abc", 3), 3);
    close(slave);
    ASSERT_TRUE(vpitest::WaitUntil([&] {
        std::uint32_t waiting = 0;
        return serial::platform::ClearErrors(handle, &waiting) && waiting == 3;
    }));

    ASSERT_EQ(serial::SetReadTimeout(handle, 200), 100);  // 2 s that must not be waited out
    std::uint8_t buffer[20] = {};
    std::uint32_t received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(serial::ReadPort(handle, buffer, 20, &received), SerialResult::IoFailed);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(serial::ReadPort(handle, buffer, 4, &received), SerialResult::IoFailed);
    EXPECT_EQ(received, 0u);
}

TEST_F(PosixEdges, ADeviceThatRefusesExclusiveUseIsGivenBack) {
    // A character device that is no terminal and answers the exclusive-use request with an
    // error of its own (not "not a terminal"): the open is refused and its descriptor closed.
    const int probe = open("/dev/net/tun", O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (probe < 0) GTEST_SKIP() << "no /dev/net/tun to open here";
    const int refused = ioctl(probe, TIOCEXCL);
    const int why = errno;
    close(probe);
    if (refused == 0 || why == ENOTTY) GTEST_SKIP() << "/dev/net/tun takes TIOCEXCL here";
    const int lowestBefore = dup(0);
    close(lowestBefore);
    PortHandle handle = 0;
    EXPECT_EQ(serial::OpenPort("net/tun", kLine, kChannelFlags, &handle), SerialResult::NotOpened);
    EXPECT_EQ(handle, 0u);
    const int lowestAfter = dup(0);
    close(lowestAfter);
    EXPECT_EQ(lowestAfter, lowestBefore);  // nothing of the refused open stayed open
}

// Counts SIGUSR1 deliveries; installed without SA_RESTART so that waits see EINTR.
std::atomic<int> gSignals{0};
void OnSignal(int) {
    gSignals.fetch_add(1, std::memory_order_relaxed);
}

class SignalStorm {
public:
    // Sends SIGUSR1 to the calling thread every `periodMs` until destroyed.
    explicit SignalStorm(int periodMs) : target_(pthread_self()) {
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &previous_);
        gSignals = 0;
        thread_ = std::thread([this, periodMs] {
            while (!stop_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
                if (!stop_) pthread_kill(target_, SIGUSR1);
            }
        });
    }
    ~SignalStorm() {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &previous_, nullptr);
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

private:
    pthread_t target_;
    struct sigaction previous_ {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(PosixEdges, SignalsNeitherShortenWaitsNorLoseBytes) {
    const PortHandle handle = OpenOk(pty_.Slave());
    ASSERT_EQ(serial::SetReadTimeout(handle, 30), 100);
    std::uint8_t buffer[8] = {};
    std::uint32_t received = 0;
    {
        SignalStorm storm(15);
        // A sleep runs to its end through every interruption.
        auto start = Clock::now();
        serial::platform::SleepMs(200);
        EXPECT_GE(MsSince(start), 200);

        // A read waits for its bytes through the interruptions...
        EXPECT_EQ(ReadWhileSent(handle, buffer, 4, &received, "sig!", 150).first, SerialResult::Ok);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "sig!");

        // ...and a silent line still takes its whole time-out.
        start = Clock::now();
        EXPECT_EQ(serial::ReadPort(handle, buffer, 4, &received), SerialResult::IoFailed);
        EXPECT_GE(MsSince(start), 290);
    }
    EXPECT_GT(gSignals.load(), 10);  // the waits were in fact interrupted
}

TEST_F(PosixEdges, ALineThatNeverGoesQuietCannotStretchOneRead) {
    // One underlying read waits at most the time-out for its whole count, however many
    // bytes keep trickling in: a per-byte time-out would never end here.
    const PortHandle handle = OpenOk(pty_.Slave());
    ASSERT_EQ(serial::SetReadTimeout(handle, 10), 100);
    std::atomic<bool> stop{false};
    std::thread stream([&] {
        while (!stop) {
            static_cast<void>(write(pty_.Master(), "s", 1));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint32_t received = 0;
    const auto start = Clock::now();
    const bool ok = serial::platform::ReadOnce(
        handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &received);
    const auto elapsed = MsSince(start);
    stop = true;
    stream.join();
    EXPECT_TRUE(ok);
    EXPECT_GE(elapsed, 100);
    EXPECT_LT(elapsed, 2000);
    EXPECT_GT(received, 0u);
    EXPECT_LT(received, buffer.size());
    for (std::uint32_t i = 0; i < received; ++i) ASSERT_EQ(buffer[i], 's');
}

// Descriptors: the process's are the host's, and a port open that cannot keep its
// descriptor gives it back.
class DescriptorEdges : public PosixEdges {};

TEST_F(DescriptorEdges, NoDescriptorAboveZeroMeansNoPort) {
    // With standard input closed and a limit of one descriptor, the open gets 0 and cannot
    // move it: refused, and 0 is free again afterwards.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int keep = dup(0);
    ASSERT_GE(keep, 0);
    close(0);
    rlimit one = saved;
    one.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one), 0);
    PortHandle handle = 0;
    const SerialResult result =
        serial::OpenPort(pty_.Slave().c_str(), kLine, kChannelFlags, &handle);
    const bool zeroFree = fcntl(0, F_GETFD) == -1;
    setrlimit(RLIMIT_NOFILE, &saved);
    dup2(keep, 0);
    close(keep);
    EXPECT_EQ(result, SerialResult::NotOpened);
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(zeroFree);
    // Nothing of the failed open holds the port.
    Close(OpenOk(pty_.Slave()));
}

TEST_F(DescriptorEdges, ADescriptorBeyondTheTimeoutTableIsRefusedAndClosed) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 4200) GTEST_SKIP() << "descriptor limit " << limit.rlim_cur;
    // Fill every descriptor below 4096, so that the port's open gets 4096.
    const int null = open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    std::vector<int> fillers;
    int last = null;
    while (last < 4095) {
        last = dup(null);
        if (last < 0) break;
        fillers.push_back(last);
    }
    PortHandle handle = 0;
    const SerialResult result =
        serial::OpenPort(pty_.Slave().c_str(), kLine, kChannelFlags, &handle);
    const int next = dup(null);  // the lowest free descriptor: 4096 again if it was given back
    for (const int fd : fillers) close(fd);
    close(next);
    close(null);
    ASSERT_EQ(last, 4095);
    EXPECT_EQ(result, SerialResult::NotOpened);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(next, 4096);
    Close(OpenOk(pty_.Slave()));
}

#if defined(__linux__)
TEST_F(PosixEdges, TheArbitrarySpeedNeedsATerminal) {
    // A plain file has no line speed: the arbitrary-speed interface refuses it, where a
    // terminal takes the rate exactly.
    char path[] = "/tmp/vpi-speed-XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    EXPECT_FALSE(serial::posix_speed::SetCustomSpeed(file, 14400));
    close(file);
    unlink(path);
    const PortHandle handle = OpenOk(pty_.Slave());
    EXPECT_TRUE(serial::posix_speed::SetCustomSpeed(static_cast<int>(handle), 31250));
}
#endif

}  // namespace
