// One line of a site, polled on a thread of its own with a channel of its own: gates read
// when due, earliest first, a silent meter backed off, a failed port closed and reopened with
// back-off. The driver is called exactly as a host does (14, 1, 6 or 5, 11, 13).
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/driver_channel.h"
#include "core/loaded_driver.h"
#include "core/non_copyable.h"
#include "core/reading.h"
#include "site/schedule.h"
#include "site/site_gates.h"
#include "site/site_status.h"

namespace host::site {

// Called on the line's thread after every read, outside the line's lock.
using ReadingSink = std::function<void(const std::string& line, const core::Reading& reading)>;

// Called on the line's thread, outside its lock, with each event of the line worth a log line:
// the port opened, lost, not opening (why, and when it is tried again), a meter gone silent,
// backed off further, answering again. `text` does not repeat the line's name.
using LineEventSink = std::function<void(const std::string& line, const std::string& text)>;

// What a line's thread is allowed beyond the time it said it would take (a wait, a read's
// time-outs, an open) before it counts as wedged: a busy machine's scheduling, a slow output
// taking a reading. Far below a watchdog's interval, far above any honest delay.
inline constexpr double kWedgedMarginMs = 5000;

// What a write handed to a line came to.
enum class WriteOutcome : std::int32_t {
    Done = 0,      // the meter acknowledged it
    Failed = 1,    // no acknowledgement after the driver's attempts
    Refused = 2,   // the driver refused the gate or its values; nothing was sent
    NotOpen = 3,   // the line's port is not open, or the line is stopping
    Busy = 4,      // too many writes wait for the line already
    TimedOut = 5,  // not finished within the wait; it may still be sent
};
const char* WriteOutcomeName(WriteOutcome outcome);

// One write waiting for a line's thread, and its outcome once the thread has made it. Shared by
// the writer, who waits for it, and the line, so that neither outlives what the other holds.
class LineWrite : core::NonCopyable {
public:
    LineWrite(std::string address, std::vector<float> values)
        : address_(std::move(address)), values_(std::move(values)) {}

    const std::string& Address() const { return address_; }
    const std::vector<float>& Values() const { return values_; }

    // Marks it made (the first outcome counts) and wakes its writer.
    void Finish(WriteOutcome outcome);

    // Waits up to `waitMs` for the line to make it: its outcome, or TimedOut.
    WriteOutcome Wait(double waitMs);

private:
    std::string address_;
    std::vector<float> values_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    WriteOutcome outcome_ = WriteOutcome::TimedOut;
};

class LineWorker : core::NonCopyable {
public:
    // `timer` (may be null: the steady clock) is the time the schedule goes by; it must outlive
    // the poller.
    LineWorker(core::LoadedDriver& driver, const SiteLine& line, double backoffMaxMs,
               ReadingSink sink, ScheduleTimer* timer = nullptr);
    // Stops the thread if it runs.
    ~LineWorker();

    // Where the line's events go (none by default); before Start() only.
    void SetEvents(LineEventSink events) { events_ = std::move(events); }

    // The settings the line was made with.
    const SiteLine& Settings() const { return line_; }

    // Starts the line's thread, which opens the port (retrying with back-off while it does not
    // open) and reads until Stop().
    void Start();

    // Asks the thread to end after the read under way, without waiting.
    void RequestStop();

    // Asks the thread to end, waits for it; the thread closes the channel as it ends.
    void Stop();

    // A copy of what the line knows now.
    LineStatus Status() const;

    // Whether the line's thread is wedged: it has not come back round its loop by the time it
    // said it would (the end of its wait, of its read's time-outs added up, of an open attempt)
    // and a margin, by the line's timer at `now`. Never while not started or after it ended.
    bool Wedged(ScheduleClock::time_point now) const;

    // Hands `write` to the line's thread, which makes it between two reads (operation 7, as a
    // host writes; one master on the line): false, with the write finished as NotOpen or Busy,
    // when the port is not open or kMaxQueuedWrites wait already. From any thread.
    bool Enqueue(const std::shared_ptr<LineWrite>& write);

    // The most writes that wait for one line.
    static constexpr std::size_t kMaxQueuedWrites = 8;

    // The line's channel, for its owner before Start() and after Stop() only: a channel the
    // owner opened (to say on the console why it would not open) is taken over as it is.
    core::Channel& Channel() { return channel_; }

    // The driver's answer when the thread closed the channel as it ended (VpiDone before).
    std::int32_t CloseResult() const { return closeResult_; }

private:
    // Where each gate stands in the schedule; touched by the line's thread only.
    struct GateSlot {
        std::size_t meter;
        std::size_t gate;
        ScheduleClock::time_point due;
        ScheduleClock::time_point lastRead;
    };
    struct MeterTiming {
        ScheduleClock::time_point probeAt;  // while backing off: not before then
        double baseMs;                      // its shortest gate interval
    };

    void Run();
    bool OpenPort();
    void PortOpened();
    std::size_t NextSlot() const;
    ScheduleClock::time_point EffectiveDue(const GateSlot& slot) const;
    void ReadSlot(GateSlot& slot);
    void RecordReading(const GateSlot& slot, const core::Reading& reading,
                       const core::LogTally& tally, double lagMs);
    void RecordMeter(std::size_t meter, const core::Reading& reading,
                     ScheduleClock::time_point now);
    void PortHasFailed();
    void Say(const std::string& text) const;
    bool ServeWrites();
    void FailWrites();
    bool WaitUntil(ScheduleClock::time_point when);
    void BackBy(ScheduleClock::time_point when);

    core::LoadedDriver& driver_;
    SiteLine line_;
    double backoffMaxMs_;
    ReadingSink sink_;
    LineEventSink events_;
    SteadyTimer steady_;
    ScheduleTimer& timer_;  // steady_ unless the owner passed another
    core::Channel channel_;
    bool prepared_ = false;    // operation 14 done and the open record set up
    bool everOpened_ = false;  // operation 1 succeeded once: later opens are reopens (13)
    bool open_ = false;
    std::int32_t closeResult_ = VpiDone;
    int openFailures_ = 0;
    std::string lastOpenProblem_;  // what the last failed open was said to be, said once
    ScheduleClock::time_point openAt_{};
    std::vector<GateSlot> slots_;
    std::vector<MeterTiming> timing_;

    // The heartbeat: by when the thread says it will be round its loop again (the timer's
    // ticks); the largest value while not running.
    std::atomic<ScheduleClock::rep> backBy_{ScheduleClock::duration::max().count()};

    mutable std::mutex mutex_;  // guards status_, stop_ and writes_
    std::condition_variable wake_;
    bool stop_ = false;
    std::deque<std::shared_ptr<LineWrite>> writes_;  // for the line's thread to make
    LineStatus status_;
    std::thread thread_;
};

}  // namespace host::site
