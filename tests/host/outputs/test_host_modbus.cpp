// The Modbus TCP face without a socket: the site file's keys, the register map a site file
// gives, and every answer (registers, word order, exceptions, write orders) from a poller status
// made by hand, with frames taken apart as a client sends them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "loaded_driver_test.h"
#include "outputs/modbus_map.h"
#include "outputs/modbus_registers.h"
#include "site/site_config.h"
#include "site/site_gates.h"

namespace {

using host::outputs::ModbusAnswer;
using host::outputs::ModbusException;
using host::outputs::ModbusRequest;

const std::string kSite = R"(
[modbus_tcp]
listen = "0.0.0.0:1502"
idle_timeout = "5s"
max_clients = 20
[[line]]
name = "A"
port = "/tmp/x"
interval = "1s"
[[line.meter]]
name = "one"
address = 1
gates = ["0101", { gate = "01EX1001:4", modbus_write = true }, "0101H2"]
plain.0 = { name = "voltage L1", unit = "V" }
[[line.meter]]
name = "two"
address = 2
modbus_unit = 40
gates = ["0201"]
[[line]]
name = "B"
port = "/tmp/y"
interval = "1s"
[[line.meter]]
name = "three"
address = 1
modbus_unit = 7
gates = [{ gate = "01EX1005:2", modbus_write = true }]
)";

class ModbusTest : public vpitest::LoadedDriverTest {
protected:
    host::site::PreparedSite Prepare(const std::string& text, std::vector<std::string>* errors) {
        const host::site::SiteConfigResult config = host::site::ParseSiteConfig(text, "site.toml");
        for (const auto& e : config.errors) errors->push_back(e.Text());
        host::site::PreparedSite site = host::site::PrepareSite(driver_, config.site);
        for (const auto& e : site.errors) errors->push_back(e.Text());
        return site;
    }

    void SetUp() override {
        LoadedDriverTest::SetUp();
        std::vector<std::string> errors;
        site_ = Prepare(kSite, &errors);
        ASSERT_TRUE(errors.empty()) << errors.front();
        std::vector<std::string> problems;
        map_ = host::outputs::BuildModbusMap(site_, &problems);
        ASSERT_TRUE(problems.empty());
        status_ = StatusOf(site_);
    }

    // A status of the prepared site as its poller would have it: every port open, every meter
    // answered a second ago, every value k of a gate read as 100 * gate + k.
    static host::site::SiteStatus StatusOf(const host::site::PreparedSite& site) {
        host::site::SiteStatus status;
        for (const auto& line : site.lines) {
            host::site::LineStatus l;
            l.name = line.name;
            l.open = true;
            l.problem.clear();
            for (const auto& meter : line.meters) {
                host::site::MeterStatus m;
                m.name = meter.name;
                m.address = meter.address;
                m.health = host::site::MeterHealth::Answering;
                m.lastAnswerUnixMs = kNow - 1500;
                for (std::size_t g = 0; g < meter.gates.size(); ++g) {
                    host::site::GateStatus gate;
                    gate.address = meter.gates[g].gate.address;
                    gate.keys = meter.gates[g].keys;
                    for (std::size_t k = 0; k < gate.keys.size(); ++k)
                        gate.values.push_back(static_cast<float>(100 * g + k) + 0.5F);
                    gate.valuesUnixMs = kNow - 3200;
                    m.gates.push_back(gate);
                }
                l.meters.push_back(m);
            }
            status.lines.push_back(l);
        }
        return status;
    }

    ModbusAnswer Ask(int unit, int function, int address, int count,
                     std::vector<std::uint16_t> registers = {}) const {
        ModbusRequest request;
        request.unit = unit;
        request.function = function;
        request.address = address;
        request.count = count;
        request.registers = std::move(registers);
        return host::outputs::AnswerRequest(map_, status_, kNow, request);
    }

    static constexpr std::int64_t kNow = 1'800'000'000'000;
    host::site::PreparedSite site_;
    host::outputs::ModbusMap map_;
    host::site::SiteStatus status_;
};

TEST_F(ModbusTest, SiteFileSettingsAndUnits) {
    EXPECT_TRUE(site_.modbusTcp.enabled);
    EXPECT_EQ(site_.modbusTcp.host, "0.0.0.0");
    EXPECT_EQ(site_.modbusTcp.port, 1502);
    EXPECT_EQ(site_.modbusTcp.idleTimeoutMs, 5000);
    EXPECT_EQ(site_.modbusTcp.maxClients, 20);
    EXPECT_FALSE(site_.modbusTcp.swappedWords);
    // The PLC address by default; the file's unit where it gives one (two meters at PLC address
    // 1 on two lines, told apart by it).
    ASSERT_EQ(map_.units.size(), 3U);
    EXPECT_EQ(map_.units[0].unit, 1);
    EXPECT_EQ(map_.units[1].unit, 40);
    EXPECT_EQ(map_.units[2].unit, 7);
    EXPECT_EQ(map_.Find(7)->meter, "three");
    EXPECT_EQ(map_.Find(2), nullptr);

    const host::site::SiteConfigResult off = host::site::ParseSiteConfig(
        "[[line]]\nname=\"A\"\nport=\"/tmp/x\"\n[[line.meter]]\n"
        "name=\"m\"\naddress=0\ninterval=\"1s\"\ngates=[\"0001\"]\n",
        "site.toml");
    EXPECT_TRUE(off.errors.empty()) << "without [modbus_tcp], address 0 is no problem";
    EXPECT_FALSE(off.site.modbusTcp.enabled);
}

TEST_F(ModbusTest, BrokenSettingsAreNamedByLine) {
    const std::string line = "[[line]]\nname = \"A\"\nport = \"/tmp/x\"\ninterval = \"1s\"\n";
    const std::string meter1 = "[[line.meter]]\nname = \"m\"\naddress = 1\ngates = [\"0101\"]\n";
    struct Case {
        std::string text;
        int line;
        const char* reason;
    };
    const Case cases[] = {
        {"[modbus_tcp]\nlisten = \"1502\"\n" + line + meter1, 2, "HOST:PORT"},
        {"[modbus_tcp]\nlisten = \"h:70000\"\n" + line + meter1, 2, "HOST:PORT"},
        {"[modbus_tcp]\nword_order = \"little\"\n" + line + meter1, 2, "\"swapped\""},
        {"[modbus_tcp]\nidle_timeout = 10\n" + line + meter1, 2, "with its unit"},
        {"[modbus_tcp]\nidle_timeout = \"10ms\"\n" + line + meter1, 2, "idle_timeout"},
        {"[modbus_tcp]\nmax_clients = 0\n" + line + meter1, 2, "from 1 to 1000"},
        {"[modbus_tcp]\nport = 502\n" + line + meter1, 2, "unknown key \"port\""},
        {"modbus_tcp = 1\n" + line + meter1, 1, "must be a table"},
        {"[modbus_tcp]\n" + line + meter1 + "modbus_unit = 248\n", 10, "1 to 247"},
        {"[modbus_tcp]\n" + line +
             "[[line.meter]]\nname = \"z\"\naddress = 0\n"
             "gates = [\"0001\"]\n",
         6, "PLC address 0"},
        {"[modbus_tcp]\n" + line + meter1 + "[[line]]\nname = \"B\"\nport = \"/tmp/y\"\n" +
             "interval = \"1s\"\n" + meter1,
         14, "would be Modbus unit 1"},
        {"[modbus_tcp]\n" + line + meter1 + "modbus_unit = 9\n" +
             "[[line.meter]]\nname = \"n\"\naddress = 9\ngates = [\"0901\"]\n",
         11, "would be Modbus unit 9"},
        {"[modbus_tcp]\n" + line +
             "[[line.meter]]\nname = \"m\"\naddress = 1\n"
             "gates = [{ gate = \"0101\", modbus_write = true }]\n",
         9, "EX gates of group 10"},
        {"[modbus_tcp]\n" + line +
             "[[line.meter]]\nname = \"m\"\naddress = 1\n"
             "gates = [{ gate = \"01EX1001:2\", modbus_write = \"yes\" }]\n",
         9, "true or false"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> errors;
        Prepare(c.text, &errors);
        std::string all;
        bool found = false;
        const std::string where = "site.toml:" + std::to_string(c.line) + ":";
        for (const std::string& e : errors) {
            all += e + "\n";
            found = found || (e.rfind(where, 0) == 0 && e.find(c.reason) != std::string::npos);
        }
        EXPECT_TRUE(found) << c.text << "\nwanted " << where << " " << c.reason << "\ngot:\n"
                           << all;
    }
}

TEST_F(ModbusTest, MapLaysEveryValueOutInTheFilesOrder) {
    const host::outputs::ModbusUnit& one = map_.units[0];
    // The plain block (40), four EX registers, the H2 block (34).
    ASSERT_EQ(one.values.size(), 40U + 4 + 34);
    EXPECT_EQ(one.values[0].key, "plain.0");
    EXPECT_EQ(one.values[0].label.name, "voltage L1");
    EXPECT_EQ(one.values[40].key, "ex.10.1");
    EXPECT_TRUE(one.values[43].writable);
    EXPECT_FALSE(one.values[39].writable);
    EXPECT_EQ(one.values[44].key, "h2.0");

    const std::vector<host::outputs::ModbusMapRow> rows = host::outputs::ModbusMapRows(map_);
    int floats = 0;
    for (const auto& row : rows) {
        if (row.unit != 1 || row.what != "value") continue;
        EXPECT_EQ(row.address, host::outputs::kValueBase + 2 * floats) << row.key;
        EXPECT_EQ(row.count, 2);
        ++floats;
    }
    EXPECT_EQ(floats, 78);
    const std::string csv = host::outputs::ModbusMapCsv(map_);
    EXPECT_NE(csv.find("\n1,A,one,1000,2,float32,big,read,value,plain.0,voltage L1,V\n"),
              std::string::npos);
    EXPECT_NE(csv.find("\n1,A,one,1080,2,float32,big,read/write,value,ex.10.1,,\n"),
              std::string::npos);
    EXPECT_NE(csv.find("\n7,B,three,5001,1,uint16,,read,seconds since value read,ex.10.6,,\n"),
              std::string::npos);
    // The same file gives the same map.
    std::vector<std::string> none;
    EXPECT_EQ(host::outputs::ModbusMapCsv(host::outputs::BuildModbusMap(site_, &none)), csv);
    EXPECT_NE(host::outputs::ModbusMapMarkdown(map_).find("| 1080 | 2 | float32 | read/write |"),
              std::string::npos);
}

TEST_F(ModbusTest, ReadsServeStatusValuesAndAges) {
    for (int function : {3, 4}) {
        SCOPED_TRACE(function);
        ModbusAnswer status = Ask(1, function, 0, 4);
        ASSERT_EQ(status.exception, ModbusException::None);
        EXPECT_EQ(status.registers, (std::vector<std::uint16_t>{1, 1, 0, 78}));
        // The EX gate is the second gate: its values are 100.5, 101.5, ...
        ModbusAnswer values = Ask(1, function, 1080, 4);
        ASSERT_EQ(values.registers.size(), 4U);
        EXPECT_EQ(host::outputs::RegistersToFloat(&values.registers[0], false), 100.5F);
        EXPECT_EQ(host::outputs::RegistersToFloat(&values.registers[2], false), 101.5F);
        // 100.5 is 0x42C90000: high word first.
        EXPECT_EQ(values.registers[0], 0x42C9);
        EXPECT_EQ(values.registers[1], 0x0000);
        ModbusAnswer ages = Ask(1, function, 5000, 78);
        ASSERT_EQ(ages.registers.size(), 78U);
        EXPECT_EQ(ages.registers[0], 3);
    }
    // A read may start or end inside a float.
    ModbusAnswer odd = Ask(1, 4, 1081, 2);
    ASSERT_EQ(odd.exception, ModbusException::None);
    EXPECT_EQ(odd.registers[0], 0x0000);
    EXPECT_EQ(odd.registers[1], 0x42CB);  // 101.5
    // The last value and the last age exactly; one past them is no register.
    EXPECT_EQ(Ask(1, 4, 1000 + 2 * 77, 2).exception, ModbusException::None);
    EXPECT_EQ(Ask(1, 4, 1000 + 2 * 77, 3).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(1, 4, 5077, 1).exception, ModbusException::None);
    EXPECT_EQ(Ask(1, 4, 5077, 2).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(1, 4, 3, 2).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(1, 4, 999, 2).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(1, 4, 4, 1).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(1, 4, 65535, 2).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(5, 4, 0, 1).exception, ModbusException::PathUnavailable);
    EXPECT_EQ(Ask(1, 5, 0, 1).exception, ModbusException::IllegalFunction);
}

TEST_F(ModbusTest, SwappedWordOrder) {
    map_.swappedWords = true;
    ModbusAnswer values = Ask(1, 4, 1080, 2);
    EXPECT_EQ(values.registers, (std::vector<std::uint16_t>{0x0000, 0x42C9}));
    EXPECT_EQ(host::outputs::RegistersToFloat(values.registers.data(), true), 100.5F);
}

TEST_F(ModbusTest, DownMetersKeepTheirStatusBlockOnly) {
    // Silent: the status block says so, values and ages are not served.
    host::site::MeterStatus& one = status_.lines[0].meters[0];
    one.health = host::site::MeterHealth::BackingOff;
    one.consecutiveFailures = 3;
    EXPECT_EQ(Ask(1, 4, 0, 3).registers, (std::vector<std::uint16_t>{0, 1, 3}));
    EXPECT_EQ(Ask(1, 4, 1000, 2).exception, ModbusException::TargetFailed);
    EXPECT_EQ(Ask(1, 3, 5000, 1).exception, ModbusException::TargetFailed);
    // Answering, but on a port that has gone: down too.
    host::site::LineStatus& b = status_.lines[1];
    EXPECT_EQ(Ask(7, 4, 1000, 2).exception, ModbusException::None);
    b.open = false;
    EXPECT_EQ(Ask(7, 4, 1000, 2).exception, ModbusException::TargetFailed);
    EXPECT_EQ(Ask(7, 4, 0, 1).registers, (std::vector<std::uint16_t>{0}));
    // Not answered yet: unknown times; a gate never read is NaN with an unknown age.
    status_.lines[0].meters[1].lastAnswerUnixMs = 0;
    status_.lines[0].meters[1].gates[0].valuesUnixMs = 0;
    EXPECT_EQ(Ask(40, 4, 1, 1).registers[0], host::outputs::kRegisterUnknown);
    const ModbusAnswer never = Ask(40, 4, 1000, 2);
    EXPECT_TRUE(std::isnan(host::outputs::RegistersToFloat(never.registers.data(), false)));
    EXPECT_EQ(Ask(40, 4, 5000, 1).registers[0], host::outputs::kRegisterUnknown);
    // A status that no longer has the unit's meter (a reload in between): down, not a crash.
    status_.lines[1].name = "renamed";
    status_.lines[1].open = true;
    EXPECT_EQ(Ask(7, 4, 1000, 2).exception, ModbusException::TargetFailed);
    status_.lines.pop_back();
    EXPECT_EQ(Ask(7, 4, 1000, 2).exception, ModbusException::TargetFailed);
}

TEST_F(ModbusTest, WritesOnlyWholeValuesOfOneWritableGate) {
    std::vector<std::uint16_t> two(4);
    host::outputs::FloatToRegisters(77, false, &two[0]);
    host::outputs::FloatToRegisters(-5, false, &two[2]);
    ModbusAnswer whole = Ask(1, 16, 1080, 4, two);
    ASSERT_EQ(whole.exception, ModbusException::None);
    EXPECT_TRUE(whole.write);
    EXPECT_EQ(whole.order.line, "A");
    EXPECT_EQ(whole.order.gateAddress, "01EX1001");
    EXPECT_EQ(whole.order.values, (std::vector<float>{77, -5}));
    // From the third register of the gate: the address moves to its item.
    ModbusAnswer third = Ask(1, 16, 1084, 2, {two[0], two[1]});
    ASSERT_EQ(third.exception, ModbusException::None);
    EXPECT_EQ(third.order.gateAddress, "01EX1003");
    // A unit on another line, its gate from item 5.
    EXPECT_EQ(Ask(7, 16, 1002, 2, {two[0], two[1]}).order.gateAddress, "01EX1006");
    EXPECT_EQ(Ask(7, 16, 1002, 2, {two[0], two[1]}).order.line, "B");

    EXPECT_EQ(Ask(1, 16, 1000, 2, {two[0], two[1]}).exception, ModbusException::IllegalAddress)
        << "plain.0 is read-only";
    EXPECT_EQ(Ask(1, 16, 1078, 4, two).exception, ModbusException::IllegalAddress)
        << "a write that takes in a read-only value";
    EXPECT_EQ(Ask(1, 16, 1086, 4, two).exception, ModbusException::IllegalAddress)
        << "past the writable gate";
    EXPECT_EQ(Ask(1, 16, 1081, 2, {two[0], two[1]}).exception, ModbusException::IllegalAddress)
        << "half of two floats";
    EXPECT_EQ(Ask(1, 16, 1080, 3, {two[0], two[1], two[2]}).exception,
              ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(1, 16, 0, 2, {1, 1}).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(1, 6, 1080, 1, {two[0]}).exception, ModbusException::IllegalFunction);
    EXPECT_EQ(Ask(40, 16, 1000, 2, {two[0], two[1]}).exception, ModbusException::IllegalAddress);
    EXPECT_EQ(Ask(99, 16, 1080, 2, {two[0], two[1]}).exception, ModbusException::PathUnavailable);
    // The register holds a signed 32-bit whole number: a fraction or NaN does not go out.
    std::vector<std::uint16_t> bad(2);
    host::outputs::FloatToRegisters(7.5F, false, bad.data());
    EXPECT_EQ(Ask(1, 16, 1080, 2, bad).exception, ModbusException::IllegalValue);
    host::outputs::FloatToRegisters(NAN, false, bad.data());
    EXPECT_EQ(Ask(1, 16, 1080, 2, bad).exception, ModbusException::IllegalValue);
    // Swapped words are read back as the client sent them.
    map_.swappedWords = true;
    host::outputs::FloatToRegisters(77, true, bad.data());
    EXPECT_EQ(Ask(1, 16, 1080, 2, bad).order.values, (std::vector<float>{77}));
}

// Frames as clients send them: MBAP header, unit, PDU.
std::vector<std::uint8_t> Frame(std::uint8_t unit, std::vector<std::uint8_t> pdu) {
    const std::size_t length = pdu.size() + 1;
    std::vector<std::uint8_t> frame(7 + pdu.size());
    frame[0] = 0x12;
    frame[1] = 0x34;
    frame[4] = static_cast<std::uint8_t>(length >> 8);
    frame[5] = static_cast<std::uint8_t>(length & 0xFF);
    frame[6] = unit;
    for (std::size_t i = 0; i < pdu.size(); ++i) frame[7 + i] = pdu[i];
    return frame;
}

TEST(ModbusFrames, LengthFromTheHeaderOnly) {
    const std::vector<std::uint8_t> read = Frame(1, {4, 0x03, 0xE8, 0, 2});
    EXPECT_EQ(host::outputs::FrameLength(read.data(), 6), 0) << "header not in yet";
    EXPECT_EQ(host::outputs::FrameLength(read.data(), 7), 12);
    std::vector<std::uint8_t> other = read;
    other[3] = 1;  // protocol id 1
    EXPECT_EQ(host::outputs::FrameLength(other.data(), other.size()), -1);
    const std::uint8_t garbage[] = {'G', 'A', 'R', 'B', 'A', 'G', 'E'};
    EXPECT_EQ(host::outputs::FrameLength(garbage, sizeof garbage), -1);
    const std::uint8_t tooLong[] = {0, 0, 0, 0, 1, 0, 1};  // 256 bytes after the length
    EXPECT_EQ(host::outputs::FrameLength(tooLong, sizeof tooLong), -1);
    const std::uint8_t noPdu[] = {0, 0, 0, 0, 0, 1, 1};
    EXPECT_EQ(host::outputs::FrameLength(noPdu, sizeof noPdu), -1);
    const std::uint8_t largest[] = {0, 0, 0, 0, 0, 254, 1};
    EXPECT_EQ(host::outputs::FrameLength(largest, sizeof largest), 260);
}

TEST(ModbusFrames, RequestsTakenApart) {
    ModbusRequest request;
    std::vector<std::uint8_t> f = Frame(7, {4, 0x03, 0xE8, 0, 2});
    ASSERT_EQ(host::outputs::DecodeRequest(f.data(), f.size(), &request), ModbusException::None);
    EXPECT_EQ(request.unit, 7);
    EXPECT_EQ(request.function, 4);
    EXPECT_EQ(request.address, 1000);
    EXPECT_EQ(request.count, 2);
    f = Frame(1, {16, 0x04, 0x38, 0, 2, 4, 0x42, 0x9A, 0, 0});
    ASSERT_EQ(host::outputs::DecodeRequest(f.data(), f.size(), &request), ModbusException::None);
    EXPECT_EQ(request.address, 1080);
    EXPECT_EQ(request.registers, (std::vector<std::uint16_t>{0x429A, 0}));

    struct Bad {
        const char* what;
        std::vector<std::uint8_t> pdu;
        ModbusException exception;
    };
    const Bad bad[] = {
        {"no registers", {3, 0, 0, 0, 0}, ModbusException::IllegalValue},
        {"126 registers", {3, 0, 0, 0, 126}, ModbusException::IllegalValue},
        {"read with a tail", {4, 0, 0, 0, 1, 9}, ModbusException::IllegalValue},
        {"short read", {4, 0, 0, 0}, ModbusException::IllegalValue},
        {"byte count not twice the count",
         {16, 0, 0, 0, 2, 3, 1, 2, 3},
         ModbusException::IllegalValue},
        {"fewer bytes than the byte count",
         {16, 0, 0, 0, 2, 4, 1, 2, 3},
         ModbusException::IllegalValue},
        {"124 registers", {16, 0, 0, 0, 124, 248}, ModbusException::IllegalValue},
        {"coils", {1, 0, 0, 0, 1}, ModbusException::IllegalFunction},
        {"write coil", {5, 0, 0, 0xFF, 0}, ModbusException::IllegalFunction},
    };
    for (const Bad& b : bad) {
        f = Frame(1, b.pdu);
        EXPECT_EQ(host::outputs::DecodeRequest(f.data(), f.size(), &request), b.exception)
            << b.what;
    }
}

}  // namespace
