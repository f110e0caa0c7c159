// The simulator's trace lines and JSON events.
#include "records.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace sim {

namespace {

nlohmann::json Bytes(const std::string& bytes) {
    return {{"text", Escape(bytes)}, {"hex", HexDump(bytes)}, {"length", bytes.size()}};
}

// The rules that took effect: the line's echo first, then the reply's faults.
std::vector<std::string> Faults(const Exchange& exchange) {
    std::vector<std::string> faults = exchange.echo;
    faults.insert(faults.end(), exchange.out.applied.begin(), exchange.out.applied.end());
    return faults;
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

void Records::Noise(std::int64_t nowUs, const std::string& bytes) {
    if (bytes.empty()) return;
    if (trace_ != nullptr) {
        *trace_ << "[" << nowUs << " us] noise " << Escape(bytes) << " | " << HexDump(bytes)
                << std::endl;
    }
    if (events_ != nullptr) {
        *events_
            << nlohmann::json{{"time_us", nowUs}, {"kind", "noise"}, {"bytes", Bytes(bytes)}}.dump()
            << std::endl;
    }
}

void Records::Received(const Exchange& exchange) {
    if (trace_ == nullptr) return;
    const std::string& bytes = exchange.request.bytes;
    *trace_ << "[" << exchange.receivedUs << " us] rx " << Escape(bytes) << " | " << HexDump(bytes);
    if (!exchange.outcome.reply) *trace_ << "  (no reply: " << exchange.outcome.reason << ")";
    *trace_ << std::endl;
}

void Records::Echoed(std::int64_t nowUs, const std::string& bytes) {
    if (trace_ == nullptr) return;
    *trace_ << "[" << nowUs << " us] echo " << Escape(bytes) << " | " << HexDump(bytes)
            << std::endl;
}

void Records::Replied(const Exchange& exchange) {
    if (trace_ != nullptr && exchange.outcome.reply) TraceReply(exchange);
    if (events_ != nullptr) EventOf(exchange);
}

void Records::TraceReply(const Exchange& exchange) {
    std::string faults;
    for (const std::string& fault : exchange.out.applied) {
        faults += (faults.empty() ? "" : ", ") + fault;
    }
    *trace_ << "[" << (exchange.answered ? exchange.replyStartUs : exchange.receivedUs)
            << " us] tx ";
    if (exchange.answered) {
        *trace_ << Escape(exchange.out.bytes) << " | " << HexDump(exchange.out.bytes);
    } else {
        *trace_ << "(nothing)";
    }
    if (!faults.empty()) *trace_ << "  fault: " << faults;
    *trace_ << std::endl;
}

void Records::EventOf(const Exchange& exchange) {
    const Outcome& outcome = exchange.outcome;
    nlohmann::json event{
        {"time_us", exchange.receivedUs},
        {"kind", "request"},
        {"meter", outcome.address >= 0 ? nlohmann::json(outcome.address) : nlohmann::json(nullptr)},
        {"command", outcome.command},
        {"request", Bytes(exchange.request.bytes)},
        {"answered", exchange.answered},
        {"fault", Faults(exchange)}};
    if (outcome.reply) event["number"] = exchange.number;
    if (!outcome.reply) event["reason"] = outcome.reason;
    if (exchange.answered) {
        event["reply"] = Bytes(exchange.out.bytes);
        event["reply_start_us"] = exchange.replyStartUs;
        event["reply_end_us"] = exchange.replyEndUs;
    } else {
        event["reply"] = nullptr;
    }
    *events_ << event.dump() << std::endl;
}

}  // namespace sim
