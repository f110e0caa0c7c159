// Deliberate misbehaviour of the meters and of the line: fault options and their effects.
#include "faults.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "numbers.h"

namespace sim {

namespace {

// Which replies a mode has anything to work on.
bool AnyReply(const Reply&) {
    return true;
}
bool HReply(const Reply& reply) {
    return reply.family == Family::H;
}
bool ExReadReply(const Reply& reply) {
    return reply.family == Family::ExRead;
}
bool ReplyWithValues(const Reply& reply) {
    return reply.family == Family::Plain || reply.family == Family::H ||
           (reply.family == Family::ExRead && reply.exCount > 0);
}
// Echo is the line's doing, not a reply's: it is chosen apart, for every request.
bool NoReply(const Reply&) {
    return false;
}

enum class Argument { None, Required, Optional };

// Most modes take no argument and can shape any reply; the rows say only where one differs.
struct ModeInfo {
    FaultMode mode;
    const char* name;
    bool (*fits)(const Reply& reply) = AnyReply;
    Argument argument = Argument::None;
    int defaultArgument = 0;  // for an optional argument left out
};
constexpr int kDefaultChunkGapMs = 20;
constexpr std::array<ModeInfo, 16> kModes{{
    {FaultMode::Silent, "silent"},
    {FaultMode::Delay, "delay", AnyReply, Argument::Required},
    {FaultMode::Chunks, "chunks", AnyReply, Argument::Optional, kDefaultChunkGapMs},
    {FaultMode::Truncate, "truncate"},
    {FaultMode::Checksum, "checksum"},
    {FaultMode::Len000, "len000"},
    {FaultMode::Len301, "len301"},
    {FaultMode::Len999, "len999"},
    {FaultMode::Garbage, "garbage"},
    {FaultMode::Len6, "len6"},
    {FaultMode::Trailing, "trailing"},
    {FaultMode::NonNumeric, "nonnumeric", ReplyWithValues},
    {FaultMode::Hx, "hx", HReply},
    {FaultMode::ExCount, "excount", ExReadReply},
    {FaultMode::Echo, "echo", NoReply},
    {FaultMode::Address, "address", AnyReply, Argument::Required},
}};

constexpr char kGarbage[] = "\r\n#?~";
constexpr char kTrailing[] = "~~\r\n";

const ModeInfo& Info(FaultMode mode) {
    return *std::find_if(kModes.begin(), kModes.end(),
                         [mode](const ModeInfo& info) { return info.mode == mode; });
}

std::vector<std::string> SplitColons(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? colon : colon - start));
        if (colon == std::string::npos) return parts;
        start = colon + 1;
    }
}

// "MODE" or "MODE=ARG" into `rule`.
void ParseMode(const std::string& text, FaultRule& rule) {
    const auto equals = text.find('=');
    const std::string name = text.substr(0, equals);
    const auto* info = std::find_if(kModes.begin(), kModes.end(),
                                    [&name](const ModeInfo& mode) { return name == mode.name; });
    if (info == kModes.end()) throw std::invalid_argument("unknown fault mode \"" + name + "\"");
    rule.mode = info->mode;
    rule.argument = info->defaultArgument;
    if (equals != std::string::npos) {
        if (info->argument == Argument::None) {
            throw std::invalid_argument(name + " takes no argument");
        }
        rule.argument =
            info->mode == FaultMode::Address
                ? ParseInteger(text.substr(equals + 1), 0, 99, "address")
                : ParseInteger(text.substr(equals + 1), 0, INT32_MAX, name + " milliseconds");
    } else if (info->argument == Argument::Required) {
        throw std::invalid_argument(info->mode == FaultMode::Address
                                        ? "address needs the address it names: address=NN"
                                        : name + " needs milliseconds: " + name + "=MS");
    }
}

// One "KEY=VALUE" selector into `rule`.
void ParseSelector(const std::string& text, FaultRule& rule) {
    const auto eq = text.find('=');
    const std::string key = text.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
    if (key == "p") {
        double p = -1;
        try {
            p = ParseReal(value);
        } catch (const std::invalid_argument&) {
            p = -1;
        }
        if (p < 0 || p > 1) throw std::invalid_argument("bad probability \"" + value + "\"");
        rule.probability = p;
    } else if (key == "meter") {
        rule.meter = ParseInteger(value, 0, 99, "meter address");
    } else if (key == "nth") {
        rule.nth = ParseInteger(value, 1, INT32_MAX, "request number");
    } else {
        throw std::invalid_argument("unknown fault selector \"" + key + "\"");
    }
}

// The rules that took effect, looked up by mode.
class ActiveRules {
public:
    explicit ActiveRules(std::vector<const FaultRule*> rules) : rules_(std::move(rules)) {}
    const FaultRule* Find(FaultMode mode) const {
        for (const FaultRule* rule : rules_) {
            if (rule->mode == mode) return rule;
        }
        return nullptr;
    }
    bool Has(FaultMode mode) const { return Find(mode) != nullptr; }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const FaultRule* rule : rules_) texts.push_back(rule->ruleText);
        return texts;
    }

private:
    std::vector<const FaultRule*> rules_;
};

// Faults of the content: what the fields say.
Reply AlterContent(Reply reply, const ActiveRules& active) {
    if (active.Has(FaultMode::NonNumeric)) {
        const std::size_t at = reply.family == Family::ExRead ? 2 : 0;
        const std::size_t width = reply.family == Family::Plain ? kPlainFields[0].width
                                  : reply.family == Family::H   ? kHFieldWidth
                                                                : 8;
        reply.data.replace(at, width, std::string(width, '?'));
    }
    if (active.Has(FaultMode::Hx)) reply.data[0] = 'X';
    if (const FaultRule* other = active.Find(FaultMode::Address)) {
        reply.address = {static_cast<char>('0' + other->argument / 10),
                         static_cast<char>('0' + other->argument % 10)};
    }
    if (active.Has(FaultMode::ExCount)) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        const int count = (reply.exCount + 1) & 0xFF;
        reply.data[0] = kDigits[count >> 4];
        reply.data[1] = kDigits[count & 0xF];
    }
    return reply;
}

// Faults of the frame: its length field, checksum and end.
std::string FrameBytes(const Reply& reply, const ActiveRules& active) {
    std::string body = reply.Body();
    std::string bytes;
    if (active.Has(FaultMode::Len301)) {
        // A frame that really holds 301 counted bytes, with the checksum character the sum
        // would give: only the length limit can refuse it.
        body.resize(kMaxFrameLength + 1 - 3, '0');
        bytes = "!301" + body;
        bytes += Checksum(bytes.substr(1));
        bytes += "\r\n";
    } else {
        bytes = BuildFrame(body);
    }
    if (active.Has(FaultMode::Checksum)) {
        char& check = bytes[bytes.size() - 3];
        check = static_cast<char>(check == 125 ? 34 : check + 1);
    }
    if (active.Has(FaultMode::Len000)) bytes.replace(1, 3, "000");
    if (active.Has(FaultMode::Len999)) bytes.replace(1, 3, "999");
    if (active.Has(FaultMode::Truncate)) bytes.resize(bytes.size() / 2);
    return bytes;
}

// Faults around the frame: what comes before and behind it.
void Surround(std::string& bytes, const Reply& reply, const ActiveRules& active) {
    if (active.Has(FaultMode::Len6)) bytes.insert(0, BuildFrame(reply.address + reply.command));
    if (active.Has(FaultMode::Garbage)) bytes.insert(0, kGarbage);
    if (active.Has(FaultMode::Trailing)) bytes += kTrailing;
}

// Faults of timing: whether, when and in what pieces the bytes go out.
void Schedule(Transmission& out, const ActiveRules& active) {
    if (active.Has(FaultMode::Silent)) out.silent = true;
    if (const FaultRule* delay = active.Find(FaultMode::Delay)) out.delayMs = delay->argument;
    if (const FaultRule* chunks = active.Find(FaultMode::Chunks)) {
        // The header alone first, so the receiver's first read is satisfied while the rest is
        // still on its way; then the remainder in two halves.
        const std::size_t head = std::min<std::size_t>(4, out.bytes.size());
        const std::size_t rest = out.bytes.size() - head;
        out.pieces = {head, rest / 2, rest - rest / 2};
        out.gapMs = chunks->argument;
    }
}

}  // namespace

FaultRule ParseFault(const std::string& text) {
    FaultRule rule;
    rule.ruleText = text;
    const std::vector<std::string> parts = SplitColons(text);
    ParseMode(parts[0], rule);
    for (std::size_t i = 1; i < parts.size(); ++i) ParseSelector(parts[i], rule);
    return rule;
}

FaultPlan::FaultPlan(std::vector<FaultRule> rules, std::uint64_t seed)
    : rules_(std::move(rules)), rng_(seed ^ 0xFA017u) {}

std::vector<const FaultRule*> FaultPlan::Select(const Reply* reply, int address,
                                                std::optional<int> number) {
    std::vector<const FaultRule*> active;
    for (const FaultRule& rule : rules_) {
        if (rule.meter && *rule.meter != address) continue;
        if (rule.nth && (!number || *rule.nth != *number)) continue;
        const bool fits =
            reply != nullptr ? Info(rule.mode).fits(*reply) : rule.mode == FaultMode::Echo;
        if (!fits) continue;
        if (rule.probability) {
            const double draw = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
            if (draw >= *rule.probability) continue;
        }
        active.push_back(&rule);
    }
    return active;
}

Transmission FaultPlan::Shape(const Reply& original, int address, int number) {
    const ActiveRules active(Select(&original, address, number));
    Transmission out;
    out.applied = active.Texts();
    // Faults of the content first, then of the frame, then of what surrounds it.
    const Reply reply = AlterContent(original, active);
    out.bytes = FrameBytes(reply, active);
    Surround(out.bytes, reply, active);
    Schedule(out, active);
    return out;
}

std::vector<std::string> FaultPlan::Echoes(int address, std::optional<int> number) {
    return ActiveRules(Select(nullptr, address, number)).Texts();
}

}  // namespace sim
