// The readings' fan-out to the outputs: a bounded queue per subscriber, drops counted.
#include "site/reading_feed.h"

#include <algorithm>
#include <utility>

namespace host::site {

bool FeedSubscription::Offer(const FeedItem& item) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() < capacity_) {
            queue_.push_back(item);
            ready_.notify_one();
            return true;
        }
    }
    counters_.droppedQueue.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool FeedSubscription::Take(FeedItem* out, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, wait, [this] { return !queue_.empty() || woken_; });
    woken_ = false;
    if (queue_.empty()) return false;
    *out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

void FeedSubscription::Wake() {
    std::lock_guard lock(mutex_);
    woken_ = true;
    ready_.notify_all();
}

std::size_t FeedSubscription::Queued() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

OutputStatus FeedSubscription::Status() const {
    OutputStatus status;
    status.name = name_;
    status.connected = counters_.connected.load();
    status.connects = counters_.connects.load();
    status.published = counters_.published.load();
    status.droppedQueue = counters_.droppedQueue.load();
    status.droppedUndelivered = counters_.droppedUndelivered.load();
    return status;
}

std::shared_ptr<FeedSubscription> ReadingFeed::Subscribe(const std::string& name,
                                                         std::size_t capacity) {
    auto subscription = std::make_shared<FeedSubscription>(name, capacity);
    std::lock_guard lock(mutex_);
    subscribers_.push_back(subscription);
    return subscription;
}

void ReadingFeed::Publish(const std::string& line, const core::Reading& reading) {
    std::vector<std::shared_ptr<FeedSubscription>> live;
    {
        std::lock_guard lock(mutex_);
        if (subscribers_.empty()) return;
        std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : subscribers_) {
            if (auto subscription = weak.lock()) live.push_back(std::move(subscription));
        }
    }
    if (live.empty()) return;
    const FeedItem item{line, reading};
    for (const auto& subscription : live) subscription->Offer(item);
}

std::vector<OutputStatus> ReadingFeed::Outputs() const {
    std::vector<OutputStatus> outputs;
    std::lock_guard lock(mutex_);
    for (const auto& weak : subscribers_) {
        if (auto subscription = weak.lock()) outputs.push_back(subscription->Status());
    }
    return outputs;
}

}  // namespace host::site
