// The simulator's loop: requests off the line, answers from the meters, faults, pacing, and
// the record of everything in the trace and the events file.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ostream>
#include <string>

#include "faults.h"
#include "frame.h"
#include "line.h"
#include "model.h"

namespace sim {

// Printable form of line bytes: printable ASCII as it is, backslash escapes for the rest
// (\r, \n, \0, \xHH).
std::string Escape(const std::string& bytes);
// Upper-case hex of line bytes, two digits a byte, no separators.
std::string HexDump(const std::string& bytes);

class Simulator {
public:
    // `trace` (human-readable lines) and `events` (JSON lines) may be null.
    Simulator(Line& line, MeterSet meters, FaultPlan faults, LineSettings settings,
              std::ostream* trace, std::ostream* events);
    // Serves the line until `stop` is set (by a signal handler).
    void Run(const volatile std::sig_atomic_t& stop);

private:
    void Handle(const RawRequest& request, const volatile std::sig_atomic_t& stop);
    void RecordNoise(const std::string& bytes);
    std::int64_t Micros() const;

    Line& line_;
    MeterSet meters_;
    FaultPlan faults_;
    LineSettings settings_;
    std::ostream* trace_;
    std::ostream* events_;
    RequestSplitter splitter_;
    std::chrono::steady_clock::time_point start_;
    int answered_ = 0;
};

}  // namespace sim
