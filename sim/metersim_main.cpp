// metersim: simulated meters answering the meters' ASCII protocol on a pseudo-terminal.
//
// Also serves a real serial device; live values are reproducible from a seed, values can be
// pinned and faults injected.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#include "faults.h"
#include "line.h"
#include "manual/manual.h"
#include "model.h"
#include "numbers.h"
#include "options/line_options.h"
#include "simulator.h"
#include "values_file.h"

namespace {

// The one flag at file scope: a signal handler can reach nothing else.
volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) {
    gStop = 1;
}

void InstallHandlers() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a signal must end a poll or a sleep at once
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    // A client that closes its end is no reason to die.
    ::signal(SIGPIPE, SIG_IGN);
}

constexpr const char* kFooter = R"(
Values file (--values): one setting per line, "#" starts a comment. A line may begin with a
meter address and a colon ("07:") to apply to that meter only; otherwise it applies to all.
  plain.N = 230.4      plain block field N (0-39), the value the driver should read back:
                       kilo fields are sent in thousands with a decimal point ("0.23")
  plain.N = "0.50"     the field's text exactly as sent (must have the field's width)
  plain.31 = 31        the status byte, 0-255, sent as two hex characters
  hB.N = 12.5          H block B (1-6), field N (0-33), 5 characters; or "text"
  trN = 0A 0A 00FF     TR register N (1-8), raw hex fields of widths 2 2 4; likewise
                       tkN (1-3, 2 2 4), tyN (1-2, 2 2), tdN (1-16, 25 x 2), tcN (1-24,
                       33 x 2: tc1-12 are bank 00, tc13-24 bank 01)
  ex.G.I = 42          EX register of group G, item I (0-255): a 32-bit integer, decimal or 0x
Pinned values stay as set; the others move one simulated second per answered read.

Faults (--fault, repeatable): MODE[=ARG][:p=P][:meter=NN][:nth=N]; all selectors given must
hold (nth counts the requests the line's meters answer, from 1). Modes: silent, delay=MS,
chunks[=GAP_MS], truncate, checksum, len000, len301, len999, garbage, len6, trailing,
nonnumeric (plain, H, EX replies), hx (H replies), excount (EX reads), echo (the line hands
every request back before the reply). Several may apply to one reply.

Requests for other addresses, with a bad checksum or an unknown command get no reply; EX
group 10 takes writes, other groups do not answer them.)";

// What the manual page says beyond --help.
const host::manual::ManualFacts kManual{
    "metersim",
    "metersim",
    "metersim simulates a line of SATEC meters answering their ASCII protocol: on a "
    "pseudo-terminal of its own (its name printed on the first line, and linked where --link "
    "says), or on a real serial device (--port). The live values move realistically and are "
    "reproducible from --seed; values can be pinned (--values) and faults injected (--fault), "
    "replies paced at a line rate (--baud), meters made to answer only at their line speed "
    "(--line-speed), every byte copied to a tap (--tap) and every request traced.\n"
    "\n"
    "It runs until SIGINT, SIGTERM or SIGHUP, and removes its links as it ends.",
    {
        {"Exit status",
         " 0    ended by a signal\n"
         " 2    the start failed (the reason on stderr)\n"
         " 100 and above: the command line was wrong (the reason on stderr)"},
        {"See also", "vpihost(1); /usr/share/doc/satec-vpi/metersim.md"},
    }};

// What the command line asks for.
struct Options {
    std::vector<std::string> meterTexts;
    std::uint64_t seed = 1;
    std::string valuesPath;
    std::vector<std::string> faultTexts;
    sim::LineSettings settings;
    std::string parity = "none";
    std::string device;
    std::string linkName;
    std::string tapName;
    int lineSpeed = 0;
    bool trace = false;
    std::string eventsPath;
};

void AddOptions(CLI::App& app, Options& o) {
    app.add_option("--meter", o.meterTexts,
                   "PLC address of a meter on the line (00-99; default 01)");
    app.add_option("--seed", o.seed, "seed of the live values and of probabilistic faults");
    app.add_option("--values", o.valuesPath, "file of pinned values (format below)");
    app.add_option("--fault", o.faultTexts, "fault injection (format below)");
    // The line options are vpihost's own (names, ranges, words), narrowed to what the
    // simulated line can do.
    app.add_option("-b,--baud", o.settings.baud,
                   "line rate: pace replies (and set a device's speed)")
        ->check(host::options::BaudRate());
    app.add_option("--line-speed", o.lineSpeed,
                   "meters answer only while the line is set to this speed (baud)")
        ->check(CLI::PositiveNumber);
    app.add_option("--data", o.settings.dataBits, "data bits of a device")
        ->check(host::options::DataBits());
    app.add_option("--parity", o.parity, "parity of a device: none, odd or even, any case")
        ->transform(host::options::Parity())
        ->check(CLI::Validator(
            [](std::string& name) -> std::string {
                return name == "mark" || name == "space"
                           ? "metersim serves none, odd or even parity, not " + name
                           : std::string();
            },
            ""));
    app.add_option("--stop", o.settings.stopBits, "stop bits of a device: 1 or 2")
        ->check(host::options::StopBits())
        ->check(CLI::Validator(
            [](std::string& bits) -> std::string {
                return bits == "1.5" ? "metersim serves 1 or 2 stop bits, not 1.5" : std::string();
            },
            ""));
    app.add_option("-p,--port,--device", o.device,
                   "serve this serial device instead of a pseudo-terminal");
    app.add_option("--link", o.linkName, "also make this symbolic link to the line");
    app.add_option("--tap", o.tapName,
                   "a second pseudo-terminal, linked at this name, that gets a copy of every byte "
                   "on the line");
    app.add_flag("--trace", o.trace, "print every request and reply on standard error");
    app.add_option("--events", o.eventsPath, "write one JSON object per request to this file");
}

// The meters named on the command line (01 alone without any), with their pinned values.
sim::MeterSet BuildMeters(const Options& options) {
    std::vector<std::string> texts = options.meterTexts;
    if (texts.empty()) texts.push_back("01");
    sim::MeterSet meters;
    for (const std::string& text : texts) {
        int address = -1;
        try {
            address = sim::ParseInteger(text, 0, 99, "meter address");
        } catch (const std::invalid_argument&) {
            throw std::runtime_error("bad meter address \"" + text + "\"");
        }
        meters.emplace(address, sim::Meter(address, options.seed));
    }
    if (!options.valuesPath.empty()) sim::LoadValues(options.valuesPath, meters);
    return meters;
}

std::vector<sim::FaultRule> BuildRules(const Options& options) {
    std::vector<sim::FaultRule> rules;
    for (const std::string& text : options.faultTexts) {
        try {
            rules.push_back(sim::ParseFault(text));
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error("--fault " + text + ": " + error.what());
        }
    }
    return rules;
}

std::unique_ptr<std::ofstream> OpenEvents(const std::string& path) {
    if (path.empty()) return nullptr;
    auto events = std::make_unique<std::ofstream>(path, std::ios::trunc);
    if (!*events) throw std::runtime_error("cannot write events file " + path);
    return events;
}

// Opens the line (and the tap), tells where it listens and serves it until a signal comes.
void Serve(const Options& options, sim::MeterSet meters, std::vector<sim::FaultRule> rules) {
    const std::unique_ptr<std::ofstream> events = OpenEvents(options.eventsPath);
    InstallHandlers();
    sim::Line line = options.device.empty()
                         ? sim::Line::OpenPty(options.settings)
                         : sim::Line::OpenDevice(options.device, options.settings);
    sim::Link link;
    if (!options.linkName.empty()) link = sim::Link(options.linkName, line.Path());
    std::optional<sim::Line> tap;
    sim::Link tapLink;
    if (!options.tapName.empty()) {
        tap.emplace(sim::Line::OpenPty(options.settings));
        tapLink = sim::Link(options.tapName, tap->Path());
    }
    // The line is ready (and linked) before anyone is told where it is.
    std::printf("metersim: listening on %s\n", line.Path().c_str());
    if (tap) {
        std::printf("metersim: tap on %s linked at %s\n", tap->Path().c_str(),
                    options.tapName.c_str());
    }
    std::fflush(stdout);

    sim::Simulator simulator(line, std::move(meters),
                             sim::FaultPlan(std::move(rules), options.seed), options.settings,
                             options.trace ? &std::cerr : nullptr, events.get(), options.lineSpeed);
    if (tap) simulator.Listen(*tap);
    simulator.Run(gStop);
    link.Remove();
    tapLink.Remove();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"metersim: a line of simulated meters on a pseudo-terminal or serial device"};
    app.footer(kFooter);
    Options options;
    AddOptions(app, options);
    host::manual::AddManualFlags(app, kManual);
    CLI11_PARSE(app, argc, argv);
    // "none", "odd", "even" as the line takes them: 'N', 'O', 'E'.
    options.settings.parity = static_cast<char>(std::toupper(options.parity[0]));
    try {
        sim::MeterSet meters = BuildMeters(options);
        std::vector<sim::FaultRule> rules = BuildRules(options);
        Serve(options, std::move(meters), std::move(rules));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "metersim: %s\n", error.what());
        return 2;
    }
}
