// Why a serial port does not open. The driver answers a failed open with a code only; the host
// tool looks at the port itself afterwards and says what is wrong in words a person can act on.
// One back-end file each (port_diagnosis_posix.cpp, port_diagnosis_win32.cpp).
#pragma once

#include <string>

namespace host::platform {

enum class PortTrouble {
    None,        // the port opens: whatever failed was not the open
    NotFound,    // no such device (never there, or the adapter is unplugged)
    Permission,  // this user may not open it
    InUse,       // another process holds it
    NotSerial,   // it opens, but is no serial device
    Directory,   // the name is a directory
    Other,       // the system refused it for another reason (in `reason`)
};

struct PortDiagnosis {
    PortTrouble trouble = PortTrouble::None;
    // One lower-case phrase: "no such device", "in use by process 4711 (minicom)", ... Empty
    // for None.
    std::string reason;
    // The process holding the port, where the system tells (0 when unknown or not held).
    long holder = 0;
};

// Looks at `port`, named as the driver takes it (on POSIX a path, or a name under /dev/ such as
// "ttyUSB0" or "pts/3"; on Windows a COM name), and says what keeps it from
// opening. Opens the port briefly when it can and closes it again, so call it only after an
// open has failed, or to mark ports in a listing.
PortDiagnosis DiagnosePort(const std::string& port);

// The same without opening the port (opening resets some devices): missing, directory, not a
// terminal, no permission for this user, or held by a process the system shows. On Windows,
// where only an open tells, the same as DiagnosePort.
PortDiagnosis InspectPort(const std::string& port);

// "<port> did not open: <reason>", or "<port> did not open" when the port itself looks fine.
std::string PortFailureText(const std::string& port);

}  // namespace host::platform
