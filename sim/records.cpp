// The simulator's trace lines and JSON events.
#include "records.h"

#include <nlohmann/json.hpp>

#include "text/text_escape.h"

namespace sim {

namespace {

nlohmann::json Bytes(const std::string& bytes) {
    return {{"text", host::text::LineBytes(bytes)},
            {"hex", host::text::Hex(bytes)},
            {"length", bytes.size()}};
}

// The rules that took effect: the line's echo first, then the reply's faults.
std::vector<std::string> Faults(const Exchange& exchange) {
    std::vector<std::string> faults = exchange.echo;
    faults.insert(faults.end(), exchange.out.applied.begin(), exchange.out.applied.end());
    return faults;
}

}  // namespace

void Records::Noise(std::int64_t nowUs, const std::string& bytes) {
    if (bytes.empty()) return;
    if (trace_ != nullptr) {
        *trace_ << "[" << nowUs << " us] noise " << host::text::LineBytes(bytes) << " | "
                << host::text::Hex(bytes) << std::endl;
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
    *trace_ << "[" << exchange.receivedUs << " us] rx " << host::text::LineBytes(bytes) << " | "
            << host::text::Hex(bytes);
    if (!exchange.outcome.reply) *trace_ << "  (no reply: " << exchange.outcome.reason << ")";
    *trace_ << std::endl;
}

void Records::Echoed(std::int64_t nowUs, const std::string& bytes) {
    if (trace_ == nullptr) return;
    *trace_ << "[" << nowUs << " us] echo " << host::text::LineBytes(bytes) << " | "
            << host::text::Hex(bytes) << std::endl;
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
        *trace_ << host::text::LineBytes(exchange.out.bytes) << " | "
                << host::text::Hex(exchange.out.bytes);
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
