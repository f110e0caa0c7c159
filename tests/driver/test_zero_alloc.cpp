// No driver operation allocates: every heap entry point of the C library and every form of
// operator new and delete is replaced here by a counting one, and the count is kept only
// while VpiMain runs on the calling thread. Every operation code, on its successful and its
// failing paths, runs inside that window: over the emulated line (built with
// VPI_ZERO_ALLOC_FAKE) and over the real POSIX back-end against the meter simulator on a
// pseudo-terminal (built with VPI_ZERO_ALLOC_POSIX).
//
// The emulated line keeps its record of calls in containers of its own; those allocations
// belong to the test bench, not to the driver. Its entry points are wrapped at link time
// (--wrap) so that whatever they allocate is tallied apart. The real back-end is not wrapped:
// there everything between entry and return counts.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tamrik.h"
#include "vpi_records.h"

#if defined(VPI_ZERO_ALLOC_FAKE)
#include "platform.h"
#include "protocol_fixture.h"
#include "serial.h"
#include "serial_fake.h"
#endif
#if defined(VPI_ZERO_ALLOC_POSIX)
#include <signal.h>
#include <sys/wait.h>

#include "metersim_child.h"
#endif

// ---- The counting heap --------------------------------------------------------------------

extern "C" {
// The C library's own allocator, under the names it exports for replacements like this one.
void* __libc_malloc(std::size_t size) noexcept;
void* __libc_calloc(std::size_t count, std::size_t size) noexcept;
void* __libc_realloc(void* pointer, std::size_t size) noexcept;
void __libc_free(void* pointer) noexcept;
void* __libc_memalign(std::size_t alignment, std::size_t size) noexcept;
}

namespace {

struct Tally {
    std::uint32_t allocations = 0;  // by the driver (and whatever it calls, the C library included)
    std::uint32_t releases = 0;
    std::uint32_t benchAllocations = 0;  // inside the emulated line's entry points
};

// Plain thread-local data of the executable itself: static TLS, which needs no allocation.
thread_local bool tArmed = false;
thread_local int tBenchDepth = 0;
thread_local Tally tTally;

void NoteAllocation() {
    if (!tArmed) return;
    if (tBenchDepth > 0) {
        ++tTally.benchAllocations;
    } else {
        ++tTally.allocations;
    }
}

void NoteRelease(const void* pointer) {
    if (tArmed && tBenchDepth == 0 && pointer != nullptr) ++tTally.releases;
}

void* AlignedBlock(std::size_t alignment, std::size_t size) {
    return __libc_memalign(alignment, size == 0 ? 1 : size);
}

// Keeps the compiler from proving an allocation unused and leaving it out.
void Escape(void* pointer) {
    asm volatile("" : : "g"(pointer) : "memory");
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept {
    NoteAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    NoteAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) noexcept {
    NoteAllocation();
    return __libc_realloc(pointer, size);
}
void free(void* pointer) noexcept {
    NoteRelease(pointer);
    __libc_free(pointer);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    NoteAllocation();
    return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    NoteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    NoteAllocation();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}
void* valloc(std::size_t size) noexcept {
    NoteAllocation();
    return __libc_memalign(4096, size);
}
void* pvalloc(std::size_t size) noexcept {
    NoteAllocation();
    return __libc_memalign(4096, (size + 4095) & ~std::size_t{4095});
}
}

namespace {

// What every replaced operator new and delete does: the allocation or release noted, then the
// C library's own heap. The throwing forms throw when it has nothing left, the others return
// null.
void* Allocate(std::size_t size) noexcept {
    NoteAllocation();
    return __libc_malloc(size == 0 ? 1 : size);
}
void* AllocateAligned(std::size_t size, std::align_val_t alignment) noexcept {
    NoteAllocation();
    return AlignedBlock(static_cast<std::size_t>(alignment), size);
}
void* OrThrow(void* block) {
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void Release(void* pointer) noexcept {
    NoteRelease(pointer);
    __libc_free(pointer);
}

}  // namespace

// One operator in both its forms, for one object and for an array, with one body.
// clang-format off
#define VPI_BOTH_FORMS(Result, Operator, Params, Body) \
    Result operator Operator Params Body               \
    Result operator Operator[] Params Body
// clang-format on

VPI_BOTH_FORMS(void*, new, (std::size_t size), { return OrThrow(Allocate(size)); })
VPI_BOTH_FORMS(void*, new, (std::size_t size, const std::nothrow_t&) noexcept,
               { return Allocate(size); })
VPI_BOTH_FORMS(void*, new, (std::size_t size, std::align_val_t alignment),
               { return OrThrow(AllocateAligned(size, alignment)); })
VPI_BOTH_FORMS(void*, new,
               (std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept,
               { return AllocateAligned(size, alignment); })
VPI_BOTH_FORMS(void, delete, (void* pointer) noexcept, { Release(pointer); })
VPI_BOTH_FORMS(void, delete, (void* pointer, std::size_t) noexcept, { Release(pointer); })
VPI_BOTH_FORMS(void, delete, (void* pointer, const std::nothrow_t&) noexcept, { Release(pointer); })
VPI_BOTH_FORMS(void, delete, (void* pointer, std::align_val_t) noexcept, { Release(pointer); })
VPI_BOTH_FORMS(void, delete, (void* pointer, std::size_t, std::align_val_t) noexcept,
               { Release(pointer); })
VPI_BOTH_FORMS(void, delete, (void* pointer, std::align_val_t, const std::nothrow_t&) noexcept,
               { Release(pointer); })
#undef VPI_BOTH_FORMS

// ---- The emulated line's entry points, tallied apart --------------------------------------

#if defined(VPI_ZERO_ALLOC_FAKE)
namespace {
struct BenchScope {
    BenchScope() { ++tBenchDepth; }
    ~BenchScope() { --tBenchDepth; }
    BenchScope(const BenchScope&) = delete;
    BenchScope& operator=(const BenchScope&) = delete;
};
}  // namespace

// Each wrapper forwards to the emulation's own function (the linker's __real_ name).
#define VPI_WRAP(mangled, Result, Params, Args) \
    extern "C" Result __real_##mangled Params;  \
    extern "C" Result __wrap_##mangled Params { \
        BenchScope scope;                       \
        return __real_##mangled Args;           \
    }
VPI_WRAP(_ZN6serial8OpenPortEPKcRK14LineParameterstPjPK12ChannelState, serial::SerialResult,
         (const char* name, const LineParameters& line, std::uint16_t flags,
          serial::PortHandle* handle, const ChannelState* owner),
         (name, line, flags, handle, owner))
VPI_WRAP(_ZN6serial9ClosePortEj, serial::SerialResult, (serial::PortHandle handle), (handle))
VPI_WRAP(_ZN6serial8OwnsPortEj, bool, (serial::PortHandle handle), (handle))
VPI_WRAP(_ZN6serial6PortOfERK12ChannelState, serial::PortHandle, (const ChannelState& channel),
         (channel))
VPI_WRAP(_ZN6serial8platform5NowUsEv, std::uint64_t, (), ())
VPI_WRAP(_ZN6serial8platform11GetTimeoutsEjPNS0_8TimeoutsE, bool,
         (serial::PortHandle handle, serial::platform::Timeouts* timeouts), (handle, timeouts))
VPI_WRAP(_ZN6serial8platform11SetTimeoutsEjRKNS0_8TimeoutsE, bool,
         (serial::PortHandle handle, const serial::platform::Timeouts& timeouts),
         (handle, timeouts))
VPI_WRAP(_ZN6serial8platform8ReadOnceEjPhjPj, bool,
         (serial::PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
          std::uint32_t* received),
         (handle, buffer, count, received))
VPI_WRAP(_ZN6serial8platform9WriteOnceEjPKhjPj, bool,
         (serial::PortHandle handle, const std::uint8_t* bytes, std::uint32_t count,
          std::uint32_t* written),
         (handle, bytes, count, written))
VPI_WRAP(_ZN6serial8platform11ClearErrorsEjPj, bool,
         (serial::PortHandle handle, std::uint32_t* waiting), (handle, waiting))
VPI_WRAP(_ZN6serial8platform6SetRtsEjb, bool, (serial::PortHandle handle, bool on), (handle, on))
VPI_WRAP(_ZN6serial8platform7SleepMsEj, void, (std::uint32_t milliseconds), (milliseconds))
#undef VPI_WRAP
#endif

// ---- Windows around VpiMain ---------------------------------------------------------------

namespace {

struct Outcome {
    std::int32_t result;
    Tally tally;
};

// Runs `work` with counting armed on this thread only.
Tally Counted(const std::function<void()>& work) {
    tTally = Tally{};
    tArmed = true;
    work();
    tArmed = false;
    return tTally;
}

// One VpiMain call, counted. The call block is built before the window opens.
Outcome CountedCall(VpiCall call) {
    std::int32_t result = -1;
    tTally = Tally{};
    tArmed = true;
    result = VpiMain(&call);
    tArmed = false;
    return Outcome{result, tTally};
}

// The log lines land in a fixed buffer: the host's sink is the host's business, and this one
// must not allocate inside the window.
struct QuietLog {
    std::uint32_t lines = 0;
    char last[256] = {};
};
QuietLog gLog;
void QuietSink(int, const char* text, void*) {
    ++gLog.lines;
    std::strncpy(gLog.last, text, sizeof gLog.last - 1);
}

// What every case below checks: the driver took the path the case is about, logged as many
// lines as that path logs (at least `minLines`), and allocated and released nothing.
struct Case {
    const char* name;
    std::int32_t expected;
    std::uint32_t minLines;
    std::function<VpiCall()> prepare;  // outside the window: script the line, fill records
};

void Append(std::vector<Case>& cases, std::initializer_list<Case> more) {
    cases.insert(cases.end(), more);
}

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const VpiCall call = c.prepare();
        const std::uint32_t linesBefore = gLog.lines;
        const Outcome outcome = CountedCall(call);
        EXPECT_EQ(outcome.result, c.expected);
        EXPECT_GE(gLog.lines - linesBefore, c.minLines) << "last line: " << gLog.last;
        EXPECT_EQ(outcome.tally.allocations, 0u);
        EXPECT_EQ(outcome.tally.releases, 0u);
    }
}

class ZeroAllocation : public testing::Test {
protected:
    void SetUp() override { SetLogSink(QuietSink, nullptr); }
    void TearDown() override { SetLogSink(nullptr, nullptr); }

    VpiCall Make(VpiOperation operation, void* argument) {
        return VpiCall{&channel_, static_cast<std::int32_t>(operation), 7, 0, argument};
    }
    VpiCall Gate(VpiOperation operation, std::int32_t plc, std::int32_t memtype, std::int32_t index,
                 std::int32_t count) {
        gate_ = GateIoRecord{};
        gate_.plcAddress = plc;
        gate_.memtype = memtype;
        gate_.index = index;
        gate_.count = count;
        gate_.values = values_;
        return Make(operation, &gate_);
    }
    VpiCall Address(const char* text, std::int32_t valueType = 3, std::int32_t count = 1) {
        address_ = GateAddressRecord{};
        address_.addressText = text;
        address_.valueType = valueType;
        address_.elementCount = count;
        return VpiCall{nullptr, static_cast<std::int32_t>(VpiOperation::ParseAddress), 7, 0,
                       &address_};
    }
    VpiCall OpenOn(const std::string& port, std::int32_t readTimeout) {
        open_ = OpenChannelRecord{};
        std::strncpy(open_.portName, port.c_str(), sizeof open_.portName - 1);
        open_.active = 1;
        open_.readTimeout = readTimeout;
        open_.line = LineParameters{9600, 8, 0, 0};
        return Make(VpiOperation::Open, &open_);
    }
    VpiCall ReconfigureTo(const std::string& port) {
        reconfigure_ = ReconfigureRecord{};
        std::strncpy(reconfigure_.portName, port.c_str(), sizeof reconfigure_.portName - 1);
        reconfigure_.line = LineParameters{9600, 8, 0, 0};
        return Make(VpiOperation::Reconfigure, &reconfigure_);
    }
    // Operations that need no line: the info record, the address operations, the codes
    // without an operation and those outside the table.
    std::vector<Case> LineFreeCases() {
        auto code = [this](std::int32_t operation) {
            return [this, operation] { return VpiCall{&channel_, operation, 7, 0, &info_}; };
        };
        auto check = [this](const char* text, std::int32_t count) {
            return [this, text, count] {
                VpiCall call = Address(text, 3, count);
                call.operation = static_cast<std::int32_t>(VpiOperation::CheckGate);
                return call;
            };
        };
        auto parse = [this](const char* text) { return [this, text] { return Address(text); }; };
        using Named = std::pair<const char*, std::int32_t>;
        std::vector<Case> cases;
        for (const auto& [name, operation] :
             {Named{"code 0", 0}, Named{"code 8", 8}, Named{"code 9", 9}, Named{"code 10", 10},
              Named{"code -1", -1}, Named{"code 16", 16}, Named{"code 0x7FFFFFFF", 0x7FFFFFFF}}) {
            cases.push_back({name, VpiRefused, 0, code(operation)});
        }
        Append(cases, {
                          {"info", VpiDone, 0, code(14)},
                          {"info without a record", VpiRefused, 0,
                           [this] {
                               return VpiCall{&channel_, 14, 7, 0, nullptr};
                           }},
                          {"read without a channel", VpiRefused, 0,
                           [this] {
                               return VpiCall{nullptr, 6, 7, 0, &gate_};
                           }},
                      });
        // Every address form.
        using Text = std::pair<const char*, const char*>;
        for (const auto& [name, text] :
             {Text{"parse plain", "0105"}, Text{"parse H", "0534h2"}, Text{"parse TR", "12TR305"},
              Text{"parse TK", "12TK21"}, Text{"parse TY", "12TY22"}, Text{"parse TD", "12TD01 7"},
              Text{"parse TC", "12TC105 7"}, Text{"parse EX", "03EX0102"},
              Text{"parse index zero", "0100"}}) {
            cases.push_back({name, VpiDone, 0, parse(text)});
        }
        Append(cases, {
                          {"parse refused with the address", VpiRefused, 1, parse("12TR39")},
                          {"parse refused with numbers", VpiRefused, 1, parse("0141")},
                          {"parse matching no pattern", VpiRefused, 0, parse("01H2")},
                          {"parse of a gate that is not float", VpiRefused, 1,
                           [this] { return Address("0105", 2); }},
                          {"check plain", VpiDone, 0, check("0101", 40)},
                          {"check refused count", VpiRefused, 0, check("0101", 41)},
                          {"check TD", VpiDone, 0, check("12TD01 1", 25)},
                      });
        return cases;
    }

    ChannelState channel_{};
    GateIoRecord gate_{};
    float values_[64] = {};
    GateAddressRecord address_{};
    DriverInfo info_{};
    OpenChannelRecord open_{};
    ReconfigureRecord reconfigure_{};
};

// ---- The window itself --------------------------------------------------------------------

// If the counting missed any way to the heap, every test below would pass for nothing.
TEST(CountingHeap, CountsEveryEntryPointInsideTheWindowAndNothingOutside) {
    struct Entry {
        const char* name;
        std::function<void()> allocateAndRelease;
    };
    const std::vector<Entry> entries{
        {"malloc",
         [] {
             void* p = std::malloc(24);
             Escape(p);
             std::free(p);
         }},
        {"calloc",
         [] {
             void* p = std::calloc(3, 8);
             Escape(p);
             std::free(p);
         }},
        {"realloc",
         [] {
             void* p = std::realloc(nullptr, 24);
             Escape(p);
             std::free(p);
         }},
        {"aligned_alloc",
         [] {
             void* p = aligned_alloc(64, 128);
             Escape(p);
             std::free(p);
         }},
        {"posix_memalign",
         [] {
             void* p = nullptr;
             ASSERT_EQ(posix_memalign(&p, 64, 128), 0);
             Escape(p);
             std::free(p);
         }},
        {"new",
         [] {
             void* p = ::operator new(24);
             Escape(p);
             ::operator delete(p);
         }},
        {"new[]",
         [] {
             void* p = ::operator new[](24);
             Escape(p);
             ::operator delete[](p);
         }},
        {"new nothrow",
         [] {
             void* p = ::operator new(24, std::nothrow);
             Escape(p);
             ::operator delete(p, std::nothrow);
         }},
        {"new[] nothrow",
         [] {
             void* p = ::operator new[](24, std::nothrow);
             Escape(p);
             ::operator delete[](p, std::nothrow);
         }},
        {"new aligned",
         [] {
             void* p = ::operator new (24, std::align_val_t{64});
             Escape(p);
             ::operator delete (p, std::align_val_t{64});
         }},
        {"new[] aligned nothrow",
         [] {
             void* p = ::operator new[](24, std::align_val_t{64}, std::nothrow);
             Escape(p);
             ::operator delete[](p, std::align_val_t{64}, std::nothrow);
         }},
        {"sized delete",
         [] {
             void* p = ::operator new(24);
             Escape(p);
             ::operator delete(p, 24);
         }},
        {"a string too long for its inline buffer",
         [] {
             std::string text(100, 'x');
             Escape(text.data());
         }},
        {"the C library on its own (strdup)",
         [] {
             char* p = strdup("a text the library copies");
             Escape(p);
             std::free(p);
         }},
    };
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.name);
        const Tally inside = Counted(entry.allocateAndRelease);
        EXPECT_EQ(inside.allocations, 1u);
        EXPECT_EQ(inside.releases, 1u);
        tTally = Tally{};
        entry.allocateAndRelease();  // not armed
        EXPECT_EQ(tTally.allocations, 0u);
        EXPECT_EQ(tTally.releases, 0u);
    }
}

TEST(CountingHeap, CountsOnlyTheArmedThread) {
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    std::atomic<std::uint32_t> otherCount{0};
    std::thread other([&] {
        while (!go.load()) std::this_thread::yield();
        // This thread is not armed: its own count stays 0 although it allocates.
        tArmed = true;
        tTally = Tally{};
        void* p = std::malloc(32);
        Escape(p);
        std::free(p);
        tArmed = false;
        otherCount = tTally.allocations;
        done = true;
    });
    // The other thread allocates while this one's window is open; only its own window sees it.
    const Tally tally = Counted([&] {
        go = true;
        while (!done.load()) std::this_thread::yield();
    });
    other.join();
    EXPECT_EQ(otherCount.load(), 1u);
    EXPECT_EQ(tally.allocations, 0u);
    EXPECT_EQ(tally.releases, 0u);
}

TEST(CountingHeap, ALoggedLineReachesTheQuietSinkWithoutAllocating) {
    SetLogSink(QuietSink, nullptr);
    const std::uint32_t before = gLog.lines;
    const Tally tally = Counted([] { err(8, "%s %d", "line", 1); });
    SetLogSink(nullptr, nullptr);
    EXPECT_EQ(gLog.lines, before + 1);
    EXPECT_STREQ(gLog.last, "line 1");
    EXPECT_EQ(tally.allocations, 0u);
}

// A host sink that allocates is called from inside VpiMain: its allocation must show, or the
// window would not cover the driver's own call chain.
void AllocatingSink(int, const char* text, void*) {
    std::string copy(text);
    copy.append(64, ' ');
    Escape(copy.data());
}

TEST_F(ZeroAllocation, AnAllocationOnTheDriversCallChainIsCounted) {
    SetLogSink(AllocatingSink, nullptr);
    const Outcome outcome = CountedCall(Address("12TR39"));  // refused with a logged line
    SetLogSink(QuietSink, nullptr);
    EXPECT_EQ(outcome.result, VpiRefused);
    EXPECT_GE(outcome.tally.allocations, 1u);
    EXPECT_EQ(outcome.tally.releases, outcome.tally.allocations);
}

TEST_F(ZeroAllocation, OperationsThatNeedNoLine) {
    RunCases(LineFreeCases());
}

#if defined(VPI_ZERO_ALLOC_FAKE)

namespace fake = serial::fake;
using prototest::Corrupted;
using prototest::Frame;
using prototest::Reply;

std::string Repeat(const std::string& field, int times) {
    std::string data;
    for (int i = 0; i < times; ++i) data += field;
    return data;
}

std::string PlainData() {
    constexpr int kWidths[40] = {4, 4, 4, 5, 5, 5, 6, 6, 6, 4, 4, 4, 6, 4, 6, 5, 4, 6, 6, 6,
                                 6, 6, 6, 6, 6, 6, 6, 6, 5, 5, 5, 2, 6, 6, 4, 4, 4, 4, 4, 4};
    std::string data;
    for (int i = 0; i < 40; ++i) {
        data += i == 31 ? std::string("1F") : std::string("1.250000").substr(0, kWidths[i]);
    }
    return data;
}

class ZeroAllocationFake : public ZeroAllocation {
protected:
    void SetUp() override {
        ZeroAllocation::SetUp();
        fake::Reset();
        fake::SetResponder([this](const std::string& port, std::span<const std::uint8_t>) {
            if (!answers_.empty()) {
                const std::string answer = answers_.front();
                answers_.erase(answers_.begin());
                if (!answer.empty()) fake::Deliver(port, answer);
            }
        });
        ASSERT_EQ(VpiMain(&(call_ = OpenOn("COM1", 5))), VpiDone);
    }
    void TearDown() override {
        fake::SetResponder(nullptr);
        fake::Reset();
        ZeroAllocation::TearDown();
    }
    // The meter's answers to the next requests, in order ("" for silence; silence after).
    std::function<VpiCall()> Answering(std::vector<std::string> answers,
                                       std::function<VpiCall()> call) {
        return [this, answers, call] {
            answers_ = answers;
            return call();
        };
    }
    std::function<VpiCall()> Read(VpiOperation operation, std::int32_t memtype, std::int32_t index,
                                  std::int32_t count) {
        return [this, operation, memtype, index, count] {
            return Gate(operation, 1, memtype, index, count);
        };
    }

    VpiCall call_{};
    std::vector<std::string> answers_;
};

TEST_F(ZeroAllocationFake, ReadsOfEveryFamilyAndEveryWayAReadFails) {
    const std::string plain = Reply(PlainData());
    auto read = [this](std::int32_t memtype, std::int32_t count) {
        return Read(VpiOperation::Read, memtype, 1, count);
    };
    const std::vector<Case> cases{
        {"plain", VpiDone, 0, Answering({plain}, read(MEMTYPE_PLAIN, 40))},
        {"H", VpiDone, 0, Answering({Reply(Repeat("12.50", 34))}, read(MEMTYPE_H2, 34))},
        {"TR", VpiDone, 0, Answering({Reply("0A0A00FF")}, read(MEMTYPE_TR3, 3))},
        {"TK", VpiDone, 0, Answering({Reply("0A0A00FF")}, read(MEMTYPE_TK1, 3))},
        {"TY", VpiDone, 0, Answering({Reply("0A0A")}, read(MEMTYPE_TY2, 2))},
        {"TD", VpiDone, 0, Answering({Reply(Repeat("0A", 25))}, read(MEMTYPE_TD16, 25))},
        {"TC", VpiDone, 0, Answering({Reply(Repeat("1F", 33))}, read(MEMTYPE_TC17, 33))},
        {"EX through 6", VpiDone, 0,
         Answering({Reply("02" + Repeat("0000000A", 2))}, Read(VpiOperation::Read, MEMTYPE_EX, 0x0A01, 2))},
        {"EX through 5", VpiDone, 0,
         Answering({Reply("02" + Repeat("FFFFFFFE", 2))},
                   Read(VpiOperation::ReadEx, MEMTYPE_EX, 0x0A01, 2))},
        {"a length-6 frame skipped first", VpiDone, 0,
         Answering({Frame("01x") + plain}, read(MEMTYPE_PLAIN, 40))},
        {"silence: eight time-outs", VpiFailed, 8, read(MEMTYPE_PLAIN, 40)},
        {"silence on H", VpiFailed, 8, read(MEMTYPE_H1, 34)},
        {"silence on EX through 5", VpiFailed, 1,
         Read(VpiOperation::ReadEx, MEMTYPE_EX, 0x0A01, 2)},
        {"bad checksum every time", VpiRefused, 8,
         Answering(std::vector<std::string>(8, Corrupted(plain)), read(MEMTYPE_PLAIN, 40))},
        {"bad checksum on H", VpiRefused, 8,
         Answering(std::vector<std::string>(8, Corrupted(Reply(Repeat("12.50", 34)))),
                   read(MEMTYPE_H2, 34))},
        {"a field that does not convert", VpiRefused, 8,
         Answering(std::vector<std::string>(8, Reply("????" + PlainData().substr(4))),
                   read(MEMTYPE_PLAIN, 40))},
        {"H answered with X", VpiRefused, 0,
         Answering(std::vector<std::string>(8, Reply("X" + Repeat("12.50", 34).substr(1))),
                   read(MEMTYPE_H2, 34))},
        {"EX count that differs", VpiRefused, 0,
         Answering({Reply("03" + Repeat("0000000A", 3))},
                   Read(VpiOperation::ReadEx, MEMTYPE_EX, 0x0A01, 2))},
        {"length field above 300", VpiRefused, 8,
         Answering(std::vector<std::string>(8, Frame(prototest::kAsked + std::string(298, '0'))),
                   read(MEMTYPE_PLAIN, 40))},
        {"garbage ahead of the frame", VpiFailed, 8,
         Answering(std::vector<std::string>(8, "\r\n#?~" + plain), read(MEMTYPE_PLAIN, 40))},
        {"a reply cut short", VpiFailed, 8,
         Answering(std::vector<std::string>(8, plain.substr(0, 100)), read(MEMTYPE_PLAIN, 40))},
        {"first attempt silent, second decodes", VpiDone, 1,
         Answering({"", plain}, read(MEMTYPE_PLAIN, 40))},
        {"index-zero gate is not read", VpiRefused, 0, read(MEMTYPE_INDEX_ZERO, 1)},
        {"unknown memtype", VpiRefused, 0, read(7, 1)},
        {"plain gate through 5", VpiRefused, 0, Read(VpiOperation::ReadEx, MEMTYPE_PLAIN, 1, 40)},
        {"EX count above 36", VpiRefused, 0, Read(VpiOperation::Read, MEMTYPE_EX, 0x0A01, 37)},
        {"line refuses RTS", VpiDone, 2, Answering({plain}, [this] {
             fake::FailRts(true);
             return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40);
         })},
        {"the write of the request fails", VpiFailed, 8, [this] {
             fake::FailRts(false);
             fake::FailWriteCall(true);
             return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40);
         }},
        {"the request goes out cut", VpiFailed, 8, [this] {
             fake::FailWriteCall(false);
             fake::CutWritesAfter(3);
             return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40);
         }},
        {"a read call fails", VpiFailed, 8, Answering(std::vector<std::string>(8, plain), [this] {
             fake::CutWritesAfter(-1);
             fake::FailReadsAfter(0);
             return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40);
         })},
        {"stale bytes purged first", VpiDone, 0, Answering({plain}, [this] {
             fake::FailReadsAfter(-1);
             fake::Deliver("COM1", std::string(700, '~'));
             return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40);
         })},
        {"purge cannot ask what waits", VpiDone, 0, Answering({plain}, [this] {
             fake::FailClearErrors(true);
             return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40);
         })},
    };
    RunCases(cases);
    // The emulation did allocate inside the windows (its record of calls), and the wrappers
    // set it aside: shown once here, so that a wrapper that stopped wrapping is noticed.
    fake::FailClearErrors(false);
    answers_ = {Reply(PlainData())};
    const Outcome outcome = CountedCall(Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40));
    EXPECT_EQ(outcome.result, VpiDone);
    EXPECT_GT(outcome.tally.benchAllocations, 0u);
    EXPECT_EQ(outcome.tally.allocations, 0u);
}

TEST_F(ZeroAllocationFake, WritesAcceptedRefusedAndFailed) {
    auto write = [this](std::int32_t memtype, std::int32_t index, std::int32_t count, float value) {
        return [this, memtype, index, count, value] {
            for (float& v : values_) v = value;
            return Gate(VpiOperation::Write, 1, memtype, index, count);
        };
    };
    const std::string ack = Reply("1");
    const std::vector<Case> cases{
        {"command 1.0", VpiDone, 0, Answering({ack}, write(MEMTYPE_INDEX_ZERO, 0, 1, 1.0f))},
        {"command 2.0", VpiDone, 0, Answering({ack}, write(MEMTYPE_INDEX_ZERO, 0, 1, 2.0f))},
        {"EX of 36 values", VpiDone, 0, Answering({ack}, write(MEMTYPE_EX, 0x0A01, 36, -2.5f))},
        {"EX of no value", VpiDone, 0, Answering({ack}, write(MEMTYPE_EX, 0x0A01, 0, 0.0f))},
        {"second attempt answered", VpiDone, 0,
         Answering({"", ack}, write(MEMTYPE_EX, 0x0A01, 1, 7.0f))},
        {"command out of range", VpiRefused, 0, write(MEMTYPE_INDEX_ZERO, 0, 1, 0.5f)},
        {"command not a number", VpiRefused, 0,
         write(MEMTYPE_INDEX_ZERO, 0, 1, std::numeric_limits<float>::quiet_NaN())},
        {"EX outside group 10", VpiRefused, 0, write(MEMTYPE_EX, 0x0901, 1, 1.0f)},
        {"EX of 37 values", VpiRefused, 0, write(MEMTYPE_EX, 0x0A01, 37, 1.0f)},
        {"EX of a negative count", VpiRefused, 0, write(MEMTYPE_EX, 0x0A01, -1, 1.0f)},
        {"plain gate", VpiRefused, 0, write(MEMTYPE_PLAIN, 1, 40, 1.0f)},
        {"silence", VpiFailed, 0, write(MEMTYPE_EX, 0x0A01, 2, 1.0f)},
        {"bad checksum every time", VpiFailed, 0,
         Answering(std::vector<std::string>(8, Corrupted(ack)),
                   write(MEMTYPE_EX, 0x0A01, 2, 1.0f))},
        {"length field above 300", VpiFailed, 8,
         Answering(std::vector<std::string>(8, Frame(prototest::kAsked + std::string(298, '0'))),
                   write(MEMTYPE_INDEX_ZERO, 0, 1, 1.0f))},
        {"the write call fails", VpiFailed, 0,
         [this] {
             fake::FailWriteCall(true);
             for (float& v : values_) v = 1.0f;
             return Gate(VpiOperation::Write, 1, MEMTYPE_INDEX_ZERO, 0, 1);
         }},
    };
    RunCases(cases);
}

TEST_F(ZeroAllocationFake, ChannelOperationsOnEveryPath) {
    const std::vector<Case> cases{
        {"flush of a quiet line", VpiDone, 0,
         [this] { return Make(VpiOperation::Flush, nullptr); }},
        {"flush of a line with bytes waiting", VpiDone, 0,
         [this] {
             fake::Deliver("COM1", std::string(1300, '~'));
             return Make(VpiOperation::Flush, nullptr);
         }},
        {"close (11)", VpiDone, 0, [this] { return Make(VpiOperation::Close, nullptr); }},
        {"close when closed (12)", VpiDone, 0,
         [this] { return Make(VpiOperation::ClosePort, nullptr); }},
        {"reopen (13)", VpiDone, 0, [this] { return Make(VpiOperation::ReopenPort, nullptr); }},
        {"reopen of an open port", VpiFailed, 0,
         [this] { return Make(VpiOperation::ReopenPort, nullptr); }},
        {"close refused by the system", VpiFailed, 0,
         [this] {
             fake::FailClose(true);
             return Make(VpiOperation::ClosePort, nullptr);
         }},
        {"reconfigure onto another port", VpiDone, 0,
         [this] {
             fake::FailClose(false);
             return ReconfigureTo("COM2");
         }},
        {"reconfigure onto a missing port", VpiFailed, 0, [this] { return ReconfigureTo("COM9"); }},
        {"open of a missing port", VpiFailed, 1, [this] { return OpenOn("COM9", 5); }},
        {"open whose settings are refused", VpiFailed, 1,
         [this] {
             fake::FailOpen(serial::SerialResult::SettingsRefused);
             return OpenOn("COM3", 5);
         }},
        {"open of the null device", VpiDone, 0,
         [this] {
             fake::FailOpen(serial::SerialResult::Ok);
             return OpenOn("NUL", 5);
         }},
        {"read on the null device", VpiFailed, 8,
         [this] { return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40); }},
        {"open of an inactive channel", VpiDone, 0,
         [this] {
             VpiCall call = OpenOn("COM4", 5);
             open_.active = 0;
             return call;
         }},
        {"read without a port", VpiFailed, 8,
         [this] { return Gate(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40); }},
    };
    RunCases(cases);
}

#endif  // VPI_ZERO_ALLOC_FAKE

#if defined(VPI_ZERO_ALLOC_POSIX)

// metersim on a pseudo-terminal: meter 01 answers, 02 is absent, 03 answers with a wrong
// checksum, 04 with a field that does not convert, 05 leaves bytes behind every reply.
class ZeroAllocationPosix : public ZeroAllocation {
protected:
    void SetUp() override {
        ZeroAllocation::SetUp();
        vpitest::StartMeterSim(
            sim_, {METERSIM_PATH, "--meter", "01", "--meter", "03", "--meter", "04", "--meter",
                   "05", "--fault", "checksum:meter=03", "--fault", "nonnumeric:meter=04",
                   "--fault", "trailing:meter=05"});
        const std::string prefix = "/dev/";
        ASSERT_EQ(sim_.Listening().rfind(prefix, 0), 0u) << sim_.FirstLine();
        port_ = sim_.Listening().substr(prefix.size());
        ASSERT_LE(port_.size(), 11u);
    }
    void TearDown() override {
        static_cast<void>(sim_.Stop());
        ZeroAllocation::TearDown();
    }
    std::function<VpiCall()> Read(VpiOperation operation, std::int32_t plc, std::int32_t memtype,
                                  std::int32_t index, std::int32_t count) {
        return [this, operation, plc, memtype, index, count] {
            return Gate(operation, plc, memtype, index, count);
        };
    }

    host::platform::MeterSimProcess sim_;
    std::string port_;
    ChannelState other_{};  // a second channel, for the opens that must fail
};

TEST_F(ZeroAllocationPosix, EveryOperationOnARealPort) {
    auto write = [this](std::int32_t memtype, std::int32_t index, std::int32_t count, float value) {
        return [this, memtype, index, count, value] {
            for (float& v : values_) v = value;
            return Gate(VpiOperation::Write, 1, memtype, index, count);
        };
    };
    // Every exchange on a pseudo-terminal logs the two RTS lines: the logging path is in.
    const std::vector<Case> cases{
        {"open", VpiDone, 0, [this] { return OpenOn(port_, 20); }},
        {"open of a port already open", VpiFailed, 1,
         [this] {
             VpiCall call = OpenOn(port_, 20);
             call.channel = &other_;
             return call;
         }},
        {"open of a missing port", VpiFailed, 1,
         [this] {
             VpiCall call = OpenOn("nosuchtty9", 20);
             call.channel = &other_;
             return call;
         }},
        {"reconfigure onto the line it holds", VpiFailed, 0,
         [this] { return ReconfigureTo(port_); }},
        {"flush", VpiDone, 0, [this] { return Make(VpiOperation::Flush, nullptr); }},
        {"read plain", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40)},
        {"read H", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_H3, 1, 34)},
        {"read TR", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_TR1, 1, 3)},
        {"read TK", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_TK3, 1, 3)},
        {"read TY", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_TY1, 1, 2)},
        {"read TD", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_TD4, 1, 25)},
        {"read TC", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_TC20, 1, 33)},
        {"read EX through 5", VpiDone, 2, Read(VpiOperation::ReadEx, 1, MEMTYPE_EX, 0x0001, 36)},
        {"read EX through 6", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_EX, 0x0A01, 4)},
        {"no meter: one time-out through 5", VpiFailed, 3,
         Read(VpiOperation::ReadEx, 2, MEMTYPE_EX, 0x0001, 2)},
        {"no meter: eight time-outs", VpiFailed, 24,
         Read(VpiOperation::Read, 2, MEMTYPE_H1, 1, 34)},
        {"bad checksum", VpiRefused, 24, Read(VpiOperation::Read, 3, MEMTYPE_PLAIN, 1, 40)},
        {"a field that does not convert", VpiRefused, 24,
         Read(VpiOperation::Read, 4, MEMTYPE_PLAIN, 1, 40)},
        {"a reply with bytes behind it", VpiDone, 2,
         Read(VpiOperation::Read, 5, MEMTYPE_PLAIN, 1, 40)},
        {"the next read purges them", VpiDone, 2,
         Read(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40)},
        {"flush with bytes waiting", VpiDone, 0,
         [this] {
             VpiCall call = Gate(VpiOperation::Read, 5, MEMTYPE_PLAIN, 1, 40);
             EXPECT_EQ(VpiMain(&call), VpiDone);  // leaves its trailing bytes in the line
             return Make(VpiOperation::Flush, nullptr);
         }},
        {"write a command", VpiDone, 2, write(MEMTYPE_INDEX_ZERO, 0, 1, 2.0f)},
        {"write EX", VpiDone, 2, write(MEMTYPE_EX, 0x0A02, 3, 42.0f)},
        {"write refused", VpiRefused, 0, write(MEMTYPE_EX, 0x0902, 1, 42.0f)},
        {"close (11)", VpiDone, 0, [this] { return Make(VpiOperation::Close, nullptr); }},
        {"read on a closed channel", VpiFailed, 8,
         Read(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40)},
        {"write on a closed channel", VpiFailed, 0, write(MEMTYPE_EX, 0x0A02, 1, 1.0f)},
        {"reopen (13)", VpiDone, 0, [this] { return Make(VpiOperation::ReopenPort, nullptr); }},
        {"read after reopening", VpiDone, 2, Read(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40)},
        {"reconfigure onto a missing port", VpiFailed, 0,
         [this] { return ReconfigureTo("nosuchtty9"); }},
        {"reopen onto the real line again", VpiDone, 0, [this] { return ReconfigureTo(port_); }},
        {"close (12)", VpiDone, 0, [this] { return Make(VpiOperation::ClosePort, nullptr); }},
        {"open of the null device", VpiDone, 0, [this] { return OpenOn("NUL", 5); }},
        {"read on the null device", VpiFailed, 8,
         Read(VpiOperation::Read, 1, MEMTYPE_PLAIN, 1, 40)},
        {"close of the null device", VpiDone, 0,
         [this] { return Make(VpiOperation::Close, nullptr); }},
    };
    RunCases(cases);
}

#endif  // VPI_ZERO_ALLOC_POSIX

}  // namespace
