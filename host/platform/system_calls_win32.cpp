// The host side's platform calls on Windows: the secure local time conversion of the C runtime,
// _isatty, _getpid.
#include <io.h>
#include <process.h>

#include "platform/system_calls.h"

namespace host::platform {

bool LocalTime(std::time_t seconds, std::tm* fields) {
    // localtime_s: 0 on success, an error number on failure.
    return localtime_s(fields, &seconds) == 0;
}

bool IsTerminal(std::FILE* stream) {
    // _isatty: non-zero for a character device (a console), 0 otherwise.
    return _isatty(_fileno(stream)) != 0;
}

long ProcessId() {
    return static_cast<long>(_getpid());
}

}  // namespace host::platform
