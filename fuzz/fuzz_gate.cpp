// Fuzz target for operations 3 and 4: any address text (any bytes and length, terminated or,
// past eleven characters, not), any value type and element count.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "fuzz_targets.h"
#include "gate_records.h"
#include "vpi_records.h"

namespace vpifuzz::gate {

namespace {

constexpr std::uint32_t kPattern = 0xCCCCCCCCu;
constexpr std::uint32_t kHostField = 0x5A5A5A5Au;

// Element counts the gate check knows, so that the fuzzer meets them often.
constexpr std::array<std::int32_t, 12> kCounts{1, 40, 28, 34, 3, 2, 25, 33, 0, -1, 36, 37};

// Every memory type a parsed gate may carry.
bool KnownMemtype(std::int32_t m) {
    return m == MEMTYPE_PLAIN || (m >= MEMTYPE_H1 && m <= MEMTYPE_H6) ||
           (m >= MEMTYPE_TR1 && m <= MEMTYPE_TK3) || (m >= MEMTYPE_TY1 && m <= MEMTYPE_TY2) ||
           (m >= MEMTYPE_TD1 && m <= MEMTYPE_TD16) || m == MEMTYPE_INDEX_ZERO ||
           (m >= MEMTYPE_TC1 && m <= MEMTYPE_TC24) || m == MEMTYPE_EX;
}

GateAddressRecord Prefilled(const char* text, std::int32_t valueType, std::int32_t count) {
    constexpr auto pattern = static_cast<std::int32_t>(kPattern);
    return vpitest::PrefilledGate(text, valueType, count,
                                  {kHostField, pattern, pattern, pattern, kPattern, kPattern});
}

std::int32_t Call(VpiOperation operation, GateAddressRecord* record) {
    VpiCall call{nullptr, static_cast<std::int32_t>(operation), 3, 0, record};
    const VpiCall before = call;
    const std::int32_t result = VpiMain(&call);
    VPIFUZZ_CHECK(std::memcmp(&call, &before, sizeof call) == 0);
    return result;
}

// The inputs a call must leave alone, and the outputs of a call that succeeded.
void CheckRecord(const GateAddressRecord& record, const GateAddressRecord& before,
                 std::int32_t result) {
    VPIFUZZ_CHECK(result == VpiDone || result == VpiRefused);
    VPIFUZZ_CHECK(record.addressText == before.addressText);
    VPIFUZZ_CHECK(record.hostField == kHostField);
    VPIFUZZ_CHECK(record.valueType == before.valueType);
    VPIFUZZ_CHECK(record.elementCount == before.elementCount);
    if (result != VpiDone) return;
    VPIFUZZ_CHECK(record.fixedValue255 == 255 && record.fixedValue32 == 32);
    VPIFUZZ_CHECK(KnownMemtype(record.memtype));
    VPIFUZZ_CHECK(record.plcAddress >= 0 && record.plcAddress <= 99);
}

}  // namespace

int FuzzOne(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    Input in(data, size);
    const std::uint8_t flags = in.Byte();
    const bool check = (flags & 1) != 0;
    const bool terminated = (flags & 2) == 0;
    const std::uint8_t typeByte = in.Byte();
    const std::int32_t valueType =
        typeByte < 200 ? 3 : (typeByte < 240 ? typeByte - 200 : in.I32());
    const std::uint8_t countByte = in.Byte();
    const std::int32_t count = countByte < 240 ? kCounts[countByte % kCounts.size()] : in.I32();

    // The text exactly as long as the input says, on the heap so that a read past it is seen.
    // Without its NUL only when it is longer than the eleven characters the parser may read.
    const auto text = in.Rest();
    const bool addNul = terminated || text.size() < 11;
    const std::size_t bytes = text.size() + (addNul ? 1 : 0);
    std::unique_ptr<char[]> owned(new char[bytes == 0 ? 1 : bytes]);
    if (!text.empty()) std::memcpy(owned.get(), text.data(), text.size());
    if (addNul) owned[text.size()] = '\0';
    const std::unique_ptr<char[]> copy(new char[bytes == 0 ? 1 : bytes]);
    std::memcpy(copy.get(), owned.get(), bytes);

    const VpiOperation operation = check ? VpiOperation::CheckGate : VpiOperation::ParseAddress;
    GateAddressRecord record = Prefilled(owned.get(), valueType, count);
    const GateAddressRecord before = record;
    const std::int32_t result = Call(operation, &record);
    CheckRecord(record, before, result);
    VPIFUZZ_CHECK(std::memcmp(copy.get(), owned.get(), bytes) == 0);

    // No state between calls: the same call gives the same answer, and a gate the check
    // accepts parses to the same place as a floating-point gate.
    GateAddressRecord again = Prefilled(owned.get(), valueType, count);
    VPIFUZZ_CHECK(Call(operation, &again) == result);
    VPIFUZZ_CHECK(std::memcmp(&again, &record, sizeof again) == 0);
    if (check && result == VpiDone) {
        GateAddressRecord parsed = Prefilled(owned.get(), 3, count);
        VPIFUZZ_CHECK(Call(VpiOperation::ParseAddress, &parsed) == VpiDone);
        VPIFUZZ_CHECK(parsed.plcAddress == record.plcAddress && parsed.memtype == record.memtype &&
                      parsed.index == record.index);
    }
    return 0;
}

}  // namespace vpifuzz::gate
