// The checker threads of the HTTP side's passwords and their bounded queue.
#include "site/password_queue.h"

#include <utility>

namespace host::site {

PasswordQueue::PasswordQueue(Check check, std::size_t threads, std::size_t maxWaiting)
    : check_(std::move(check)), maxWaiting_(maxWaiting) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

PasswordQueue::~PasswordQueue() {
    Stop();
}

bool PasswordQueue::Submit(std::string user, std::string password,
                           std::function<void(bool allowed)> done) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_ || jobs_.size() >= maxWaiting_) return false;
        jobs_.push_back(Job{std::move(user), std::move(password), std::move(done)});
    }
    wake_.notify_one();
    return true;
}

void PasswordQueue::Run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job.done(check_(job.user, job.password));
    }
}

void PasswordQueue::Stop() {
    std::deque<Job> left;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        left.swap(jobs_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    for (Job& job : left) job.done(false);
}

}  // namespace host::site
