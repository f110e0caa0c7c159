// The values file: its lines, their keys, and the meter settings they make.
#include "values_file.h"

#include <array>
#include <cctype>
#include <cmath>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "numbers.h"

namespace sim {

namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Indices in keys have at most three digits: no register or field number needs more.
int ParseKeyIndex(const std::string& text, int low, int high, const std::string& what) {
    if (text.size() > 3) throw std::invalid_argument("bad " + what + " \"" + text + "\"");
    return ParseInteger(text, low, high, what);
}

// A field setting: a number, or a quoted text of exactly `width` characters.
FieldSetting ParseField(const std::string& text, int width) {
    FieldSetting setting;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        setting.text = text.substr(1, text.size() - 2);
        if (static_cast<int>(setting.text->size()) != width) {
            throw std::invalid_argument("field text \"" + *setting.text + "\" is not " +
                                        std::to_string(width) + " characters wide");
        }
        return setting;
    }
    setting.value = ParseReal(text);
    return setting;
}

// "plain.N = value".
void ApplyPlain(Meter& meter, const std::string& key, const std::string& text) {
    const int field = ParseKeyIndex(key.substr(6), 0, kPlainFieldCount - 1, "plain field");
    const FieldSetting setting = ParseField(text, kPlainFields[field].width);
    if (field == kStatusField && !setting.text &&
        (setting.value < 0 || setting.value > 255 || setting.value != std::floor(setting.value))) {
        throw std::invalid_argument("the status byte takes 0 to 255");
    }
    meter.PinPlain(field, setting);
}

// "hB.N = value".
void ApplyH(Meter& meter, const std::string& key, const std::string& text) {
    const auto dot = key.find('.');
    if (dot == std::string::npos) throw std::invalid_argument("H keys are hB.N");
    const int block = ParseKeyIndex(key.substr(1, dot - 1), 1, kHBlockCount, "H block");
    const int field = ParseKeyIndex(key.substr(dot + 1), 0, kHFieldCount - 1, "H field");
    meter.PinH(block, field, ParseField(text, kHFieldWidth));
}

// "ex.G.I = value".
void ApplyEx(Meter& meter, const std::string& key, const std::string& text) {
    const auto dot = key.find('.', 3);
    if (dot == std::string::npos) throw std::invalid_argument("EX keys are ex.G.I");
    const int group = ParseKeyIndex(key.substr(3, dot - 3), 0, 255, "EX group");
    const int item = ParseKeyIndex(key.substr(dot + 1), 0, 255, "EX item");
    meter.SetExRegister(group, item, ParseRegister(text));
}

// "trN = 0A 0A 00FF" and the other T banks: every field of the register, in its width.
void ApplyT(Meter& meter, const TBank& bank, const std::string& key, const std::string& text) {
    const std::string prefix = bank.name;
    // The number only has to name a register of the bank.
    static_cast<void>(
        ParseKeyIndex(key.substr(prefix.size()), 1, bank.registers, prefix + " register"));
    std::istringstream tokens(text);
    std::string token;
    std::string joined;
    int count = 0;
    while (tokens >> token) {
        if (count >= bank.fields || static_cast<int>(token.size()) != TFieldWidth(bank, count)) {
            throw std::invalid_argument(key + " takes " + std::to_string(bank.fields) +
                                        " fields of widths as the register has");
        }
        joined += token;
        ++count;
    }
    if (count != bank.fields) {
        throw std::invalid_argument(key + " takes " + std::to_string(bank.fields) +
                                    " fields, not " + std::to_string(count));
    }
    meter.SetTRegister(key, joined);
}

// The keys by their beginning; T banks are looked up by name behind these.
struct KeyForm {
    bool (*matches)(const std::string& key);
    void (*apply)(Meter& meter, const std::string& key, const std::string& text);
};
constexpr std::array<KeyForm, 3> kKeyForms{{
    {[](const std::string& key) { return key.rfind("plain.", 0) == 0; }, ApplyPlain},
    {[](const std::string& key) {
         return key.size() > 2 && key[0] == 'h' && std::isdigit(static_cast<unsigned char>(key[1]));
     },
     ApplyH},
    {[](const std::string& key) { return key.rfind("ex.", 0) == 0; }, ApplyEx},
}};

// One setting on one meter. Throws std::invalid_argument with the reason when it does not fit.
void Apply(Meter& meter, const std::string& key, const std::string& text) {
    for (const KeyForm& form : kKeyForms) {
        if (form.matches(key)) return form.apply(meter, key, text);
    }
    for (const TBank& bank : kTBanks) {
        if (key.rfind(bank.name, 0) == 0) return ApplyT(meter, bank, key, text);
    }
    throw std::invalid_argument("unknown key \"" + key + "\"");
}

// The line without its comment: "#" starts one unless it stands inside a quoted field text.
std::string StripComment(std::string line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == '#' && !quoted) {
            line.erase(i);
            break;
        }
    }
    return Trim(line);
}

// One "[NN:]key = value" line on the meters it names. Throws std::invalid_argument.
void ApplyLine(const std::string& line, MeterSet& meters) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) throw std::invalid_argument("expected key = value");
    std::string key = Trim(line.substr(0, equals));
    const std::string value = Trim(line.substr(equals + 1));
    std::optional<int> address;
    const auto colon = key.find(':');
    if (colon != std::string::npos) {
        address = ParseKeyIndex(key.substr(0, colon), 0, 99, "meter address");
        key = Trim(key.substr(colon + 1));
        if (meters.count(*address) == 0) {
            throw std::invalid_argument("no meter " + std::to_string(*address) + " on this line");
        }
    }
    for (auto& [meterAddress, meter] : meters) {
        if (!address || *address == meterAddress) Apply(meter, key, value);
    }
}

}  // namespace

void LoadValuesText(const std::string& text, const std::string& origin, MeterSet& meters) {
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = StripComment(line);
        if (line.empty()) continue;
        try {
            ApplyLine(line, meters);
        } catch (const std::invalid_argument& error) {
            throw std::runtime_error(origin + ":" + std::to_string(number) + ": " + error.what());
        }
    }
}

void LoadValues(const std::string& path, MeterSet& meters) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read values file " + path);
    std::stringstream text;
    text << file.rdbuf();
    LoadValuesText(text.str(), path, meters);
}

}  // namespace sim
