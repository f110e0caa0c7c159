// What a request frame on the line asks for, told from its bytes (the read requests by the
// protocol layer's own builder), and the values of its reply by the driver's own decoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"

namespace host::lines {

enum class RequestKind : std::uint8_t {
    None = 0,     // not a request of any family
    Read = 1,     // a plain, H, T or EX block
    Command = 2,  // a command write (index-zero gate)
    ExWrite = 3,  // an EX register write
};

struct RequestInfo {
    RequestKind kind = RequestKind::None;
    int meter = -1;
    std::int32_t memtype = -1;  // reads: the family member asked for
    std::int32_t index = 0;     // EX: group in bits 8-15, item in bits 0-7
    std::int32_t count = 0;     // EX: the registers read or written; others: the block's values
    int operand = 0;            // commands: 1 or 2
    std::string command;        // the body behind the address: "0", "H2", "P0A", "A0A0102"
    std::string gate;           // "plain", "H2", "TR1", "TC13", "EX 10/1 x2", "command 2",
                                // "EX write 10/1 x3"
};

// The request `frame` (a whole frame, its NUL left out or not) is, or kind None.
RequestInfo DescribeRequest(const std::string& frame);

// True when a request of this kind is a write, whose acknowledgement may repeat its bytes.
bool IsWrite(const RequestInfo& request);

// The values of `reply` to a read `request`, decoded as the driver decodes them.
struct ReplyValues {
    protocol::DecodeResult result = protocol::DecodeResult::NoData;
    std::vector<float> values;
};
ReplyValues DecodeReply(const RequestInfo& request, const std::string& reply);

}  // namespace host::lines
