// metersim run as a process on its own pseudo-terminal: requests written here (with this
// file's own checksum) and the replies held against the layouts the driver decodes; faults,
// events, pacing, reopening clients and shutdown.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "metersim_child.h"
#include "serial.h"
#include "text_tools.h"

extern char** environ;

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The frame checksum as the protocol defines it, kept apart from the simulator's.
char Sum(const std::string& counted) {
    unsigned sum = 0;
    for (const char c : counted) sum = (sum + static_cast<unsigned char>(c) - 34u) & 0xFFFFu;
    return static_cast<char>(sum % 92 + 34);
}

std::string Request(const std::string& body, bool nul = false) {
    char length[8];
    std::snprintf(length, sizeof length, "%03zu", body.size() + 3);
    const std::string counted = length + body;
    return "!" + counted + Sum(counted) + "\r\n" + (nul ? "\0"s : ""s);
}

int LengthField(const std::string& frame) {
    return std::stoi(frame.substr(1, 3));
}

// True when `frame` is exactly one frame whose length field and checksum hold.
::testing::AssertionResult Verified(const std::string& frame) {
    if (frame.size() < 8 || frame[0] != '!') return ::testing::AssertionFailure() << frame;
    const int length = LengthField(frame);
    if (frame.size() != static_cast<std::size_t>(length) + 4) {
        return ::testing::AssertionFailure()
               << "length field " << length << ", " << frame.size() << " bytes: " << frame;
    }
    if (frame[static_cast<std::size_t>(length) + 1] !=
            Sum(frame.substr(1, static_cast<std::size_t>(length))) ||
        frame.substr(frame.size() - 2) != "\r\n") {
        return ::testing::AssertionFailure() << "checksum or CR LF: " << frame;
    }
    return ::testing::AssertionSuccess();
}

// The data area of a verified frame: from the eighth byte to the checksum.
std::string Data(const std::string& frame) {
    return frame.substr(7, frame.size() - 10);
}

std::string Hex(const std::string& bytes) {
    std::string hex;
    char digits[4];
    for (const char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(c));
        hex += digits;
    }
    return hex;
}

// True when `bytes` holds a whole frame after its first `from` bytes.
bool FrameAfter(const std::string& bytes, std::size_t from) {
    const std::size_t marker = bytes.find('!', from);
    if (marker == std::string::npos || bytes.size() < marker + 4) return false;
    const std::string digits = bytes.substr(marker + 1, 3);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
    return bytes.size() >= marker + 4 + std::stoul(digits);
}

// The request events of an events file, in order.
std::vector<nlohmann::json> RequestEvents(const std::string& path) {
    std::ifstream file(path);
    std::vector<nlohmann::json> seen;
    for (std::string line; std::getline(file, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["kind"] == "request") seen.push_back(event);
    }
    return seen;
}

// The plain block's field widths and kilo flags, as the driver reads them.
constexpr std::array<int, 40> kWidths{4, 4, 4, 5, 5, 5, 6, 6, 6, 4, 4, 4, 6, 4, 6, 5, 4, 6, 6, 6,
                                      6, 6, 6, 6, 6, 6, 6, 6, 5, 5, 5, 2, 6, 6, 4, 4, 4, 4, 4, 4};
bool Kilo(int field) {
    return !(field >= 9 && field <= 11) && field != 13 && field != 16 && field < 34;
}

// The driver's reading of a plain block; fails the test on a field that does not convert.
std::vector<double> DecodePlain(const std::string& data) {
    std::vector<double> values;
    std::size_t at = 0;
    for (int field = 0; field < 40 && at < data.size(); ++field) {
        std::string text =
            data.substr(at, static_cast<std::size_t>(kWidths[static_cast<std::size_t>(field)]));
        at += static_cast<std::size_t>(kWidths[static_cast<std::size_t>(field)]);
        if (field == 31) text = std::to_string(std::stoi(text, nullptr, 16));
        float value = 0;
        EXPECT_EQ(std::sscanf(text.c_str(), "%f", &value), 1) << "field " << field << ": " << text;
        values.push_back(Kilo(field) && text.find('.') != std::string::npos ? value * 1000.0
                                                                            : value);
    }
    return values;
}

std::string TempName(const std::string& stem) {
    return vpitest::TempName("metersim-test", stem);
}

// The simulator as a child process, stopped when the object goes.
class Sim {
public:
    explicit Sim(std::vector<std::string> args, const std::string& stderrPath = "/dev/null") {
        args.insert(args.begin(), METERSIM_PATH);
        vpitest::StartMeterSim(sim_, std::move(args), stderrPath);
        path_ = sim_.Listening();
    }
    const std::string& Path() const { return path_; }
    // Sends `signal` and returns the exit status (-1 when it did not exit normally).
    int Stop(int signal) { return sim_.Stop(signal); }
    int Wait() { return sim_.Wait(); }

private:
    host::platform::MeterSimProcess sim_;
    std::string path_;
};

// A client of the line, raw, as the driver opens it (minus the locks).
class Port {
public:
    explicit Port(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd_, 0) << path;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    // Takes over an open descriptor, as it is.
    explicit Port(int fd) : fd_(fd) {}
    ~Port() { close(fd_); }
    void Send(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `done` holds for what came, or `limit` passes. Records when the first and
    // the last byte arrived.
    std::string ReadUntil(const std::function<bool(const std::string&)>& done,
                          milliseconds limit = milliseconds(3000)) {
        std::string bytes;
        const auto deadline = Clock::now() + limit;
        while (!done(bytes)) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            const ssize_t got = read(fd_, chunk, sizeof chunk);
            if (got <= 0) continue;
            if (bytes.empty()) first = Clock::now();
            last = Clock::now();
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return bytes;
    }
    // One whole frame (and whatever came before it in the same reads).
    std::string ReadFrame(milliseconds limit = milliseconds(3000)) {
        return ReadUntil(
            [](const std::string& bytes) {
                for (std::size_t at = 0; at < bytes.size(); ++at) {
                    if (bytes[at] != '!' || at + 4 > bytes.size()) continue;
                    const std::string digits = bytes.substr(at + 1, 3);
                    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
                    return bytes.size() >= at + 4 + std::stoul(digits);
                }
                return false;
            },
            limit);
    }
    // A reply that is no whole frame: what comes until the line has been quiet for `quiet`
    // after its first byte, which may take up to `limit` (a loaded machine answers late).
    std::string ReadBurst(milliseconds quiet = milliseconds(150),
                          milliseconds limit = milliseconds(3000)) {
        std::string bytes;
        const auto deadline = Clock::now() + limit;
        while (true) {
            auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            if (!bytes.empty() && left > quiet) left = quiet;
            pollfd entry{fd_, POLLIN, 0};
            const int ready = poll(&entry, 1, static_cast<int>(left.count()));
            if (ready == 0 && !bytes.empty()) break;
            if (ready <= 0) continue;
            char chunk[512];
            const ssize_t got = read(fd_, chunk, sizeof chunk);
            if (got > 0) bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return bytes;
    }
    // Everything that comes within `wait` (for replies that should not come).
    std::string ReadFor(milliseconds wait) {
        return ReadUntil([](const std::string&) { return false; }, wait);
    }
    std::string Ask(const std::string& request) {
        Send(request);
        return ReadFrame();
    }
    // Sets the line's speed as a client does; the pseudo-terminal keeps it for the simulator.
    void SetSpeed(speed_t speed) {
        termios tio{};
        ASSERT_EQ(tcgetattr(fd_, &tio), 0);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &tio), 0);
    }
    Clock::time_point first{};
    Clock::time_point last{};

private:
    int fd_ = -1;
};

TEST(SimLine, AnswersEveryReadFamilyInItsLayout) {
    Sim sim({"--meter", "01"});
    ASSERT_FALSE(sim.Path().empty());
    Port port(sim.Path());
    struct Family {
        std::string prefix;  // command and the operand's fixed part
        std::vector<std::string> operands;
        std::size_t dataLength;
        bool hexFields;
    };
    std::vector<std::string> p, q, r0, r1;
    for (int n = 0; n <= 10; ++n) p.push_back(n < 10 ? "0" + std::to_string(n) : "0A");
    for (const char* hex : {"00", "01", "02", "03", "04", "05", "06", "07", "08", "09", "0A", "0B",
                            "0C", "0D", "0E", "0F"}) {
        q.push_back(hex);
        if (std::string(hex) != "00" && std::string(hex) <= "0C") {
            r0.push_back("00"s + hex);
            r1.push_back("01"s + hex);
        }
    }
    const std::vector<Family> families{
        {"0", {""}, 201, false}, {"H", {"1", "2", "3", "4", "5", "6"}, 170, false},
        {"P", p, 8, true},       {"U", {"00", "01"}, 4, true},
        {"Q", q, 50, true},      {"R", r0, 66, true},
        {"R", r1, 66, true},
    };
    for (const Family& family : families) {
        for (const std::string& operand : family.operands) {
            const bool nul = family.prefix != "0" && family.prefix != "H";
            const std::string reply = port.Ask(Request("01" + family.prefix + operand, nul));
            SCOPED_TRACE(family.prefix + operand);
            ASSERT_TRUE(Verified(reply));
            const std::string data = Data(reply);
            EXPECT_EQ(data.size(), family.dataLength);
            if (family.hexFields) {
                EXPECT_EQ(data.find_first_not_of("0123456789ABCDEF"), std::string::npos) << data;
            } else if (family.prefix == "0") {
                EXPECT_EQ(DecodePlain(data).size(), 40u);
            } else {
                for (std::size_t at = 0; at < data.size(); at += 5) {
                    float value = 0;
                    EXPECT_EQ(std::sscanf(data.substr(at, 5).c_str(), "%f", &value), 1) << data;
                }
            }
        }
    }
    // EX reads: the count as asked, then eight hex characters per value.
    for (const auto& [operand, count] : std::vector<std::pair<std::string, std::size_t>>{
             {"0A0102", 2}, {"000000", 0}, {"000824", 36}, {"03FF01", 1}}) {
        const std::string reply = port.Ask(Request("01A" + operand, true));
        ASSERT_TRUE(Verified(reply)) << operand;
        const std::string data = Data(reply);
        EXPECT_EQ(data.size(), 2 + 8 * count) << operand;
        EXPECT_EQ(std::stoul(data.substr(0, 2), nullptr, 16), count) << operand;
        EXPECT_EQ(data.find_first_not_of("0123456789ABCDEF"), std::string::npos) << data;
    }
}

TEST(SimLine, PinnedValuesReadBackExactly) {
    const std::string values = TempName("values.txt");
    std::ofstream(values) << "plain.0 = 1250\nplain.9 = \"0.50\"\nplain.31 = 31\nplain.12 = 31050\n"
                             "h2.5 = 12.5\ntr3 = 0A 0A 00FF\nex.10.1 = 42\n07:ex.0.0 = -7\n";
    Sim sim({"--meter", "01", "--meter", "07", "--values", values});
    Port port(sim.Path());
    for (int read = 0; read < 3; ++read) {
        const std::string plain = port.Ask(Request("010"));
        ASSERT_TRUE(Verified(plain));
        const std::vector<double> fields = DecodePlain(Data(plain));
        ASSERT_EQ(fields.size(), 40u);
        EXPECT_DOUBLE_EQ(fields[0], 1250.0);
        EXPECT_FLOAT_EQ(static_cast<float>(fields[9]), 0.5f);
        EXPECT_DOUBLE_EQ(fields[31], 31.0);
        EXPECT_FLOAT_EQ(static_cast<float>(fields[12]), 31050.0f);
    }
    EXPECT_EQ(Data(port.Ask(Request("01H2"))).substr(25, 5), "12.50");
    EXPECT_EQ(Data(port.Ask(Request("01P02", true))), "0A0A00FF");
    EXPECT_EQ(Data(port.Ask(Request("01A0A0101", true))), "010000002A");
    EXPECT_EQ(Data(port.Ask(Request("07A000001", true))), "01FFFFFFF9");
    std::remove(values.c_str());
}

TEST(SimLine, ExGroup10TakesWritesAndCommandsAreAcknowledged) {
    Sim sim({"--meter", "05"});
    Port port(sim.Path());
    const std::string ack =
        port.Ask(Request("05a0A05"
                         "0000000C"
                         "FFFFFFFE"
                         "80000000"));
    ASSERT_TRUE(Verified(ack));
    // A reply of length 6 would be skipped by the driver's receiver: acknowledgements carry more.
    EXPECT_NE(LengthField(ack), 6);
    EXPECT_EQ(Data(port.Ask(Request("05A0A0403", true))),
              "03"
              "00000000"
              "0000000C"
              "FFFFFFFE");
    EXPECT_EQ(Data(port.Ask(Request("05A0A0701", true))),
              "01"
              "80000000");
    // A write of no values is acknowledged too.
    EXPECT_TRUE(Verified(port.Ask(Request("05a0A01"))));
    for (const char* command : {"41", "42"}) {
        const std::string reply = port.Ask(Request("05"s + "4" + command[1]));
        EXPECT_TRUE(Verified(reply)) << command;
        EXPECT_NE(LengthField(reply), 6);
    }
    // Other groups are read-only: no answer, and nothing changes.
    const std::string before = Data(port.Ask(Request("05A090101", true)));
    port.Send(Request("05a09010000002A"));
    EXPECT_EQ(port.ReadFor(milliseconds(150)), "");
    EXPECT_EQ(Data(port.Ask(Request("05A090101", true))), before);
}

TEST(SimLine, SilentToOtherAddressesBadFramesAndUnknownCommands) {
    Sim sim({"--meter", "01", "--meter", "07"});
    Port port(sim.Path());
    std::string badChecksum = Request("010");
    badChecksum[7] = static_cast<char>(badChecksum[7] == '}' ? '|' : '}');
    const std::vector<std::string> unanswered{
        Request("020"),
        Request("000"),
        Request("990"),
        badChecksum,
        Request("01Z"),
        Request("01H7"),
        Request("01H0"),
        Request("01P0B", true),
        Request("01P0a", true),
        Request("01U02", true),
        Request("01Q10", true),
        Request("01R000D", true),
        Request("01R0000", true),
        Request("01R0201", true),
        Request("01A0A0025", true),
        Request("0143"),
        Request("01a0A0100000"),
        Request("010X"),
        "!006010"s + "}" + "\n\r",  // CR LF the wrong way round
    };
    for (const std::string& request : unanswered) port.Send(request);
    // The line is not stuck: the meters answer the next good requests, and only those.
    port.Send(Request("070"));
    const std::string reply = port.ReadFrame();
    EXPECT_TRUE(Verified(reply)) << reply;
    EXPECT_EQ(reply.substr(4, 3), "070");
    EXPECT_EQ(port.ReadFor(milliseconds(100)), "");
}

TEST(SimLine, ServesASerialDevice) {
    // A pseudo-terminal made here stands in for the device: the simulator opens its slave
    // with the line settings given, this test talks on the master.
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    Sim sim({"--device", name, "--baud", "19200", "--parity", "E", "--stop", "2", "--meter", "03"});
    EXPECT_EQ(sim.Path(), name);
    Port port(master);
    EXPECT_TRUE(Verified(port.Ask(Request("03H5"))));
    termios applied{};
    ASSERT_EQ(tcgetattr(slave, &applied), 0);
    EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B19200));
    EXPECT_NE(applied.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(applied.c_lflag & ECHO, 0u);
    close(slave);
}

TEST(SimLine, LiveValuesMoveAndAreReproducible) {
    auto readings = [](const std::string& seed, const std::string& meter) {
        Sim sim({"--meter", "01", "--meter", "07", "--seed", seed});
        Port port(sim.Path());
        std::vector<std::string> data;
        for (int read = 0; read < 6; ++read) data.push_back(Data(port.Ask(Request(meter + "0"))));
        return data;
    };
    const auto first = readings("42", "01");
    EXPECT_EQ(readings("42", "01"), first);
    EXPECT_NE(readings("43", "01"), first);
    EXPECT_NE(readings("42", "07"), first);
    EXPECT_NE(first.front(), first.back());
    // Like an installation: three phases near 230 V, 50 Hz, import energy not running back.
    double energy = 0;
    for (const std::string& data : first) {
        const auto fields = DecodePlain(data);
        for (int phase = 0; phase < 3; ++phase) {
            EXPECT_NEAR(fields[static_cast<std::size_t>(phase)], 230, 15);
        }
        EXPECT_NEAR(fields[16], 50, 0.5);
        EXPECT_GE(fields[17], energy);
        energy = fields[17];
    }
}

// Each fault mode, alone, on the reply it applies to.
TEST(SimFaults, EachModeDoesWhatItSays) {
    struct Case {
        std::string fault;
        std::string request;
        std::function<void(Port&, const std::string& request)> check;
    };
    const auto frameOf = [](Port& port) { return port.ReadFrame(); };
    const std::vector<Case> cases{
        {"silent", Request("010"),
         [](Port& port, const std::string&) { EXPECT_EQ(port.ReadFor(milliseconds(200)), ""); }},
        {"delay=200", Request("010"),
         [](Port& port, const std::string&) {
             const auto sent = Clock::now();
             EXPECT_TRUE(Verified(port.ReadFrame()));
             EXPECT_GE(port.first - sent, milliseconds(190));
         }},
        {"chunks=60", Request("01H3"),
         [](Port& port, const std::string&) {
             EXPECT_TRUE(Verified(port.ReadFrame()));
             EXPECT_GE(port.last - port.first, milliseconds(100));
         }},
        {"truncate", Request("010"),
         [](Port& port, const std::string&) {
             const std::string bytes = port.ReadBurst();
             ASSERT_GE(bytes.size(), 4u);
             EXPECT_EQ(bytes[0], '!');
             EXPECT_LT(bytes.size(), static_cast<std::size_t>(LengthField(bytes)) + 4);
         }},
        {"checksum", Request("010"),
         [&](Port& port, const std::string&) {
             const std::string frame = frameOf(port);
             ASSERT_EQ(frame.size(), 211u);
             EXPECT_EQ(frame.substr(frame.size() - 2), "\r\n");
             EXPECT_NE(frame[208], Sum(frame.substr(1, 207)));
         }},
        {"len000", Request("01U00", true),
         [](Port& port, const std::string&) {
             const std::string bytes = port.ReadBurst();
             EXPECT_EQ(bytes.substr(0, 4), "!000");
             EXPECT_EQ(bytes.size(), 14u);
         }},
        {"len999", Request("01U00", true),
         [](Port& port, const std::string&) {
             const std::string bytes = port.ReadBurst();
             EXPECT_EQ(bytes.substr(0, 4), "!999");
             EXPECT_EQ(bytes.size(), 14u);
         }},
        {"len301", Request("010"),
         [&](Port& port, const std::string&) {
             const std::string frame = frameOf(port);
             // A whole frame of 301 counted bytes whose checksum character matches the sum:
             // only the length limit makes it wrong.
             ASSERT_EQ(frame.size(), 305u);
             EXPECT_EQ(frame.substr(0, 4), "!301");
             EXPECT_EQ(frame[302], Sum(frame.substr(1, 301)));
         }},
        {"garbage", Request("010"),
         [&](Port& port, const std::string&) {
             const std::string bytes = frameOf(port);
             const auto marker = bytes.find('!');
             ASSERT_NE(marker, std::string::npos);
             EXPECT_GT(marker, 0u);
             EXPECT_TRUE(Verified(bytes.substr(marker)));
         }},
        {"len6", Request("01Q03", true),
         [](Port& port, const std::string&) {
             const std::string bytes =
                 port.ReadUntil([](const std::string& b) { return b.size() >= 10 + 60; });
             ASSERT_EQ(bytes.size(), 70u);
             EXPECT_TRUE(Verified(bytes.substr(0, 10)));
             EXPECT_EQ(LengthField(bytes), 6);
             EXPECT_TRUE(Verified(bytes.substr(10)));
             EXPECT_EQ(Data(bytes.substr(10)).size(), 50u);
         }},
        {"trailing", Request("01U01", true),
         [](Port& port, const std::string&) {
             const std::string bytes = port.ReadBurst();
             ASSERT_GT(bytes.size(), 14u);
             EXPECT_TRUE(Verified(bytes.substr(0, 14)));
         }},
        {"nonnumeric", Request("010"),
         [&](Port& port, const std::string&) {
             const std::string frame = frameOf(port);
             ASSERT_TRUE(Verified(frame));
             float value = 0;
             EXPECT_EQ(std::sscanf(Data(frame).substr(0, 4).c_str(), "%f", &value), 0);
         }},
        {"nonnumeric", Request("01A0A0101", true),
         [&](Port& port, const std::string&) {
             const std::string frame = frameOf(port);
             ASSERT_TRUE(Verified(frame));
             unsigned value = 0;
             EXPECT_EQ(std::sscanf(Data(frame).substr(2, 8).c_str(), "%X", &value), 0);
         }},
        {"hx", Request("01H4"),
         [&](Port& port, const std::string&) {
             const std::string frame = frameOf(port);
             ASSERT_TRUE(Verified(frame));
             EXPECT_EQ(Data(frame)[0], 'X');
         }},
        {"excount", Request("01A0A0003", true),
         [&](Port& port, const std::string&) {
             const std::string frame = frameOf(port);
             ASSERT_TRUE(Verified(frame));
             EXPECT_EQ(Data(frame).substr(0, 2), "04");
             EXPECT_EQ(Data(frame).size(), 2u + 3 * 8);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault + " on " + c.request.substr(0, c.request.find('\r')));
        Sim sim({"--fault", c.fault});
        Port port(sim.Path());
        port.Send(c.request);
        c.check(port, c.request);
    }
    // Modes that do not fit a reply leave it alone.
    Sim sim({"--fault", "hx", "--fault", "excount", "--fault", "nonnumeric"});
    Port port(sim.Path());
    const std::string plain = port.Ask(Request("010"));
    ASSERT_TRUE(Verified(plain));
    EXPECT_NE(Data(plain)[0], 'X');
    const std::string t = port.Ask(Request("01P00", true));
    ASSERT_TRUE(Verified(t));
    EXPECT_EQ(Data(t).find_first_not_of("0123456789ABCDEF"), std::string::npos) << t;
}

TEST(SimFaults, SelectorsPickTheRequests) {
    {
        Sim sim({"--meter", "01", "--meter", "07", "--fault", "checksum:meter=07"});
        Port port(sim.Path());
        EXPECT_TRUE(Verified(port.Ask(Request("010"))));
        EXPECT_FALSE(Verified(port.Ask(Request("070"))));
        EXPECT_TRUE(Verified(port.Ask(Request("01H1"))));
    }
    {
        Sim sim({"--fault", "silent:nth=2"});
        Port port(sim.Path());
        EXPECT_TRUE(Verified(port.Ask(Request("010"))));
        port.Send(Request("010"));
        EXPECT_EQ(port.ReadFor(milliseconds(150)), "");
        EXPECT_TRUE(Verified(port.Ask(Request("010"))));
    }
    auto pattern = [](const std::string& seed) {
        Sim sim({"--seed", seed, "--fault", "checksum:p=0.5"});
        Port port(sim.Path());
        std::string marks;
        for (int i = 0; i < 24; ++i)
            marks += Verified(port.Ask(Request("01U00", true))) ? '.' : 'x';
        return marks;
    };
    const std::string marks = pattern("9");
    EXPECT_EQ(pattern("9"), marks);
    EXPECT_NE(marks.find('.'), std::string::npos) << marks;
    EXPECT_NE(marks.find('x'), std::string::npos) << marks;
}

// An adapter without echo suppression: the request comes back byte for byte, its NUL
// included, ahead of the reply; with no reply, alone.
TEST(SimFaults, EchoHandsTheRequestBackBeforeTheReply) {
    const std::string events = TempName("echo.jsonl");
    {
        Sim sim({"--meter", "01", "--meter", "07", "--fault", "echo", "--events", events});
        Port port(sim.Path());
        const std::vector<std::string> answered{Request("010"),         Request("01H2"),
                                                Request("01P03", true), Request("01R0102", true),
                                                Request("0141"),        Request("01A0A0102", true),
                                                Request("07U01", true), Request("07Q0E", true)};
        for (const std::string& request : answered) {
            SCOPED_TRACE(request);
            port.Send(request);
            const std::string bytes =
                port.ReadUntil([&](const std::string& b) { return FrameAfter(b, request.size()); });
            ASSERT_GT(bytes.size(), request.size());
            EXPECT_EQ(Hex(bytes.substr(0, request.size())), Hex(request));
            const std::string reply = bytes.substr(request.size());
            ASSERT_TRUE(Verified(reply));
            EXPECT_EQ(reply.substr(4, 2), request.substr(4, 2));
        }
        for (const std::string& request : {Request("020"), Request("01Z")}) {
            port.Send(request);
            EXPECT_EQ(Hex(port.ReadBurst()), Hex(request));
        }
    }
    const auto seen = RequestEvents(events);
    ASSERT_EQ(seen.size(), 10u);
    for (const auto& event : seen) EXPECT_EQ(event["fault"], nlohmann::json::array({"echo"}));

    // Selectors pick the requests the line echoes; other faults still shape the reply.
    Sim sim({"--meter", "01", "--meter", "07", "--fault", "echo:meter=07", "--fault",
             "checksum:meter=07"});
    Port port(sim.Path());
    const std::string plain01 = port.Ask(Request("010"));
    EXPECT_TRUE(Verified(plain01)) << plain01;
    const std::string request = Request("07H1");
    port.Send(request);
    const std::string bytes =
        port.ReadUntil([&](const std::string& b) { return FrameAfter(b, request.size()); });
    ASSERT_GT(bytes.size(), request.size());
    EXPECT_EQ(bytes.substr(0, request.size()), request);
    EXPECT_FALSE(Verified(bytes.substr(request.size())));
    std::remove(events.c_str());
}

// One meter late, the other on time, on one line: the existing delay with a meter selector.
TEST(SimFaults, DelayPicksOneMeterOfAMultiDropLine) {
    const std::string events = TempName("delay.jsonl");
    {
        Sim sim({"--meter", "01", "--meter", "07", "--fault", "delay=150:meter=01", "--events",
                 events});
        Port port(sim.Path());
        for (int round = 0; round < 2; ++round) {
            const auto sent = Clock::now();
            EXPECT_TRUE(Verified(port.Ask(Request("01H1"))));
            EXPECT_GE(port.first - sent, milliseconds(150));
            const std::string reply = port.Ask(Request("070"));
            EXPECT_TRUE(Verified(reply));
            EXPECT_EQ(reply.substr(4, 2), "07");
        }
    }
    const auto seen = RequestEvents(events);
    ASSERT_EQ(seen.size(), 4u);
    for (const auto& event : seen) {
        SCOPED_TRACE(event.dump());
        ASSERT_TRUE(event["answered"].get<bool>());
        const auto wait =
            event["reply_start_us"].get<std::int64_t>() - event["time_us"].get<std::int64_t>();
        if (event["meter"] == 1) {
            EXPECT_EQ(event["fault"], nlohmann::json::array({"delay=150:meter=01"}));
            EXPECT_GE(wait, 150000);
        } else {
            EXPECT_EQ(event["fault"], nlohmann::json::array());
        }
    }
    std::remove(events.c_str());
}

// A listening adapter on the pair: every byte of the line, both ways, in line order; what is
// written to it goes nowhere; and nobody listening holds nothing up.
TEST(SimTap, ListenerHearsEveryByteInLineOrder) {
    const std::string tapLink = TempName("tap");
    const std::string events = TempName("tap.jsonl");
    {
        Sim sim({"--meter", "01", "--meter", "07", "--tap", tapLink, "--events", events, "--fault",
                 "echo:nth=2", "--fault", "garbage:nth=3", "--fault", "trailing:nth=3"});
        ASSERT_FALSE(sim.Path().empty());
        Port tap(tapLink);
        Port port(sim.Path());
        // Each request and how many bytes come back for it: a plain block (211), an echo of
        // 13 and a T reply of 18, garbage (5) + an H reply (180) + trailing bytes (4), none.
        const std::vector<std::pair<std::string, std::size_t>> exchanges{
            {Request("010"), 211},
            {Request("07P01", true), 31},
            {Request("01H4"), 189},
            {Request("020"), 0},
            {"junk", 0}};
        std::string expected;
        for (const auto& [request, count] : exchanges) {
            port.Send(request);
            const std::string got =
                count > 0 ? port.ReadUntil([&](const std::string& b) { return b.size() >= count; })
                          : port.ReadFor(milliseconds(100));
            EXPECT_EQ(got.size(), count) << request;
            expected += request + got;
        }
        EXPECT_NE(expected.find("\r\n#?~"), std::string::npos);
        const std::string heard =
            tap.ReadUntil([&](const std::string& b) { return b.size() >= expected.size(); });
        EXPECT_EQ(Hex(heard), Hex(expected));
        EXPECT_EQ(tap.ReadFor(milliseconds(100)), "");

        // A request written to the tap reaches no meter.
        tap.Send(Request("010"));
        EXPECT_EQ(port.ReadFor(milliseconds(150)), "");
    }
    EXPECT_EQ(RequestEvents(events).size(), 4u);
    struct stat info {};
    EXPECT_NE(lstat(tapLink.c_str(), &info), 0) << "tap link left behind";

    // Nobody opens the tap: far more than a pseudo-terminal holds goes by, and the line keeps
    // answering every request.
    const std::string quietTap = TempName("quiet-tap");
    Sim sim({"--tap", quietTap});
    Port port(sim.Path());
    int answered = 0;
    for (int i = 0; i < 400; ++i) answered += Verified(port.Ask(Request("010"))) ? 1 : 0;
    EXPECT_EQ(answered, 400);
}

TEST(SimRecords, EventsAndTraceTellWhatTheMeterSaw) {
    const std::string events = TempName("events.jsonl");
    const std::string trace = TempName("trace.txt");
    const std::vector<std::string> requests{Request("010"), Request("01H1"), Request("01P00", true),
                                            Request("020"), Request("01Z")};
    std::string firstReply;
    {
        Sim sim({"--events", events, "--trace", "--fault", "checksum:nth=2"}, trace);
        Port port(sim.Path());
        port.Send("junk");
        for (std::size_t i = 0; i < requests.size(); ++i) {
            port.Send(requests[i]);
            const std::string reply = i < 3 ? port.ReadFrame() : port.ReadFor(milliseconds(100));
            if (i == 0) firstReply = reply;
        }
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
    }
    std::ifstream file(events);
    std::vector<nlohmann::json> seen;
    std::string noise;
    for (std::string line; std::getline(file, line);) {
        const auto event = nlohmann::json::parse(line);
        if (event["kind"] == "noise") noise += event["bytes"]["text"].get<std::string>();
        if (event["kind"] == "request") seen.push_back(event);
    }
    ASSERT_EQ(seen.size(), requests.size());
    EXPECT_EQ(noise, "junk");
    const std::vector<std::string> commands{"0", "H1", "P00", "0", "Z"};
    const std::vector<bool> answered{true, true, true, false, false};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i]["command"], commands[i]);
        EXPECT_EQ(seen[i]["answered"], answered[i]);
        EXPECT_EQ(seen[i]["request"]["hex"], Hex(requests[i]));
        EXPECT_EQ(seen[i]["request"]["length"], requests[i].size());
        EXPECT_EQ(seen[i]["meter"], i == 3 ? 2 : 1);
        if (i > 0) {
            EXPECT_GE(seen[i]["time_us"], seen[i - 1]["time_us"]);
        }
    }
    EXPECT_EQ(seen[0]["reply"]["hex"], Hex(firstReply));
    EXPECT_EQ(seen[1]["fault"], nlohmann::json::array({"checksum:nth=2"}));
    EXPECT_EQ(seen[2]["request"]["text"], "!00801P00"s + Sum("00801P00") + "\\r\\n\\0");
    EXPECT_EQ(seen[3]["reason"], "other address");
    EXPECT_TRUE(seen[4]["reply"].is_null());

    std::ifstream traceFile(trace);
    const std::string traced((std::istreambuf_iterator<char>(traceFile)), {});
    EXPECT_NE(traced.find("rx !006010}\\r\\n | 213030363031307D0D0A"), std::string::npos) << traced;
    EXPECT_NE(traced.find("fault: checksum:nth=2"), std::string::npos) << traced;
    EXPECT_NE(traced.find("no reply: other address"), std::string::npos) << traced;
    std::remove(events.c_str());
    std::remove(trace.c_str());
}

TEST(SimPacing, RepliesGoOutAtTheLineRate) {
    Sim sim({"--baud", "9600"});
    Port port(sim.Path());
    const std::string reply = port.Ask(Request("010"));
    ASSERT_TRUE(Verified(reply));
    // From the first character's arrival to the last's: 210 characters of 10 bits.
    const double expectedMs = 210 * 10 * 1000.0 / 9600;
    const double seenMs = std::chrono::duration<double, std::milli>(port.last - port.first).count();
    // Never faster than the line (10 % for the clock's and the terminal's granularity); how
    // close to it is a measurement, not a check, and a loaded machine only makes it slower.
    EXPECT_GE(seenMs, expectedMs * 0.9);
    EXPECT_LT(seenMs, expectedMs * 10);
}

// --line-speed: the meters hear only requests sent while the client has the line at that
// speed, read from the pseudo-terminal's settings at each request. --baud alone only paces.
TEST(SimPacing, MetersAnswerOnlyAtTheirLineSpeed) {
    const std::string events = TempName("speed.jsonl");
    {
        Sim sim({"--meter", "04", "--line-speed", "9600", "--events", events});
        Port port(sim.Path());
        port.SetSpeed(B19200);
        port.Send(Request("04H1"));
        EXPECT_EQ(port.ReadFor(milliseconds(200)), "");
        // Unheard, a write changes nothing.
        port.Send(
            Request("04a0A02"
                    "0000002A"));
        EXPECT_EQ(port.ReadFor(milliseconds(200)), "");
        port.SetSpeed(B9600);
        EXPECT_TRUE(Verified(port.Ask(Request("04H1"))));
        EXPECT_EQ(Data(port.Ask(Request("04A0A0201", true))), "0100000000");
        // The speed is read again for each request, also after the client reopens the line.
        port.SetSpeed(B19200);
        port.Send(Request("040"));
        EXPECT_EQ(port.ReadFor(milliseconds(200)), "");
        Port again(sim.Path());
        again.SetSpeed(B9600);
        EXPECT_TRUE(Verified(again.Ask(Request("040"))));
    }
    const auto seen = RequestEvents(events);
    ASSERT_EQ(seen.size(), 6u);
    for (const std::size_t unheard : {0u, 1u, 4u}) {
        EXPECT_EQ(seen[unheard]["reason"], "line at 19200 baud, meters at 9600");
        EXPECT_EQ(seen[unheard]["meter"], 4);
        EXPECT_FALSE(seen[unheard]["answered"].get<bool>());
    }
    std::remove(events.c_str());

    Sim paced({"--baud", "9600"});
    Port port(paced.Path());
    port.SetSpeed(B19200);
    EXPECT_TRUE(Verified(port.Ask(Request("01U00", true))));
}

TEST(SimLifecycle, ClientsReopenTheLinkAndShutdownRemovesIt) {
    for (const int signal : {SIGTERM, SIGINT}) {
        const std::string link = TempName("m1");
        Sim sim({"--link", link});
        ASSERT_FALSE(sim.Path().empty());
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), sim.Path());
        // Clients come and go; the line keeps answering.
        for (int client = 0; client < 3; ++client) {
            Port port(link);
            EXPECT_TRUE(Verified(port.Ask(Request("010"))));
        }
        // The same with the driver's serial layer: exclusive opens, one after the other.
        for (int client = 0; client < 3; ++client) {
            serial::PortHandle handle = 0;
            const LineParameters line{9600, 8, 0, 0};
            ASSERT_EQ(serial::OpenPort(link.c_str(), line, 0, &handle), serial::SerialResult::Ok);
            const std::string request = Request("01H2");
            std::uint32_t count = 0;
            EXPECT_EQ(
                serial::WritePort(handle, reinterpret_cast<const std::uint8_t*>(request.data()),
                                  static_cast<std::uint32_t>(request.size()), &count),
                serial::SerialResult::Ok);
            // The reply is read on the port's descriptor (the handle on POSIX) with a wait of
            // our own: this checks the simulator's side of the reopen, not the driver's reads.
            std::string reply;
            const auto deadline = Clock::now() + std::chrono::seconds(3);
            while (reply.size() < 180 && Clock::now() < deadline) {
                pollfd entry{static_cast<int>(handle), POLLIN, 0};
                if (poll(&entry, 1, 100) <= 0) continue;
                char chunk[256];
                const ssize_t got = read(static_cast<int>(handle), chunk, sizeof chunk);
                if (got > 0) reply.append(chunk, static_cast<std::size_t>(got));
            }
            EXPECT_TRUE(Verified(reply)) << reply;
            EXPECT_EQ(serial::ClosePort(handle), serial::SerialResult::Ok);
        }
        EXPECT_EQ(sim.Stop(signal), 0);
        struct stat info {};
        EXPECT_NE(lstat(link.c_str(), &info), 0) << "link left behind";
    }
}

TEST(SimLifecycle, StaleLinksAreReplacedOtherFilesKept) {
    const std::string link = TempName("stale");
    ASSERT_EQ(symlink("/dev/pts/no-such-terminal", link.c_str()), 0);
    {
        Sim sim({"--link", link});
        EXPECT_FALSE(sim.Path().empty());
        Port port(link);
        EXPECT_TRUE(Verified(port.Ask(Request("010"))));
    }
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0);

    std::ofstream(link) << "keep me";
    Sim refused({"--link", link});
    EXPECT_TRUE(refused.Path().empty());
    EXPECT_EQ(refused.Wait(), 2);
    std::ifstream kept(link);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "keep me");
    std::remove(link.c_str());
}

}  // namespace
