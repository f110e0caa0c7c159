// Gate address parsing (operation 3) and the gate definition check (operation 4).
#include "address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host_log.h"

namespace address {

namespace {

// The syntax has ten positions; positions 0 and 1 always hold the PLC address.
constexpr std::size_t kAddressLength = 10;

// A parse's own work area. It lives on the caller's stack rather than in the module, so
// operations 3 and 4 may run on several threads at once.
struct ParseState {
    char normalizedAddress[kAddressLength];  // folded text, blank-filled, no NUL
    bool floatCheckSuppressed;               // the definition check skips the value-type test
};

// The four address forms, in the order their patterns are tried.
enum class Form : std::uint8_t { Plain = 0, H = 1, T = 2, Ex = 3 };

// One allowed-character set per position, per form.
using Pattern = std::array<std::string_view, kAddressLength>;
constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kDigitOrBlank = "0123456789 ";
constexpr std::string_view kBlank = " ";
constexpr std::array<Pattern, 4> kPatterns{{
    /* Plain */ {kDigits, kDigits, kDigits, kDigits, kBlank, kBlank, kBlank, kBlank, kBlank,
                 kBlank},
    /* H */ {kDigits, kDigits, kDigits, kDigits, "H", "123456", kBlank, kBlank, kBlank, kBlank},
    /* T */
    {kDigits, kDigits, "T", "RKDCY", kDigits, kDigits, kDigitOrBlank, kDigitOrBlank, kDigitOrBlank,
     kBlank},
    /* Ex */ {kDigits, kDigits, "E", "X", kDigits, kDigits, kDigits, kDigits, kBlank, kBlank},
}};
static_assert(kPatterns.size() == 4 && kPatterns[0].size() == kAddressLength);

// T families chosen by a selector: TR, TK and TY by one digit at position 4, TD by the two
// digits at positions 4 and 5. The member number behind the selector is also the gate's index.
struct SelectorFamily {
    char letter;
    std::size_t selectorDigits;  // 1: the digit at position 4; 2: the number at position 4
    std::int32_t selectorMax;    // selectors run from 1
    std::size_t memberPosition;
    std::int32_t memberMax;  // members run from 1
    std::int32_t memtypeBase;
};
constexpr std::array<SelectorFamily, 4> kSelectorFamilies{{
    {'R', 1, 8, 5, 8, MEMTYPE_TR1 - 1},
    {'K', 1, 3, 5, 3, MEMTYPE_TK1 - 1},
    {'Y', 1, 2, 5, 2, MEMTYPE_TY1 - 1},
    {'D', 2, 16, 6, 25, MEMTYPE_TD1 - 1},
}};
static_assert(kSelectorFamilies.size() == 4);

// TC gates: bank 0 (digit 0 at position 4) or bank 1 (any other digit), twelve numbers each.
constexpr std::int32_t kTcPerBank = 12;

// The element count a gate definition must have, by memory-type range. Codes not listed
// (EX, index zero) accept any count.
struct CountRule {
    std::int32_t firstMemtype;
    std::int32_t lastMemtype;
    std::int32_t count;
    std::int32_t alternativeCount;  // plain gates take the whole block or its first 28 fields
};
constexpr std::array<CountRule, 7> kRequiredCounts{{
    {MEMTYPE_PLAIN, MEMTYPE_PLAIN, 40, 28},
    {MEMTYPE_H1, MEMTYPE_H6, 34, 34},
    {MEMTYPE_TR1, MEMTYPE_TR8, 3, 3},
    {MEMTYPE_TK1, MEMTYPE_TK3, 3, 3},
    {MEMTYPE_TY1, MEMTYPE_TY2, 2, 2},
    {MEMTYPE_TD1, MEMTYPE_TD16, 25, 25},
    {MEMTYPE_TC1, MEMTYPE_TC24, 33, 33},
}};
static_assert(kRequiredCounts.size() == 7);

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr std::int32_t DigitValue(char c) {
    return static_cast<std::int32_t>(c - '0');
}

// Folds a-z only: the host's texts are single-byte and must not depend on the process locale.
constexpr char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Copies `text` into the work area, folded and filled with blanks. Reads at most eleven
// characters of it: false for a text with more than ten, whose tail is never searched.
[[nodiscard]] bool NormalizeAddress(const char* text, ParseState& state) {
    std::size_t length = 0;
    while (length <= kAddressLength && text[length] != '\0') ++length;
    if (length > kAddressLength) return false;
    for (std::size_t i = 0; i < kAddressLength; ++i) {
        state.normalizedAddress[i] = i < length ? FoldCase(text[i]) : ' ';
    }
    return true;
}

// True when every character of the work area is in its position's set of `pattern`.
[[nodiscard]] bool MatchPattern(const ParseState& state, const Pattern& pattern) {
    for (std::size_t i = 0; i < kAddressLength; ++i) {
        if (pattern[i].find(state.normalizedAddress[i]) == std::string_view::npos) return false;
    }
    return true;
}

// A number read from the work area; `next` is the position behind its last digit.
struct Number {
    bool present;
    std::int32_t value;
    std::size_t next;
};

// Reads the number at `position` the way a "%2d" conversion does: blanks skipped, then one
// or two digits. Nothing is read past position 9. Absent when only blanks remain.
[[nodiscard]] Number ReadNumber(const ParseState& state, std::size_t position) {
    const char* area = state.normalizedAddress;
    while (position < kAddressLength && area[position] == ' ') ++position;
    if (position >= kAddressLength || !IsDigit(area[position])) return Number{false, 0, position};
    std::int32_t value = DigitValue(area[position++]);
    if (position < kAddressLength && IsDigit(area[position])) {
        value = value * 10 + DigitValue(area[position++]);
    }
    return Number{true, value, position};
}

// Refuses with the parse-failure line, which shows the ten folded characters.
std::int32_t RefuseAddress(const ParseState& state) {
    char shown[kAddressLength + 1];
    for (std::size_t i = 0; i < kAddressLength; ++i) shown[i] = state.normalizedAddress[i];
    shown[kAddressLength] = '\0';
    hostlog::Log(hostlog::Severity::Gate, "gate adress string %s parse faild",
                 static_cast<const char*>(shown));
    return VpiRefused;
}

// Decodes the T form: memory type and index. Refusals leave `memtype` as it was, except a
// TC gate without an index number, which has its code already.
std::int32_t DecodeTForm(const ParseState& state, GateAddressRecord& gate) {
    const char* area = state.normalizedAddress;
    const char letter = area[3];
    if (letter == 'C') {
        const std::int32_t bankOffset = area[4] == '0' ? 0 : kTcPerBank;
        const Number number = ReadNumber(state, 5);
        // An unknown TC number is refused without a line: it is not a syntax error.
        if (!number.present || number.value < 1 || number.value > kTcPerBank) return VpiRefused;
        gate.memtype = MEMTYPE_TC1 - 1 + bankOffset + number.value;
        const Number index = ReadNumber(state, 7);
        if (!index.present) return RefuseAddress(state);
        gate.index = index.value;
        return VpiDone;
    }
    for (const SelectorFamily& family : kSelectorFamilies) {
        if (family.letter != letter) continue;
        const Number selector = family.selectorDigits == 1 ? Number{true, DigitValue(area[4]), 5}
                                                           : ReadNumber(state, 4);
        const Number member = ReadNumber(state, family.memberPosition);
        if (!selector.present || selector.value < 1 || selector.value > family.selectorMax ||
            !member.present || member.value < 1 || member.value > family.memberMax) {
            return RefuseAddress(state);
        }
        gate.memtype = family.memtypeBase + selector.value;
        gate.index = member.value;
        return VpiDone;
    }
    return RefuseAddress(state);
}

// Decodes a matched address into the record and runs the range and value-type checks.
std::int32_t DecodeAddress(const ParseState& state, Form form, GateAddressRecord& gate) {
    gate.plcAddress = 0;
    gate.fixedValue32 = 32;
    gate.fixedValue255 = 255;
    switch (form) {
        case Form::H:
            gate.memtype = DigitValue(state.normalizedAddress[5]);
            break;
        case Form::T: {
            const std::int32_t result = DecodeTForm(state, gate);
            if (result != VpiDone) return result;
            break;
        }
        case Form::Ex: {
            gate.memtype = MEMTYPE_EX;
            const Number group = ReadNumber(state, 4);
            const Number item = ReadNumber(state, group.next);
            if (!group.present || !item.present) return VpiRefused;
            // Group in bits 8-15, item in bits 0-7: the request builders split it the same way.
            gate.index = group.value * 256 + item.value;
            break;
        }
        case Form::Plain:
            gate.memtype = MEMTYPE_PLAIN;
            break;
    }

    const Number plc = ReadNumber(state, 0);
    if (!plc.present) return RefuseAddress(state);
    gate.plcAddress = plc.value;
    if (plc.value >= 100) {
        hostlog::Log(hostlog::Severity::Gate, "Plc adress too big %d", plc.value);
        return VpiRefused;
    }
    if (gate.memtype < MEMTYPE_TR1) {
        const Number index = ReadNumber(state, 2);
        if (!index.present) return RefuseAddress(state);
        gate.index = index.value;
    }
    if (gate.index == 0) gate.memtype = MEMTYPE_INDEX_ZERO;

    if (gate.index > 40 && gate.memtype == MEMTYPE_PLAIN) {
        hostlog::Log(hostlog::Severity::Gate, "parse fail for gate %d > 40 and memtype = %d",
                     gate.index, gate.memtype);
        return VpiRefused;
    }
    if (gate.index > 34 && gate.memtype >= MEMTYPE_H1 && gate.memtype <= MEMTYPE_H6) {
        hostlog::Log(hostlog::Severity::Gate,
                     "parse fail for gate %d > 34 and memtype = %d <> 1..7", gate.index,
                     gate.memtype);
        return VpiRefused;
    }
    if (!state.floatCheckSuppressed && gate.valueType != 3) {
        hostlog::Log(hostlog::Severity::Gate, "gate type suppose to be float");
        return VpiRefused;
    }
    return VpiDone;
}

// The whole parse: normalise, match, decode. The record stays untouched unless a pattern
// matches.
std::int32_t ParseGate(GateAddressRecord& gate, bool floatCheckSuppressed) {
    if (gate.addressText == nullptr) return VpiRefused;
    ParseState state{};
    state.floatCheckSuppressed = floatCheckSuppressed;
    if (!NormalizeAddress(gate.addressText, state)) return VpiRefused;
    for (std::size_t form = 0; form < kPatterns.size(); ++form) {
        if (MatchPattern(state, kPatterns[form])) {
            return DecodeAddress(state, static_cast<Form>(form), gate);
        }
    }
    return VpiRefused;
}

}  // namespace

std::int32_t VpiParseAddress(const VpiCall& call) {
    if (call.argument == nullptr) return VpiRefused;
    return ParseGate(*static_cast<GateAddressRecord*>(call.argument), false);
}

std::int32_t VpiCheckGate(const VpiCall& call) {
    if (call.argument == nullptr) return VpiRefused;
    GateAddressRecord& gate = *static_cast<GateAddressRecord*>(call.argument);
    // The value type is the host's business here; only the form and the size are checked.
    const std::int32_t parsed = ParseGate(gate, true);
    if (parsed != VpiDone) return parsed;
    // A definition names the first element of its memory type; EX gates name any item.
    if (gate.index != 1 && gate.memtype != MEMTYPE_EX) return VpiRefused;
    for (const CountRule& rule : kRequiredCounts) {
        if (gate.memtype < rule.firstMemtype || gate.memtype > rule.lastMemtype) continue;
        const bool fits =
            gate.elementCount == rule.count || gate.elementCount == rule.alternativeCount;
        return fits ? VpiDone : VpiRefused;
    }
    return VpiDone;
}

}  // namespace address
