// The meters' answers to read, command and EX write requests, one handler per command.
#include "replies.h"

#include <algorithm>
#include <array>
#include <vector>

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

// A command handler: the addressed meter acts on the operand and fills `reply` (whose address
// and command are set) and returns true; or it leaves the meter alone and returns false, with
// `reason` set when there is more to say than "unknown command".
using Handler = bool (*)(Meter& meter, const std::string& operand, Reply& reply,
                         std::string& reason);

bool AnswerPlain(Meter& meter, const std::string& operand, Reply& reply, std::string&) {
    if (!operand.empty()) return false;
    meter.Tick();
    reply.data = meter.PlainData();
    return true;
}

bool AnswerH(Meter& meter, const std::string& operand, Reply& reply, std::string&) {
    if (operand.size() != 1 || operand[0] < '1' || operand[0] > '6') return false;
    meter.Tick();
    reply.data = meter.HData(operand[0] - '0');
    return true;
}

// P, U, Q and R: configuration registers, which do not move the live values.
bool AnswerT(Meter& meter, const std::string& operand, Reply& reply, std::string&) {
    const std::string key = TKey(reply.command, operand);
    if (key.empty()) return false;
    reply.data = meter.TData(key);
    return true;
}

bool AnswerExRead(Meter& meter, const std::string& operand, Reply& reply, std::string& reason) {
    if (operand.size() != 6) return false;
    const int group = ParseHex(operand.substr(0, 2));
    const int item = ParseHex(operand.substr(2, 2));
    const int count = ParseHex(operand.substr(4, 2));
    if (group < 0 || item < 0 || count < 0) return false;
    if (count > kMaxExValues || item + count > 256) {
        reason = "EX read beyond the registers";
        return false;
    }
    meter.Tick();
    reply.exCount = count;
    reply.data = Hex2(count);
    for (int i = 0; i < count; ++i) reply.data += Hex8(meter.ExRegister(group, item + i));
    return true;
}

bool AnswerCommand(Meter& meter, const std::string& operand, Reply& reply, std::string&) {
    if (operand != "1" && operand != "2") return false;
    meter.Command(operand[0] - '0');
    reply.data = operand;  // the acknowledgement repeats the operand
    return true;
}

bool AnswerExWrite(Meter& meter, const std::string& operand, Reply& reply, std::string& reason) {
    if (operand.size() < 4 || (operand.size() - 4) % 8 != 0) return false;
    const int group = ParseHex(operand.substr(0, 2));
    const int item = ParseHex(operand.substr(2, 2));
    if (group < 0 || item < 0) return false;
    const int count = static_cast<int>((operand.size() - 4) / 8);
    std::vector<std::int32_t> values;
    for (int i = 0; i < count; ++i) {
        const std::string digits = operand.substr(4 + 8 * static_cast<std::size_t>(i), 8);
        // In two halves, each of which fits an int; -1 means a digit was no upper-case hex.
        const int high = ParseHex(digits.substr(0, 4));
        const int low = ParseHex(digits.substr(4));
        if (high < 0 || low < 0) return false;
        values.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(high) << 16 |
                                                   static_cast<std::uint32_t>(low)));
    }
    // Only group 10 holds settings the user may change; the rest are read-only and a write to
    // them goes unanswered.
    if (group != 10 || item + count > 256) {
        reason = "EX registers not writable";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        meter.SetExRegister(group, item + i, values[static_cast<std::size_t>(i)]);
    }
    reply.data = operand.substr(0, 4);  // the acknowledgement names group and item
    return true;
}

struct CommandHandler {
    char command;
    Family family;
    Handler answer;
};
constexpr std::array<CommandHandler, 9> kHandlers{{
    {'0', Family::Plain, AnswerPlain},
    {'H', Family::H, AnswerH},
    {'P', Family::T, AnswerT},
    {'U', Family::T, AnswerT},
    {'Q', Family::T, AnswerT},
    {'R', Family::T, AnswerT},
    {'A', Family::ExRead, AnswerExRead},
    {'4', Family::Command, AnswerCommand},
    {'a', Family::ExWrite, AnswerExWrite},
}};

const CommandHandler* FindHandler(char command) {
    for (const CommandHandler& handler : kHandlers) {
        if (handler.command == command) return &handler;
    }
    return nullptr;
}

// The address and command of a request, or the reason it names none.
Outcome Addressed(const RawRequest& request) {
    Outcome outcome;
    const std::string& body = request.body;
    if (body.size() < 3 || !IsDigits(body.substr(0, 2))) {
        outcome.reason = "no address";
        return outcome;
    }
    outcome.address = std::stoi(body.substr(0, 2));
    outcome.command = body.substr(2);
    return outcome;
}

}  // namespace

Outcome Answer(MeterSet& meters, const RawRequest& request) {
    Outcome outcome = Addressed(request);
    if (outcome.address < 0) return outcome;
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
    const std::string& body = request.body;
    Reply reply;
    reply.address = body.substr(0, 2);
    reply.command = body[2];
    const CommandHandler* handler = FindHandler(reply.command);
    if (handler != nullptr &&
        handler->answer(found->second, body.substr(3), reply, outcome.reason)) {
        reply.family = handler->family;
        outcome.reply = reply;
        return outcome;
    }
    if (outcome.reason.empty()) outcome.reason = "unknown command";
    return outcome;
}

Outcome Unheard(const RawRequest& request, const std::string& reason) {
    Outcome outcome = Addressed(request);
    outcome.reason = reason;
    return outcome;
}

}  // namespace sim
