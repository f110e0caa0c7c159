// vpihost parse and check, run as a process the way an integrator runs them on a gate list.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "text_tools.h"

namespace {

struct Outcome {
    int exitCode;
    std::string out;
};

Outcome Vpihost(const std::string& arguments) {
    const std::string command =
        std::string(VPIHOST_PATH) + " --quiet " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    Outcome run{-1, {}};
    if (pipe == nullptr) return run;
    char buffer[512];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The row of `address` and the lines indented under it, up to the next row.
std::string RowOf(const std::string& out, const std::string& address) {
    const std::size_t start = out.find("\"" + address + "\"");
    if (start == std::string::npos) return {};
    std::size_t end = out.find("\n\"", start);
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
}

using vpitest::Squeeze;

TEST(VpihostParse, ShowsDecodedGatesAndRefusalsWithExitCodes) {
    const Outcome run =
        Vpihost("parse 0105 12tr35 '12TC105 7' 03EX9999 0100 0141 12TR39 01H2 12TC013");
    EXPECT_EQ(run.exitCode, 1) << run.out;
    struct Expect {
        const char* address;
        const char* row;
    };
    const Expect rows[] = {
        {"0105", "\"0105\" accepted 1 0 (PLAIN) 5\n"},
        {"12tr35", "\"12tr35\" accepted 12 13 (TR3) 5\n"},
        {"12TC105 7", "\"12TC105 7\" accepted 12 187 (TC17) 7\n"},
        {"03EX9999", "\"03EX9999\" accepted 3 200 (EX) 25443 (group/item 99/99)\n"},
        {"0100", "\"0100\" accepted 1 87 (INDEX_ZERO) 0\n"},
        {"0141",
         "\"0141\" refused - - -\n driver[0]: parse fail for gate 41 > 40 and memtype = 0\n"},
        {"12TR39", "\"12TR39\" refused - - -\n driver[0]: gate adress string 12TR39 parse faild\n"},
        {"01H2", "\"01H2\" refused - - -\n (no message) matches no address form\n"},
        {"12TC013", "\"12TC013\" refused - - -\n (no message) no such TC number (01-12)\n"},
    };
    for (const Expect& e : rows) EXPECT_EQ(Squeeze(RowOf(run.out, e.address)), e.row) << run.out;
}

TEST(VpihostParse, ExitCodes) {
    const auto expect = [](const char* arguments, int exitCode, const char* contains) {
        const Outcome run = Vpihost(arguments);
        EXPECT_EQ(run.exitCode, exitCode) << arguments << "\n" << run.out;
        EXPECT_NE(run.out.find(contains), std::string::npos) << arguments << "\n" << run.out;
    };
    struct Case {
        const char* arguments;
        int exitCode;
        const char* contains;
    };
    // Gates accepted (0) and refused (1), and what the output says of them.
    const Case cases[] = {
        {"parse 0105 0534h2 12TD1625", 0, "66 (TD16)"},
        {"parse 0105 --type 1", 1, "gate type suppose to be float"},
        {"check 0101 --count 28", 0, "0 (PLAIN)"},
        {"check 0101 --count 27 --type 0", 1, "27 values do not fit memory type 0 (PLAIN)"},
        {"check 12TR32 --count 3", 1, "index 2: a gate definition must start at index 1"},
        {"check 12TR11 --count 3 --type 9", 0, "11 (TR1)"},
        {"check 03EX0102 --count 7", 0, "258 (group/item 1/2)"},
        {"check 0141 --count 40", 1, "parse fail for gate 41 > 40 and memtype = 0"},
    };
    for (const Case& c : cases) expect(c.arguments, c.exitCode, c.contains);
    // Arguments the commands cannot take: 64.
    for (const char* arguments : {"parse 0105 --type 1 --type", "parse", "check 0101",
                                  "check --count 3", "check 0101 0102 --count 40"}) {
        expect(arguments, 64, "");
    }
}

}  // namespace
