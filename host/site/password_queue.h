// Password checks made away from the HTTP side's polling threads: a bcrypt round takes tens of
// milliseconds, and made on a polling thread it would hold up every other connection of that
// thread. The server parks the connection, a checker thread makes the check and wakes it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/non_copyable.h"

namespace host::site {

class PasswordQueue : core::NonCopyable {
public:
    using Check = std::function<bool(std::string_view user, std::string_view password)>;

    // `threads` checkers; at most `maxWaiting` checks queued behind those under way.
    PasswordQueue(Check check, std::size_t threads, std::size_t maxWaiting);
    // Stop().
    ~PasswordQueue();

    // Queues a check of `user` and `password`: `done(allowed)` is called on a checker thread
    // once it is made. False, and `done` never called, when the queue is full or stopped.
    [[nodiscard]] bool Submit(std::string user, std::string password,
                              std::function<void(bool allowed)> done);

    // Ends the checkers after the checks under way; those still queued are answered "refused"
    // without being made. Nothing is queued after it.
    void Stop();

private:
    struct Job {
        std::string user;
        std::string password;
        std::function<void(bool)> done;
    };

    void Run();

    const Check check_;
    const std::size_t maxWaiting_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace host::site
