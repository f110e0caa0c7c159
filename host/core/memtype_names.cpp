// Names of the driver's memory-type codes, read from the family table in common/.
#include "core/memtype_names.h"

#include <fmt/format.h>

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

}  // namespace host::core
