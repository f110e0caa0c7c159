// Names of the driver's memory-type codes.
#include "memtype_names.h"

#include <fmt/format.h>
#include <array>

#include "vpi_records.h"

namespace host {

namespace {

// Families with numbered members: codes first..last are named prefix1..prefixN.
struct Family {
    std::int32_t first;
    std::int32_t last;
    const char* prefix;
};
constexpr std::array<Family, 6> kFamilies{{
    {MEMTYPE_H1, MEMTYPE_H6, "H"},
    {MEMTYPE_TR1, MEMTYPE_TR8, "TR"},
    {MEMTYPE_TK1, MEMTYPE_TK3, "TK"},
    {MEMTYPE_TY1, MEMTYPE_TY2, "TY"},
    {MEMTYPE_TD1, MEMTYPE_TD16, "TD"},
    {MEMTYPE_TC1, MEMTYPE_TC24, "TC"},
}};
static_assert(kFamilies.size() == 6);

}  // namespace

std::string MemtypeName(std::int32_t memtype) {
    switch (memtype) {
        case MEMTYPE_PLAIN:
            return "PLAIN";
        case MEMTYPE_INDEX_ZERO:
            return "INDEX_ZERO";
        case MEMTYPE_EX:
            return "EX";
        default:
            break;
    }
    for (const Family& family : kFamilies) {
        if (memtype >= family.first && memtype <= family.last) {
            return fmt::format("{}{}", family.prefix, memtype - family.first + 1);
        }
    }
    return "?";
}

std::string MemtypeLabel(std::int32_t memtype) {
    return fmt::format("{} ({})", memtype, MemtypeName(memtype));
}

std::string ExIndexLabel(std::int32_t index) {
    return fmt::format("{}/{}", (index >> 8) & 0xFF, index & 0xFF);
}

}  // namespace host
