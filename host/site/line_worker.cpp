// A line's thread: the schedule of its gates, the back-off of its meters and of its port.
#include "site/line_worker.h"

#include <fmt/format.h>

#include <algorithm>

#include "platform/port_diagnosis.h"
#include "protocol.h"

namespace host::site {

namespace {

double MsBetween(ScheduleClock::time_point from, ScheduleClock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

ScheduleClock::duration Ms(double ms) {
    return std::chrono::duration_cast<ScheduleClock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

// A port that does not open is tried again after this long, doubling up to the site's cap.
constexpr double kReopenBaseMs = 1000;

GateStatus StatusOf(const SiteGate& gate) {
    GateStatus status;
    status.address = gate.gate.address;
    status.memtype = gate.gate.memtype;
    status.index = gate.gate.index;
    status.intervalMs = gate.intervalMs;
    status.keys = gate.keys;
    status.labels = gate.labels;
    return status;
}

// "1 s", "250 ms", "1.5 s": a delay as a log line says it.
std::string DelayText(double ms) {
    return ms < 1000 ? fmt::format("{:g} ms", ms) : fmt::format("{:g} s", ms / 1000);
}

// Why the port did not open, as the system tells; the driver's code says no more than that.
std::string OpenProblem(const std::string& port) {
    const platform::PortDiagnosis diagnosis = platform::DiagnosePort(port);
    return diagnosis.trouble == platform::PortTrouble::None ? "the driver did not open it"
                                                            : diagnosis.reason;
}

}  // namespace

const char* WriteOutcomeName(WriteOutcome outcome) {
    switch (outcome) {
        case WriteOutcome::Done:
            return "acknowledged";
        case WriteOutcome::Failed:
            return "no acknowledgement";
        case WriteOutcome::Refused:
            return "refused by the driver";
        case WriteOutcome::NotOpen:
            return "the line's port is not open";
        case WriteOutcome::Busy:
            return "too many writes waiting";
        case WriteOutcome::TimedOut:
            return "timed out";
    }
    return "?";
}

void LineWrite::Finish(WriteOutcome outcome) {
    {
        std::lock_guard lock(mutex_);
        if (done_) return;
        done_ = true;
        outcome_ = outcome;
    }
    finished_.notify_all();
}

WriteOutcome LineWrite::Wait(double waitMs) {
    std::unique_lock lock(mutex_);
    finished_.wait_for(lock, std::chrono::duration<double, std::milli>(waitMs),
                       [this] { return done_; });
    return done_ ? outcome_ : WriteOutcome::TimedOut;
}

LineWorker::LineWorker(core::LoadedDriver& driver, const SiteLine& line, double backoffMaxMs,
                       ReadingSink sink, ScheduleTimer* timer)
    : driver_(driver),
      line_(line),
      backoffMaxMs_(backoffMaxMs),
      sink_(std::move(sink)),
      timer_(timer != nullptr ? *timer : steady_) {
    status_.name = line.name;
    status_.port = line.options.port;
    const auto now = timer_.Now();
    for (std::size_t m = 0; m < line_.meters.size(); ++m) {
        const SiteMeter& meter = line_.meters[m];
        MeterStatus meterStatus;
        meterStatus.name = meter.name;
        meterStatus.address = meter.address;
        double base = backoffMaxMs;
        for (std::size_t g = 0; g < meter.gates.size(); ++g) {
            slots_.push_back(GateSlot{m, g, now, ScheduleClock::time_point{}});
            meterStatus.gates.push_back(StatusOf(meter.gates[g]));
            base = std::min(base, meter.gates[g].intervalMs);
        }
        timing_.push_back(MeterTiming{now, base});
        status_.meters.push_back(std::move(meterStatus));
    }
}

LineWorker::~LineWorker() {
    Stop();
}

void LineWorker::Start() {
    BackBy(timer_.Now());
    thread_ = std::thread([this] { Run(); });
}

void LineWorker::BackBy(ScheduleClock::time_point when) {
    backBy_.store((when + Ms(kWedgedMarginMs)).time_since_epoch().count(),
                  std::memory_order_relaxed);
}

bool LineWorker::Wedged(ScheduleClock::time_point now) const {
    return now.time_since_epoch().count() > backBy_.load(std::memory_order_relaxed);
}

void LineWorker::RequestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void LineWorker::Stop() {
    RequestStop();
    if (thread_.joinable()) thread_.join();
}

LineStatus LineWorker::Status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

bool LineWorker::Enqueue(const std::shared_ptr<LineWrite>& write) {
    WriteOutcome refusal = WriteOutcome::NotOpen;
    {
        std::lock_guard lock(mutex_);
        if (!stop_ && status_.open) {
            if (writes_.size() < kMaxQueuedWrites) {
                writes_.push_back(write);
                refusal = WriteOutcome::Done;
            } else {
                refusal = WriteOutcome::Busy;
            }
        }
    }
    if (refusal != WriteOutcome::Done) {
        write->Finish(refusal);
        return false;
    }
    wake_.notify_all();
    return true;
}

// Makes every write waiting, in order, between two reads; true when there was one.
bool LineWorker::ServeWrites() {
    std::deque<std::shared_ptr<LineWrite>> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(writes_);
    }
    for (const auto& write : taken) {
        core::PreparedGate prepared = core::PrepareWriteGate(
            driver_, write->Address(), static_cast<int>(write->Values().size()));
        WriteOutcome outcome = WriteOutcome::Refused;
        if (prepared.problem == core::GateProblem::None &&
            prepared.gate.values.size() == write->Values().size()) {
            prepared.gate.values = write->Values();
            GateIoRecord record = prepared.gate.Record();
            // Back once every attempt of the write has waited out the time-out.
            BackBy(timer_.Now() + Ms(static_cast<double>(protocol::kWriteAttempts) *
                                     static_cast<double>(channel_.TimeoutMs())));
            const std::int32_t result =
                driver_.Call(VpiOperation::Write, channel_.State(), &record);
            outcome = result == VpiDone     ? WriteOutcome::Done
                      : result == VpiFailed ? WriteOutcome::Failed
                                            : WriteOutcome::Refused;
        }
        static_cast<void>(driver_.TakeLog());
        Say(fmt::format("write of {} ({} value{}): {}", write->Address(), write->Values().size(),
                        write->Values().size() == 1 ? "" : "s", WriteOutcomeName(outcome)));
        write->Finish(outcome);
    }
    return !taken.empty();
}

// The writes no one will make: the port has gone or the line ends.
void LineWorker::FailWrites() {
    std::deque<std::shared_ptr<LineWrite>> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(writes_);
    }
    for (const auto& write : taken) write->Finish(WriteOutcome::NotOpen);
}

void LineWorker::Say(const std::string& text) const {
    if (events_) events_(line_.name, text);
}

// Sleeps until `when` or until Stop(); false when stopped.
bool LineWorker::WaitUntil(ScheduleClock::time_point when) {
    BackBy(std::max(when, timer_.Now()));
    timer_.Sleeping(when);
    std::unique_lock lock(mutex_);
    // A span on the line's timer, which the condition variable waits out on its own clock. A
    // write wakes an open line: it goes out before the next read.
    wake_.wait_for(lock, when - timer_.Now(),
                   [this] { return stop_ || (open_ && !writes_.empty()); });
    return !stop_;
}

void LineWorker::Run() {
    // The driver's lines from this thread are this line's.
    driver_.Log().LabelThread("line " + line_.name + ":");
    while (WaitUntil(open_ || slots_.empty() ? timer_.Now() : openAt_)) {
        if (slots_.empty()) break;
        if (!open_) {
            if (!OpenPort()) {
                FailWrites();
                continue;
            }
        }
        // Writes go out between reads; after them the next gate is chosen again.
        if (ServeWrites()) continue;
        GateSlot& slot = slots_[NextSlot()];
        if (!WaitUntil(EffectiveDue(slot))) break;
        if (ServeWrites()) continue;
        ReadSlot(slot);
    }
    FailWrites();
    BackBy(timer_.Now());
    closeResult_ = channel_.Close();
    driver_.Log().LabelThread("");
    backBy_.store(ScheduleClock::duration::max().count(), std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    status_.open = false;
    status_.problem = "stopped";
    status_.reading.clear();
    status_.ended = true;
}

// The first open goes through operations 14 and 1; once the port has been open, a failed port
// is closed (11) and opened again with its stored settings (13), as a host recovers a line.
bool LineWorker::OpenPort() {
    if (channel_.IsOpen()) {
        // Opened by the owner before the thread started.
        prepared_ = true;
        PortOpened();
        return true;
    }
    BackBy(timer_.Now());
    core::ChannelProblem problem = core::ChannelProblem::None;
    if (!prepared_) {
        problem = channel_.Check(line_.options);
        if (problem == core::ChannelProblem::None) problem = channel_.Prepare(driver_);
        prepared_ = problem == core::ChannelProblem::None;
    }
    if (problem == core::ChannelProblem::None) {
        problem = everOpened_ ? channel_.Reopen() : channel_.Open();
    }
    static_cast<void>(driver_.TakeLog());
    const auto now = timer_.Now();
    if (problem != core::ChannelProblem::None) {
        const std::string why = problem == core::ChannelProblem::NotOpened
                                    ? OpenProblem(line_.options.port)
                                    : "the driver refused the line's settings";
        double delayMs = 0;
        bool sayIt = false;
        {
            std::lock_guard lock(mutex_);
            ++openFailures_;
            ++status_.reopenFailures;
            status_.problem = why;
            delayMs = BackoffMs(openFailures_, kReopenBaseMs, backoffMaxMs_);
            openAt_ = now + Ms(delayMs);
            // Said when the reason changes and while the delay still grows; a port that stays
            // away at the cap is not said again every time.
            sayIt = why != lastOpenProblem_ ||
                    delayMs != BackoffMs(openFailures_ - 1, kReopenBaseMs, backoffMaxMs_);
            lastOpenProblem_ = why;
        }
        if (sayIt) {
            Say(fmt::format("port {} did not open: {}; next try in {}", line_.options.port, why,
                            DelayText(delayMs)));
        }
        return false;
    }
    PortOpened();
    return true;
}

void LineWorker::PortOpened() {
    int failures = 0;
    bool reopened = false;
    {
        std::lock_guard lock(mutex_);
        reopened = everOpened_;
        failures = openFailures_;
        everOpened_ = true;
        open_ = true;
        openFailures_ = 0;
        lastOpenProblem_.clear();
        status_.open = true;
        status_.problem.clear();
        ++status_.opens;
    }
    std::string text =
        fmt::format("port {} {}", line_.options.port, reopened ? "reopened" : "open");
    if (failures > 0)
        text += fmt::format(" after {} failed {}", failures, failures == 1 ? "try" : "tries");
    Say(text);
}

// The slot to read next: the earliest effective due time; of equal ones, the one read least
// recently, so that no gate or meter is favoured by its place in the file.
std::size_t LineWorker::NextSlot() const {
    std::size_t best = 0;
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        const auto due = EffectiveDue(slots_[i]);
        const auto bestDue = EffectiveDue(slots_[best]);
        if (due < bestDue || (due == bestDue && slots_[i].lastRead < slots_[best].lastRead)) {
            best = i;
        }
    }
    return best;
}

ScheduleClock::time_point LineWorker::EffectiveDue(const GateSlot& slot) const {
    return std::max(slot.due, timing_[slot.meter].probeAt);
}

void LineWorker::ReadSlot(GateSlot& slot) {
    const auto start = timer_.Now();
    const double lagMs = MsBetween(EffectiveDue(slot), start);
    SiteGate& gate = line_.meters[slot.meter].gates[slot.gate];
    {
        // What a stop has to wait for: this read, whose attempts (one for an EX gate) may each
        // wait out the time-out.
        std::lock_guard lock(mutex_);
        status_.reading = gate.gate.address;
        status_.readingSinceUnixMs = UnixMsNow();
        status_.readingLimitMs =
            static_cast<double>((gate.ex ? 1 : protocol::kReadAttempts) * channel_.TimeoutMs());
        // Back once every attempt has waited out its time-out, and the reading handed on.
        BackBy(start + Ms(status_.readingLimitMs));
    }
    core::LogTally tally;
    const core::Reading reading = core::ReadGate(driver_, channel_, gate.gate, gate.ex, &tally);
    const auto now = timer_.Now();
    slot.lastRead = now;
    long missed = 0;
    slot.due = NextDue(slot.due, gate.intervalMs, now, &missed);
    RecordReading(slot, reading, tally, lagMs);
    {
        std::lock_guard lock(mutex_);
        status_.missedSlots += missed;
        status_.reading.clear();
    }
    if (reading.result == VpiFailed && PortFailed(reading.latencyMs, reading.attempts,
                                                  static_cast<double>(channel_.TimeoutMs()))) {
        PortHasFailed();
    } else {
        RecordMeter(slot.meter, reading, now);
    }
    if (sink_) sink_(line_.name, reading);
}

void LineWorker::RecordReading(const GateSlot& slot, const core::Reading& reading,
                               const core::LogTally& tally, double lagMs) {
    std::lock_guard lock(mutex_);
    GateStatus& gate = status_.meters[slot.meter].gates[slot.gate];
    const std::int64_t now = UnixMsNow();
    gate.lastReadUnixMs = now;
    gate.lastResult = reading.result;
    if (reading.result >= 0 && reading.result <= 2) ++gate.results[reading.result];
    gate.attempts += reading.attempts;
    gate.failures += tally;
    gate.replies.Add(reading.latencyMs);
    if (reading.result == VpiDone) {
        gate.attemptsOfSuccesses += reading.attempts;
        gate.successTimes.Add(reading.latencyMs);
        gate.values = reading.values;
        gate.valuesUnixMs = now;
    }
    status_.lastLagMs = lagMs;
    status_.maxLagMs = std::max(status_.maxLagMs, lagMs);
    status_.lagSumMs += lagMs;
    ++status_.reads;
}

// An answer of any kind (a refusal is an answer too) ends a meter's back-off; no answer puts
// its next read off, doubling each time up to the site's cap.
void LineWorker::RecordMeter(std::size_t meter, const core::Reading& reading,
                             ScheduleClock::time_point now) {
    MeterTiming& timing = timing_[meter];
    std::string event;
    {
        std::lock_guard lock(mutex_);
        MeterStatus& status = status_.meters[meter];
        if (reading.result != VpiFailed) {
            if (status.consecutiveFailures > 0) {
                event = fmt::format("meter {} answering again after {} {} without an answer",
                                    status.name, status.consecutiveFailures,
                                    status.consecutiveFailures == 1 ? "read" : "reads");
            }
            status.health = MeterHealth::Answering;
            status.consecutiveFailures = 0;
            status.backoffMs = 0;
            status.lastAnswerUnixMs = UnixMsNow();
            timing.probeAt = now;
        } else {
            const double before = status.backoffMs;
            ++status.consecutiveFailures;
            status.health = MeterHealth::BackingOff;
            status.backoffMs = BackoffMs(status.consecutiveFailures, timing.baseMs, backoffMaxMs_);
            timing.probeAt = now + Ms(status.backoffMs);
            // Said when it falls silent and whenever the back-off grows, not at the cap.
            if (status.consecutiveFailures == 1) {
                event = fmt::format("meter {} silent: no answer to {}; next try in {}", status.name,
                                    reading.gate, DelayText(status.backoffMs));
            } else if (status.backoffMs != before) {
                event = fmt::format("meter {} still silent after {} reads; backed off to {}",
                                    status.name, status.consecutiveFailures,
                                    DelayText(status.backoffMs));
            }
        }
    }
    if (!event.empty()) Say(event);
}

// The port has gone: closed at once (11), then opened again (13) by the loop, with back-off
// while it does not open. Its meters are not to blame and keep their state.
void LineWorker::PortHasFailed() {
    static_cast<void>(channel_.Close());
    static_cast<void>(driver_.TakeLog());
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        status_.open = false;
        status_.problem = "lost";
        openAt_ = timer_.Now();
    }
    FailWrites();
    Say(
        fmt::format("port {} lost: reads fail at the port, not at a meter; closing it and "
                    "opening it again",
                    line_.options.port));
}

}  // namespace host::site
