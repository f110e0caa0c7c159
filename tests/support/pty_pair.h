// A pseudo-terminal pair for serial tests: the test holds the master side as the far end of
// the line, the back-end under test opens the slave by name.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>

namespace vpitest {

class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name != nullptr) slave_ = name;
        // The slave raw at once, so nothing the far end sends is echoed or interpreted
        // before the back-end configures it.
        const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
        if (fd >= 0) close(fd);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool Ok() const { return master_ >= 0 && !slave_.empty(); }
    const std::string& Slave() const { return slave_; }
    // "pts/N": the name without "/dev/", as a host with 11 characters would give it.
    std::string ShortName() const { return slave_.substr(5); }
    int Master() const { return master_; }
    // Hangs the line up: the slave side then reads what was left, then fails.
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    void Send(const std::string& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Sends `bytes` from another thread after `delayMs`.
    std::thread SendLater(std::string bytes, int delayMs) const {
        return std::thread([this, bytes, delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            static_cast<void>(write(master_, bytes.data(), bytes.size()));
        });
    }
    // What the far end received within `waitMs`.
    std::string Receive(std::size_t count, int waitMs = 2000) const {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int master_ = -1;
    std::string slave_;
};

// Waits (at most `waitMs`) until `count` bytes or more wait to be read on `fd`, a slave the
// back-end opened: what the far end sent has come through the pseudo-terminal, which hands it
// on asynchronously. FIONREAD: 0 or -1.
inline bool WaitForInput(int fd, std::size_t count, int waitMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= static_cast<int>(count)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace vpitest
