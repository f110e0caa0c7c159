// Deliberate misbehaviour of the meters and of the line: which requests go wrong, and how.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "replies.h"

namespace sim {

enum class FaultMode {
    Silent,      // no reply
    Delay,       // the reply after a pause (argument: milliseconds)
    Chunks,      // the reply in three pieces with pauses between (argument: gap, default 20 ms)
    Truncate,    // only the first half of the reply
    Checksum,    // a wrong checksum character
    Len000,      // length field "000"
    Len301,      // a complete frame of 301 counted bytes, beyond the protocol's limit
    Len999,      // length field "999"
    Garbage,     // bytes without a marker ahead of the reply
    Len6,        // a ten-byte frame of length 6 ahead of the reply
    Trailing,    // extra bytes behind the reply
    NonNumeric,  // the first field holds no number (plain, H and EX replies)
    Hx,          // "X" as the first data character (H replies)
    ExCount,     // an EX value count one above the request's (EX reads)
    Echo,        // the line hands the request back before any reply (an RS-485 adapter that
                 // hears its own transmission)
    Address,     // the reply names another meter (argument: its address), checksum to match
};

// One --fault option: a mode and the selectors that all must hold for it to apply.
struct FaultRule {
    FaultMode mode = FaultMode::Silent;
    int argument = 0;
    std::optional<double> probability;  // p=0.3
    std::optional<int> meter;           // meter=07
    std::optional<int> nth;             // nth=3: the third request the line's meters answer
    std::string ruleText;               // as written, for the trace
};

// Parses "MODE[=ARG][:p=P][:meter=NN][:nth=N]". Throws std::invalid_argument.
FaultRule ParseFault(const std::string& text);

// The bytes of a reply as they go on the line.
struct Transmission {
    bool silent = false;
    int delayMs = 0;
    std::string bytes;
    std::vector<std::size_t> pieces;  // sizes of the pieces sent with gaps, empty: all at once
    int gapMs = 0;
    std::vector<std::string> applied;  // the faults that took effect
};

class FaultPlan {
public:
    FaultPlan(std::vector<FaultRule> rules, std::uint64_t seed);
    // Frames `reply` for the meter at `address`, the `number`-th answered request of the
    // line (from 1), with every rule whose selectors hold and whose mode fits the reply.
    // Echo rules are left to Echoes.
    Transmission Shape(const Reply& reply, int address, int number);
    // The echo rules that hold for a request to `address` (-1: none named), `number` the
    // request's place among the answered ones (none for a request that gets no reply, which
    // then matches no nth selector). Empty: the line does not echo this request.
    std::vector<std::string> Echoes(int address, std::optional<int> number);

private:
    // The rules whose selectors hold for this request: with a reply, those whose mode fits it
    // (echo aside); without one, the echo rules. Probabilities are drawn here, in rule order.
    std::vector<const FaultRule*> Select(const Reply* reply, int address,
                                         std::optional<int> number);

    std::vector<FaultRule> rules_;
    std::mt19937_64 rng_;
};

}  // namespace sim
