// What a scan probes: the PLC addresses and the line settings, parsed from the command line's
// lists ("1-20,42", "9600,19200", "auto", "none,even").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vpi_records.h"

namespace host::lines {

// The PLC addresses a request can name.
inline constexpr int kMaxPlcAddress = 99;

// The rates "--baud auto" tries, the usual ones first. 115200 is left out: the host's line
// record holds the rate in 16 bits, so the driver could never open a meter found there.
inline constexpr std::uint16_t kAutoBauds[] = {9600, 19200, 38400, 57600, 4800, 2400, 1200};

// The line options of a scan as typed: each a comma-separated list.
struct ScanListOptions {
    std::string addresses = "0-99";
    std::string baud = "9600";
    std::string parity = "none";
    std::string data = "8";
    std::string stop = "1";
};

struct ScanPlan {
    std::vector<int> addresses;         // ascending, no repeats
    std::vector<LineParameters> lines;  // in the order they are tried
};

// "1-20,42,07": the addresses in ascending order without repeats. Nullopt for anything else
// (a number outside 0 to 99, a range that runs backwards, an empty item).
std::optional<std::vector<int>> ParseAddressList(const std::string& text);

// What is wrong with an address list as typed, said for the person who typed it (a range that
// runs backwards with its fix); empty when ParseAddressList takes it. Takes the text to change
// as CLI11's checks do, but leaves it as it is.
std::string AddressListProblem(std::string& text);

// The plan of `options`; nullopt with `error` set to the sentence to say when a list does not
// parse. Line settings: every combination, baud rate outermost, in the order given.
std::optional<ScanPlan> MakeScanPlan(const ScanListOptions& options, std::string* error);

// "9600 8N1", "19200 7E2", "4800 8O1.5": a line setting in the usual short notation.
std::string ShortLineText(const LineParameters& line);

}  // namespace host::lines
