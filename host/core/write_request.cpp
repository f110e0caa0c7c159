// Write requests through the protocol layer's builders, with the write operation's own
// refusals in front of them: a command takes 1 or 2, only the writable EX group is written.
#include "core/write_request.h"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/memtype_names.h"
#include "protocol.h"
#include "text/text_escape.h"

namespace host::core {

namespace {

// The command operands: 1 clears the demand maxima, 2 the energy counters.
constexpr float kFirstOperand = 1.0f;
constexpr float kLastOperand = 2.0f;

std::string AsText(std::span<const std::uint8_t> frame) {
    return std::string(frame.begin(), frame.end());
}

}  // namespace

ExValueCheck CheckExValue(double typed) {
    ExValueCheck check;
    const auto asFloat = static_cast<float>(typed);
    check.sent = static_cast<std::int32_t>(protocol::EncodeExValue(asFloat));
    const std::string sends = fmt::format("the driver would send {}", check.sent);
    if (std::isnan(typed)) {
        check.problem = "is not a number; " + sends;
    } else if (std::isinf(typed)) {
        check.problem = "is infinite; " + sends;
    } else if (typed < static_cast<double>(INT32_MIN) || typed > static_cast<double>(INT32_MAX)) {
        check.problem = fmt::format("is outside the register's range ({} to {}); {}", INT32_MIN,
                                    INT32_MAX, sends);
    } else if (typed != std::trunc(typed)) {
        check.problem = "has a fraction, and the register holds whole numbers; " + sends;
    } else if (static_cast<double>(asFloat) != typed) {
        // Past 2^24 not every whole number is a float: the driver gets the nearest one.
        check.problem = "is not exact in the 32-bit float the driver takes; " + sends;
    }
    return check;
}

std::string WriteRequest(Gate& gate) {
    const GateIoRecord record = gate.Record();
    std::array<std::uint8_t, protocol::kExWriteCapacity> buffer{};
    std::size_t size = 0;
    if (gate.memtype == MEMTYPE_INDEX_ZERO) {
        const float value = gate.values.empty() ? 0.0f : gate.values[0];
        // The negated test also turns away a value that is not a number.
        if (value > kLastOperand || !(value >= kFirstOperand)) return {};
        size = protocol::BuildCommandRequest(record, value, buffer);
    } else if (gate.memtype == MEMTYPE_EX && ExGroup(gate.index) == protocol::kWritableExGroup) {
        size = protocol::BuildExWriteRequest(record, buffer);
    }
    return AsText(std::span(buffer).first(size));
}

std::string RefusalReason(const Gate& gate) {
    if (gate.memtype == MEMTYPE_INDEX_ZERO)
        return "a command gate takes the value 1 (clear the demand maxima) or 2 (clear the energy "
               "counters)";
    if (gate.memtype == MEMTYPE_EX)
        return fmt::format("only EX group {} is writable (this is group {})",
                           protocol::kWritableExGroup, ExGroup(gate.index));
    return fmt::format("only command gates (index 0) and EX gates of group {} are writable",
                       protocol::kWritableExGroup);
}

std::string Escaped(const std::string& frame) {
    // Only the frame's CR LF; what else the request carries is printable.
    constexpr std::array<text::CharEscape, 2> kFrameEscapes{{{'\r', "\\r"}, {'\n', "\\n"}}};
    return text::Escaped(frame, kFrameEscapes, false);
}

}  // namespace host::core
