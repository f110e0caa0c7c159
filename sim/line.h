// The simulator's end of the serial line: a pseudo-terminal or a device, paced output, links.
#pragma once

#include <chrono>
#include <csignal>
#include <string>

namespace sim {

// Line settings for a real device; on a pseudo-terminal only `baud` matters (for pacing).
struct LineSettings {
    int baud = 0;  // 0: no pacing (a pseudo-terminal); devices take 9600 then
    int dataBits = 8;
    char parity = 'N';  // N, E or O
    int stopBits = 1;
};

// Time one character takes on the line: a start bit, the data bits, parity and stop bits. The
// meters' framing is 10 bits per character at 8N1; zero without a baud rate.
std::chrono::nanoseconds CharacterTime(const LineSettings& settings);

class Line {
public:
    // A new pseudo-terminal pair; the slave is raw at once. The simulator keeps a slave
    // descriptor of its own: without one the master reports EIO (and poll a hang-up) whenever
    // no client has the slave open, and bytes a client writes right after opening could race
    // the simulator's recovery. The extra descriptor is never read, takes no lock and does
    // not stop a client's exclusive open. Throws std::system_error.
    static Line OpenPty(const LineSettings& settings);
    // A real serial device configured raw with `settings`. Throws std::system_error.
    static Line OpenDevice(const std::string& path, const LineSettings& settings);

    Line(Line&& other) noexcept;
    Line& operator=(Line&&) = delete;
    Line(const Line&) = delete;
    ~Line();

    int Descriptor() const { return fd_; }
    // The path clients open (the slave's name, or the device).
    const std::string& Path() const { return path_; }
    // Everything readable now, without waiting ("" if nothing).
    std::string ReadAvailable();
    // Writes `bytes`, one character every `characterTime` (all at once for zero). Gives up
    // when `stop` becomes set or the line takes nothing for a second (no reader draining a
    // full queue). Returns the number of bytes written.
    std::size_t Write(const std::string& bytes, std::chrono::nanoseconds characterTime,
                      const volatile std::sig_atomic_t& stop);
    // Writes what the line takes now and drops the rest: a listener that does not keep up
    // loses bytes instead of holding the line up.
    void Offer(const std::string& bytes);
    // From now on every byte read from this line and every byte written to it is offered to
    // `tap` as well, in the order they pass (null: no longer).
    void CopyTo(Line* tap) { tap_ = tap; }
    // The speed the line is set to now, in baud, as its terminal settings say (a client sets
    // them on a pseudo-terminal's slave, and the pair keeps them); 0 when they cannot be read
    // or name no standard speed.
    int Speed() const;

private:
    Line(int fd, int slave, std::string path) : fd_(fd), slave_(slave), path_(std::move(path)) {}
    int fd_ = -1;
    int slave_ = -1;
    std::string path_;
    Line* tap_ = nullptr;
};

// Sleeps until `deadline` on the steady clock, or until `stop` is set.
void SleepUntil(std::chrono::steady_clock::time_point deadline,
                const volatile std::sig_atomic_t& stop);

// A symbolic link to the line that is removed when it goes away, if it still points there.
class Link {
public:
    Link() = default;
    // Creates `name` -> `target`. A stale link (pointing nowhere) is replaced; anything else
    // at `name` is left alone and the creation fails. Throws std::system_error.
    Link(const std::string& name, const std::string& target);
    Link(Link&& other) noexcept;
    Link& operator=(Link&& other) noexcept;
    Link(const Link&) = delete;
    ~Link();
    // Removes the link now if it is ours.
    void Remove();

private:
    std::string name_;
    std::string target_;
};

}  // namespace sim
