// Ctrl-C during a long command: the handler only notes it; the command looks and ends cleanly.
#pragma once

namespace host {

// Watches for SIGINT while it exists; the handler it replaced comes back when it goes.
class InterruptWatch {
public:
    InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;
    ~InterruptWatch();

    // True once Ctrl-C has come since this watch began.
    bool Interrupted() const;

private:
    using Handler = void (*)(int);
    Handler previous_;
};

}  // namespace host
