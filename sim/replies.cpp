// The meters' answers to read, command and EX write requests.
#include "replies.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

bool IsDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Upper-case hex only: the requests are written with "%X", and a lower-case digit would be
// a fault of the sender worth noticing.
int ParseHex(const std::string& text) {
    if (text.empty()) return -1;
    int value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

std::string Hex8(std::int32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(8, '0');
    auto bits = static_cast<std::uint32_t>(value);
    for (int i = 7; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[bits & 0xFu];
        bits >>= 4;
    }
    return text;
}

std::string Hex2(int value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

// The register key for a T read command, or "" when the operand names none.
std::string TKey(char command, const std::string& operand) {
    if (command == 'P' && operand.size() == 2) {
        const int n = ParseHex(operand);
        if (n >= 0 && n <= 7) return "tr" + std::to_string(n + 1);
        if (n >= 8 && n <= 10) return "tk" + std::to_string(n - 7);
    } else if (command == 'U' && (operand == "00" || operand == "01")) {
        return "ty" + std::to_string(operand[1] - '0' + 1);
    } else if (command == 'Q' && operand.size() == 2) {
        const int n = ParseHex(operand);
        if (n >= 0 && n <= 15) return "td" + std::to_string(n + 1);
    } else if (command == 'R' && operand.size() == 4) {
        const std::string bank = operand.substr(0, 2);
        const int n = ParseHex(operand.substr(2));
        if ((bank == "00" || bank == "01") && n >= 1 && n <= 12) {
            return "tc" + std::to_string((bank == "01" ? 12 : 0) + n);
        }
    }
    return "";
}

}  // namespace

Outcome Answer(MeterSet& meters, const RawRequest& request) {
    Outcome outcome;
    const std::string& body = request.body;
    if (body.size() < 3 || !IsDigits(body.substr(0, 2))) {
        outcome.reason = "no address";
        return outcome;
    }
    outcome.address = std::stoi(body.substr(0, 2));
    outcome.command = body.substr(2);
    // Only the addressed meter listens closer; the others ignore the frame whatever it holds.
    const auto found = meters.find(outcome.address);
    if (found == meters.end()) {
        outcome.reason = "other address";
        return outcome;
    }
    if (!request.checksumOk) {
        outcome.reason = "bad checksum";
        return outcome;
    }
    Meter& meter = found->second;
    Reply reply;
    reply.address = body.substr(0, 2);
    reply.command = body[2];
    const std::string operand = body.substr(3);

    switch (reply.command) {
        case '0':
            if (!operand.empty()) break;
            meter.Tick();
            reply.family = Family::Plain;
            reply.data = meter.PlainData();
            outcome.reply = reply;
            return outcome;
        case 'H':
            if (operand.size() != 1 || operand[0] < '1' || operand[0] > '6') break;
            meter.Tick();
            reply.family = Family::H;
            reply.data = meter.HData(operand[0] - '0');
            outcome.reply = reply;
            return outcome;
        case 'P':
        case 'U':
        case 'Q':
        case 'R': {
            const std::string key = TKey(reply.command, operand);
            if (key.empty()) break;
            reply.family = Family::T;
            reply.data = meter.TData(key);
            outcome.reply = reply;
            return outcome;
        }
        case 'A': {
            if (operand.size() != 6) break;
            const int group = ParseHex(operand.substr(0, 2));
            const int item = ParseHex(operand.substr(2, 2));
            const int count = ParseHex(operand.substr(4, 2));
            if (group < 0 || item < 0 || count < 0) break;
            if (count > kMaxExValues || item + count > 256) {
                outcome.reason = "EX read beyond the registers";
                return outcome;
            }
            meter.Tick();
            reply.family = Family::ExRead;
            reply.exCount = count;
            reply.data = Hex2(count);
            for (int i = 0; i < count; ++i) reply.data += Hex8(meter.ExRegister(group, item + i));
            outcome.reply = reply;
            return outcome;
        }
        case '4':
            if (operand != "1" && operand != "2") break;
            meter.Command(operand[0] - '0');
            reply.family = Family::Command;
            reply.data = operand;  // the acknowledgement repeats the operand
            outcome.reply = reply;
            return outcome;
        case 'a': {
            if (operand.size() < 4 || (operand.size() - 4) % 8 != 0) break;
            const int group = ParseHex(operand.substr(0, 2));
            const int item = ParseHex(operand.substr(2, 2));
            if (group < 0 || item < 0) break;
            const int count = static_cast<int>((operand.size() - 4) / 8);
            std::vector<std::int32_t> values;
            for (int i = 0; i < count; ++i) {
                const std::string digits = operand.substr(4 + 8 * static_cast<std::size_t>(i), 8);
                std::uint32_t value = 0;
                for (const char c : digits) {
                    const int digit = ParseHex(std::string(1, c));
                    if (digit < 0) {
                        outcome.reason = "unknown command";
                        return outcome;
                    }
                    value = value * 16 + static_cast<std::uint32_t>(digit);
                }
                values.push_back(static_cast<std::int32_t>(value));
            }
            // Only group 10 holds settings the user may change; the rest are read-only and a
            // write to them goes unanswered.
            if (group != 10 || item + count > 256) {
                outcome.reason = "EX registers not writable";
                return outcome;
            }
            for (int i = 0; i < count; ++i) {
                meter.SetExRegister(group, item + i, values[static_cast<std::size_t>(i)]);
            }
            reply.family = Family::ExWrite;
            reply.data = operand.substr(0, 4);  // the acknowledgement names group and item
            outcome.reply = reply;
            return outcome;
        }
        default:
            break;
    }
    outcome.reason = "unknown command";
    return outcome;
}

}  // namespace sim
