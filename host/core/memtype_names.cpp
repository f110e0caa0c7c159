// Names of the driver's memory-type codes, read from the family table in common/.
#include "core/memtype_names.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

#include "vpi_families.h"

namespace host::core {

std::string MemtypeName(std::int32_t memtype) {
    const FamilyInfo* family = FamilyOf(memtype);
    if (family == nullptr) return "?";
    if (!family->numbered) return std::string(family->name);
    // Numbered members: codes first..last are named prefix1..prefixN.
    return fmt::format("{}{}", family->name, memtype - family->firstMemtype + 1);
}

std::string MemtypeLabel(std::int32_t memtype) {
    return fmt::format("{} ({})", memtype, MemtypeName(memtype));
}

std::int32_t ExGroup(std::int32_t index) {
    return (index >> 8) & 0xFF;
}

std::int32_t ExItem(std::int32_t index) {
    return index & 0xFF;
}

std::string ExIndexLabel(std::int32_t index) {
    return fmt::format("{}/{}", ExGroup(index), ExItem(index));
}

std::string ValueKey(std::int32_t memtype, std::int32_t index, int k) {
    if (memtype == MEMTYPE_EX) return fmt::format("ex.{}.{}", ExGroup(index), ExItem(index) + k);
    const FamilyInfo* family = FamilyOf(memtype);
    if (family == nullptr) return fmt::format("?.{}", k);
    std::string name(family->name);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (family->numbered) name += std::to_string(memtype - family->firstMemtype + 1);
    return fmt::format("{}.{}", name, k);
}

}  // namespace host::core
