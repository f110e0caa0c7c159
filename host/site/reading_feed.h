// The one place the site service's outputs take readings from: the poller publishes each reading
// once, each output subscribes with a bounded queue of its own and drains it on its own thread.
// A full queue drops the reading and counts it; publishing never waits on an output.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/reading.h"
#include "site/site_status.h"

namespace host::site {

// One reading of one gate, with the line it was read on.
struct FeedItem {
    std::string line;
    core::Reading reading;
};

// An output's counters, set from any of its threads.
struct FeedCounters {
    std::atomic<bool> connected{false};
    std::atomic<std::int64_t> connects{0};
    std::atomic<std::int64_t> published{0};
    std::atomic<std::int64_t> droppedQueue{0};
    std::atomic<std::int64_t> droppedUndelivered{0};
};

// One output's queue. Taken from ReadingFeed::Subscribe; the feed stops filling it once the
// subscription is given back (destroyed).
class FeedSubscription {
public:
    FeedSubscription(std::string name, std::size_t capacity)
        : name_(std::move(name)), capacity_(capacity) {}

    const std::string& Name() const { return name_; }
    FeedCounters& Counters() { return counters_; }
    const FeedCounters& Counters() const { return counters_; }

    // Queues `item` unless the queue holds its capacity already; then drops it and counts it.
    // Never waits for the consumer. Returns whether it was queued.
    bool Offer(const FeedItem& item);

    // The oldest queued item into `out`, waiting up to `wait` for one; false when none came or
    // Wake() was called.
    [[nodiscard]] bool Take(FeedItem* out, std::chrono::milliseconds wait);

    // Ends a Take() that is waiting (the output is stopping or has other work).
    void Wake();

    // How many items wait now.
    std::size_t Queued() const;

    OutputStatus Status() const;

private:
    std::string name_;
    std::size_t capacity_;
    FeedCounters counters_;
    mutable std::mutex mutex_;  // guards queue_ and woken_
    std::condition_variable ready_;
    std::deque<FeedItem> queue_;
    bool woken_ = false;
};

class ReadingFeed {
public:
    // A queue of `capacity` items for the output `name`; it gets every reading published from
    // now on.
    std::shared_ptr<FeedSubscription> Subscribe(const std::string& name, std::size_t capacity);

    // Hands `reading`, read on `line`, to every subscriber; from any line's thread. Costs a
    // copy per subscriber and a lock held for the copy, never a wait on an output.
    void Publish(const std::string& line, const core::Reading& reading);

    // The subscribers' counters, in the order they subscribed.
    std::vector<OutputStatus> Outputs() const;

private:
    mutable std::mutex mutex_;  // guards subscribers_
    std::vector<std::weak_ptr<FeedSubscription>> subscribers_;
};

}  // namespace host::site
