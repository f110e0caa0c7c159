// The memory-type families: which codes each holds, its name, the element counts a gate
// definition of it must have, and how it is read and written. The one table every reader
// (address check, protocol, host tool) takes these facts from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "vpi_records.h"

// The families in the order of their memory-type codes; kFamilies below holds them in it.
enum class GateFamily : std::uint8_t { Plain, H, Tr, Tk, Ty, Td, IndexZero, Tc, Ex };

// How operation 6 reaches a family's values: not at all (index-zero gates are written only),
// the plain block, a harmonics block, a T register table, an EX register block.
enum class ReadKind : std::uint8_t { None, Plain, H, T, Ex };

// How operation 7 writes a family: not at all, a command with one of two operands, EX
// registers of the writable group.
enum class WriteKind : std::uint8_t { None, Command, Ex };

// An element count of kAnyCount accepts whatever the definition gives.
inline constexpr std::int32_t kAnyCount = -1;

struct FamilyInfo {
    GateFamily family;
    std::int32_t firstMemtype;
    std::int32_t lastMemtype;
    // The memory-type constant's name without MEMTYPE_: "PLAIN", "INDEX_ZERO", "EX", or the
    // prefix of numbered members ("H" for H1 to H6).
    std::string_view name;
    bool numbered;
    // The element count a definition must have, and a second one it may have instead (plain
    // gates take the whole block or its first 28 fields).
    std::int32_t count;
    std::int32_t alternativeCount;
    // The highest index an address of the family may name (0: the family has no index of its
    // own in the address).
    std::int32_t maxIndex;
    ReadKind read;
    WriteKind write;
};

inline constexpr std::int32_t kPlainFieldCount = 40;       // fields of the plain block
inline constexpr std::int32_t kPlainShortFieldCount = 28;  // the block's first part
inline constexpr std::int32_t kHarmonicsCount = 34;        // values of an H block
inline constexpr std::int32_t kTcPerBank = 12;             // TC registers in each of two banks

inline constexpr auto kFamilies = std::to_array<FamilyInfo>({
    {GateFamily::Plain, MEMTYPE_PLAIN, MEMTYPE_PLAIN, "PLAIN", false, kPlainFieldCount,
     kPlainShortFieldCount, kPlainFieldCount, ReadKind::Plain, WriteKind::None},
    {GateFamily::H, MEMTYPE_H1, MEMTYPE_H6, "H", true, kHarmonicsCount, kHarmonicsCount,
     kHarmonicsCount, ReadKind::H, WriteKind::None},
    {GateFamily::Tr, MEMTYPE_TR1, MEMTYPE_TR8, "TR", true, 3, 3, 0, ReadKind::T, WriteKind::None},
    {GateFamily::Tk, MEMTYPE_TK1, MEMTYPE_TK3, "TK", true, 3, 3, 0, ReadKind::T, WriteKind::None},
    {GateFamily::Ty, MEMTYPE_TY1, MEMTYPE_TY2, "TY", true, 2, 2, 0, ReadKind::T, WriteKind::None},
    {GateFamily::Td, MEMTYPE_TD1, MEMTYPE_TD16, "TD", true, 25, 25, 0, ReadKind::T,
     WriteKind::None},
    {GateFamily::IndexZero, MEMTYPE_INDEX_ZERO, MEMTYPE_INDEX_ZERO, "INDEX_ZERO", false, kAnyCount,
     kAnyCount, 0, ReadKind::None, WriteKind::Command},
    {GateFamily::Tc, MEMTYPE_TC1, MEMTYPE_TC24, "TC", true, 33, 33, 0, ReadKind::T,
     WriteKind::None},
    {GateFamily::Ex, MEMTYPE_EX, MEMTYPE_EX, "EX", false, kAnyCount, kAnyCount, 0, ReadKind::Ex,
     WriteKind::Ex},
});

// The table is in the order of GateFamily and of the memory-type codes, without overlaps.
consteval bool FamiliesInOrder() {
    for (std::size_t i = 0; i < kFamilies.size(); ++i) {
        if (static_cast<std::size_t>(kFamilies[i].family) != i) return false;
        if (kFamilies[i].firstMemtype > kFamilies[i].lastMemtype) return false;
        if (i > 0 && kFamilies[i - 1].lastMemtype >= kFamilies[i].firstMemtype) return false;
        if (kFamilies[i].numbered == (kFamilies[i].firstMemtype == kFamilies[i].lastMemtype)) {
            return false;
        }
    }
    return true;
}
static_assert(kFamilies.size() == 9);
static_assert(FamiliesInOrder());
static_assert(kFamilies[static_cast<std::size_t>(GateFamily::Td)].lastMemtype -
                  kFamilies[static_cast<std::size_t>(GateFamily::Td)].firstMemtype + 1 ==
              16);
static_assert(kFamilies[static_cast<std::size_t>(GateFamily::Tc)].lastMemtype -
                  kFamilies[static_cast<std::size_t>(GateFamily::Tc)].firstMemtype + 1 ==
              2 * kTcPerBank);

// The family that holds `memtype`, or nullptr for a code no family has.
constexpr const FamilyInfo* FamilyOf(std::int32_t memtype) {
    for (const FamilyInfo& info : kFamilies) {
        if (memtype >= info.firstMemtype && memtype <= info.lastMemtype) return &info;
    }
    return nullptr;
}

constexpr const FamilyInfo& InfoOf(GateFamily family) {
    return kFamilies[static_cast<std::size_t>(family)];
}

static_assert(FamilyOf(MEMTYPE_TK3)->family == GateFamily::Tk);
static_assert(FamilyOf(MEMTYPE_TC24)->family == GateFamily::Tc);
static_assert(FamilyOf(7) == nullptr && FamilyOf(MEMTYPE_EX + 1) == nullptr);
