// Checking the serial line's settings as typed, for every program that takes them.
#include "options/line_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <sstream>
#include <vector>

namespace host::options {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

template <std::size_t N>
std::string Alternatives(const std::array<const char*, N>& names) {
    std::string joined;
    for (const char* name : names) joined += (joined.empty() ? "" : "|") + std::string(name);
    return joined;
}

}  // namespace

std::optional<long> WholeNumber(const std::string& text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || at != end) return std::nullopt;
    return value;
}

int ParityCode(const std::string& text) {
    const std::string name = Lower(text);
    for (std::size_t i = 0; i < kParityNames.size(); ++i) {
        if (name == kParityNames[i] || (name.size() == 1 && name[0] == kParityNames[i][0]))
            return static_cast<int>(i);
    }
    return -1;
}

int StopBitsCode(const std::string& text) {
    for (std::size_t i = 0; i < kStopNames.size(); ++i) {
        if (text == kStopNames[i]) return static_cast<int>(i);
    }
    return -1;
}

CLI::Validator BaudRate() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const std::optional<long> rate = WholeNumber(text);
            if (!rate) return Quoted(text) + " is not a rate; give bits per second, e.g. 9600";
            if (*rate > kMaxBaud) {
                return text +
                       " cannot be set: the driver's line record holds the rate in 16 bits, "
                       "so rates go from " +
                       std::to_string(kMinBaud) + " to " + std::to_string(kMaxBaud);
            }
            if (*rate < kMinBaud) {
                return "rates go from " + std::to_string(kMinBaud) + " to " +
                       std::to_string(kMaxBaud) + ", not " + text;
            }
            return {};
        },
        "RATE");
}

CLI::Validator DataBits() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const std::optional<long> bits = WholeNumber(text);
            if (!bits || *bits < 5 || *bits > 8) return "takes 5 to 8 data bits, not " + text;
            return {};
        },
        "5-8");
}

CLI::Validator Parity() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const int code = ParityCode(text);
            if (code < 0) return "takes " + Alternatives(kParityNames) + ", not " + Quoted(text);
            text = kParityNames[static_cast<std::size_t>(code)];
            return {};
        },
        Alternatives(kParityNames));
}

CLI::Validator StopBits() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (StopBitsCode(text) < 0)
                return "takes " + Alternatives(kStopNames) + " stop bits, not " + Quoted(text);
            return {};
        },
        Alternatives(kStopNames));
}

CLI::Validator ListOf(const CLI::Validator& item) {
    return CLI::Validator(
        [item](std::string& text) -> std::string {
            if (Lower(text) == "auto") {
                text = "auto";
                return {};
            }
            std::vector<std::string> items;
            std::stringstream in(text);
            for (std::string one; std::getline(in, one, ',');) items.push_back(one);
            if (text.empty() || text.back() == ',') items.emplace_back();
            std::string rewritten;
            for (std::string& one : items) {
                if (one.empty()) return "an empty item in " + Quoted(text);
                // The item's check takes its copy, and may rewrite it.
                CLI::Validator check = item;
                if (std::string problem = check(one); !problem.empty()) return problem;
                rewritten += (rewritten.empty() ? "" : ",") + one;
            }
            text = rewritten;
            return {};
        },
        item.get_description() + "[,...]|auto");
}

}  // namespace host::options
