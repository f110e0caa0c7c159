// A timed read of one gate through the driver.
#include "core/reading.h"

#include <chrono>

#include "protocol.h"
#include "time_stamp.h"

namespace host::core {

Reading ReadGate(LoadedDriver& driver, Channel& channel, Gate& gate, bool ex, LogTally* tally) {
    Reading reading;
    reading.gate = gate.address;
    reading.plcAddress = gate.plcAddress;
    reading.memtype = gate.memtype;
    reading.index = gate.index;
    static_cast<void>(driver.TakeLog());
    GateIoRecord record = gate.Record();
    reading.time = timestamp::Rfc3339Now().c_str();
    const auto start = std::chrono::steady_clock::now();
    reading.result =
        driver.Call(ex ? VpiOperation::ReadEx : VpiOperation::Read, channel.State(), &record);
    const auto end = std::chrono::steady_clock::now();
    reading.latencyMs = std::chrono::duration<double, std::milli>(end - start).count();
    *tally = Tally(driver.TakeLog());
    reading.attempts = reading.result == VpiDone ? tally->failedAttempts + 1
                       : ex                      ? 1
                                                 : protocol::kReadAttempts;
    reading.values = gate.values;
    return reading;
}

}  // namespace host::core
