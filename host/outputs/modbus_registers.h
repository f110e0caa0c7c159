// The Modbus TCP face's answers: a request's frame taken apart, and each register read from the
// poller's status through the map, or the exception the request gets. No socket and no clock
// of its own, so that tests and the fuzzer drive it with any status and time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "outputs/modbus_map.h"
#include "site/site_status.h"

namespace host::outputs {

// The exception codes the face answers with.
enum class ModbusException : std::uint8_t {
    None = 0,
    IllegalFunction = 1,   // a function code the face does not serve
    IllegalAddress = 2,    // a register the map does not have, or not writable
    IllegalValue = 3,      // a count out of range, or a value the register cannot hold
    DeviceFailure = 4,     // the meter did not acknowledge a write
    Busy = 6,              // the line has too many writes waiting
    PathUnavailable = 10,  // no meter has this unit id
    TargetFailed = 11,     // the meter is down: its values are not served
};

// The function codes served.
inline constexpr std::uint8_t kReadHolding = 3;
inline constexpr std::uint8_t kReadInput = 4;
inline constexpr std::uint8_t kWriteSingle = 6;
inline constexpr std::uint8_t kWriteMultiple = 16;
// The most registers one read returns and one write carries.
inline constexpr int kMaxReadCount = 125;
inline constexpr int kMaxWriteCount = 123;

// A Modbus TCP frame: the 7-byte MBAP header (transaction, protocol 0, length, unit) and the
// PDU, at most 260 bytes in all.
inline constexpr std::size_t kMbapLength = 7;
inline constexpr std::size_t kMaxFrameLength = 260;

// How long the frame that starts at `bytes` is, given the `have` bytes received so far: its
// whole length once the header is in, 0 while it is not, -1 for a header no Modbus TCP client
// sends (a protocol id other than 0, a length that holds no PDU or more than a frame).
int FrameLength(const std::uint8_t* bytes, std::size_t have);

// A request as its frame gives it.
struct ModbusRequest {
    int unit = 0;
    int function = 0;
    int address = 0;
    int count = 0;                         // registers
    std::vector<std::uint16_t> registers;  // written, for functions 6 and 16
};

// Takes the whole frame `frame` (FrameLength() bytes) apart into `request`: None, or the
// exception its PDU earns (IllegalFunction, IllegalValue for a count or byte count out of
// range or a PDU of the wrong length).
ModbusException DecodeRequest(const std::uint8_t* frame, std::size_t length,
                              ModbusRequest* request);

// What a write asks of a line: the EX gate (its address without a count) and its values.
struct ModbusWriteOrder {
    std::string line;
    std::string gateAddress;
    std::vector<float> values;
};

struct ModbusAnswer {
    ModbusException exception = ModbusException::None;
    std::vector<std::uint16_t> registers;  // a read's registers
    bool write = false;                    // `order` is to be handed to its line
    ModbusWriteOrder order;
};

// The answer to `request` by `map` from `status` as of `nowUnixMs`. Reads (functions 3 and 4
// alike): the unit's status block always, its values and ages while it is up (TargetFailed
// while down; a value never read is NaN, its age kRegisterUnknown). Writes (function 16 over
// whole values of one writable gate): the order for its line; function 6 cannot write half of a
// float and is IllegalFunction.
ModbusAnswer AnswerRequest(const ModbusMap& map, const site::SiteStatus& status,
                           std::int64_t nowUnixMs, const ModbusRequest& request);

// A float as two registers in the map's word order, and back.
void FloatToRegisters(float value, bool swappedWords, std::uint16_t* registers);
float RegistersToFloat(const std::uint16_t* registers, bool swappedWords);

}  // namespace host::outputs
