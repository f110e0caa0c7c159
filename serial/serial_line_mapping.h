// How each real back-end turns LineParameters and lineFlags into its platform's line settings,
// declared apart from the back-ends so that tests check the mapping on their target without a
// port. The platform records are only named here; their headers stay in the back-end files.
#pragma once

#include <cstdint>

#include "vpi_records.h"

struct termios;
struct _DCB;

namespace serial::line_mapping {

// POSIX: character size, parity (and the checking of incoming parity) and stop bits into
// `tio`. False, with `tio` left as it was, for a value the line cannot take (one and a half
// stop bits among them).
[[nodiscard]] bool SetFraming(termios& tio, const LineParameters& line);

// POSIX: the handshake lineFlags ask for. RTS/CTS goes into `tio`; `raise` and `drop` get the
// modem bits to set and to clear at open. False for a mode termios cannot do (DTR handshake,
// RTS toggle).
[[nodiscard]] bool SetHandshake(termios& tio, std::uint16_t lineFlags, int* raise, int* drop);

// Win32: the DCB as the line needs it; every field the line does not concern (XON/XOFF limits
// and characters, EOF and event characters, reserved bits) stays as the port reported it.
void ApplyLine(_DCB& dcb, const LineParameters& line, std::uint16_t lineFlags);

}  // namespace serial::line_mapping
