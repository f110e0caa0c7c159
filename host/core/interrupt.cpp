// The SIGINT (and SIGTERM) flag. A signal handler can reach nothing but static storage, so this one
// flag is the exception to keeping state in objects; only InterruptWatch sets it up and reads it.
#include "core/interrupt.h"

#include <csignal>

namespace host::core {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

}  // namespace

InterruptWatch::InterruptWatch(bool terminateToo) : terminateToo_(terminateToo) {
    gInterrupted = 0;
    previous_ = std::signal(SIGINT, OnInterrupt);
    if (terminateToo_) previousTerminate_ = std::signal(SIGTERM, OnInterrupt);
}

InterruptWatch::~InterruptWatch() {
    std::signal(SIGINT, previous_);
    if (terminateToo_) std::signal(SIGTERM, previousTerminate_);
}

bool InterruptWatch::Interrupted() const {
    return gInterrupted != 0;
}

}  // namespace host::core
