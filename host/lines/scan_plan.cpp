// Parsing a scan's address and line-setting lists.
#include "lines/scan_plan.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <sstream>

#include "core/channel_options.h"
#include "options/line_options.h"

namespace host::lines {

namespace {

// The items of a comma-separated list; an empty item stays, so that "1,,2" is refused.
std::vector<std::string> Items(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) items.push_back(item);
    if (!text.empty() && text.back() == ',') items.emplace_back();
    return items;
}

std::optional<std::vector<long>> Numbers(const std::string& text, long low, long high) {
    std::vector<long> values;
    for (const std::string& item : Items(text)) {
        const std::optional<long> value = options::WholeNumber(item);
        if (!value || *value < low || *value > high) return std::nullopt;
        values.push_back(*value);
    }
    if (values.empty()) return std::nullopt;
    return values;
}

// Codes of a list of names (parity or stop bits), through `codeOf`.
std::optional<std::vector<long>> Codes(const std::string& text, int (*codeOf)(const std::string&)) {
    std::vector<long> codes;
    for (const std::string& item : Items(text)) {
        const int code = codeOf(item);
        if (code < 0) return std::nullopt;
        codes.push_back(code);
    }
    if (codes.empty()) return std::nullopt;
    return codes;
}

// "auto" for each list: the settings meters are commonly configured to, the usual first.
std::optional<std::vector<long>> Bauds(const std::string& text) {
    if (text == "auto") return std::vector<long>(std::begin(kAutoBauds), std::end(kAutoBauds));
    return Numbers(text, 1, 65535);
}

std::optional<std::vector<long>> DataBits(const std::string& text) {
    if (text == "auto") return std::vector<long>{8, 7};
    return Numbers(text, 5, 8);
}

std::optional<std::vector<long>> Parities(const std::string& text) {
    if (text == "auto") return std::vector<long>{0, 2, 1};  // none, even, odd
    return Codes(text, core::ParityCode);
}

std::optional<std::vector<long>> Stops(const std::string& text) {
    if (text == "auto") return std::vector<long>{0, 2};  // 1, 2
    return Codes(text, core::StopBitsCode);
}

// The first and last address of an item of an address list ("7" or "1-20"), each a number from
// 0 to the largest PLC address, in either order; nullopt when the item is anything else.
std::optional<std::pair<long, long>> Range(const std::string& item) {
    const std::size_t dash = item.find('-');
    const std::optional<long> first = options::WholeNumber(item.substr(0, dash));
    const std::optional<long> last =
        dash == std::string::npos ? first : options::WholeNumber(item.substr(dash + 1));
    if (!first || !last || *first < 0 || *last > kMaxPlcAddress) return std::nullopt;
    return std::pair{*first, *last};
}

}  // namespace

std::optional<std::vector<int>> ParseAddressList(const std::string& text) {
    std::vector<int> addresses;
    for (const std::string& item : Items(text)) {
        const auto range = Range(item);
        if (!range || range->first > range->second) return std::nullopt;
        for (long a = range->first; a <= range->second; ++a) {
            addresses.push_back(static_cast<int>(a));
        }
    }
    if (addresses.empty()) return std::nullopt;
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

std::string AddressListProblem(std::string& text) {
    if (ParseAddressList(text)) return {};
    for (const std::string& item : Items(text)) {
        const auto range = Range(item);
        if (!range) {
            return fmt::format(
                "\"{}\" is no PLC address or range; addresses go from 0 to {}: "
                "1-20,42",
                item, kMaxPlcAddress);
        }
        if (range->first > range->second) {
            return fmt::format("{} runs backwards; write {}-{}", item, range->second, range->first);
        }
    }
    return fmt::format("\"{}\" names no address; write addresses and ranges: 1-20,42", text);
}

std::optional<ScanPlan> MakeScanPlan(const ScanListOptions& options, std::string* error) {
    ScanPlan plan;
    const std::optional<std::vector<int>> addresses = ParseAddressList(options.addresses);
    const auto bauds = Bauds(options.baud);
    const auto parities = Parities(options.parity);
    const auto data = DataBits(options.data);
    const auto stops = Stops(options.stop);
    if (!addresses) {
        *error = "--addresses takes PLC addresses of 0 to 99 and ranges: 1-20,42";
    } else if (!bauds) {
        *error =
            "--baud takes rates of 1 to 65535 (the host's record holds 16 bits): 9600,19200 "
            "or auto";
    } else if (!parities || !stops) {
        *error = "--parity takes none|odd|even|mark|space, --stop 1|1.5|2 (lists: none,even)";
    } else if (!data) {
        *error = "--data takes 5 to 8 (a list: 7,8)";
    }
    if (!addresses || !bauds || !parities || !stops || !data) return std::nullopt;
    plan.addresses = *addresses;
    for (long baud : *bauds) {
        for (long parity : *parities) {
            for (long bits : *data) {
                for (long stop : *stops) {
                    plan.lines.push_back(LineParameters{
                        static_cast<std::uint16_t>(baud), static_cast<std::uint16_t>(bits),
                        static_cast<std::uint16_t>(stop), static_cast<std::uint16_t>(parity)});
                }
            }
        }
    }
    return plan;
}

std::string ShortLineText(const LineParameters& line) {
    constexpr std::array<char, 5> kParityLetters{'N', 'O', 'E', 'M', 'S'};
    const unsigned parity = line.parity & 0xFFu;
    const char letter = parity < kParityLetters.size() ? kParityLetters[parity] : '?';
    return fmt::format("{} {}{}{}", line.baudRate, line.dataBits & 0xFFu, letter,
                       core::StopBitsName(line.stopBits & 0xFFu));
}

}  // namespace host::lines
