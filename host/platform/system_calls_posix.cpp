// The host side's platform calls on POSIX: the reentrant local time conversion, isatty, getpid.
#include <unistd.h>

#include "platform/system_calls.h"

namespace host::platform {

bool LocalTime(std::time_t seconds, std::tm* fields) {
    // localtime_r: `fields` on success, null on failure.
    return localtime_r(&seconds, fields) != nullptr;
}

bool IsTerminal(std::FILE* stream) {
    // isatty: 1 for a terminal, 0 otherwise.
    return isatty(fileno(stream)) == 1;
}

long ProcessId() {
    return static_cast<long>(getpid());
}

}  // namespace host::platform
