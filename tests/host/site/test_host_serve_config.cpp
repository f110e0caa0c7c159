// The site file: broken files each named by line and reason (the gates through the real
// module's parse and check), a good file read into the model with its value names, and
// `vpihost check-config` as a process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "loaded_driver_test.h"
#include "site/site_config.h"
#include "site/site_gates.h"

namespace {

// A line and meter that are right, for the cases to break one thing of.
const std::string kLine = "[[line]]\nname = \"A\"\nport = \"/tmp/x\"\ninterval = \"1s\"\n";
const std::string kMeter = "[[line.meter]]\nname = \"m\"\naddress = 1\n";

struct BrokenCase {
    const char* what;
    std::string text;
    int line;            // where the error must be
    const char* reason;  // words the reason must hold
};

const std::vector<BrokenCase> kBroken{
    {"toml syntax", "a = = 1\n", 1, "parsing"},
    {"unknown top key", "lines = 3\n" + kLine + kMeter + "gates = [\"0101\"]\n", 1,
     "unknown key \"lines\""},
    {"no line", "site = \"x\"\n", 1, "has no \"line\""},
    {"line without port", "[[line]]\nname = \"A\"\n" + kMeter + "gates = [\"0101\"]\n", 1,
     "has no \"port\""},
    {"port too long", "[[line]]\nname = \"A\"\nport = \"/dev/ttyUSB0000\"\n" + kMeter, 3,
     "1 to 11 characters"},
    {"bad parity", kLine + "parity = \"purple\"\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "\"parity\" of line \"A\": takes none|odd|even|mark|space, not \"purple\""},
    {"bad stop", kLine + "stop = \"3\"\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "\"stop\" of line \"A\": takes 1|1.5|2 stop bits"},
    {"baud out of range", kLine + "baud = 0\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "\"baud\" of line \"A\": rates go from 50 to 65535, not 0"},
    {"baud the driver's record cannot hold",
     kLine + "baud = 115200\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "115200 cannot be set: the driver's line record holds the rate "
     "in 16 bits"},
    {"data bits out of range", kLine + "data = 9\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "\"data\" of line \"A\": takes 5 to 8 data bits, not 9"},
    {"timeout not a time", kLine + "timeout = \"soon\"\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "must be a time"},
    {"timeout as a bare number", kLine + "timeout = 200\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "\"timeout\" of line \"A\" needs its unit: write timeout = \"200ms\""},
    {"interval as a bare text",
     kLine + kMeter + "gates = [{ gate = \"0101\", interval = \"5\" }]\n", 8,
     "\"interval\" of a gate needs its unit: write interval = \"5s\""},
    {"timeout too short to tell a lost port",
     kLine + "timeout = \"20ms\"\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "must be at least 50ms: a read that fails sooner is taken for a lost port"},
    {"timeout too long, said in the unit written",
     kLine + "timeout = \"1m\"\n" + kMeter + "gates = [\"0101\"]\n", 5,
     "\"timeout\" of line \"A\" must be at most 10s"},
    {"back-off cap too long, said in the unit written",
     "backoff_max = \"48h\"\n" + kLine + kMeter + "gates = [\"0101\"]\n", 1,
     "\"backoff_max\" of the site must be at most 24h"},
    {"meter without address", kLine + "[[line.meter]]\nname = \"m\"\ngates = [\"0101\"]\n", 5,
     "has no \"address\""},
    {"address out of range",
     kLine + "[[line.meter]]\nname = \"m\"\naddress = 100\ngates = [\"0101\"]\n", 7,
     "from 0 to 99"},
    {"meter without gates", kLine + kMeter, 5, "has no \"gates\""},
    {"interval too short", kLine + kMeter + "gates = [{ gate = \"0101\", interval = \"10ms\" }]\n",
     8, "must be at least 100ms"},
    {"interval too short, in seconds",
     kLine + kMeter + "gates = [{ gate = \"0101\", interval = \"0.05s\" }]\n", 8,
     "must be at least 0.1s"},
    {"no interval anywhere",
     "[[line]]\nname = \"A\"\nport = \"/tmp/x\"\n" + kMeter + "gates = [\"0101\"]\n", 7,
     "has no interval"},
    {"gate of another meter", kLine + kMeter + "gates = [\"0201\"]\n", 8,
     "is for PLC address 2, but meter \"m\" is at 1"},
    {"gate the driver cannot parse", kLine + kMeter + "gates = [\"01ZZ\"]\n", 8,
     "refused by the driver's address parse"},
    {"gate the driver's check refuses", kLine + kMeter + "gates = [\"0105\"]\n", 8,
     "refused by the driver's definition check"},
    {"EX gate without count", kLine + kMeter + "gates = [\"01EX1001\"]\n", 8, "needs a count"},
    {"command gate", kLine + kMeter + "gates = [\"0100\"]\n", 8, "command gate"},
    {"gate twice", kLine + kMeter + "gates = [\"0101\", \"0101\"]\n", 8, "read twice"},
    {"name of a value no gate reads",
     kLine + kMeter + "gates = [\"0101\"]\nh1.2 = { name = \"x\" }\n", 9,
     "\"h1.2\" names a value that no gate of meter \"m\" reads"},
    {"unknown family", kLine + kMeter + "gates = [\"0101\"]\nhx.2 = { name = \"x\" }\n", 9,
     "unknown key \"hx\""},
    {"label not a table", kLine + kMeter + "gates = [\"0101\"]\nplain.2 = \"volts\"\n", 9,
     "must be { name"},
    {"label with unknown key",
     kLine + kMeter + "gates = [\"0101\"]\nplain.2 = { name = \"x\", colour = \"red\" }\n", 9,
     "unknown key \"colour\""},
    {"two lines of one name",
     kLine + kMeter + "gates = [\"0101\"]\n" + "[[line]]\nname = \"A\"\nport = \"/tmp/y\"\n" +
         kMeter + "gates = [\"0101\"]\n",
     9, "a second line named \"A\""},
    {"two lines on one port",
     kLine + kMeter + "gates = [\"0101\"]\n" +
         "[[line]]\nname = \"B\"\nport = \"/tmp/x\"\ninterval = \"1s\"\n" + kMeter +
         "gates = [\"0101\"]\n",
     9, "already another line's"},
    {"two meters at one address",
     kLine + kMeter + "gates = [\"0101\"]\n" +
         "[[line.meter]]\nname = \"n\"\naddress = 1\ngates = [\"0101\"]\n",
     9, "a second meter at address 1"},
};

class SiteConfigTest : public vpitest::LoadedDriverTest {
protected:
    // The errors of `text` as check-config finds them: the file's own, then the driver's.
    std::vector<host::site::ConfigError> Errors(const std::string& text) {
        const host::site::SiteConfigResult config = host::site::ParseSiteConfig(text, "site.toml");
        std::vector<host::site::ConfigError> errors = config.errors;
        const host::site::PreparedSite site = host::site::PrepareSite(driver_, config.site);
        errors.insert(errors.end(), site.errors.begin(), site.errors.end());
        return errors;
    }
};

TEST_F(SiteConfigTest, EveryBrokenFileIsNamedByLineAndReason) {
    for (const BrokenCase& c : kBroken) {
        SCOPED_TRACE(c.what);
        const std::vector<host::site::ConfigError> errors = Errors(c.text);
        ASSERT_FALSE(errors.empty()) << c.text;
        bool found = false;
        std::string all;
        for (const host::site::ConfigError& e : errors) {
            all += e.Text() + "\n";
            EXPECT_EQ(e.file, "site.toml");
            found = found || (e.line == c.line && e.reason.find(c.reason) != std::string::npos);
        }
        EXPECT_TRUE(found) << "wanted line " << c.line << ": " << c.reason << "\ngot:\n" << all;
    }
}

// A wrong interval or a gate the driver refuses is one error: the gates under that interval are
// not also "without interval", nor the names of their values "read by no gate".
TEST_F(SiteConfigTest, OneMessagePerCause) {
    const std::string lineWithoutInterval = "[[line]]\nname = \"A\"\nport = \"/tmp/x\"\n";
    const std::string names = "plain.0 = { name = \"v\" }\nplain.16 = { name = \"f\" }\n";
    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"the site's interval",
         "interval = \"5\"\n" + lineWithoutInterval + kMeter + "gates = [\"0101\", \"0101H1\"]\n" +
             names,
         "needs its unit"},
        {"a line's interval",
         lineWithoutInterval + "interval = \"fast\"\n" + kMeter + "gates = [\"0101\"]\n" + names,
         "must be a time"},
        {"a meter's interval",
         lineWithoutInterval + kMeter + "interval = \"10ms\"\ngates = [\"0101\"]\n" + names,
         "at least 100ms"},
        {"a gate's interval",
         lineWithoutInterval + kMeter + "gates = [{ gate = \"0101\", interval = 2 }]\n" + names,
         "needs its unit"},
        {"a gate the driver refuses", kLine + kMeter + "gates = [\"01ZZ\"]\n" + names,
         "refused by the driver's address parse"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<host::site::ConfigError> errors = Errors(c.text);
        std::string all;
        for (const host::site::ConfigError& e : errors) all += e.Text() + "\n";
        ASSERT_EQ(errors.size(), 1u) << all;
        EXPECT_NE(errors[0].reason.find(c.reason), std::string::npos) << all;
    }
}

TEST_F(SiteConfigTest, GoodFileIsReadWithIntervalsAndValueNames) {
    const std::string text = "site = \"plant\"\nbackoff_max = \"30s\"\n" + kLine +
                             "timeout = \"250ms\"\nbaud = 19200\nparity = \"even\"\n" + kMeter +
                             "gates = [\"0101\", { gate = \"0101H2\", interval = \"5s\" }, "
                             "\"01EX1001:3\"]\n"
                             "plain.0 = { name = \"voltage L1\", unit = \"V\" }\n"
                             "h2.3 = { name = \"3rd\" }\nex.10.3 = { unit = \"kWh\" }\n";
    EXPECT_TRUE(Errors(text).empty());
    const host::site::SiteConfigResult config = host::site::ParseSiteConfig(text, "site.toml");
    const host::site::PreparedSite site = host::site::PrepareSite(driver_, config.site);
    ASSERT_EQ(site.lines.size(), 1u);
    EXPECT_EQ(site.name, "plant");
    EXPECT_EQ(site.backoffMaxMs, 30000);
    const host::site::SiteLine& line = site.lines[0];
    EXPECT_EQ(line.options.timeoutMs, 250);
    EXPECT_EQ(line.options.baud, 19200u);
    EXPECT_EQ(line.options.parity, "even");
    ASSERT_EQ(line.meters.size(), 1u);
    const std::vector<host::site::SiteGate>& gates = line.meters[0].gates;
    ASSERT_EQ(gates.size(), 3u);
    EXPECT_EQ(gates[0].intervalMs, 1000);  // the line's
    EXPECT_EQ(gates[1].intervalMs, 5000);  // its own
    EXPECT_EQ(gates[0].labels.size(), 40u);
    EXPECT_EQ(gates[0].labels[0].name, "voltage L1");
    EXPECT_EQ(gates[0].labels[0].unit, "V");
    EXPECT_EQ(gates[0].labels[1].name, "");
    EXPECT_EQ(gates[1].keys[3], "h2.3");
    EXPECT_EQ(gates[1].labels[3].name, "3rd");
    EXPECT_TRUE(gates[2].ex);
    EXPECT_EQ(gates[2].keys, (std::vector<std::string>{"ex.10.1", "ex.10.2", "ex.10.3"}));
    EXPECT_EQ(gates[2].labels[2].unit, "kWh");
}

// check-config as a process: every error on stderr, exit status 1; a good file says ok.
TEST(CheckConfigCommand, ExitStatusAndErrorsOnStderr) {
    const std::string dir = testing::TempDir();
    const std::string bad = dir + "bad-site.toml";
    std::FILE* file = std::fopen(bad.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs((kLine + "baud = \"fast\"\n" + kMeter + "gates = [\"01ZZ\"]\n").c_str(), file);
    std::fclose(file);
    const std::string command =
        std::string(VPIHOST_PATH) + " --quiet check-config " + bad + " 2>&1";
    std::FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string said;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) said += buffer;
    const int status = pclose(out);
    EXPECT_EQ(WEXITSTATUS(status), 1) << said;
    EXPECT_NE(said.find(bad + ":5: \"baud\""), std::string::npos) << said;
    EXPECT_NE(said.find(bad + ":9: gate \"01ZZ\""), std::string::npos) << said;
    EXPECT_NE(said.find("nothing of it would be polled"), std::string::npos) << said;
}

// What check-config prints (stdout and stderr) and its exit status.
struct CheckConfigRun {
    std::string said;
    int status = -1;
};

CheckConfigRun CheckConfig(const std::string& path) {
    const std::string command =
        std::string(VPIHOST_PATH) + " --quiet check-config '" + path + "' 2>&1";
    CheckConfigRun run;
    std::FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) run.said += buffer;
    run.status = WEXITSTATUS(pclose(out));
    return run;
}

// A path that is no readable file is said as what it is, in one message.
TEST(CheckConfigCommand, SaysWhyAFileCannotBeRead) {
    const std::string dir = testing::TempDir();
    struct Case {
        std::string path;
        const char* says;
    };
    std::vector<Case> cases = {
        {dir, ": is a directory, not a site file"},
        {dir + "no-such-site.toml", ": no such file"},
    };
    // root reads every file, so an unreadable one can only be made for another user.
    const std::string unreadable = dir + "unreadable-site.toml";
    if (geteuid() != 0) {
        std::FILE* file = std::fopen(unreadable.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        chmod(unreadable.c_str(), 0);
        cases.push_back({unreadable, ": cannot be read: Permission denied"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const CheckConfigRun run = CheckConfig(c.path);
        EXPECT_EQ(run.status, 1) << run.said;
        EXPECT_NE(run.said.find(c.path + c.says), std::string::npos) << run.said;
        EXPECT_EQ(run.said.find("has no \"line\""), std::string::npos) << run.said;
    }
    std::remove(unreadable.c_str());
}

// The example that ships with the documentation is a site file check-config passes.
TEST(CheckConfigCommand, TheShippedExampleIsSound) {
    const std::string example = std::string(VPI_SOURCE_DIR) + "/docs/site.example.toml";
    const CheckConfigRun run = CheckConfig(example);
    EXPECT_EQ(run.status, 0) << run.said;
    EXPECT_NE(run.said.find(example + ": 2 line(s), 4 meter(s)"), std::string::npos) << run.said;
    EXPECT_NE(run.said.find(": ok"), std::string::npos) << run.said;
}

}  // namespace
