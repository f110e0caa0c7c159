// Serial back-end for Win32: the communications functions, called in the order and with the
// values the meters' line needs. Every Win32 call here reports success as non-zero.
#include <windows.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform.h"
#include "serial_line_mapping.h"

namespace serial {

namespace {

// The host keeps the port handle in 32 bits. A 32-bit HANDLE fits as it is; 64-bit Windows keeps
// kernel handle values within 32 bits, sign-extended, so that 32- and 64-bit processes can share
// them, and the 64-bit build stores the low half and sign-extends it back.
static_assert(sizeof(HANDLE) == sizeof(PortHandle) ||
                  (sizeof(HANDLE) == 8 && sizeof(PortHandle) == 4),
              "the port handle is kept in 32 bits");

constexpr char kNullName[] = "NUL";
constexpr DWORD kDcbLength = 28;
constexpr BYTE kInertErrorChar = 0xFC;  // never substituted: fErrorChar stays 0

HANDLE ToHandle(PortHandle handle) {
    const auto value = static_cast<std::int32_t>(handle);
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

PortHandle FromHandle(HANDLE handle) {
    return static_cast<PortHandle>(reinterpret_cast<std::uintptr_t>(handle));
}

// lineFlags bits and the control mode they select, the first match winning; a mode of its
// own when none matches.
struct ControlRule {
    std::uint16_t bits;
    DWORD mode;
};
constexpr auto kDtrRules = std::to_array<ControlRule>({
    {kDtrOnBits, DTR_CONTROL_ENABLE},
    {kDtrHandshakeBit, DTR_CONTROL_HANDSHAKE},
});
// RTS stays off and belongs to the driver, which raises it around every request, unless a
// flag says otherwise.
constexpr auto kRtsRules = std::to_array<ControlRule>({
    {kRtsOnBits, RTS_CONTROL_ENABLE},
    {kRtsHandshakeBit, RTS_CONTROL_HANDSHAKE},
    {kRtsToggleBit, RTS_CONTROL_TOGGLE},
});
static_assert(kDtrRules.size() == 2 && kRtsRules.size() == 3);

template <std::size_t N>
DWORD ControlMode(std::uint16_t lineFlags, const std::array<ControlRule, N>& rules,
                  DWORD otherwise) {
    for (const ControlRule& rule : rules) {
        if ((lineFlags & rule.bits) != 0) return rule.mode;
    }
    return otherwise;
}

// The ports this layer opened and has not closed, and who holds each: the ChannelState it
// was opened for (or kAnyHolder). Every operation asks first: the host's state area may hold
// any value before its first open, possibly a handle of the host's own or another channel's
// port, and that is never closed, read or written. A fixed table of slots taken and given
// back with atomic exchanges: no heap, no lock. A full table refuses the open.
constexpr std::size_t kMaxOpenPorts = 64;
std::array<std::atomic<PortHandle>, kMaxOpenPorts> gOwned{};
std::array<std::atomic<const void*>, kMaxOpenPorts> gHolder{};
// The kind of object (GetFileType) each handle named at its open. A handle closed behind our
// back and handed out again for a file or a pipe no longer names a character device, and is
// no port of ours; one handed out again for another serial port or the null device cannot
// be told apart this cheaply.
std::array<std::atomic<DWORD>, kMaxOpenPorts> gFileType{};

// The holder of a port opened for no channel in particular (line tools, test benches).
constexpr char kAnyHolder = 0;

// Marks a slot taken while its holder is written: no open handle has this value.
constexpr PortHandle kClaimed = 0xFFFFFFFFu;

// The slot that holds `handle`, or kMaxOpenPorts.
std::size_t SlotOf(PortHandle handle) {
    if (handle == 0 || handle == kClaimed) return kMaxOpenPorts;
    for (std::size_t i = 0; i < kMaxOpenPorts; ++i) {
        if (gOwned[i].load(std::memory_order_acquire) == handle) return i;
    }
    return kMaxOpenPorts;
}

bool Owned(PortHandle handle) {
    return SlotOf(handle) < kMaxOpenPorts;
}

// Records a handle just opened for `holder`; false when every slot is taken. The slot is
// claimed first and the holder written before the handle, so that nobody finds the handle
// with another's holder.
bool Adopt(PortHandle handle, const void* holder, DWORD fileType) {
    for (std::size_t i = 0; i < kMaxOpenPorts; ++i) {
        PortHandle expected = 0;
        if (gOwned[i].compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) {
            gHolder[i].store(holder, std::memory_order_release);
            gFileType[i].store(fileType, std::memory_order_release);
            gOwned[i].store(handle, std::memory_order_release);
            return true;
        }
    }
    return false;
}

// Gives up the slot of `handle` before it is closed, so that a handle value the system hands
// out again is never taken for ours. False when the handle is not ours; otherwise `holder`
// says whom it was held by.
bool Disown(PortHandle handle, const void** holder = nullptr, DWORD* fileType = nullptr) {
    if (handle == 0 || handle == kClaimed) return false;
    for (std::size_t i = 0; i < kMaxOpenPorts; ++i) {
        const void* was = gHolder[i].load(std::memory_order_acquire);
        const DWORD type = gFileType[i].load(std::memory_order_acquire);
        PortHandle expected = handle;
        if (gOwned[i].compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
            if (holder != nullptr) *holder = was;
            if (fileType != nullptr) *fileType = type;
            return true;
        }
    }
    return false;
}

// The name CreateFileA is given. Windows knows COM1 to COM9 by those names, but COM10 and
// above only in the device namespace, as \\.\COM10: "COM" (any case) and digits go there.
// Names already in that namespace, "NUL" and everything else go as they are. `path` holds at
// least the name and the prefix.
const char* DeviceName(const char* portName, char* path, std::size_t capacity) {
    constexpr char kDevicePrefix[] = "\\\\.\\";
    const std::size_t length = std::strlen(portName);
    bool comDigits = length > 3 && (portName[0] == 'C' || portName[0] == 'c') &&
                     (portName[1] == 'O' || portName[1] == 'o') &&
                     (portName[2] == 'M' || portName[2] == 'm');
    for (std::size_t i = 3; comDigits && i < length; ++i) {
        comDigits = portName[i] >= '0' && portName[i] <= '9';
    }
    if (!comDigits || sizeof kDevicePrefix - 1 + length + 1 > capacity) return portName;
    std::memcpy(path, kDevicePrefix, sizeof kDevicePrefix - 1);
    std::memcpy(path + sizeof kDevicePrefix - 1, portName, length + 1);
    return path;
}

// Closes a port whose open failed part-way.
void GiveUp(HANDLE port) {
    static_cast<void>(Disown(FromHandle(port)));
    CloseHandle(port);
}

}  // namespace

namespace line_mapping {

// The DCB the port reported, changed only in what the line needs; everything else (XON/XOFF
// limits and characters, EOF and event characters, reserved bits) stays as it was.
void ApplyLine(DCB& dcb, const LineParameters& line, std::uint16_t lineFlags) {
    dcb.BaudRate = DWORD{line.baudRate};
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = ControlMode(lineFlags, kDtrRules, DTR_CONTROL_DISABLE) & 3u;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = ControlMode(lineFlags, kRtsRules, RTS_CONTROL_DISABLE) & 3u;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = static_cast<BYTE>(line.dataBits & 0xFFu);
    dcb.Parity = static_cast<BYTE>(line.parity & 0xFFu);
    dcb.StopBits = static_cast<BYTE>(line.stopBits & 0xFFu);
    dcb.ErrorChar = static_cast<char>(kInertErrorChar);
}

}  // namespace line_mapping

namespace {

// A read waits at most one second for its whole count; a write has no time-out. False when
// the port refuses.
bool SetOpenTimeouts(HANDLE port) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kOpenReadTimeoutMs);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    // SetCommTimeouts: non-zero on success.
    return SetCommTimeouts(port, &timeouts) != 0;
}

// The time-outs, then the line, on a port just opened: StateUnreadable when its state cannot
// be read, NotOpened when it refuses the time-outs, SettingsRefused when it refuses the line.
SerialResult ConfigurePort(HANDLE port, const LineParameters& line, std::uint16_t lineFlags) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = kDcbLength;
    // GetCommState: non-zero on success.
    if (!GetCommState(port, &dcb)) return SerialResult::StateUnreadable;
    // Set before the line, so that the port never runs with time-outs we did not choose.
    if (!SetOpenTimeouts(port)) return SerialResult::NotOpened;
    line_mapping::ApplyLine(dcb, line, lineFlags);
    // SetCommState: non-zero on success.
    if (!SetCommState(port, &dcb)) return SerialResult::SettingsRefused;
    // SetupComm: non-zero on success; a driver that keeps its own queue sizes is no fault.
    static_cast<void>(SetupComm(port, kQueueSize, kQueueSize));
    return SerialResult::Ok;
}

}  // namespace

SerialResult OpenPort(const char* portName, const LineParameters& line, std::uint16_t lineFlags,
                      PortHandle* handle, const ChannelState* owner) {
    char path[32];
    // CreateFileA: a handle, or INVALID_HANDLE_VALUE. No sharing: the port is ours alone.
    HANDLE port = CreateFileA(DeviceName(portName, path, sizeof path), GENERIC_READ | GENERIC_WRITE,
                              0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) return SerialResult::NotOpened;
    const void* holder = owner != nullptr ? static_cast<const void*>(owner) : &kAnyHolder;
    // GetFileType: the kind of object, FILE_TYPE_UNKNOWN when it cannot tell.
    if (!Adopt(FromHandle(port), holder, GetFileType(port))) {
        CloseHandle(port);
        return SerialResult::NotOpened;
    }

    // The null device has no line to configure.
    if (std::strcmp(portName, kNullName) != 0) {
        const SerialResult configured = ConfigurePort(port, line, lineFlags);
        if (configured != SerialResult::Ok) {
            GiveUp(port);
            return configured;
        }
    }
    *handle = FromHandle(port);
    return SerialResult::Ok;
}

SerialResult ClosePort(PortHandle handle) {
    const void* holder = nullptr;
    DWORD fileType = FILE_TYPE_UNKNOWN;
    if (!Disown(handle, &holder, &fileType)) return SerialResult::IoFailed;
    // CloseHandle: non-zero on success.
    if (CloseHandle(ToHandle(handle))) return SerialResult::Ok;
    // Refused: the port stays open and stays its holder's, as on every platform. Should the
    // table have filled meanwhile, the handle stays open but no longer ours: the channel then
    // has no port, and its next close forgets the handle.
    static_cast<void>(Adopt(handle, holder, fileType));
    return SerialResult::IoFailed;
}

bool OwnsPort(PortHandle handle) {
    return Owned(handle);
}

PortHandle PortOf(const ChannelState& channel) {
    const std::size_t slot = SlotOf(channel.port);
    if (slot == kMaxOpenPorts) return 0;
    const void* holder = gHolder[slot].load(std::memory_order_acquire);
    // Another channel's port is refused before any system call on it.
    if (holder != &channel && holder != &kAnyHolder) return 0;
    if (GetFileType(ToHandle(channel.port)) == gFileType[slot].load(std::memory_order_acquire)) {
        return channel.port;
    }
    // Closed behind our back (and perhaps handed out again for something else): the port we
    // opened is gone, and the handle is forgotten here, so that nobody takes it for ours again.
    static_cast<void>(Disown(channel.port));
    return 0;
}

namespace platform {

bool ReadOnce(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
              std::uint32_t* received) {
    *received = 0;
    if (!Owned(handle)) return false;
    DWORD got = 0;
    // ReadFile: non-zero on success, also when the time-out ended it short.
    const BOOL ok = ReadFile(ToHandle(handle), buffer, count, &got, nullptr);
    *received = ok ? got : 0;
    return ok != 0;
}

bool WriteOnce(PortHandle handle, const std::uint8_t* bytes, std::uint32_t count,
               std::uint32_t* written) {
    *written = 0;
    if (!Owned(handle)) return false;
    DWORD put = 0;
    // WriteFile: non-zero on success; the count tells whether every byte went.
    const BOOL ok = WriteFile(ToHandle(handle), bytes, count, &put, nullptr);
    *written = ok ? put : 0;
    return ok != 0;
}

bool GetTimeouts(PortHandle handle, Timeouts* timeouts) {
    COMMTIMEOUTS current{};
    // GetCommTimeouts: non-zero on success (zero on anything that is no serial port).
    if (!Owned(handle) || !GetCommTimeouts(ToHandle(handle), &current)) return false;
    *timeouts = Timeouts{current.ReadIntervalTimeout, current.ReadTotalTimeoutMultiplier,
                         current.ReadTotalTimeoutConstant, current.WriteTotalTimeoutMultiplier,
                         current.WriteTotalTimeoutConstant};
    return true;
}

bool SetTimeouts(PortHandle handle, const Timeouts& timeouts) {
    COMMTIMEOUTS wanted{timeouts.readInterval, timeouts.readMultiplier, timeouts.readConstant,
                        timeouts.writeMultiplier, timeouts.writeConstant};
    // SetCommTimeouts: non-zero on success.
    return Owned(handle) && SetCommTimeouts(ToHandle(handle), &wanted) != 0;
}

bool ClearErrors(PortHandle handle, std::uint32_t* bytesWaiting) {
    if (!Owned(handle)) return false;
    DWORD errors = 0;
    COMSTAT status{};
    // ClearCommError: non-zero on success; the error bits are cleared and not looked at.
    if (!ClearCommError(ToHandle(handle), &errors, &status)) return false;
    *bytesWaiting = status.cbInQue;
    return true;
}

bool SetRts(PortHandle handle, bool on) {
    // EscapeCommFunction: non-zero on success.
    return Owned(handle) && EscapeCommFunction(ToHandle(handle), on ? SETRTS : CLRRTS) != 0;
}

void SleepMs(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

std::uint64_t NowUs() {
    // GetTickCount64: milliseconds since start, never fails; coarse (10 to 16 ms) but monotonic,
    // and a receive's budget is at least a read time-out of 10 ms.
    return GetTickCount64() * 1000u;
}

}  // namespace platform
}  // namespace serial
