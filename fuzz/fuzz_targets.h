// The fuzz targets, one function each, shared by the fuzzer programs and the replaying test.
// Each takes one input, runs it through VpiMain over the emulated line and aborts when an
// invariant breaks; each returns 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vpifuzz {

namespace gate {
// Operations 3 and 4: an arbitrary address text, value type and element count.
int FuzzOne(const std::uint8_t* data, std::size_t size);
}  // namespace gate

namespace reply {
// Operations 5, 6 and 7 for any memory type and count, the meter's bytes from the input.
int FuzzOne(const std::uint8_t* data, std::size_t size);
}  // namespace reply

namespace channel {
// Operations 1, 2, 11, 12, 13 and 15 in any order with arbitrary records and line faults.
int FuzzOne(const std::uint8_t* data, std::size_t size);
}  // namespace channel

namespace modbus {
// The Modbus TCP face's framing, request decoding and answers, from a client's byte stream.
int FuzzOne(const std::uint8_t* data, std::size_t size);
}  // namespace modbus

}  // namespace vpifuzz
