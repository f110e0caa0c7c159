// vpihost ports on a fake sysfs and /dev tree: which ttys are ports, their driver, USB details
// and by-id/by-path aliases, whether each name fits the driver, and the udev rule for a stable
// short name (checked by udevadm where it can verify rules, else by its text).
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pty_pair.h"
#include "vpihost_run.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using vpitest::Outcome;

void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

void Link(const fs::path& link, const fs::path& target) {
    fs::create_directories(link.parent_path());
    if (!fs::is_symlink(link)) fs::create_directory_symlink(target, link);
}

// A machine as sysfs shows it: an FTDI adapter, a CDC-ACM device without a serial number, two
// UARTs behind the serial core's port devices (ttyS2, ttyS10) and one empty UART slot
// (ttyS1, type 0), and a virtual console with no device at all.
class FakeMachine {
public:
    FakeMachine() : root_(vpitest::TempPath("root")) {
        const fs::path usb = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1";
        AddUsb(usb / "1-2", "0403", "6001", "FTDI", "FT232R USB UART", "A10K4XYZ");
        AddUsbTty(usb / "1-2/1-2:1.0/ttyUSB0", "ttyUSB0", "usb-serial/drivers/ftdi_sio", 7);
        AddUsb(usb / "1-3", "2341", "0043", "Arduino", "Uno", "");
        AddUsbTty(usb / "1-3/1-3:1.0", "ttyACM0", "usb/drivers/cdc_acm", 6);
        for (const auto& [name, type] :
             {std::pair{"ttyS1", "0"}, {"ttyS2", "4"}, {"ttyS10", "4"}}) {
            AddUart(name, type);
        }
        fs::create_directories(root_ / "sys/devices/virtual/tty/tty0");
        Link(root_ / "sys/class/tty/tty0", "../../devices/virtual/tty/tty0");
        Link(root_ / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K4XYZ-if00-port0",
             "../../ttyUSB0");
        Link(root_ / "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0");
        Link(root_ / "dev/serial/by-id/usb-Arduino_Uno-if00", "../../ttyACM0");
    }
    ~FakeMachine() { fs::remove_all(root_); }
    std::string Root() const { return root_.string(); }

private:
    void AddUsb(const fs::path& device, const char* vendor, const char* product,
                const char* manufacturer, const char* name, const char* serial) {
        Write(device / "idVendor", vendor);
        Write(device / "idProduct", product);
        Write(device / "manufacturer", manufacturer);
        Write(device / "product", name);
        if (*serial != '\0') Write(device / "serial", serial);
        Write(device / (device.filename().string() + ":1.0") / "bInterfaceNumber", "00");
    }
    // The tty of a USB device at `device`; `depth`: the levels from the device to sys/.
    void AddUsbTty(const fs::path& device, const std::string& name, const std::string& driver,
                   int depth) {
        fs::create_directories(device / "tty" / name);
        std::string up;
        for (int i = 0; i < depth; ++i) up += "../";
        Link(device / "driver", up + "bus/" + driver);
        Link(device / "tty" / name / "device", "../..");
        const fs::path relative = fs::relative(device / "tty" / name, root_ / "sys");
        Link(root_ / "sys/class/tty" / name, "../../" + relative.string());
    }
    // A UART behind the serial core: tty -> port device (serial-base) -> controller -> chip.
    void AddUart(const std::string& name, const char* type) {
        const fs::path chip = root_ / "sys/devices/platform/serial8250";
        const fs::path port = chip / ("serial8250:0." + name.substr(4));
        fs::create_directories(port / "tty" / name);
        Link(chip / "driver", "../../../bus/platform/drivers/serial8250");
        Link(port / "driver", "../../../../bus/serial-base/drivers/port");
        Link(port / "tty" / name / "device", "../..");
        Write(port / "tty" / name / "type", type);
        Link(root_ / "sys/class/tty" / name,
             "../../devices/platform/serial8250/" + port.filename().string() + "/tty/" + name);
    }
    fs::path root_;
};

Outcome Ports(std::vector<std::string> more) {
    std::vector<std::string> args{VPIHOST_PATH, "ports"};
    args.insert(args.end(), more.begin(), more.end());
    return vpitest::RunToEnd(args);
}

TEST(Ports, ListsTheDevicesBehindTheTtysWithTheirAliasesAndFit) {
    const FakeMachine machine;
    const Outcome run = Ports({"--root", machine.Root(), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<Json> ports;
    for (const std::string& line : vpitest::SplitLines(run.out)) ports.push_back(Json::parse(line));
    ASSERT_EQ(ports.size(), 4u) << run.out;
    // By name, numbers as numbers; the empty UART slot and the console are no ports.
    EXPECT_EQ(ports[0]["port"], "ttyACM0");
    EXPECT_EQ(ports[1]["port"], "ttyS2");
    EXPECT_EQ(ports[2]["port"], "ttyS10");
    EXPECT_EQ(ports[3]["port"], "ttyUSB0");

    const Json& ftdi = ports[3];
    EXPECT_EQ(ftdi["device"], "/dev/ttyUSB0");
    EXPECT_EQ(ftdi["driver"], "ftdi_sio");
    EXPECT_EQ(ftdi["vendor"], "0403");
    EXPECT_EQ(ftdi["product_id"], "6001");
    EXPECT_EQ(ftdi["manufacturer"], "FTDI");
    EXPECT_EQ(ftdi["serial"], "A10K4XYZ");
    EXPECT_EQ(ftdi["interface"], "00");
    EXPECT_EQ(ftdi["fits"], true);
    EXPECT_EQ(ftdi["plug_order_name"], true);
    EXPECT_EQ(ftdi["by_id"],
              Json::parse(R"(["/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K4XYZ-if00-port0"])"));
    EXPECT_EQ(ftdi["by_path"],
              Json::parse(R"(["/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"])"));
    EXPECT_EQ(ports[0]["driver"], "cdc_acm");
    EXPECT_EQ(ports[0]["serial"], "");
    // The chip's driver, past the serial core's own port device.
    EXPECT_EQ(ports[1]["driver"], "serial8250");
    EXPECT_EQ(ports[1]["vendor"], "");
    EXPECT_EQ(ports[1]["plug_order_name"], false);

    const Outcome all = Ports({"--root", machine.Root(), "--all", "--csv"});
    ASSERT_EQ(all.exitCode, 0);
    EXPECT_EQ(vpitest::SplitLines(all.out).size(), 6u) << all.out;  // header and five ports
    EXPECT_NE(all.out.find("\n\"ttyS1\",yes,"), std::string::npos) << all.out;
}

TEST(Ports, TheTableSaysWhichNamesFitTheDriver) {
    const FakeMachine machine;
    const Outcome run = Ports({"--root", machine.Root()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K4XYZ-if00-port0  (too "
                           "long for the driver)"),
              std::string::npos)
        << run.out;
    // No node in the fake /dev: the adapter is gone, and the line below says so.
    EXPECT_NE(run.out.find("\nttyUSB0     yes  gone   ftdi_sio       0403:6001 A10K4XYZ         "
                           "FTDI FT232R USB UART\n    no such device\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("--udev-rule NAME PORT"), std::string::npos);

    const Outcome none = Ports({"--root", machine.Root() + "/nothing-here"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.err.find("no serial ports"), std::string::npos);
}

// Whether this user can open each port now, found without opening it: a node another process
// holds (as a running vpihost or terminal program does) is "held" with that process's id, a free
// one "ok", a missing one "gone".
TEST(Ports, MarksPortsHeldByAnotherProcessAndPortsThatAreGone) {
    const FakeMachine machine;
    vpitest::Pty held;
    vpitest::Pty free;
    ASSERT_TRUE(held.Ok() && free.Ok());
    const int holder = open(held.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Link(machine.Root() + "/dev/ttyS2", held.Slave());
    Link(machine.Root() + "/dev/ttyS10", free.Slave());

    const Outcome run = Ports({"--root", machine.Root(), "--json"});
    close(holder);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::map<std::string, Json> byName;
    for (const std::string& line : vpitest::SplitLines(run.out)) {
        const Json port = Json::parse(line);
        byName[port["port"]] = port;
    }
    EXPECT_EQ(byName["ttyS2"]["use"], "held");
    const std::string trouble = byName["ttyS2"]["trouble"];
    EXPECT_EQ(trouble.rfind("in use by process " + std::to_string(getpid()) + " (", 0), 0u)
        << trouble;
    EXPECT_EQ(byName["ttyS10"]["use"], "ok");
    EXPECT_EQ(byName["ttyS10"]["trouble"], "");
    EXPECT_EQ(byName["ttyUSB0"]["use"], "gone");
    EXPECT_EQ(byName["ttyUSB0"]["trouble"], "no such device");
}

TEST(Ports, UdevRuleGivesTheAdapterAStableShortName) {
    const FakeMachine machine;
    for (const std::string& port :
         {std::string("ttyUSB0"), std::string("/dev/ttyUSB0"),
          std::string("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K4XYZ-if00-port0")}) {
        const Outcome run = Ports({"--root", machine.Root(), "--udev-rule", "meter1", port});
        ASSERT_EQ(run.exitCode, 0) << port << run.err;
        EXPECT_NE(run.out.find("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", "
                               "ATTRS{idProduct}==\"6001\", ATTRS{serial}==\"A10K4XYZ\", "
                               "ENV{ID_USB_INTERFACE_NUM}==\"00\", SYMLINK+=\"meter1\"\n"),
                  std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find("/etc/udev/rules.d/99-vpihost-meter1.rules"), std::string::npos);
        // Every line but the rule is a comment.
        for (const std::string& line : vpitest::SplitLines(run.out)) {
            EXPECT_TRUE(line[0] == '#' || line.rfind("SUBSYSTEM==", 0) == 0) << line;
        }
    }
    struct Refused {
        std::vector<std::string> rule;
        int exitCode;
        const char* says;
    };
    const Refused refused[] = {
        {{"meter123456X", "ttyUSB0"}, 64, "1 to 11"},   {{"a/b", "ttyUSB0"}, 64, "letters"},
        {{"meter1", "ttyUSB7"}, 2, "no serial port"},   {{"meter1", "ttyS2"}, 2, "no USB adapter"},
        {{"meter1", "ttyACM0"}, 2, "no serial number"},
    };
    for (const Refused& r : refused) {
        const Outcome run = Ports({"--root", machine.Root(), "--udev-rule", r.rule[0], r.rule[1]});
        EXPECT_EQ(run.exitCode, r.exitCode) << r.rule[0] << " " << r.rule[1];
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(r.says), std::string::npos) << run.err;
    }
    const Outcome oneArgument = Ports({"--root", machine.Root(), "--udev-rule", "meter1"});
    EXPECT_EQ(oneArgument.exitCode, 64);
}

// The rule as udev itself reads it. `udevadm verify` came with systemd 253; Debian 12 has 252,
// whose udevadm cannot check a rules file on its own, so there the test says it is skipped.
TEST(Ports, UdevRulePassesUdevadmVerify) {
    if (std::system("udevadm verify --help >/dev/null 2>&1") != 0) {
        const Outcome version = vpitest::RunToEnd({"/bin/sh", "-c", "udevadm --version"});
        const std::vector<std::string> said = vpitest::SplitLines(version.out);
        GTEST_SKIP() << "this udevadm (systemd " << (said.empty() ? "?" : said.front())
                     << ") has no \"verify\", which came with systemd 253";
    }
    const FakeMachine machine;
    const Outcome run = Ports({"--root", machine.Root(), "--udev-rule", "meter1", "ttyUSB0"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string file = vpitest::TempPath("99-vpihost-meter1.rules");
    std::ofstream(file) << run.out;
    const Outcome verified =
        vpitest::RunToEnd({"/bin/sh", "-c", "udevadm verify " + file + " 2>&1"});
    std::remove(file.c_str());
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
}

}  // namespace
