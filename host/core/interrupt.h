// Ctrl-C during a long command: the handler only notes it; the command looks and ends cleanly.
#pragma once

#include "core/non_copyable.h"

namespace host::core {

// Watches for SIGINT (with `terminateToo` also SIGTERM, for a command that runs as a service)
// while it exists; the handlers it replaced come back when it goes.
class InterruptWatch : NonCopyable {
public:
    explicit InterruptWatch(bool terminateToo = false);
    ~InterruptWatch();

    // True once Ctrl-C (or SIGTERM, when watched) has come since this watch began.
    bool Interrupted() const;

private:
    using Handler = void (*)(int);
    Handler previous_;
    Handler previousTerminate_ = nullptr;
    bool terminateToo_;
};

}  // namespace host::core
