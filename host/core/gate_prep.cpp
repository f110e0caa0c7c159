// Gate preparation through the driver's own address parse and definition check, so that a
// typing error costs no time on the line.
#include "core/gate_prep.h"

#include <fmt/format.h>

#include <cctype>

#include "protocol.h"
#include "vpi_families.h"

namespace host::core {

GateIoRecord Gate::Record() {
    GateIoRecord record{};
    record.plcAddress = plcAddress;
    record.memtype = memtype;
    record.index = index;
    record.count = static_cast<std::int32_t>(values.size());
    record.values = values.data();
    return record;
}

int RequiredCount(std::int32_t memtype) {
    const FamilyInfo* family = FamilyOf(memtype);
    return family == nullptr || family->count == kAnyCount ? 0 : family->count;
}

bool SplitGateArgument(const std::string& gateText, std::string* address, std::optional<int>* count,
                       std::string* error) {
    const std::size_t colon = gateText.rfind(':');
    *address = gateText.substr(0, colon);
    count->reset();
    if (colon == std::string::npos) return true;
    const std::string text = gateText.substr(colon + 1);
    int value = 0;
    bool ok = !text.empty() && text.size() <= 4;
    for (char c : text) {
        ok = ok && std::isdigit(static_cast<unsigned char>(c));
        if (ok) value = value * 10 + (c - '0');
    }
    if (!ok) {
        *error = fmt::format("\"{}\": the count after ':' must be a number of 0 to 9999", gateText);
        return false;
    }
    *count = value;
    return true;
}

namespace {

// One call of operation 3 or 4 for `prepared`; the record and the driver's lines go into it.
std::int32_t AddressCall(LoadedDriver& driver, VpiOperation operation, PreparedGate& prepared) {
    GateAddressRecord& record = prepared.record;
    record = GateAddressRecord{};
    record.addressText = prepared.address.c_str();
    record.valueType = 3;  // the host keeps meter values as floats
    record.elementCount = prepared.count;
    static_cast<void>(driver.TakeLog());
    const std::int32_t result = driver.Call(operation, nullptr, &record);
    prepared.lines = driver.TakeLog();
    record.addressText = nullptr;
    return result;
}

// The address checked for length and parsed by the driver: TooLong, ParseRefused or None.
GateProblem Parse(LoadedDriver& driver, PreparedGate& prepared) {
    if (prepared.address.size() > kMaxAddressLength) return GateProblem::TooLong;
    if (AddressCall(driver, VpiOperation::ParseAddress, prepared) != VpiDone) {
        return GateProblem::ParseRefused;
    }
    return GateProblem::None;
}

// The gate as the driver's last call described it, with room for `count` values.
void Ready(PreparedGate& prepared, int count) {
    prepared.gate.address = prepared.address;
    prepared.gate.plcAddress = prepared.record.plcAddress;
    prepared.gate.memtype = prepared.record.memtype;
    prepared.gate.index = prepared.record.index;
    prepared.gate.values.assign(static_cast<std::size_t>(count), 0.0f);
}

// The read count of a parsed gate: the one typed, or the family's. ExNeedsCount or None.
GateProblem ReadCount(PreparedGate& prepared, const std::optional<int>& typed) {
    if (typed) {
        prepared.count = *typed;
    } else if (prepared.record.memtype == MEMTYPE_EX) {
        return GateProblem::ExNeedsCount;
    } else {
        prepared.count = RequiredCount(prepared.record.memtype);
    }
    return GateProblem::None;
}

// The typed count and the driver's steps in turn; the first problem, or None.
GateProblem PrepareForReading(LoadedDriver& driver, PreparedGate& prepared) {
    std::optional<int> typed;
    if (!SplitGateArgument(prepared.text, &prepared.address, &typed, &prepared.error)) {
        return GateProblem::BadCount;
    }
    if (const GateProblem parsed = Parse(driver, prepared); parsed != GateProblem::None) {
        return parsed;
    }
    if (prepared.record.memtype == MEMTYPE_INDEX_ZERO) return GateProblem::CommandGate;
    if (const GateProblem counted = ReadCount(prepared, typed); counted != GateProblem::None) {
        return counted;
    }
    if (AddressCall(driver, VpiOperation::CheckGate, prepared) != VpiDone) {
        return GateProblem::CheckRefused;
    }
    // One reply carries at most kMaxExCount registers; the meter does not answer more.
    if (prepared.record.memtype == MEMTYPE_EX &&
        (prepared.count < 1 || prepared.count > protocol::kMaxExCount)) {
        return GateProblem::ExCountRange;
    }
    return GateProblem::None;
}

}  // namespace

PreparedGate PrepareReadGate(LoadedDriver& driver, const std::string& gateText) {
    PreparedGate prepared;
    prepared.text = gateText;
    prepared.problem = PrepareForReading(driver, prepared);
    if (prepared.problem == GateProblem::None) Ready(prepared, prepared.count);
    return prepared;
}

PreparedGate PrepareWriteGate(LoadedDriver& driver, const std::string& address, int count) {
    PreparedGate prepared;
    prepared.text = address;
    prepared.address = address;
    prepared.problem = Parse(driver, prepared);
    if (prepared.problem == GateProblem::None) Ready(prepared, count);
    return prepared;
}

}  // namespace host::core
