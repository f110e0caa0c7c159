// Probing PLC addresses at line settings: the plain-block request, the reply taken by the
// protocol layer's receiver, its checksum and address checked, its fields decoded.
#include "lines/scan.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <set>
#include <span>

#include "protocol.h"

namespace host::lines {

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The plain-block read request for `address`, built by the protocol layer.
std::size_t BuildProbe(int address, std::span<float> values, std::span<std::uint8_t> buffer) {
    GateIoRecord gate{};
    gate.plcAddress = address;
    gate.memtype = MEMTYPE_PLAIN;
    gate.index = 1;
    gate.count = kPlainFieldCount;
    gate.values = values.data();
    return protocol::BuildReadRequest(gate, buffer);
}

// True when positions 4 and 5 of the reply are the two digits of `address`. The receiver
// passes over frames that name another meter, but takes a frame that names nobody.
bool NamesAddress(std::span<const std::uint8_t> frame, int address) {
    return frame.size() > 5 && frame[4] == '0' + address / 10 && frame[5] == '0' + address % 10;
}

// True when `frame` starts with the request's own frame (its NUL left out): the receiver hands
// back a double of the request that nothing followed.
bool IsOwnRequest(std::span<const std::uint8_t> frame, std::span<const std::uint8_t> request) {
    const std::size_t size =
        !request.empty() && request.back() == 0 ? request.size() - 1 : request.size();
    return size > 0 && frame.size() >= size &&
           std::equal(request.begin(), request.begin() + static_cast<long>(size), frame.begin());
}

// Sends `request` as serial::Transmit does (purge, RTS on, lead, write, tail, RTS off), with
// the moment the write returned kept in `sent`: the reply time counts from there, as the
// meter may answer within the RTS tail. True when every byte was written.
bool SendProbe(ChannelState& channel, std::span<const std::uint8_t> request,
               Clock::time_point* sent) {
    static_cast<void>(serial::PurgeInput(channel.port));
    serial::RaiseRts(channel.port);
    std::uint32_t written = 0;
    const serial::SerialResult result = serial::WritePort(
        channel.port, request.data(), static_cast<std::uint32_t>(request.size()), &written);
    *sent = Clock::now();
    serial::DropRts(channel.port);
    return result == serial::SerialResult::Ok && written == request.size();
}

// The probes a scan plans: every address at every setting.
std::size_t PlannedProbes(const ScanPlan& plan) {
    return plan.addresses.size() * plan.lines.size();
}

}  // namespace

ProbeResult ProbeAddress(DirectPort& port, int address, FoundMeter* meter) {
    ChannelState& channel = port.State();
    std::array<float, kPlainFieldCount> values{};
    const std::size_t size = BuildProbe(address, values, channel.requestBuffer);
    if (size == 0) return ProbeResult::NoReply;
    const std::span<const std::uint8_t> request(channel.requestBuffer, size);
    Clock::time_point sent;
    if (!SendProbe(channel, request, &sent)) return ProbeResult::NoReply;
    // A double of the request with nothing behind it is handed back rather than passed over
    // (as a write's acknowledgement would be), so that an echoing line is told from a silent
    // one. An echo with a reply behind it is passed over as in any exchange.
    const protocol::ExpectedReply expected{request, true, true};
    if (!protocol::ReceiveFrame(channel, channel.receiveBuffer, expected)) {
        return ProbeResult::NoReply;
    }
    const double replyMs = MsSince(sent);
    const std::span<const std::uint8_t> frame(channel.receiveBuffer);
    if (IsOwnRequest(frame, request)) return ProbeResult::Echo;
    if (!protocol::VerifyFrameChecksum(frame) || !NamesAddress(frame, address)) {
        return ProbeResult::NoReply;
    }
    const protocol::Decoding decoding = protocol::DecodePlainBlock(frame, values);
    meter->address = address;
    meter->line = channel.settings.line;
    meter->replyMs = replyMs;
    meter->fields = decoding.stored;
    meter->decoded = decoding.result == protocol::DecodeResult::Decoded;
    meter->values.assign(values.begin(), values.begin() + static_cast<long>(decoding.stored));
    return ProbeResult::Meter;
}

namespace {

// One line setting's probes; false when the scan is to end (first meter, or `stop`).
class SettingPass {
public:
    SettingPass(const ScanSettings& settings, const ScanObserver& observer,
                const std::function<bool()>& stop, ScanOutcome& outcome, std::set<int>& known)
        : settings_(settings), observer_(observer), stop_(stop), outcome_(outcome), known_(known) {}

    bool Run(DirectPort& port, const LineParameters& line, ScanProgress& progress,
             Clock::time_point start);

private:
    const ScanSettings& settings_;
    const ScanObserver& observer_;
    const std::function<bool()>& stop_;
    ScanOutcome& outcome_;
    std::set<int>& known_;
};

bool SettingPass::Run(DirectPort& port, const LineParameters& line, ScanProgress& progress,
                      Clock::time_point start) {
    progress.line = &line;
    for (const int address : settings_.plan.addresses) {
        if (stop_ && stop_()) {
            outcome_.interrupted = true;
            return false;
        }
        ++progress.done;
        if (!settings_.all && known_.count(address) != 0) continue;
        progress.address = address;
        // Until a probe has been timed, the cost of one that gets no answer: the RTS waits
        // around the request and the time-out.
        const double perProbe =
            outcome_.probes == 0
                ? static_cast<double>(serial::kRtsLeadMs + serial::kRtsTailMs + settings_.timeoutMs)
                : MsSince(start) / static_cast<double>(outcome_.probes);
        progress.leftMs = perProbe * static_cast<double>(progress.total - progress.done + 1);
        if (observer_.probing) observer_.probing(progress);
        ++outcome_.probes;
        FoundMeter meter;
        const ProbeResult probe = ProbeAddress(port, address, &meter);
        if (probe == ProbeResult::Echo) ++outcome_.echoes;
        if (probe != ProbeResult::Meter) continue;
        known_.insert(address);
        progress.found = known_.size();
        outcome_.found.push_back(meter);
        if (observer_.found) observer_.found(meter);
        if (settings_.first) return false;
    }
    return true;
}

}  // namespace

ScanOutcome RunScan(const ScanSettings& settings, const ScanObserver& observer,
                    const std::function<bool()>& stop) {
    ScanOutcome outcome;
    std::set<int> known;
    ScanProgress progress;
    progress.total = PlannedProbes(settings.plan);
    const auto start = Clock::now();
    DirectPort port;
    SettingPass pass(settings, observer, stop, outcome, known);
    for (const LineParameters& line : settings.plan.lines) {
        const serial::SerialResult opened = port.Open(settings.port, line, settings.timeoutMs);
        if (opened != serial::SerialResult::Ok) {
            outcome.refused.emplace_back(line, opened);
            // A port that does not open at all opens at no other setting either.
            if (PortUnusable(opened)) break;
            progress.done += settings.plan.addresses.size();
            continue;
        }
        if (!pass.Run(port, line, progress, start)) break;
    }
    return outcome;
}

}  // namespace host::lines
