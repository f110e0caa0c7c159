// The data of the simulated meters: live values, harmonics, T and EX registers.
//
// The field layouts here are the meters' own, written apart from the driver's tables on
// purpose: each side checks the other.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace sim {

// One field of the plain block: its width in characters and whether the driver scales a
// value written with a decimal point by 1000 (such fields carry kilo units).
struct PlainField {
    int width;
    bool kilo;
};
constexpr int kPlainFieldCount = 40;
inline constexpr std::array<PlainField, kPlainFieldCount> kPlainFields{{
    {4, true},  {4, true},  {4, true},  {5, true},  {5, true},  {5, true},  {6, true},  {6, true},
    {6, true},  {4, false}, {4, false}, {4, false}, {6, true},  {4, false}, {6, true},  {5, true},
    {4, false}, {6, true},  {6, true},  {6, true},  {6, true},  {6, true},  {6, true},  {6, true},
    {6, true},  {6, true},  {6, true},  {6, true},  {5, true},  {5, true},  {5, true},  {2, true},
    {6, true},  {6, true},  {4, false}, {4, false}, {4, false}, {4, false}, {4, false}, {4, false},
}};
// Field 31 of the plain block is a status byte written as two hex characters.
constexpr int kStatusField = 31;

constexpr int kHBlockCount = 6;
constexpr int kHFieldCount = 34;
constexpr int kHFieldWidth = 5;

// The configuration register banks: TR1-8 and TK1-3 (command "P", 3 fields of widths
// 2, 2, 4), TY1-2 ("U", 2 x 2), TD1-16 ("Q", 25 x 2), TC1-24 ("R", bank 0 holds TC1-12, bank 1
// TC13-24, 33 x 2). Fields hold raw hex; the driver adds its offsets itself.
enum class TFamily { TR, TK, TY, TD, TC };
struct TBank {
    TFamily family;
    const char* name;  // "tr", "tk", … as in the values file
    int registers;
    int fields;     // fields per register
    int lastWidth;  // the last field's width; all others are 2 wide
};
inline constexpr std::array<TBank, 5> kTBanks{{
    {TFamily::TR, "tr", 8, 3, 4},
    {TFamily::TK, "tk", 3, 3, 4},
    {TFamily::TY, "ty", 2, 2, 2},
    {TFamily::TD, "td", 16, 25, 2},
    {TFamily::TC, "tc", 24, 33, 2},
}};
// The width of field `field` (from 0) of a register of `bank`.
constexpr int TFieldWidth(const TBank& bank, int field) {
    return field == bank.fields - 1 ? bank.lastWidth : 2;
}
// The key of register `number` (1-based) of a family, e.g. "tr3", "tc13".
std::string TRegisterKey(const TBank& bank, int number);

// Writes `value` into a decimal field of `width` characters the way the driver reads it back:
// kilo fields in thousands with a decimal point (230.4 V in a 4-wide field is "0.23"), other
// fields with as many decimals as fit. Values beyond the field are clamped to the largest
// that fits.
std::string FormatField(double value, int width, bool kilo);
// Two hex characters of a status byte (clamped to 0..255).
std::string FormatStatus(double value);

// A numeric value, or a field text to send as it is (to exercise the decoder).
struct FieldSetting {
    double value = 0;
    std::optional<std::string> text;
};

// One meter on the line.
class Meter {
public:
    // A meter at `address` with an installation drawn from `seed`.
    Meter(int address, std::uint64_t seed);

    int Address() const { return address_; }
    // Moves the live values one second on (voltages wander, energies count up).
    void Tick();
    // A command request: 1 clears the demand maxima, 2 the energy counters.
    void Command(int operand);

    // The data of each block as the meter sends it.
    std::string PlainData() const;
    std::string HData(int block) const;               // block 1..6
    std::string TData(const std::string& key) const;  // "tr1", "tc24", …
    std::int32_t ExRegister(int group, int item) const;
    void SetExRegister(int group, int item, std::int32_t value) { ex_[{group, item}] = value; }

    // Pins a plain field (0-39), an H field (block 1-6, field 0-33) or a T register (its key
    // and the text of all its fields): the value stays as set while the others move.
    void PinPlain(int field, const FieldSetting& setting);
    void PinH(int block, int field, const FieldSetting& setting);
    void SetTRegister(const std::string& key, const std::string& text) { t_[key] = text; }

private:
    // What the three phases add up to in one tick.
    struct PhaseSums {
        double p = 0, q = 0, s = 0;           // active, reactive, apparent power
        double neutralRe = 0, neutralIm = 0;  // the neutral current as a phasor
    };
    using PlainValues = std::array<double, kPlainFieldCount>;

    double Uniform();  // in [0, 1)
    double Walk(double current, double nominal, double step, double pull);
    // The value a field shows in this tick: a pinned one as pinned, the others as moved.
    double Shown(const PlainValues& next, int field) const;
    PhaseSums TickPhases(PlainValues& next);
    void TickTotals(PlainValues& next, const PhaseSums& sums);
    void TickHarmonics();

    int address_;
    std::mt19937_64 rng_;
    std::array<double, kPlainFieldCount> plain_{};
    std::array<std::optional<std::string>, kPlainFieldCount> plainText_{};
    std::array<bool, kPlainFieldCount> plainPinned_{};
    std::array<std::array<double, kHFieldCount>, kHBlockCount> h_{};
    std::array<std::array<std::optional<std::string>, kHFieldCount>, kHBlockCount> hText_{};
    std::array<std::array<bool, kHFieldCount>, kHBlockCount> hPinned_{};
    std::map<std::string, std::string> t_;  // register key -> its fields' text
    std::map<std::pair<int, int>, std::int32_t> ex_;
    // Nominal values the live ones wander around.
    std::array<double, 3> nominalCurrent_{};
    std::array<double, 3> nominalPf_{};
};

// All meters of the line, by address.
using MeterSet = std::map<int, Meter>;

}  // namespace sim
