// Deliberate misbehaviour of the meters.
#include "faults.h"

#include <array>
#include <stdexcept>

namespace sim {

namespace {

struct ModeName {
    FaultMode mode;
    const char* name;
    bool takesArgument;
};
constexpr std::array<ModeName, 14> kModes{{
    {FaultMode::Silent, "silent", false},
    {FaultMode::Delay, "delay", true},
    {FaultMode::Chunks, "chunks", true},
    {FaultMode::Truncate, "truncate", false},
    {FaultMode::Checksum, "checksum", false},
    {FaultMode::Len000, "len000", false},
    {FaultMode::Len301, "len301", false},
    {FaultMode::Len999, "len999", false},
    {FaultMode::Garbage, "garbage", false},
    {FaultMode::Len6, "len6", false},
    {FaultMode::Trailing, "trailing", false},
    {FaultMode::NonNumeric, "nonnumeric", false},
    {FaultMode::Hx, "hx", false},
    {FaultMode::ExCount, "excount", false},
}};

constexpr int kDefaultChunkGapMs = 20;
constexpr char kGarbage[] = "\r\n#?~";
constexpr char kTrailing[] = "~~\r\n";

int ParseInt(const std::string& text, const std::string& what) {
    std::size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || value < 0) {
        throw std::invalid_argument("bad " + what + " \"" + text + "\"");
    }
    return value;
}

// Whether a mode has anything to work on in this reply.
bool Fits(FaultMode mode, const Reply& reply) {
    switch (mode) {
        case FaultMode::Hx:
            return reply.family == Family::H;
        case FaultMode::ExCount:
            return reply.family == Family::ExRead;
        case FaultMode::NonNumeric:
            return reply.family == Family::Plain || reply.family == Family::H ||
                   (reply.family == Family::ExRead && reply.exCount > 0);
        default:
            return true;
    }
}

}  // namespace

FaultRule ParseFault(const std::string& text) {
    FaultRule rule;
    rule.ruleText = text;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? colon : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    const auto equals = parts[0].find('=');
    const std::string name = parts[0].substr(0, equals);
    const ModeName* mode = nullptr;
    for (const ModeName& candidate : kModes) {
        if (name == candidate.name) mode = &candidate;
    }
    if (mode == nullptr) throw std::invalid_argument("unknown fault mode \"" + name + "\"");
    rule.mode = mode->mode;
    if (equals != std::string::npos) {
        if (!mode->takesArgument) throw std::invalid_argument(name + " takes no argument");
        rule.argument = ParseInt(parts[0].substr(equals + 1), name + " milliseconds");
    } else if (rule.mode == FaultMode::Delay) {
        throw std::invalid_argument("delay needs milliseconds: delay=MS");
    } else if (rule.mode == FaultMode::Chunks) {
        rule.argument = kDefaultChunkGapMs;
    }
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const auto eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : parts[i].substr(eq + 1);
        if (key == "p") {
            std::size_t used = 0;
            double p = -1;
            try {
                p = std::stod(value, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (value.empty() || used != value.size() || p < 0 || p > 1) {
                throw std::invalid_argument("bad probability \"" + value + "\"");
            }
            rule.probability = p;
        } else if (key == "meter") {
            const int address = ParseInt(value, "meter address");
            if (address > 99) throw std::invalid_argument("meter addresses are 00 to 99");
            rule.meter = address;
        } else if (key == "nth") {
            const int nth = ParseInt(value, "request number");
            if (nth < 1) throw std::invalid_argument("nth counts from 1");
            rule.nth = nth;
        } else {
            throw std::invalid_argument("unknown fault selector \"" + key + "\"");
        }
    }
    return rule;
}

FaultPlan::FaultPlan(std::vector<FaultRule> rules, std::uint64_t seed)
    : rules_(std::move(rules)), rng_(seed ^ 0xFA017u) {}

Transmission FaultPlan::Shape(const Reply& original, int address, int number) {
    std::vector<const FaultRule*> active;
    for (const FaultRule& rule : rules_) {
        if (rule.meter && *rule.meter != address) continue;
        if (rule.nth && *rule.nth != number) continue;
        if (!Fits(rule.mode, original)) continue;
        if (rule.probability) {
            const double draw = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
            if (draw >= *rule.probability) continue;
        }
        active.push_back(&rule);
    }
    const auto has = [&active](FaultMode mode) -> const FaultRule* {
        for (const FaultRule* rule : active) {
            if (rule->mode == mode) return rule;
        }
        return nullptr;
    };

    Transmission out;
    for (const FaultRule* rule : active) out.applied.push_back(rule->ruleText);

    // Faults of the content first, then of the frame, then of what surrounds it.
    Reply reply = original;
    if (has(FaultMode::NonNumeric)) {
        const std::size_t at = reply.family == Family::ExRead ? 2 : 0;
        const std::size_t width = reply.family == Family::Plain ? kPlainFields[0].width
                                  : reply.family == Family::H   ? kHFieldWidth
                                                                : 8;
        reply.data.replace(at, width, std::string(width, '?'));
    }
    if (has(FaultMode::Hx)) reply.data[0] = 'X';
    if (has(FaultMode::ExCount)) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        const int count = (reply.exCount + 1) & 0xFF;
        reply.data[0] = kDigits[count >> 4];
        reply.data[1] = kDigits[count & 0xF];
    }

    std::string body = reply.Body();
    if (has(FaultMode::Len301)) {
        // A frame that really holds 301 counted bytes, with the checksum character the sum
        // would give: only the length limit can refuse it.
        body.resize(kMaxFrameLength + 1 - 3, '0');
        out.bytes = "!301" + body;
        out.bytes += Checksum(out.bytes.substr(1));
        out.bytes += "\r\n";
    } else {
        out.bytes = BuildFrame(body);
    }
    if (has(FaultMode::Checksum)) {
        char& check = out.bytes[out.bytes.size() - 3];
        check = static_cast<char>(check == 125 ? 34 : check + 1);
    }
    if (has(FaultMode::Len000)) out.bytes.replace(1, 3, "000");
    if (has(FaultMode::Len999)) out.bytes.replace(1, 3, "999");
    if (has(FaultMode::Truncate)) out.bytes.resize(out.bytes.size() / 2);

    if (has(FaultMode::Len6)) out.bytes.insert(0, BuildFrame(reply.address + reply.command));
    if (has(FaultMode::Garbage)) out.bytes.insert(0, kGarbage);
    if (has(FaultMode::Trailing)) out.bytes += kTrailing;

    if (has(FaultMode::Silent)) out.silent = true;
    if (const FaultRule* delay = has(FaultMode::Delay)) out.delayMs = delay->argument;
    if (const FaultRule* chunks = has(FaultMode::Chunks)) {
        // The header alone first, so the receiver's first read is satisfied while the rest is
        // still on its way; then the remainder in two halves.
        const std::size_t head = std::min<std::size_t>(4, out.bytes.size());
        const std::size_t rest = out.bytes.size() - head;
        out.pieces = {head, rest / 2, rest - rest / 2};
        out.gapMs = chunks->argument;
    }
    return out;
}

}  // namespace sim
