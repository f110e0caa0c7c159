// Pairing what a listener hears: each request with the reply of the meter it addresses, by
// the receiver's own rule (protocol::AnswersRequest).
#include "lines/sniffer.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "protocol.h"

namespace host::lines {

namespace {

std::string WithoutNul(const std::string& bytes) {
    return !bytes.empty() && bytes.back() == '\0' ? bytes.substr(0, bytes.size() - 1) : bytes;
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A frame that stopped short, padded to its length field's size, so that its header can be
// judged by the same rule as a whole frame's.
std::string Padded(const SniffItem& item) {
    std::int32_t length = 0;
    if (item.check != FrameCheck::Truncated ||
        !protocol::ParseLengthField(Bytes(item.bytes), &length)) {
        return item.bytes;
    }
    std::string padded = item.bytes;
    padded.resize(std::max(padded.size(), static_cast<std::size_t>(length) + 4), ' ');
    return padded;
}

// True when `item` is a reply the receiver would take for `request`, and names its meter.
bool Answers(const SniffItem& item, const SniffRecord& request) {
    const std::string frame = Padded(item);
    if (frame.size() < 7 || frame[4] < '0' || frame[4] > '9' || frame[5] < '0' || frame[5] > '9') {
        return false;
    }
    const protocol::ExpectedReply expected{Bytes(request.request.bytes), true, false};
    return protocol::AnswersRequest(Bytes(frame), expected);
}

bool LengthSix(const SniffItem& item) {
    std::int32_t length = 0;
    return protocol::ParseLengthField(Bytes(item.bytes), &length) && length == 6;
}

}  // namespace

void Sniffer::Take(const SniffItem& item) {
    if (!item.frame) {
        SniffRecord noise;
        noise.kind = SniffRecord::Kind::Noise;
        noise.request = item;
        sink_(noise);
        return;
    }
    if (TakeDouble(item)) return;
    const RequestInfo info =
        item.check == FrameCheck::Ok ? DescribeRequest(item.bytes) : RequestInfo{};
    // An EX write's acknowledgement has the shape of a write of no values.
    if (info.kind == RequestKind::ExWrite && info.count == 0 && TakeReply(item)) return;
    if (info.kind != RequestKind::None) {
        TakeRequest(item, info);
        return;
    }
    if (TakeReply(item)) return;
    SniffRecord stray;
    stray.kind = SniffRecord::Kind::Stray;
    stray.request = item;
    sink_(stray);
}

// A double of the line's latest request: a read's echo, or a write's echo or acknowledgement
// (a meter acknowledges a command with the request's very bytes). True when it was one.
bool Sniffer::TakeDouble(const SniffItem& item) {
    if (open_.empty()) return false;
    SniffRecord& latest = open_.back();
    if (WithoutNul(item.bytes) != WithoutNul(latest.request.bytes)) return false;
    if (IsWrite(latest.info)) {
        if (!writeDoubleHeld_) {
            // The acknowledgement, unless a second double follows: then this was the echo.
            latest.answered = true;
            latest.reply = item;
            writeDoubleHeld_ = true;
            return true;
        }
        latest.echoed = true;
        latest.reply = item;
        writeDoubleHeld_ = false;
        Emit(latest);
        open_.pop_back();
        return true;
    }
    if (latest.echoed || item.startUs - latest.request.endUs > kEchoWithinUs) return false;
    latest.echoed = true;
    return true;
}

// The reply to the latest open request it answers. True when it was one (or the length-6
// frame a meter may put ahead of its reply, which the receiver passes over once).
bool Sniffer::TakeReply(const SniffItem& item) {
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        SniffRecord& request = *it;
        if (!Answers(item, request)) continue;
        if (LengthSix(item) && !request.lengthSix && !IsWrite(request.info)) {
            request.lengthSix = true;
            return true;
        }
        // A write's double held as its acknowledgement was the echo, as this is the answer.
        if (request.answered) request.echoed = true;
        if (request.answered && it == open_.rbegin()) writeDoubleHeld_ = false;
        request.answered = true;
        request.reply = item;
        request.late = latestRequestUs_ > request.request.startUs;
        if (item.check == FrameCheck::Ok) request.values = DecodeReply(request.info, item.bytes);
        // On a half-duplex line the requests ahead of an answered one will get no reply now.
        const auto answered = std::next(it).base();
        for (auto earlier = open_.begin(); earlier != answered; ++earlier) Emit(*earlier);
        Emit(request);
        open_.erase(open_.begin(), answered + 1);
        return true;
    }
    return false;
}

void Sniffer::TakeRequest(const SniffItem& item, const RequestInfo& info) {
    if (writeDoubleHeld_ && !open_.empty()) {
        Emit(open_.back());
        open_.pop_back();
    }
    writeDoubleHeld_ = false;
    CloseEarlier(info.meter);
    SniffRecord record;
    record.request = item;
    record.info = info;
    latestRequestUs_ = item.startUs;
    open_.push_back(std::move(record));
}

// A meter answers one request at a time, and a reply is late by one request at most: a new
// request closes the same meter's open requests and all but the line's latest other one.
void Sniffer::CloseEarlier(int meter) {
    std::vector<SniffRecord> kept;
    for (std::size_t i = 0; i < open_.size(); ++i) {
        const bool latest = i + 1 == open_.size();
        if (latest && open_[i].info.meter != meter) {
            kept.push_back(std::move(open_[i]));
        } else {
            Emit(open_[i]);
        }
    }
    open_ = std::move(kept);
}

void Sniffer::Finish() {
    for (SniffRecord& record : open_) Emit(record);
    open_.clear();
    writeDoubleHeld_ = false;
}

void Sniffer::Emit(SniffRecord& record) {
    MeterFigures& figures = figures_[record.info.meter];
    ++figures.exchanges;
    if (!record.answered) {
        ++figures.unanswered;
    } else {
        if (record.reply.check != FrameCheck::Ok) ++figures.checksumFailures;
        if (record.late) ++figures.late;
        figures.replyMs.push_back(static_cast<double>(record.reply.startUs - record.request.endUs) /
                                  1000.0);
    }
    sink_(record);
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[rank > 0 ? rank - 1 : 0];
}

}  // namespace host::lines
