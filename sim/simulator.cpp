// The simulator's loop and the steps of each request.
#include "simulator.h"

#include <poll.h>

#include <array>

namespace sim {

namespace {

// A frame begun but not finished within this time is dropped; the sender has given up.
constexpr std::chrono::milliseconds kIdleGap{100};

}  // namespace

Simulator::Simulator(Line& line, MeterSet meters, FaultPlan faults, LineSettings settings,
                     std::ostream* trace, std::ostream* events, int lineSpeed)
    : line_(line),
      meters_(std::move(meters)),
      faults_(std::move(faults)),
      settings_(settings),
      lineSpeed_(lineSpeed),
      records_(trace, events),
      start_(std::chrono::steady_clock::now()) {}

void Simulator::Listen(Line& tap) {
    tap_ = &tap;
    line_.CopyTo(&tap);
}

std::int64_t Simulator::Micros() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start_)
        .count();
}

void Simulator::Receive(int timeoutMs, const volatile std::sig_atomic_t& stop) {
    std::array<pollfd, 2> entries{{{line_.Descriptor(), POLLIN, 0}, {-1, POLLIN, 0}}};
    if (tap_ != nullptr) entries[1].fd = tap_->Descriptor();
    // Not retried on EINTR: the signal that interrupts this wait is the one that stops us.
    const int ready = poll(entries.data(), entries.size(), timeoutMs);
    if (ready <= 0) return;
    if ((entries[1].revents & POLLIN) != 0) static_cast<void>(tap_->ReadAvailable());
    if ((entries[0].revents & POLLIN) != 0) {
        splitter_.Feed(line_.ReadAvailable(), std::chrono::steady_clock::now());
    } else if (entries[0].revents != 0) {
        // A hang-up or error without data (a device that went away): do not spin on it.
        SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20), stop);
    }
}

void Simulator::Run(const volatile std::sig_atomic_t& stop) {
    while (!stop) {
        Receive(splitter_.Pending() ? static_cast<int>(kIdleGap.count()) : 500, stop);
        while (auto request = splitter_.Next()) {
            records_.Noise(Micros(), splitter_.TakeNoise());
            Handle(*request, stop);
        }
        if (splitter_.Expire(std::chrono::steady_clock::now(), kIdleGap) || !splitter_.Pending()) {
            records_.Noise(Micros(), splitter_.TakeNoise());
        }
    }
}

void Simulator::Handle(const RawRequest& request, const volatile std::sig_atomic_t& stop) {
    Exchange exchange;
    exchange.receivedUs = Micros();
    exchange.request = request;
    Respond(exchange);
    records_.Received(exchange);
    Echo(exchange, stop);
    Transmit(exchange, stop);
    records_.Replied(exchange);
}

void Simulator::Respond(Exchange& exchange) {
    const int speed = lineSpeed_ > 0 ? line_.Speed() : 0;
    if (lineSpeed_ > 0 && speed != lineSpeed_) {
        // Sent at another speed, the request is no frame to the meters' receivers.
        exchange.outcome =
            Unheard(exchange.request, "line at " + std::to_string(speed) + " baud, meters at " +
                                          std::to_string(lineSpeed_));
    } else {
        exchange.outcome = Answer(meters_, exchange.request);
    }
    std::optional<int> number;
    if (exchange.outcome.reply) {
        exchange.number = ++answered_;
        number = exchange.number;
        exchange.out = faults_.Shape(*exchange.outcome.reply, exchange.outcome.address, *number);
    }
    exchange.answered = exchange.outcome.reply && !exchange.out.silent;
    exchange.echo = faults_.Echoes(exchange.outcome.address, number);
}

void Simulator::Echo(const Exchange& exchange, const volatile std::sig_atomic_t& stop) {
    if (exchange.echo.empty()) return;
    // The adapter hears the request while it is being sent, so the echo is complete by the
    // time the meters have the whole request: it goes back at once, unpaced.
    records_.Echoed(Micros(), exchange.request.bytes);
    static_cast<void>(line_.Write(exchange.request.bytes, std::chrono::nanoseconds{0}, stop));
}

void Simulator::Transmit(Exchange& exchange, const volatile std::sig_atomic_t& stop) {
    if (!exchange.answered) return;
    const Transmission& out = exchange.out;
    const auto characterTime = CharacterTime(settings_);
    SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(out.delayMs), stop);
    exchange.replyStartUs = Micros();
    if (out.pieces.empty()) {
        line_.Write(out.bytes, characterTime, stop);
    } else {
        std::size_t at = 0;
        for (std::size_t i = 0; i < out.pieces.size() && !stop; ++i) {
            if (i > 0) {
                SleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(out.gapMs),
                           stop);
            }
            line_.Write(out.bytes.substr(at, out.pieces[i]), characterTime, stop);
            at += out.pieces[i];
        }
    }
    exchange.replyEndUs = Micros();
}

}  // namespace sim
