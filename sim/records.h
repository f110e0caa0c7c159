// The simulator's records of the line: the human-readable trace and the JSON events file.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "faults.h"
#include "meter_frame.h"
#include "replies.h"

namespace sim {

// One request and what the line did about it.
struct Exchange {
    std::int64_t receivedUs = 0;  // times in microseconds since the simulator started
    RawRequest request;
    Outcome outcome;
    Transmission out;               // the reply as shaped by the faults (when there is one)
    std::vector<std::string> echo;  // the echo rules that held; empty: no echo
    int number = 0;                 // the request's place among the answered ones
    bool answered = false;          // a reply went out
    std::int64_t replyStartUs = -1;
    std::int64_t replyEndUs = -1;
};

// Writes the trace and the events; either stream may be null.
class Records {
public:
    Records(std::ostream* trace, std::ostream* events) : trace_(trace), events_(events) {}
    // Bytes outside any frame.
    void Noise(std::int64_t nowUs, const std::string& bytes);
    // The request as received, with the reason when no reply comes.
    void Received(const Exchange& exchange);
    // The request handed back by the line.
    void Echoed(std::int64_t nowUs, const std::string& bytes);
    // The reply sent (or held back) and the event of the whole exchange.
    void Replied(const Exchange& exchange);

private:
    void TraceReply(const Exchange& exchange);
    void EventOf(const Exchange& exchange);

    std::ostream* trace_;
    std::ostream* events_;
};

}  // namespace sim
