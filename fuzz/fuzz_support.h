// What the fuzz targets share: a reader that turns the fuzzer's bytes into call arguments,
// the checks that stop a run on a broken invariant, and a log sink that keeps lines quiet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "tamrik.h"
#include "vpi_records.h"

namespace vpifuzz {

// Stops the run with a message: an invariant the driver must keep did not hold. Abort (not
// a return code) so that the fuzzer records the input and a replaying test fails.
[[noreturn]] inline void Violation(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

#define VPIFUZZ_CHECK(condition)                                                \
    do {                                                                        \
        if (!(condition)) ::vpifuzz::Violation(#condition, __FILE__, __LINE__); \
    } while (0)

// Consumes the input front to back; past its end every read gives zeros, so that every input
// describes some complete call sequence.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    std::size_t Left() const { return Empty() ? 0 : size_ - at_; }

    std::uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
    std::uint16_t U16() {
        const auto lo = Byte();
        return static_cast<std::uint16_t>(lo | (Byte() << 8));
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | (static_cast<std::uint32_t>(U16()) << 16);
    }
    std::int32_t I32() {
        const std::uint32_t u = U32();
        std::int32_t v;
        std::memcpy(&v, &u, sizeof v);
        return v;
    }
    float Float() {
        const std::uint32_t u = U32();
        float v;
        std::memcpy(&v, &u, sizeof v);
        return v;
    }
    // Up to `n` bytes (fewer at the end of the input).
    std::span<const std::uint8_t> Bytes(std::size_t n) {
        const std::size_t k = n < Left() ? n : Left();
        std::span<const std::uint8_t> out(data_ + at_, k);
        at_ += k;
        return out;
    }
    std::span<const std::uint8_t> Rest() { return Bytes(Left()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Swallows the driver's log lines, and insists each one is a terminated text of sane length
// (a format fed a string without its NUL shows up here or under AddressSanitizer).
inline void TAMRIK_CDECL QuietSink(int severity, const char* text, void*) {
    VPIFUZZ_CHECK(severity == 0 || severity == 8 || severity == 32);
    VPIFUZZ_CHECK(text != nullptr && std::strlen(text) < 1024);
}

inline void QuietLog() {
    SetLogSink(QuietSink, nullptr);
}

// The checksum character of the frame at `frame` (its L counted bytes from position 1),
// computed here from its definition rather than with the driver's own code.
inline std::uint8_t Checksum(const std::uint8_t* frame, int length) {
    long total = 0;
    for (int i = 1; i <= length; ++i) total += static_cast<long>(frame[i]) - 34;
    const long wrapped = ((total % 65536) + 65536) % 65536;
    return static_cast<std::uint8_t>(wrapped % 92 + 34);
}

// True when `bytes` begins with a whole, well-formed frame; its size (L + 4) in `size`.
inline bool WellFormedFrame(std::span<const std::uint8_t> bytes, std::size_t* size) {
    if (bytes.size() < 8 || bytes[0] != '!') return false;
    int length = 0;
    for (int i = 1; i <= 3; ++i) {
        if (bytes[static_cast<std::size_t>(i)] < '0' || bytes[static_cast<std::size_t>(i)] > '9')
            return false;
        length = length * 10 + (bytes[static_cast<std::size_t>(i)] - '0');
    }
    const auto total = static_cast<std::size_t>(length) + 4;
    if (length < 3 || total > bytes.size()) return false;
    if (bytes[static_cast<std::size_t>(length) + 1] != Checksum(bytes.data(), length)) return false;
    if (bytes[total - 2] != '\r' || bytes[total - 1] != '\n') return false;
    *size = total;
    return true;
}

}  // namespace vpifuzz
