// The failure text built on either platform's diagnosis.
#include "platform/port_diagnosis.h"

namespace host::platform {

std::string PortFailureText(const std::string& port) {
    const PortDiagnosis diagnosis = DiagnosePort(port);
    if (diagnosis.trouble == PortTrouble::None) return port + " did not open";
    return port + " did not open: " + diagnosis.reason;
}

}  // namespace host::platform
