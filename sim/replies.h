// What a meter answers to each request, and silence for what it does not understand.
//
// The commands and their operands are the meters' own table, kept apart from the driver's
// request builders on purpose: a fault on either side shows as a request the other does not
// answer.
#pragma once

#include <optional>
#include <string>

#include "meter_frame.h"
#include "model.h"

namespace sim {

enum class Family { Plain, H, T, ExRead, Command, ExWrite };

// A reply before framing: the body is the address, the command character and `data`.
struct Reply {
    Family family = Family::Plain;
    std::string address;  // two digits, echoed from the request
    char command = '0';
    std::string data;  // the fields, from the eighth byte of the frame on
    int exCount = 0;   // EX reads: the number of values the request asked for
    std::string Body() const { return address + command + data; }
};

// A request as the meter understood it.
struct Outcome {
    int address = -1;     // -1 when the request names no address
    std::string command;  // the body after the address ("0", "H2", "P0A", "A0A0102", …)
    std::optional<Reply> reply;
    std::string reason;  // why there is no reply
};

// Examines a request, lets the meter it names act on it (a tick of its live values, a
// command, an EX write) and builds the reply. Requests for addresses not in `meters`, with a
// bad checksum, an unknown command or operands out of range get no reply, as on a real
// multi-drop line. An EX read may ask for at most this many values, since a longer reply
// would break the frame length limit.
constexpr int kMaxExValues = 36;
Outcome Answer(MeterSet& meters, const RawRequest& request);

// The same request as no meter heard it (the line runs at a speed the meters do not): the
// address and command as far as the body names them, no reply, `reason` as the reason.
Outcome Unheard(const RawRequest& request, const std::string& reason);

}  // namespace sim
