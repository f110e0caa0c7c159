// What the protocol suites share (and the driver suites that run over the emulated line): a channel
// on the emulated line, a meter that answers each request from a script, a reply framer written
// apart from the driver's, and guard checks on the channel's state.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gate_records.h"
#include "log_capture.h"
#include "serial.h"
#include "serial_fake.h"
#include "vpi_records.h"

namespace prototest {

namespace fake = serial::fake;

constexpr std::int32_t kVpiNumber = 7;
constexpr std::uint8_t kRequestGuard = 0xA5;

// The checksum character of a frame, from its definition: the counted bytes are positions 1
// to L; each adds (byte − 34); the total is taken modulo 65536, then modulo 92, plus 34.
inline char ChecksumOf(const std::string& frameHead) {
    const int length = std::stoi(frameHead.substr(1, 3));
    long total = 0;
    for (int i = 1; i <= length; ++i)
        total += static_cast<unsigned char>(frameHead[static_cast<std::size_t>(i)]) - 34;
    const long wrapped = ((total % 65536) + 65536) % 65536;
    return static_cast<char>(wrapped % 92 + 34);
}

inline std::string ThreeDigits(std::size_t n) {
    std::string s = std::to_string(n);
    return std::string(3 - s.size(), '0') + s;
}

// A whole frame around `body` (everything after the length field): marker, length,
// body, checksum, CR LF.
inline std::string Frame(const std::string& body) {
    const std::string head = "!" + ThreeDigits(body.size() + 3) + body;
    return head + ChecksumOf(head) + "\r\n";
}

// Positions 4 to 6 of a scripted frame that the meter fills in with the PLC address and the
// command of the request it answers, as a meter does.
inline constexpr char kAsked[] = "@@@";

// A reply carrying `data` from position 7 on, addressed as the answer to its request.
inline std::string Reply(const std::string& data) {
    return Frame(kAsked + data);
}

// `answer` with every frame that starts "!LLL@@@" addressed to `request`: positions 4 to 6
// copied from it and the checksum made again, so that a corrupted frame stays corrupted.
inline std::string Addressed(std::string answer, std::span<const std::uint8_t> request) {
    if (request.size() < 7) return answer;
    const std::string header(request.begin() + 4, request.begin() + 7);
    for (std::size_t at = answer.find(kAsked); at != std::string::npos;
         at = answer.find(kAsked, at + 3)) {
        if (at < 4 || answer[at - 4] != '!') continue;
        const std::size_t start = at - 4;
        const std::string digits = answer.substr(start + 1, 3);
        if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto length = static_cast<std::size_t>(std::stoi(digits));
        const std::size_t sumAt = start + length + 1;
        if (sumAt >= answer.size() || length < 6) {
            answer.replace(at, 3, header);
            continue;
        }
        const bool valid = answer[sumAt] == ChecksumOf(answer.substr(start, length + 1));
        answer.replace(at, 3, header);
        const char good = ChecksumOf(answer.substr(start, length + 1));
        answer[sumAt] = valid ? good : (good == '#' ? '$' : '#');
    }
    return answer;
}

// The same frame with its checksum character changed.
inline std::string Corrupted(std::string frame) {
    frame[frame.size() - 3] = frame[frame.size() - 3] == '#' ? '$' : '#';
    return frame;
}

inline std::string Text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A channel on COM1 of the emulated line, opened without the channel operations, and a meter
// whose answers to successive requests are scripted (nullopt: silence).
class ProtocolTest : public testing::Test {
protected:
    void SetUp() override {
        std::memset(&state_, 0, sizeof state_);
        Reopen();
        state_.active = 1;
        state_.readTimeout = 100;
        std::memcpy(state_.settings.portName, "COM1", 5);
        state_.settings.line = LineParameters{9600, 8, 0, 0};
        state_.settings.lineFlags = 8;
        std::memset(state_.requestBuffer, kRequestGuard, sizeof state_.requestBuffer);
        std::memset(state_.receiveBuffer, 'q', sizeof state_.receiveBuffer);
        before_ = state_;
    }

    // A fresh emulated line (no bytes, no events, clock at 0) with COM1 open in the channel
    // and the scripted meter behind it.
    void Reopen() {
        fake::Reset();
        serial::PortHandle handle = 0;
        ASSERT_EQ(serial::OpenPort("COM1", LineParameters{9600, 8, 0, 0}, 8, &handle),
                  serial::SerialResult::Ok);
        state_.port = before_.port = handle;
        script_.clear();
        fake::SetResponder([this](const std::string& port, std::span<const std::uint8_t> request) {
            if (script_.empty()) return;
            const std::optional<std::string> answer = script_.front();
            script_.pop_front();
            if (answer) fake::Deliver(port, Addressed(*answer, request));
        });
    }
    void TearDown() override { fake::SetResponder(nullptr); }

    // Answers for the next requests, in order; requests beyond the script get silence.
    void Script(std::vector<std::optional<std::string>> answers) {
        script_.assign(answers.begin(), answers.end());
    }
    void Always(const std::string& answer, int times = 8) {
        script_.assign(static_cast<std::size_t>(times), answer);
    }

    std::int32_t Call(VpiOperation operation, GateIoRecord& gate) {
        VpiCall call{&state_, static_cast<std::int32_t>(operation), kVpiNumber, 0, &gate};
        return VpiMain(&call);
    }

    // The host's first field holds a value of its own, which the driver must leave.
    static GateIoRecord Gate(std::int32_t plc, std::int32_t memtype, std::int32_t count,
                             float* values, std::int32_t index = 1) {
        GateIoRecord gate = vpitest::IoRecord(plc, memtype, index, count, values);
        gate.host0 = 0xDEADBEEF;
        return gate;
    }

    std::vector<std::string> Sent() const {
        std::vector<std::string> sent;
        for (const auto& w : fake::Writes()) sent.push_back(Text(w));
        return sent;
    }

    // Everything in ChannelState but the two buffers is as it was, and requestBuffer holds
    // `request` (with its NUL, as built) followed by the untouched guard bytes.
    void ExpectStateKept(const std::string& requestWithNul) const {
        EXPECT_EQ(state_.readTimeout, before_.readTimeout);
        EXPECT_EQ(state_.active, before_.active);
        EXPECT_EQ(state_.port, before_.port);
        EXPECT_EQ(std::memcmp(&state_.settings, &before_.settings, sizeof state_.settings), 0);
        ASSERT_LE(requestWithNul.size(), sizeof state_.requestBuffer);
        std::string expected = requestWithNul;
        expected.append(sizeof state_.requestBuffer - requestWithNul.size(),
                        static_cast<char>(kRequestGuard));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(state_.requestBuffer),
                              sizeof state_.requestBuffer),
                  expected);
    }

    std::string Received(std::size_t from, std::size_t count) const {
        return std::string(reinterpret_cast<const char*>(state_.receiveBuffer) + from, count);
    }

    ChannelState state_{};
    ChannelState before_{};
    std::deque<std::optional<std::string>> script_;
    vpitest::LogCapture log_;
};

// A value array with sentinels on both sides, to show what was written and that nothing
// was written past either end.
class GuardedValues {
public:
    static constexpr float kSentinel = -7777.0f;
    static constexpr std::size_t kPad = 4;
    explicit GuardedValues(std::size_t count)
        : storage_(count + 2 * kPad, kSentinel), count_(count) {}
    float* data() { return storage_.data() + kPad; }
    float operator[](std::size_t i) const { return storage_[kPad + i]; }
    bool GuardsIntact() const {
        for (std::size_t i = 0; i < kPad; ++i) {
            if (storage_[i] != kSentinel || storage_[kPad + count_ + i] != kSentinel) return false;
        }
        return true;
    }
    std::size_t Untouched() const {
        std::size_t n = 0;
        for (std::size_t i = 0; i < count_; ++i) n += (*this)[i] == kSentinel ? 1 : 0;
        return n;
    }

private:
    std::vector<float> storage_;
    std::size_t count_;
};

}  // namespace prototest
