// Every record the host hands the driver, and every value array, placed flush against a page
// the process may not touch: an operation that reads or writes one byte past a record faults
// at once instead of corrupting the host's heap. The bytes an operation must leave alone are
// compared with the pattern they were filled with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "guard_page.h"
#include "log_capture.h"
#include "protocol_fixture.h"
#include "serial_fake.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace {

namespace fake = serial::fake;
using prototest::Frame;
using prototest::Reply;

constexpr std::uint8_t kPattern = 0xE7;

// A writable page followed by one no-access page; objects end exactly where it begins.
class GuardedArena {
public:
    GuardedArena() {
        if (page_.Writable() != nullptr) std::memset(page_.Writable(), kPattern, page_.Size());
    }
    bool Ok() const { return page_.Ok(); }
    // `bytes` bytes ending at the guard page, filled with the pattern. 0 bytes: the guard's
    // first byte, which nothing may touch.
    std::uint8_t* Flush(std::size_t bytes) {
        std::memset(page_.Writable(), kPattern, page_.Size());
        return page_.EndingWith(bytes);
    }

private:
    vpitest::GuardedPage page_;
};

template <typename T>
T* Place(GuardedArena& arena) {
    static_assert(sizeof(T) % alignof(T) == 0);
    return reinterpret_cast<T*>(arena.Flush(sizeof(T)));
}

// True when every byte of `object` outside [from, to) fields still holds the pattern.
bool OnlyFieldsWritten(const void* object, std::size_t size,
                       const std::vector<std::pair<std::size_t, std::size_t>>& fields) {
    const auto* bytes = static_cast<const std::uint8_t*>(object);
    for (std::size_t i = 0; i < size; ++i) {
        bool inField = false;
        for (const auto& [offset, length] : fields) inField |= i >= offset && i < offset + length;
        if (!inField && bytes[i] != kPattern) return false;
    }
    return true;
}

std::string Hex2(int n) {
    static const char* digits = "0123456789ABCDEF";
    return {digits[(n >> 4) & 15], digits[n & 15]};
}

// Replies of every read family whose every field decodes to 10, with `fields` fields.
std::string TenReply(std::int32_t memtype, int fields) {
    static const int kPlainWidths[40] = {4, 4, 4, 5, 5, 5, 6, 6, 6, 4, 4, 4, 6, 4,
                                         6, 5, 4, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
                                         5, 5, 5, 2, 6, 6, 4, 4, 4, 4, 4, 4};
    std::string data;
    if (memtype == MEMTYPE_PLAIN) {
        for (int i = 0; i < fields; ++i)
            data += i == 31
                        ? "0A"
                        : std::string(static_cast<std::size_t>(kPlainWidths[i] - 2), '0') + "10";
    } else if (memtype >= MEMTYPE_H1 && memtype <= MEMTYPE_H6) {
        for (int i = 0; i < fields; ++i) data += "10.00";
    } else if (memtype >= MEMTYPE_TR1 && memtype <= MEMTYPE_TK3) {
        data = "0A0A000A";
    } else if (memtype == MEMTYPE_EX) {
        data = Hex2(fields);
        for (int i = 0; i < fields; ++i) data += "0000000A";
    } else {
        for (int i = 0; i < fields; ++i) data += "0A";
    }
    return Reply(data);
}

class GuardPages : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(stateArena_.Ok() && recordArena_.Ok() && valueArena_.Ok());
        fake::Reset();
        fake::SetResponder([this](const std::string& port, std::span<const std::uint8_t>) {
            if (!answer_.empty()) fake::Deliver(port, answer_);
        });
        state_ = Place<ChannelState>(stateArena_);
    }
    void TearDown() override { fake::SetResponder(nullptr); }

    std::int32_t Call(VpiOperation operation, void* channel, void* argument) {
        return vpitest::Call(operation, channel, argument, 9);
    }

    // Opens COM1 on the guarded channel state, as the host would.
    void OpenChannel() {
        // The host starts a channel without a port; the rest of the area keeps the pattern.
        state_->port = 0;
        auto* record = Place<OpenChannelRecord>(recordArena_);
        std::memset(record, 0, sizeof *record);
        std::memcpy(record->portName, "COM1", 5);
        record->active = 1;
        record->readTimeout = 20;
        record->line = LineParameters{9600, 8, 0, 0};
        ASSERT_EQ(Call(VpiOperation::Open, state_, record), VpiDone);
        before_ = *state_;
    }

    // A gate record and `count` values, each against its own guard page.
    GateIoRecord* PlaceGate(std::int32_t memtype, std::int32_t count, std::int32_t index,
                            float** values) {
        const std::size_t slots = count > 0 ? static_cast<std::size_t>(count) : 0;
        *values = reinterpret_cast<float*>(valueArena_.Flush(slots * sizeof(float)));
        auto* gate = Place<GateIoRecord>(recordArena_);
        gate->plcAddress = 1;
        gate->memtype = memtype;
        gate->index = index;
        gate->count = count;
        gate->values = *values;
        return gate;
    }

    // The channel's fields and the unused tail of requestBuffer are as they were.
    void ExpectChannelKept() {
        EXPECT_EQ(state_->readTimeout, before_.readTimeout);
        EXPECT_EQ(state_->active, before_.active);
        EXPECT_EQ(state_->port, before_.port);
        EXPECT_EQ(std::memcmp(&state_->settings, &before_.settings, sizeof before_.settings), 0);
        const std::uint8_t* request = state_->requestBuffer;
        const auto* nul =
            static_cast<const std::uint8_t*>(std::memchr(request, 0, kRequestBufferSize));
        const std::size_t used = nul == nullptr ? 0 : static_cast<std::size_t>(nul - request) + 1;
        for (std::size_t i = used; i < kRequestBufferSize; ++i)
            EXPECT_EQ(request[i], kPattern) << i;
    }

    GuardedArena stateArena_, recordArena_, valueArena_;
    ChannelState* state_ = nullptr;
    ChannelState before_{};
    std::string answer_;
    vpitest::LogCapture log_;
};

#if !defined(_WIN32)
// The arena itself: the byte behind an object faults, so the tests below would crash on
// any access past a record.
TEST(GuardedArenaDeathTest, TheByteBehindAnObjectFaults) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    GuardedArena arena;
    ASSERT_TRUE(arena.Ok());
    volatile std::uint8_t* object = arena.Flush(4);
    object[3] = 1;
    EXPECT_DEATH(object[4] = 1, "");
}
#endif

TEST_F(GuardPages, InfoWritesItsFieldsAndNothingElse) {
    auto* info = Place<DriverInfo>(recordArena_);
    ASSERT_EQ(Call(VpiOperation::Info, nullptr, info), VpiDone);
    EXPECT_EQ(info->stateSize, kChannelStateSize);
    EXPECT_TRUE(OnlyFieldsWritten(info, sizeof *info,
                                  {{offsetof(DriverInfo, driverCode), 4},
                                   {offsetof(DriverInfo, shortName), sizeof(void*)},
                                   {offsetof(DriverInfo, banner), sizeof(void*)},
                                   {offsetof(DriverInfo, stateSize), 4},
                                   {offsetof(DriverInfo, driverParameter), 4},
                                   {offsetof(DriverInfo, defaultLine), sizeof(LineParameters)},
                                   {offsetof(DriverInfo, driverOption), 4}}));
    // The query reads nothing at all: a call block whose argument is the guard page.
    EXPECT_EQ(Call(VpiOperation::Query, nullptr, recordArena_.Flush(0)), VpiRefused);
}

TEST_F(GuardPages, ChannelOperationsStayInsideTheirRecords) {
    OpenChannel();
    std::memcpy(state_->requestBuffer, std::string(kRequestBufferSize, char(kPattern)).data(),
                kRequestBufferSize);
    const std::string receive(kReceiveBufferSize, char(kPattern));
    fake::Deliver("COM1", "stale bytes");
    EXPECT_EQ(Call(VpiOperation::Flush, state_, nullptr), VpiDone);

    struct Step {
        VpiOperation operation;
        const char* name;  // reconfigure's port name (nullptr: no record)
        std::int32_t result;
        bool portOpen;
    };
    const Step steps[] = {
        {VpiOperation::Reconfigure, "COM2", VpiDone, true},
        {VpiOperation::Reconfigure, "COM2", VpiFailed, true},  // same port, already held
        {VpiOperation::Close, nullptr, VpiDone, false},
        {VpiOperation::ReopenPort, nullptr, VpiDone, true},
        {VpiOperation::ReopenPort, nullptr, VpiFailed, true},
        {VpiOperation::ClosePort, nullptr, VpiDone, false},
        {VpiOperation::Reconfigure, "NAME_TOO_LONG", VpiFailed, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(static_cast<int>(step.operation));
        void* argument = nullptr;
        if (step.name != nullptr) {
            auto* record = Place<ReconfigureRecord>(recordArena_);
            std::memset(record->portName, 0, sizeof record->portName);
            std::memcpy(record->portName, step.name,
                        std::min<std::size_t>(std::strlen(step.name), sizeof record->portName));
            record->line = LineParameters{19200, 8, 0, 0};
            argument = record;
        }
        EXPECT_EQ(Call(step.operation, state_, argument), step.result);
        EXPECT_EQ(state_->port != 0, step.portOpen);
        EXPECT_EQ(
            std::string(reinterpret_cast<const char*>(state_->receiveBuffer), kReceiveBufferSize),
            receive);
        EXPECT_EQ(
            std::string(reinterpret_cast<const char*>(state_->requestBuffer), kRequestBufferSize),
            std::string(kRequestBufferSize, char(kPattern)));
    }
    // An open whose name fills the whole field without its NUL is refused, reading nothing
    // past the field; the record ends at the guard.
    auto* record = Place<OpenChannelRecord>(recordArena_);
    std::memset(record->portName, 'C', sizeof record->portName);
    record->active = 1;
    record->readTimeout = 20;
    record->line = LineParameters{9600, 8, 0, 0};
    EXPECT_EQ(Call(VpiOperation::Open, state_, record), VpiFailed);
}

// Reads of every family: the value array is exactly `count` floats, the reply carries as
// many fields as the family has, and only the first `count` slots may be written.
TEST_F(GuardPages, ReadsWriteOnlyTheirCountOfValues) {
    struct Family {
        std::int32_t memtype;
        int fields;
    };
    const Family families[] = {{MEMTYPE_PLAIN, 40}, {MEMTYPE_H3, 34},  {MEMTYPE_TR2, 3},
                               {MEMTYPE_TK1, 3},    {MEMTYPE_TY2, 2},  {MEMTYPE_TD9, 25},
                               {MEMTYPE_TC7, 33},   {MEMTYPE_TC20, 33}};
    OpenChannel();
    for (const Family& family : families) {
        std::vector<float> whole;
        for (const std::int32_t count : {family.fields, 1, family.fields - 1, 0, -1, INT32_MIN}) {
            SCOPED_TRACE(::testing::Message()
                         << "memtype " << family.memtype << " count " << count);
            answer_ = TenReply(family.memtype, family.fields);
            float* values = nullptr;
            GateIoRecord* gate = PlaceGate(family.memtype, count, 1, &values);
            const GateIoRecord kept = *gate;
            const std::int32_t result = Call(VpiOperation::Read, state_, gate);
            EXPECT_EQ(result, VpiDone);
            // The whole block first; a shorter count gets the same leading values.
            if (count == family.fields) {
                whole.assign(values, values + count);
                for (const float v : whole)
                    EXPECT_NE(std::memcmp(&v, std::string(4, char(kPattern)).data(), 4), 0);
            }
            for (std::int32_t i = 0; i < count; ++i)
                EXPECT_EQ(values[i], whole[static_cast<std::size_t>(i)]) << i;
            EXPECT_EQ(std::memcmp(gate, &kept, sizeof kept), 0);
            ExpectChannelKept();
            // Operation 5 serves EX gates only, and touches nothing of another.
            EXPECT_EQ(Call(VpiOperation::ReadEx, state_, gate), VpiRefused);
        }
    }
}

TEST_F(GuardPages, ExReadsWithHostileCounts) {
    OpenChannel();
    struct Case {
        std::int32_t count;
        int replyValues;  // what the meter claims and sends
        std::int32_t result;
    };
    const Case cases[] = {{36, 36, VpiDone},    {1, 1, VpiDone},
                          {0, 0, VpiDone},      {1, 36, VpiRefused},
                          {35, 36, VpiRefused}, {37, 36, VpiRefused},
                          {-1, 1, VpiRefused},  {INT32_MAX, 36, VpiRefused}};
    for (const VpiOperation operation : {VpiOperation::ReadEx, VpiOperation::Read}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "count " << c.count << " reply " << c.replyValues);
            answer_ = TenReply(MEMTYPE_EX, c.replyValues);
            float* values = nullptr;
            // Heap-sized arrays only for counts a host could have allocated.
            GateIoRecord* gate =
                PlaceGate(MEMTYPE_EX, c.count > 1000 ? 0 : c.count, 0x0A01, &values);
            gate->count = c.count;
            const GateIoRecord kept = *gate;
            const std::int32_t result = Call(operation, state_, gate);
            // A reply whose value count differs from the gate's is refused before any value
            // is stored; nothing is written beyond the count either way (the guard page would
            // fault).
            EXPECT_EQ(result, c.result);
            if (result == VpiDone) {
                for (std::int32_t i = 0; i < c.count; ++i) EXPECT_EQ(values[i], 10.0f) << i;
            }
            EXPECT_EQ(std::memcmp(gate, &kept, sizeof kept), 0);
            ExpectChannelKept();
        }
    }
}

TEST_F(GuardPages, WritesReadOnlyTheirValues) {
    OpenChannel();
    answer_ = Frame("01ack");
    struct Case {
        std::int32_t memtype;
        std::int32_t count;
        std::int32_t result;
        std::size_t sent;  // requests on the line
    };
    const Case cases[] = {
        {MEMTYPE_EX, 0, VpiDone, 1},
        {MEMTYPE_EX, 1, VpiDone, 1},
        {MEMTYPE_EX, 36, VpiDone, 1},
        {MEMTYPE_EX, 37, VpiRefused, 0},
        {MEMTYPE_EX, -1, VpiRefused, 0},
        {MEMTYPE_INDEX_ZERO, 1, VpiDone, 1},
        {MEMTYPE_INDEX_ZERO, 0, VpiRefused, 0},
        {MEMTYPE_PLAIN, 40, VpiRefused, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "memtype " << c.memtype << " count " << c.count);
        float* values = nullptr;
        GateIoRecord* gate =
            PlaceGate(c.memtype, c.count, c.memtype == MEMTYPE_EX ? 0x0A05 : 0, &values);
        for (std::int32_t i = 0; i < c.count; ++i) values[i] = 1.0f;
        const GateIoRecord kept = *gate;
        const std::size_t writesBefore = fake::Writes().size();
        EXPECT_EQ(Call(VpiOperation::Write, state_, gate), c.result);
        EXPECT_EQ(fake::Writes().size() - writesBefore, c.sent);
        if (c.memtype == MEMTYPE_EX && c.sent == 1) {
            EXPECT_EQ(fake::Writes().back().size(), 14u + 8u * static_cast<std::size_t>(c.count));
        }
        for (std::int32_t i = 0; i < c.count; ++i) EXPECT_EQ(values[i], 1.0f);
        EXPECT_EQ(std::memcmp(gate, &kept, sizeof kept), 0);
        ExpectChannelKept();
    }
}

// Operations 3 and 4 with the record and the text each against a guard page: a text of
// eleven characters or more without its NUL is read no further than the parser's limit.
TEST_F(GuardPages, AddressRecordsAndUnterminatedTexts) {
    struct Case {
        std::string text;
        bool terminated;
        std::int32_t result;
    };
    const Case cases[] = {{"0105", true, VpiDone},
                          {"03EX0102", true, VpiDone},
                          {"12TC105 7", true, VpiDone},
                          {"12TC105 7xx", false, VpiRefused},
                          {"0105xxxxxxxxxxx", false, VpiRefused},
                          {"", true, VpiRefused}};
    for (const VpiOperation operation : {VpiOperation::ParseAddress, VpiOperation::CheckGate}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.text);
            const std::size_t bytes = c.text.size() + (c.terminated ? 1 : 0);
            char* text = reinterpret_cast<char*>(valueArena_.Flush(bytes));
            std::memcpy(text, c.text.c_str(), bytes);
            auto* record = Place<GateAddressRecord>(recordArena_);
            record->addressText = text;
            record->valueType = 3;
            record->elementCount = 40;
            const GateAddressRecord kept = *record;
            const std::int32_t result = Call(operation, nullptr, record);
            if (operation == VpiOperation::ParseAddress) {
                EXPECT_EQ(result, c.result);
            }
            EXPECT_EQ(record->addressText, kept.addressText);
            EXPECT_EQ(record->hostField, kept.hostField);
            EXPECT_EQ(record->valueType, kept.valueType);
            EXPECT_EQ(record->elementCount, kept.elementCount);
            if (result != VpiDone) continue;
            EXPECT_EQ(record->fixedValue255, 255u);
            EXPECT_EQ(record->fixedValue32, 32u);
        }
    }
}

}  // namespace
