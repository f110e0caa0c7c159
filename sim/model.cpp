// The data of the simulated meters: how they start, how they move, how they are sent.
#include "model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

namespace {

// What the plain block carries, field by field.
enum Plain : int {
    kVoltage = 0,      // 0-2: phase voltages, V
    kCurrent = 3,      // 3-5: phase currents, A
    kPower = 6,        // 6-8: phase active powers, W
    kPf = 9,           // 9-11: phase power factors
    kPowerTotal = 12,  // total active power, W
    kPfTotal = 13,     // total power factor
    kReactive = 14,    // total reactive power, var
    kApparent = 15,    // total apparent power, VA
    kFrequency = 16,   // Hz
    kEnergyImport = 17,
    kEnergyExport = 18,
    kReactiveImport = 19,
    kReactiveExport = 20,
    kApparentEnergy = 21,  // Wh, varh, VAh
    kDemandP = 22,
    kDemandQ = 23,
    kDemandS = 24,  // sliding demands
    kMaxP = 25,
    kMaxQ = 26,
    kMaxS = 27,         // their maxima
    kLineVoltage = 28,  // 28-30: line-to-line voltages, V
    kStatus = 31,       // status byte
    kNeutral = 32,      // neutral current, A
    kMaxCurrent = 33,   // largest phase current seen, A
    kThdVoltage = 34,   // 34-36: voltage THD per phase, %
    kThdCurrent = 37,   // 37-39: current THD per phase, %
};
static_assert(kThdCurrent + 3 == kPlainFieldCount);
static_assert(kPlainFields[kStatus].width == 2);

// Energy registers of six characters in kWh roll over like the meter's counters do.
constexpr double kEnergyRollover = 99'000'000.0;

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string Hex(std::uint64_t value, int width) {
    char text[20];
    std::snprintf(text, sizeof text, "%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::string TRegisterKey(const TBank& bank, int number) {
    return bank.name + std::to_string(number);
}

std::string FormatField(double value, int width, bool kilo) {
    if (!std::isfinite(value)) value = 0;
    const double shown = kilo ? value / 1000.0 : value;
    char text[64];
    // As many decimals as the width leaves room for; a kilo field keeps its decimal point
    // even without decimals ("123."), since the point is what makes the driver scale it.
    for (int decimals = width; decimals >= 0; --decimals) {
        const int length = kilo
                               ? std::snprintf(text, sizeof text, "%#0*.*f", width, decimals, shown)
                               : std::snprintf(text, sizeof text, "%0*.*f", width, decimals, shown);
        if (length == width) return text;
    }
    // Too large for the field: the largest magnitude that fits, with the value's sign.
    const int digits = width - (shown < 0 ? 1 : 0) - (kilo ? 1 : 0);
    const double largest = std::pow(10.0, digits) - 1;
    return FormatField((shown < 0 ? -largest : largest) * (kilo ? 1000.0 : 1.0), width, kilo);
}

std::string FormatStatus(double value) {
    return Hex(static_cast<std::uint64_t>(std::clamp(std::lround(value), 0L, 255L)), 2);
}

Meter::Meter(int address, std::uint64_t seed)
    : address_(address), rng_(Mix(seed ^ (static_cast<std::uint64_t>(address) << 32))) {
    plainPinned_.fill(false);
    for (auto& block : hPinned_) block.fill(false);
    for (int phase = 0; phase < 3; ++phase) {
        nominalCurrent_[phase] = 20 + 60 * Uniform();
        nominalPf_[phase] = 0.86 + 0.12 * Uniform();
        plain_[kVoltage + phase] = 228 + 4 * Uniform();
        plain_[kCurrent + phase] = nominalCurrent_[phase];
        plain_[kPf + phase] = nominalPf_[phase];
        plain_[kThdVoltage + phase] = 1.5 + 1.5 * Uniform();
        plain_[kThdCurrent + phase] = 6 + 10 * Uniform();
    }
    plain_[kFrequency] = 50.0;
    plain_[kEnergyImport] = 1e6 + 8e6 * Uniform();
    plain_[kEnergyExport] = 1e4 * Uniform();
    plain_[kReactiveImport] = plain_[kEnergyImport] * 0.3;
    plain_[kReactiveExport] = 0;
    plain_[kApparentEnergy] = plain_[kEnergyImport] * 1.05;
    plain_[kStatus] = 0x01;  // running, no alarm
    // Harmonic spectra: THD first, then orders 2 to 34 in % of the fundamental; odd orders
    // dominate, falling off with the order.
    for (int block = 0; block < kHBlockCount; ++block) {
        const double scale = block < 3 ? 1.0 : 4.0;  // H1-3 voltages, H4-6 currents
        for (int field = 1; field < kHFieldCount; ++field) {
            const int order = field + 1;
            const double base = (order % 2 == 1 ? 6.0 : 0.8) / order;
            h_[block][field] = scale * base * (0.7 + 0.6 * Uniform());
        }
    }
    for (const TBank& bank : kTBanks) {
        for (int number = 1; number <= bank.registers; ++number) {
            std::string text;
            for (int field = 0; field < bank.fields; ++field) {
                const int width = TFieldWidth(bank, field);
                const auto limit = std::uint64_t{1} << (4 * width);
                text += Hex(rng_() % limit, width);
            }
            t_[TRegisterKey(bank, number)] = text;
        }
    }
    Tick();
}

double Meter::Uniform() {
    return static_cast<double>(rng_() >> 11) * 0x1.0p-53;
}

double Meter::Walk(double current, double nominal, double step, double pull) {
    return current + pull * (nominal - current) + step * (2 * Uniform() - 1);
}

double Meter::Shown(const PlainValues& next, int field) const {
    return plainPinned_[field] ? plain_[field] : next[field];
}

Meter::PhaseSums Meter::TickPhases(PlainValues& next) {
    PhaseSums sums;
    for (int phase = 0; phase < 3; ++phase) {
        next[kVoltage + phase] = Walk(plain_[kVoltage + phase], 230.0, 0.6, 0.1);
        next[kCurrent + phase] =
            std::max(0.0, Walk(plain_[kCurrent + phase], nominalCurrent_[phase],
                               0.03 * nominalCurrent_[phase], 0.05));
        next[kPf + phase] =
            std::clamp(Walk(plain_[kPf + phase], nominalPf_[phase], 0.005, 0.1), 0.5, 1.0);
        next[kThdVoltage + phase] =
            std::clamp(Walk(plain_[kThdVoltage + phase], 2.2, 0.05, 0.05), 0.5, 8.0);
        next[kThdCurrent + phase] =
            std::clamp(Walk(plain_[kThdCurrent + phase], 10.0, 0.2, 0.05), 2.0, 40.0);
        // Powers follow from what the phase shows, pinned values included.
        const double v = Shown(next, kVoltage + phase);
        const double i = Shown(next, kCurrent + phase);
        const double pf = Shown(next, kPf + phase);
        const double s = v * i;
        next[kPower + phase] = s * pf;
        sums.p += s * pf;
        sums.s += s;
        sums.q += s * std::sqrt(std::max(0.0, 1 - pf * pf));
        const double angle = -2.0943951023931953 * phase;  // 120 degrees apart
        sums.neutralRe += i * std::cos(angle);
        sums.neutralIm += i * std::sin(angle);
        const double vNext = Shown(next, kVoltage + (phase + 1) % 3);
        next[kLineVoltage + phase] = std::sqrt(v * v + vNext * vNext + v * vNext);
    }
    return sums;
}

void Meter::TickTotals(PlainValues& next, const PhaseSums& sums) {
    next[kPowerTotal] = sums.p;
    next[kReactive] = sums.q;
    next[kApparent] = sums.s;
    next[kPfTotal] = sums.s > 0 ? sums.p / sums.s : 1.0;
    next[kFrequency] = Walk(plain_[kFrequency], 50.0, 0.01, 0.2);
    // One second of energy.
    next[kEnergyImport] = std::fmod(plain_[kEnergyImport] + sums.p / 3600, kEnergyRollover);
    next[kReactiveImport] = std::fmod(plain_[kReactiveImport] + sums.q / 3600, kEnergyRollover);
    next[kApparentEnergy] = std::fmod(plain_[kApparentEnergy] + sums.s / 3600, kEnergyRollover);
    // Demands as slow averages, their maxima as high-water marks.
    next[kDemandP] = plain_[kDemandP] + (sums.p - plain_[kDemandP]) / 60;
    next[kDemandQ] = plain_[kDemandQ] + (sums.q - plain_[kDemandQ]) / 60;
    next[kDemandS] = plain_[kDemandS] + (sums.s - plain_[kDemandS]) / 60;
    next[kMaxP] = std::max(plain_[kMaxP], next[kDemandP]);
    next[kMaxQ] = std::max(plain_[kMaxQ], next[kDemandQ]);
    next[kMaxS] = std::max(plain_[kMaxS], next[kDemandS]);
    next[kNeutral] = std::hypot(sums.neutralRe, sums.neutralIm);
    next[kMaxCurrent] =
        std::max({plain_[kMaxCurrent], next[kCurrent], next[kCurrent + 1], next[kCurrent + 2]});
}

void Meter::TickHarmonics() {
    for (int block = 0; block < kHBlockCount; ++block) {
        double squares = 0;
        for (int field = 1; field < kHFieldCount; ++field) {
            if (!hPinned_[block][field]) {
                h_[block][field] = std::max(0.0, h_[block][field] * (0.98 + 0.04 * Uniform()));
            }
            squares += h_[block][field] * h_[block][field];
        }
        if (!hPinned_[block][0]) h_[block][0] = std::sqrt(squares);
    }
}

void Meter::Tick() {
    PlainValues next = plain_;
    const PhaseSums sums = TickPhases(next);
    TickTotals(next, sums);
    for (int field = 0; field < kPlainFieldCount; ++field) {
        if (!plainPinned_[field]) plain_[field] = next[field];
    }
    TickHarmonics();
}

void Meter::Command(int operand) {
    const auto clear = [this](int field) {
        if (!plainPinned_[field]) plain_[field] = 0;
    };
    if (operand == 1) {
        for (const int field : {kMaxP, kMaxQ, kMaxS, kMaxCurrent}) clear(field);
    } else if (operand == 2) {
        for (const int field :
             {kEnergyImport, kEnergyExport, kReactiveImport, kReactiveExport, kApparentEnergy}) {
            clear(field);
        }
    }
}

std::string Meter::PlainData() const {
    std::string data;
    for (int field = 0; field < kPlainFieldCount; ++field) {
        if (plainText_[field]) {
            data += *plainText_[field];
        } else if (field == kStatus) {
            data += FormatStatus(plain_[field]);
        } else {
            data += FormatField(plain_[field], kPlainFields[field].width, kPlainFields[field].kilo);
        }
    }
    return data;
}

std::string Meter::HData(int block) const {
    std::string data;
    for (int field = 0; field < kHFieldCount; ++field) {
        const auto& text = hText_[block - 1][field];
        data += text ? *text : FormatField(h_[block - 1][field], kHFieldWidth, false);
    }
    return data;
}

std::string Meter::TData(const std::string& key) const {
    return t_.at(key);
}

std::int32_t Meter::ExRegister(int group, int item) const {
    const auto found = ex_.find({group, item});
    if (found != ex_.end()) return found->second;
    // Group 0 mirrors live values as integers; group 10, the writable one, starts cleared;
    // the rest hold fixed settings of this installation.
    if (group == 0 && item < 8) {
        const std::array<double, 8> live{plain_[kVoltage] * 10,      plain_[kVoltage + 1] * 10,
                                         plain_[kVoltage + 2] * 10,  plain_[kCurrent] * 100,
                                         plain_[kCurrent + 1] * 100, plain_[kCurrent + 2] * 100,
                                         plain_[kPowerTotal],        plain_[kFrequency] * 100};
        return static_cast<std::int32_t>(std::lround(live[static_cast<std::size_t>(item)]));
    }
    if (group == 10) return 0;
    const std::uint64_t hash = Mix(Mix(static_cast<std::uint64_t>(address_)) ^
                                   static_cast<std::uint64_t>(group * 256 + item));
    return static_cast<std::int32_t>(hash & 0xFFFF);
}

void Meter::PinPlain(int field, const FieldSetting& setting) {
    plain_[field] = setting.value;
    plainText_[field] = setting.text;
    plainPinned_[field] = true;
}

void Meter::PinH(int block, int field, const FieldSetting& setting) {
    h_[block - 1][field] = setting.value;
    hText_[block - 1][field] = setting.text;
    hPinned_[block - 1][field] = true;
}

}  // namespace sim
