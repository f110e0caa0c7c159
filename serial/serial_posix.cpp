// Serial back-end for posix: not written yet; every call fails.
#include "platform.h"

namespace serial {

SerialResult OpenPort(const char*, const LineParameters&, std::uint16_t, PortHandle*) {
    return SerialResult::NotOpened;
}
SerialResult ClosePort(PortHandle) { return SerialResult::IoFailed; }
std::int32_t SetReadTimeout(PortHandle, std::int32_t) { return 0; }

namespace platform {
bool ReadOnce(PortHandle, std::uint8_t*, std::uint32_t, std::uint32_t* received) {
    *received = 0;
    return false;
}
bool WriteOnce(PortHandle, const std::uint8_t*, std::uint32_t, std::uint32_t*) { return false; }
bool ClearErrors(PortHandle, std::uint32_t*) { return false; }
bool SetRts(PortHandle, bool) { return false; }
void SleepMs(std::uint32_t) {}
}  // namespace platform
}  // namespace serial
