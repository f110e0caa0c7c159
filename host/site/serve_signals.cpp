// The signal counts of vpihost serve. A signal handler can reach nothing but static storage, so
// these counts are kept there; only ServeSignals sets them up and reads them.
#include "site/serve_signals.h"

#include <signal.h>

#include <array>
#include <csignal>

namespace host::site {

namespace {

volatile std::sig_atomic_t gStops = 0;
volatile std::sig_atomic_t gHangups = 0;

extern "C" void OnStop(int) {
    gStops = gStops + 1;
}

extern "C" void OnHangup(int) {
    gHangups = 1;
}

constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, kSignals.size()> gPrevious{};

}  // namespace

ServeSignals::ServeSignals() {
    gStops = 0;
    gHangups = 0;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = kSignals[i] == SIGHUP ? OnHangup : OnStop;
        sigemptyset(&action.sa_mask);
        // Restarted, so that a signal never fails a call under way on another thread.
        action.sa_flags = SA_RESTART;
        // sigaction: 0, or -1 for a signal number that does not exist (never for these).
        static_cast<void>(sigaction(kSignals[i], &action, &gPrevious[i]));
    }
}

ServeSignals::~ServeSignals() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        static_cast<void>(sigaction(kSignals[i], &gPrevious[i], nullptr));
    }
}

int ServeSignals::Stops() const {
    return gStops;
}

bool ServeSignals::TakeHangup() {
    if (gHangups == 0) return false;
    gHangups = 0;
    return true;
}

}  // namespace host::site
