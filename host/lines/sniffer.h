// The listener's account of a line: requests paired with the replies of the meters they
// address, echoes and stray frames told apart, and the figures per meter.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lines/request_kinds.h"
#include "lines/sniff_frames.h"

namespace host::lines {

// One record of the line: an exchange (a request and what answered it), bytes that belong to
// no frame, or a frame that is neither a request nor the reply to one.
struct SniffRecord {
    enum class Kind : std::uint8_t { Exchange = 0, Noise = 1, Stray = 2 };
    Kind kind = Kind::Exchange;
    SniffItem request;  // the request; for noise and stray frames, their bytes
    RequestInfo info;
    bool echoed = false;     // the request came back from the line, byte for byte
    bool lengthSix = false;  // a length-6 frame came ahead of the reply (passed over)
    bool answered = false;
    SniffItem reply;
    bool late = false;  // the reply came after a later request had begun
    ReplyValues values;
};

// What the listener counts per meter.
struct MeterFigures {
    long exchanges = 0;
    long unanswered = 0;
    long checksumFailures = 0;  // replies whose checksum, length or end failed
    long late = 0;
    std::vector<double> replyMs;  // answered exchanges, request end to reply start
};

class Sniffer {
public:
    using RecordSink = std::function<void(const SniffRecord&)>;
    explicit Sniffer(RecordSink sink) : sink_(std::move(sink)) {}

    // The next item of the line, in line order.
    void Take(const SniffItem& item);
    // The end of the capture: requests still open go out unanswered.
    void Finish();

    const std::map<int, MeterFigures>& Figures() const { return figures_; }

    // A double of a read request that begins within this time of the request's end is the
    // line's echo; one that begins later is the master asking again. A master's next request
    // comes at least 22 ms after the end of the one before (the RTS tail of 12 ms, its read
    // time-out, the RTS lead of 10 ms), so an echo may be late by up to 20 ms, as a simulated
    // line on a busy machine sometimes is, and still not be taken for a repeat.
    static constexpr std::int64_t kEchoWithinUs = 20000;

private:
    bool TakeDouble(const SniffItem& item);
    bool TakeReply(const SniffItem& item);
    void TakeRequest(const SniffItem& item, const RequestInfo& info);
    void Emit(SniffRecord& record);
    void CloseEarlier(int meter);

    RecordSink sink_;
    // Requests not yet answered, oldest first; the last one is the line's latest request.
    std::vector<SniffRecord> open_;
    // A write's double held as its acknowledgement until a second double shows it was the echo.
    bool writeDoubleHeld_ = false;
    std::int64_t latestRequestUs_ = -1;
    std::map<int, MeterFigures> figures_;
};

// The nearest-rank percentile `p` (0 to 100) of `values` (not empty).
double Percentile(std::vector<double> values, double p);

}  // namespace host::lines
