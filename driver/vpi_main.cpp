// The module's one export: VpiMain picks the operation's handler from a table of sixteen.
#include <array>
#include <cstdint>

#include "address.h"
#include "driver.h"
#include "protocol.h"
#include "vpi_records.h"

namespace driver {

namespace {

using Handler = std::int32_t(const VpiCall&);

// What a handler may dereference; VpiMain refuses a call block that lacks it. The handler is
// a reference, so no slot can be left empty.
struct Slot {
    Handler& handler;
    bool usesChannel;
    bool usesArgument;
};

// Codes 0, 8 and 9 have no operation; their slots answer like any refused request.
std::int32_t NotApplicable(const VpiCall&) {
    return VpiRefused;
}

constexpr auto kOperations = std::to_array<Slot>({
    /* 0 */ {NotApplicable, false, false},
    /* 1 */ {VpiOpen, true, true},
    /* 2 */ {VpiFlush, true, false},
    /* 3 */ {address::VpiParseAddress, false, true},
    /* 4 */ {address::VpiCheckGate, false, true},
    /* 5 */ {protocol::VpiReadEx, true, true},
    /* 6 */ {protocol::VpiRead, true, true},
    /* 7 */ {protocol::VpiWrite, true, true},
    /* 8 */ {NotApplicable, false, false},
    /* 9 */ {NotApplicable, false, false},
    /* 10 */ {VpiQuery, false, false},
    /* 11 */ {VpiClose, true, false},
    /* 12 */ {VpiClose, true, false},
    /* 13 */ {VpiReopenPort, true, false},
    /* 14 */ {VpiInfo, false, true},
    /* 15 */ {VpiReconfigure, true, true},
});
static_assert(kOperations.size() == 16);

}  // namespace

}  // namespace driver

#if defined(_WIN32)
#define VPI_EXPORT
#else
#define VPI_EXPORT __attribute__((visibility("default")))
#endif

extern "C" VPI_EXPORT std::int32_t VPI_CALLCONV VpiMain(VpiCall* call) {
    if (call == nullptr) return VpiRefused;
    const std::int32_t code = call->operation;
    if (code < 0 || code >= static_cast<std::int32_t>(driver::kOperations.size()))
        return VpiRefused;
    const driver::Slot& slot = driver::kOperations[static_cast<std::size_t>(code)];
    if ((slot.usesChannel && call->channel == nullptr) ||
        (slot.usesArgument && call->argument == nullptr)) {
        return VpiRefused;
    }
    return slot.handler(*call);
}
