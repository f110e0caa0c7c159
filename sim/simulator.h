// The simulator's loop: requests off the line, answers, faults, pacing and records.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ostream>
#include <string>

#include "faults.h"
#include "line.h"
#include "meter_frame.h"
#include "model.h"
#include "records.h"

namespace sim {

class Simulator {
public:
    // `trace` (human-readable lines) and `events` (JSON lines) may be null. `lineSpeed`
    // above 0: the meters hear only requests sent while the line is set to that speed.
    Simulator(Line& line, MeterSet meters, FaultPlan faults, LineSettings settings,
              std::ostream* trace, std::ostream* events, int lineSpeed = 0);
    // Also serves a listener: every byte on the line is copied to `tap`, and whatever the
    // listener writes there is read and dropped.
    void Listen(Line& tap);
    // Serves the line until `stop` is set (by a signal handler).
    void Run(const volatile std::sig_atomic_t& stop);

private:
    // Waits up to `timeoutMs` for bytes on the line and feeds them to the splitter; drains
    // what a listener wrote to the tap.
    void Receive(int timeoutMs, const volatile std::sig_atomic_t& stop);
    void Handle(const RawRequest& request, const volatile std::sig_atomic_t& stop);
    // The steps of one request: what the meters make of it, the line's echo, the reply on the
    // line at its pace.
    void Respond(Exchange& exchange);
    void Echo(const Exchange& exchange, const volatile std::sig_atomic_t& stop);
    void Transmit(Exchange& exchange, const volatile std::sig_atomic_t& stop);
    std::int64_t Micros() const;

    Line& line_;
    Line* tap_ = nullptr;
    MeterSet meters_;
    FaultPlan faults_;
    LineSettings settings_;
    int lineSpeed_;
    Records records_;
    RequestSplitter splitter_;
    std::chrono::steady_clock::time_point start_;
    int answered_ = 0;
};

}  // namespace sim
