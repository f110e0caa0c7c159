// Names of the driver's memory-type codes and EX indexes, for the host tool's tables.
#pragma once

#include <cstdint>
#include <string>

namespace host::core {

// The memory-type constant's name without its MEMTYPE_ prefix: "PLAIN", "H2", "TR3", "TK1",
// "TY2", "TD16", "INDEX_ZERO", "TC13", "EX"; "?" for a code the parser never produces.
std::string MemtypeName(std::int32_t memtype);

// "13 (TR3)": the code with its name.
std::string MemtypeLabel(std::int32_t memtype);

// An EX gate's group (bits 8-15 of its index) and item (bits 0-7).
std::int32_t ExGroup(std::int32_t index);
std::int32_t ExItem(std::int32_t index);

// An EX gate's index as "group/item".
std::string ExIndexLabel(std::int32_t index);

// The key that names value `k` (from 0) of a gate of `memtype` at `index`, as site files and the
// simulator's values file name it: the family's name in lower case with its number ("plain.16",
// "h2.5", "tr3.0"); for EX gates the group and item of the register ("ex.10.(item+k)"). Every
// output shows values by this key, so a name copied from one works in a site file.
std::string ValueKey(std::int32_t memtype, std::int32_t index, int k);

}  // namespace host::core
