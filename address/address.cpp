// Gate address parsing (operation 3) and the gate definition check (operation 4).
#include "address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host_log.h"
#include "vpi_families.h"

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
constexpr auto kPatterns = std::to_array<Pattern>({
    /* Plain */ {kDigits, kDigits, kDigits, kDigits, kBlank, kBlank, kBlank, kBlank, kBlank,
                 kBlank},
    /* H */ {kDigits, kDigits, kDigits, kDigits, "H", "123456", kBlank, kBlank, kBlank, kBlank},
    /* T */
    {kDigits, kDigits, "T", "RKDCY", kDigits, kDigits, kDigitOrBlank, kDigitOrBlank, kDigitOrBlank,
     kBlank},
    /* Ex */ {kDigits, kDigits, "E", "X", kDigits, kDigits, kDigits, kDigits, kBlank, kBlank},
});
// One pattern per form, and every position of each given: a pattern cut short would
// zero-fill into empty sets that refuse every address of its form.
static_assert(kPatterns.size() == static_cast<std::size_t>(Form::Ex) + 1);
static_assert([] {
    for (const Pattern& pattern : kPatterns) {
        for (const std::string_view set : pattern) {
            if (set.empty()) return false;
        }
    }
    return true;
}());

// T families chosen by a selector: TR, TK and TY by one digit at position 4, TD by the two
// digits at positions 4 and 5. Selectors run over the family's members from 1; the number
// behind the selector is the gate's index, from 1 up to what the syntax allows.
struct SelectorFamily {
    char letter;
    GateFamily family;
    std::size_t selectorDigits;  // 1: the digit at position 4; 2: the number at position 4
    std::size_t memberPosition;
    std::int32_t memberMax;
};
constexpr auto kSelectorFamilies = std::to_array<SelectorFamily>({
    {'R', GateFamily::Tr, 1, 5, 8},
    {'K', GateFamily::Tk, 1, 5, 3},
    {'Y', GateFamily::Ty, 1, 5, 2},
    {'D', GateFamily::Td, 2, 6, 25},
});
static_assert(kSelectorFamilies.size() == 4);

constexpr std::int32_t Members(GateFamily family) {
    return InfoOf(family).lastMemtype - InfoOf(family).firstMemtype + 1;
}

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
        gate.memtype = InfoOf(GateFamily::Tc).firstMemtype - 1 + bankOffset + number.value;
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
        if (!selector.present || selector.value < 1 || selector.value > Members(family.family) ||
            !member.present || member.value < 1 || member.value > family.memberMax) {
            return RefuseAddress(state);
        }
        gate.memtype = InfoOf(family.family).firstMemtype - 1 + selector.value;
        gate.index = member.value;
        return VpiDone;
    }
    return RefuseAddress(state);
}

// The part of a matched address that differs by form: the memory type, and the index of the
// T and EX forms.
std::int32_t DecodeForm(const ParseState& state, Form form, GateAddressRecord& gate) {
    switch (form) {
        case Form::H:
            gate.memtype = DigitValue(state.normalizedAddress[5]);
            return VpiDone;
        case Form::T:
            return DecodeTForm(state, gate);
        case Form::Ex: {
            gate.memtype = MEMTYPE_EX;
            const Number group = ReadNumber(state, 4);
            const Number item = ReadNumber(state, group.next);
            if (!group.present || !item.present) return VpiRefused;
            // Group in bits 8-15, item in bits 0-7: the request builders split it the same way.
            gate.index = group.value * 256 + item.value;
            return VpiDone;
        }
        case Form::Plain:
            gate.memtype = MEMTYPE_PLAIN;
            return VpiDone;
    }
    return VpiRefused;
}

// The PLC address at position 0, and the index at position 2 that plain and H addresses carry
// (the T forms have theirs). An index of 0 makes the gate a command gate.
std::int32_t DecodePlcAndIndex(const ParseState& state, Form form, GateAddressRecord& gate) {
    const Number plc = ReadNumber(state, 0);
    if (!plc.present) return RefuseAddress(state);
    gate.plcAddress = plc.value;
    if (plc.value >= 100) {
        hostlog::Log(hostlog::Severity::Gate, "Plc adress too big %d", plc.value);
        return VpiRefused;
    }
    if (form == Form::Plain || form == Form::H) {
        const Number index = ReadNumber(state, 2);
        if (!index.present) return RefuseAddress(state);
        gate.index = index.value;
    }
    if (gate.index == 0) gate.memtype = MEMTYPE_INDEX_ZERO;
    return VpiDone;
}

// The index limits of plain and H gates, and the value type unless the check skips it.
std::int32_t CheckDecodedGate(const ParseState& state, const GateAddressRecord& gate) {
    // The lines name the limits in their own words.
    static_assert(InfoOf(GateFamily::Plain).maxIndex == 40 && InfoOf(GateFamily::H).maxIndex == 34);
    const FamilyInfo* info = FamilyOf(gate.memtype);
    if (info != nullptr && info->family == GateFamily::Plain && gate.index > info->maxIndex) {
        hostlog::Log(hostlog::Severity::Gate, "parse fail for gate %d > 40 and memtype = %d",
                     gate.index, gate.memtype);
        return VpiRefused;
    }
    if (info != nullptr && info->family == GateFamily::H && gate.index > info->maxIndex) {
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

// Decodes a matched address into the record and runs the range and value-type checks.
std::int32_t DecodeAddress(const ParseState& state, Form form, GateAddressRecord& gate) {
    gate.plcAddress = 0;
    gate.fixedValue32 = 32;
    gate.fixedValue255 = 255;
    if (const std::int32_t result = DecodeForm(state, form, gate); result != VpiDone) {
        return result;
    }
    if (const std::int32_t result = DecodePlcAndIndex(state, form, gate); result != VpiDone) {
        return result;
    }
    return CheckDecodedGate(state, gate);
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
    const FamilyInfo* info = FamilyOf(gate.memtype);
    if (info == nullptr || info->count == kAnyCount) return VpiDone;
    const bool fits =
        gate.elementCount == info->count || gate.elementCount == info->alternativeCount;
    return fits ? VpiDone : VpiRefused;
}

}  // namespace address
