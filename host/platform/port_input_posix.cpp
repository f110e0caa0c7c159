// Dropping a port's queued input on POSIX: tcflush.
#include "platform/port_input.h"

#include <termios.h>

namespace host::platform {

bool DiscardPortInput(std::uint32_t handle) {
    // tcflush: 0 or -1. TCIFLUSH empties the line discipline's queue and the flip buffers
    // behind it, which a read-until-empty would only meet one 4 kB queue at a time.
    return tcflush(static_cast<int>(handle), TCIFLUSH) == 0;
}

}  // namespace host::platform
