// The platform-independent half of module loading: the call helpers.
#include "platform/driver_module.h"

namespace host::platform {

std::int32_t DriverModule::Call(VpiCall& call) const {
    return entry_(&call);
}

std::int32_t DriverModule::Call(VpiOperation operation, void* channel, void* argument,
                                std::int32_t vpiNumber) const {
    VpiCall call{};
    call.channel = channel;
    call.operation = static_cast<std::int32_t>(operation);
    call.vpiNumber = vpiNumber;
    call.argument = argument;
    return Call(call);
}

}  // namespace host::platform
