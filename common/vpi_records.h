// Records, codes and constants shared between the driver module and its host.
//
// Every record here crosses the module boundary, so its layout is pinned below: on the
// i686 target (the host's own ABI) by size and every offset, on 64-bit builds by field
// order and widths with native, naturally aligned pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(_WIN32) && !defined(_WIN64)
#define VPI_CALLCONV __stdcall
#else
#define VPI_CALLCONV
#endif

// Operation codes of the call block. 0, 8 and 9 have no operation.
enum class VpiOperation : std::int32_t {
    Open = 1,
    Flush = 2,
    ParseAddress = 3,
    CheckGate = 4,
    ReadEx = 5,
    Read = 6,
    Write = 7,
    Query = 10,
    Close = 11,
    ClosePort = 12,
    ReopenPort = 13,
    Info = 14,
    Reconfigure = 15,
};

// Result codes returned to the host.
enum VpiResult : std::int32_t {
    VpiDone = 0,     // the operation succeeded
    VpiRefused = 1,  // refused or not applicable
    VpiFailed = 2,   // the port or the meter failed
};

// Memory-type codes produced by the address parser and switched on by the protocol.
enum Memtype : std::int32_t {
    MEMTYPE_PLAIN = 0,
    MEMTYPE_H1 = 1,
    MEMTYPE_H2,
    MEMTYPE_H3,
    MEMTYPE_H4,
    MEMTYPE_H5,
    MEMTYPE_H6,
    MEMTYPE_TR1 = 11,
    MEMTYPE_TR2,
    MEMTYPE_TR3,
    MEMTYPE_TR4,
    MEMTYPE_TR5,
    MEMTYPE_TR6,
    MEMTYPE_TR7,
    MEMTYPE_TR8,
    MEMTYPE_TK1 = 19,
    MEMTYPE_TK2,
    MEMTYPE_TK3,
    MEMTYPE_TY1 = 40,
    MEMTYPE_TY2,
    MEMTYPE_TD1 = 51,
    MEMTYPE_TD2,
    MEMTYPE_TD3,
    MEMTYPE_TD4,
    MEMTYPE_TD5,
    MEMTYPE_TD6,
    MEMTYPE_TD7,
    MEMTYPE_TD8,
    MEMTYPE_TD9,
    MEMTYPE_TD10,
    MEMTYPE_TD11,
    MEMTYPE_TD12,
    MEMTYPE_TD13,
    MEMTYPE_TD14,
    MEMTYPE_TD15,
    MEMTYPE_TD16,
    MEMTYPE_INDEX_ZERO = 87,
    MEMTYPE_TC1 = 171,
    MEMTYPE_TC2,
    MEMTYPE_TC3,
    MEMTYPE_TC4,
    MEMTYPE_TC5,
    MEMTYPE_TC6,
    MEMTYPE_TC7,
    MEMTYPE_TC8,
    MEMTYPE_TC9,
    MEMTYPE_TC10,
    MEMTYPE_TC11,
    MEMTYPE_TC12,
    MEMTYPE_TC13,
    MEMTYPE_TC14,
    MEMTYPE_TC15,
    MEMTYPE_TC16,
    MEMTYPE_TC17,
    MEMTYPE_TC18,
    MEMTYPE_TC19,
    MEMTYPE_TC20,
    MEMTYPE_TC21,
    MEMTYPE_TC22,
    MEMTYPE_TC23,
    MEMTYPE_TC24,
    MEMTYPE_EX = 200,
};

// The call block of every VpiMain call. The driver never writes into it.
struct VpiCall {
    void* channel;           // the channel's ChannelState
    std::int32_t operation;  // 0 to 15
    std::int32_t vpiNumber;  // the host's number for this driver instance, used in messages
    std::uint32_t reserved;  // neither read nor written
    void* argument;          // the operation's argument record
};

// Line settings: four 16-bit words; only the low byte of the last three is used.
struct LineParameters {
    std::uint16_t baudRate;
    std::uint16_t dataBits;
    std::uint16_t stopBits;  // 0 one, 1 one and a half, 2 two
    std::uint16_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

// What operation 14 fills: exactly these bytes, nothing read.
struct DriverInfo {
    std::int32_t driverCode;
    const char* shortName;
    const char* banner;
    std::int32_t stateSize;
    std::int32_t driverParameter;
    LineParameters defaultLine;
    std::int32_t driverOption;
};

// The port as it was last opened, or is to be opened again.
struct PortSettings {
    char portName[12];  // NUL-terminated, at most 11 characters
    LineParameters line;
    std::uint16_t lineFlags;  // handshake bits for the port open; channels always use 8
};

inline constexpr std::size_t kReceiveBufferSize = 500;
inline constexpr std::size_t kRequestBufferSize = 18;
inline constexpr std::int32_t kChannelStateSize = 552;

// The per-channel area the host allocates with DriverInfo::stateSize bytes. The port handle
// is 32 bits on every platform (the Win32 handle, or the POSIX descriptor); 0 means no port.
struct ChannelState {
    std::int32_t readTimeout;  // units of 10 ms
    std::uint32_t active;      // 0: the channel uses no port
    std::uint32_t port;        // 0: no port open
    PortSettings settings;
    std::uint8_t receiveBuffer[kReceiveBufferSize];
    std::uint8_t requestBuffer[kRequestBufferSize];
};

// Argument of operation 1.
struct OpenChannelRecord {
    char portName[12];
    std::uint32_t active;
    std::int32_t readTimeout;  // units of 10 ms
    LineParameters line;
};

// Argument of operation 15. Only the first 12 bytes of portName are ever read.
struct ReconfigureRecord {
    char portName[16];
    LineParameters line;  // applied only when baudRate is not 0
};

// Argument of operations 3 and 4.
struct GateAddressRecord {
    const char* addressText;
    std::uint32_t hostField;
    std::int32_t valueType;  // 3: a floating-point gate
    std::int32_t elementCount;
    std::int32_t plcAddress;      // out
    std::int32_t memtype;         // out
    std::int32_t index;           // out
    std::uint32_t fixedValue255;  // out, 255 on every pattern match
    std::uint32_t fixedValue32;   // out, 32 on every pattern match
};

// Argument of operations 5, 6 and 7.
struct GateIoRecord {
    std::uint32_t host0;
    std::uint32_t host1;
    std::int32_t plcAddress;
    std::int32_t memtype;
    std::int32_t index;  // EX gates: group in bits 8-15, item in bits 0-7
    std::uint32_t host5;
    std::uint32_t host6;
    std::uint32_t host7;
    std::int32_t count;
    std::uint32_t host9;
    float* values;
};

namespace vpi_layout {

template <typename T>
inline constexpr bool kShareable = std::is_standard_layout_v<T>&& std::is_trivially_copyable_v<T>;

static_assert(kShareable<VpiCall> && kShareable<LineParameters> && kShareable<DriverInfo> &&
              kShareable<PortSettings> && kShareable<ChannelState> &&
              kShareable<OpenChannelRecord> && kShareable<ReconfigureRecord> &&
              kShareable<GateAddressRecord> && kShareable<GateIoRecord>);
static_assert(sizeof(float) == 4 && sizeof(std::uint32_t) == 4);

// Records without pointers are the same everywhere.
static_assert(sizeof(LineParameters) == 8 && alignof(LineParameters) == 2);
static_assert(offsetof(LineParameters, dataBits) == 2 && offsetof(LineParameters, stopBits) == 4 &&
              offsetof(LineParameters, parity) == 6);
static_assert(sizeof(PortSettings) == 22 && alignof(PortSettings) == 2);
static_assert(offsetof(PortSettings, line) == 12 && offsetof(PortSettings, lineFlags) == 20);
static_assert(sizeof(ChannelState) == kChannelStateSize && alignof(ChannelState) == 4);
static_assert(offsetof(ChannelState, active) == 4 && offsetof(ChannelState, port) == 8 &&
              offsetof(ChannelState, settings) == 12 &&
              offsetof(ChannelState, receiveBuffer) == 34 &&
              offsetof(ChannelState, requestBuffer) == 534);
static_assert(sizeof(OpenChannelRecord) == 28 && alignof(OpenChannelRecord) == 4);
static_assert(offsetof(OpenChannelRecord, active) == 12 &&
              offsetof(OpenChannelRecord, readTimeout) == 16 &&
              offsetof(OpenChannelRecord, line) == 20);
static_assert(sizeof(ReconfigureRecord) == 24 && offsetof(ReconfigureRecord, line) == 16);

#if defined(__i386__) || defined(_M_IX86)
// The host's own ABI: every field 32 bits, no padding anywhere.
static_assert(sizeof(void*) == 4);
static_assert(sizeof(VpiCall) == 20 && alignof(VpiCall) == 4);
static_assert(offsetof(VpiCall, operation) == 4 && offsetof(VpiCall, vpiNumber) == 8 &&
              offsetof(VpiCall, reserved) == 12 && offsetof(VpiCall, argument) == 16);
static_assert(sizeof(DriverInfo) == 32 && alignof(DriverInfo) == 4);
static_assert(offsetof(DriverInfo, shortName) == 4 && offsetof(DriverInfo, banner) == 8 &&
              offsetof(DriverInfo, stateSize) == 12 &&
              offsetof(DriverInfo, driverParameter) == 16 &&
              offsetof(DriverInfo, defaultLine) == 20 && offsetof(DriverInfo, driverOption) == 28);
static_assert(sizeof(GateAddressRecord) == 36 && alignof(GateAddressRecord) == 4);
static_assert(offsetof(GateAddressRecord, hostField) == 4 &&
              offsetof(GateAddressRecord, valueType) == 8 &&
              offsetof(GateAddressRecord, elementCount) == 12 &&
              offsetof(GateAddressRecord, plcAddress) == 16 &&
              offsetof(GateAddressRecord, memtype) == 20 &&
              offsetof(GateAddressRecord, index) == 24 &&
              offsetof(GateAddressRecord, fixedValue255) == 28 &&
              offsetof(GateAddressRecord, fixedValue32) == 32);
static_assert(sizeof(GateIoRecord) == 44 && alignof(GateIoRecord) == 4);
static_assert(offsetof(GateIoRecord, plcAddress) == 8 && offsetof(GateIoRecord, memtype) == 12 &&
              offsetof(GateIoRecord, index) == 16 && offsetof(GateIoRecord, count) == 32 &&
              offsetof(GateIoRecord, values) == 40);
#elif defined(__x86_64__) || defined(_M_X64) || defined(__aarch64__)
// 64-bit builds: same order and widths, native pointers at their natural alignment.
static_assert(sizeof(VpiCall) == 32 && offsetof(VpiCall, operation) == 8 &&
              offsetof(VpiCall, vpiNumber) == 12 && offsetof(VpiCall, reserved) == 16 &&
              offsetof(VpiCall, argument) == 24);
static_assert(sizeof(DriverInfo) == 48 && offsetof(DriverInfo, shortName) == 8 &&
              offsetof(DriverInfo, banner) == 16 && offsetof(DriverInfo, stateSize) == 24 &&
              offsetof(DriverInfo, driverParameter) == 28 &&
              offsetof(DriverInfo, defaultLine) == 32 && offsetof(DriverInfo, driverOption) == 40);
static_assert(sizeof(GateAddressRecord) == 40 && offsetof(GateAddressRecord, hostField) == 8 &&
              offsetof(GateAddressRecord, valueType) == 12 &&
              offsetof(GateAddressRecord, fixedValue32) == 36);
static_assert(sizeof(GateIoRecord) == 48 && offsetof(GateIoRecord, count) == 32 &&
              offsetof(GateIoRecord, values) == 40);
#endif

}  // namespace vpi_layout

// The module's one export.
extern "C" std::int32_t VPI_CALLCONV VpiMain(VpiCall* call);
