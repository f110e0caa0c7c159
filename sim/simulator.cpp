// The simulator's loop and its records.
#include "simulator.h"

#include <poll.h>

#include <cstdio>
#include <nlohmann/json.hpp>

namespace sim {

namespace {

// A frame begun but not finished within this time is dropped; the sender has given up.
constexpr std::chrono::milliseconds kIdleGap{100};

nlohmann::json Bytes(const std::string& bytes) {
    return {{"text", Escape(bytes)}, {"hex", HexDump(bytes)}, {"length", bytes.size()}};
}

}  // namespace

std::string Escape(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\0') {
            text += "\\0";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        } else {
            text += c;
        }
    }
    return text;
}

std::string HexDump(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

Simulator::Simulator(Line& line, MeterSet meters, FaultPlan faults, LineSettings settings,
                     std::ostream* trace, std::ostream* events)
    : line_(line),
      meters_(std::move(meters)),
      faults_(std::move(faults)),
      settings_(settings),
      trace_(trace),
      events_(events),
      start_(std::chrono::steady_clock::now()) {}

std::int64_t Simulator::Micros() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
}

void Simulator::Run(const volatile std::sig_atomic_t& stop) {
    while (!stop) {
        pollfd entry{line_.Descriptor(), POLLIN, 0};
        const int timeout = splitter_.Pending() ? static_cast<int>(kIdleGap.count()) : 500;
        const int ready = poll(&entry, 1, timeout);
        if (ready > 0 && (entry.revents & POLLIN) != 0) {
            splitter_.Feed(line_.ReadAvailable(), std::chrono::steady_clock::now());
        } else if (ready > 0) {
            // A hang-up or error without data (a device that went away): do not spin on it.
            SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20), stop);
        }
        while (auto request = splitter_.Next()) {
            RecordNoise(splitter_.TakeNoise());
            Handle(*request, stop);
        }
        if (splitter_.Expire(std::chrono::steady_clock::now(), kIdleGap) || !splitter_.Pending()) {
            RecordNoise(splitter_.TakeNoise());
        }
    }
}

void Simulator::RecordNoise(const std::string& bytes) {
    if (bytes.empty()) return;
    const std::int64_t now = Micros();
    if (trace_ != nullptr) {
        *trace_ << "[" << now << " us] noise " << Escape(bytes) << " | " << HexDump(bytes)
                << std::endl;
    }
    if (events_ != nullptr) {
        *events_
            << nlohmann::json{{"time_us", now}, {"kind", "noise"}, {"bytes", Bytes(bytes)}}.dump()
            << std::endl;
    }
}

void Simulator::Handle(const RawRequest& request, const volatile std::sig_atomic_t& stop) {
    const std::int64_t received = Micros();
    const Outcome outcome = Answer(meters_, request);
    Transmission out;
    if (outcome.reply) out = faults_.Shape(*outcome.reply, outcome.address, ++answered_);
    const bool answered = outcome.reply && !out.silent;

    if (trace_ != nullptr) {
        *trace_ << "[" << received << " us] rx " << Escape(request.bytes) << " | "
                << HexDump(request.bytes);
        if (!outcome.reply) *trace_ << "  (no reply: " << outcome.reason << ")";
        *trace_ << std::endl;
    }

    std::int64_t replyStart = -1;
    if (answered) {
        const auto characterTime = CharacterTime(settings_);
        const auto begin = std::chrono::steady_clock::now();
        SleepUntil(begin + std::chrono::milliseconds(out.delayMs), stop);
        replyStart = Micros();
        if (out.pieces.empty()) {
            line_.Write(out.bytes, characterTime, stop);
        } else {
            std::size_t at = 0;
            for (std::size_t i = 0; i < out.pieces.size() && !stop; ++i) {
                if (i > 0) {
                    SleepUntil(
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(out.gapMs),
                        stop);
                }
                line_.Write(out.bytes.substr(at, out.pieces[i]), characterTime, stop);
                at += out.pieces[i];
            }
        }
    }
    const std::int64_t replyEnd = answered ? Micros() : -1;

    std::string faults;
    for (const std::string& fault : out.applied) faults += (faults.empty() ? "" : ", ") + fault;
    if (trace_ != nullptr && outcome.reply) {
        *trace_ << "[" << (answered ? replyStart : received) << " us] tx ";
        if (answered) {
            *trace_ << Escape(out.bytes) << " | " << HexDump(out.bytes);
        } else {
            *trace_ << "(nothing)";
        }
        if (!faults.empty()) *trace_ << "  fault: " << faults;
        *trace_ << std::endl;
    }
    if (events_ != nullptr) {
        nlohmann::json event{{"time_us", received},
                             {"kind", "request"},
                             {"meter", outcome.address >= 0 ? nlohmann::json(outcome.address)
                                                            : nlohmann::json(nullptr)},
                             {"command", outcome.command},
                             {"request", Bytes(request.bytes)},
                             {"answered", answered},
                             {"fault", out.applied}};
        if (outcome.reply) event["number"] = answered_;
        if (!outcome.reply) event["reason"] = outcome.reason;
        if (answered) {
            event["reply"] = Bytes(out.bytes);
            event["reply_start_us"] = replyStart;
            event["reply_end_us"] = replyEnd;
        } else {
            event["reply"] = nullptr;
        }
        *events_ << event.dump() << std::endl;
    }
}

}  // namespace sim
