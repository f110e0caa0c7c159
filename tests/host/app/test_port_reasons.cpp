// Every command that opens a port says why it did not: no such device, a directory, not a
// serial device, permission (with the group to join), or held by another process (with its id).
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <grp.h>

#include <string>
#include <vector>

#include "pty_pair.h"
#include "vpihost_run.h"

namespace {

using vpitest::Outcome;

Outcome Vpihost(std::vector<std::string> args) {
    args.insert(args.begin(), VPIHOST_PATH);
    return vpitest::RunToEnd(std::move(args));
}

// Each command that opens a port, with the port in its place.
std::vector<std::vector<std::string>> CommandsOn(const std::string& port) {
    return {
        {"read", "--port", port, "0101"},
        {"write", "--port", port, "0100", "1"},
        {"poll", "--port", port, "--count", "1", "0101"},
        {"open", port},
        {"scan", "--port", port, "--addresses", "1"},
        {"sniff", "--port", port, "--duration", "1s"},
    };
}

void ExpectEveryCommandSays(const std::string& port, const std::string& reason) {
    const std::string says = port + " did not open: " + reason;
    for (const std::vector<std::string>& command : CommandsOn(port)) {
        SCOPED_TRACE(command[0] + " on " + port);
        const Outcome run = Vpihost(command);
        EXPECT_EQ(run.exitCode, 2) << run.err;
        EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    }
}

TEST(PortReasons, MissingDirectoryAndNonSerialPortsAreNamedAsSuch) {
    ExpectEveryCommandSays("/tmp/nodev", "no such device");
    ExpectEveryCommandSays("/tmp", "is a directory");
    ExpectEveryCommandSays("/dev/null", "not a serial device");
}

TEST(PortReasons, AHeldPortNamesTheProcessHoldingIt) {
    vpitest::Pty line;
    ASSERT_TRUE(line.Ok());
    // Held as another vpihost or metersim holds it: open, with a whole-file lock.
    const int held = open(line.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const std::string holder = "in use by process " + std::to_string(getpid());
    ExpectEveryCommandSays(line.Slave(), holder);
    // A name under /dev/, as a host gives it, is the same port.
    ExpectEveryCommandSays(line.ShortName(), holder);
    close(held);
}

TEST(PortReasons, PermissionDeniedNamesTheGroupToJoin) {
    vpitest::Pty line;
    ASSERT_TRUE(line.Ok());
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "this system has no dialout group";
    // As a serial adapter's node is: owned by root, read and written by the dialout group.
    ASSERT_EQ(chown(line.Slave().c_str(), 0, dialout->gr_gid) == 0 || geteuid() != 0, true);
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        // Root opens anything: the command runs as nobody, who is not in the group.
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
        ASSERT_EQ(chmod(line.Slave().c_str(), 0660), 0);
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    } else {
        ASSERT_EQ(chmod(line.Slave().c_str(), 0), 0);
    }
    std::vector<std::string> args = prefix;
    for (const char* arg : {VPIHOST_PATH, "read", "--port"}) args.emplace_back(arg);
    args.push_back(line.Slave());
    args.emplace_back("0101");
    const Outcome run = vpitest::RunToEnd(args);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find(line.Slave() + " did not open: permission denied"), std::string::npos)
        << run.err;
    if (geteuid() == 0) {
        EXPECT_NE(run.err.find("add the user to the dialout group"), std::string::npos) << run.err;
    }
}

}  // namespace
