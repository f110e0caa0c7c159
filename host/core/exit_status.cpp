// Ranking exit statuses, and the one mapping of driver results onto them.
#include "core/exit_status.h"

#include <array>
#include <cstddef>

#include "vpi_records.h"

namespace host::core {

namespace {

struct Ranked {
    ExitCode code;
    int rank;
};
constexpr auto kRanks = std::to_array<Ranked>({
    {kExitOk, 0},
    {kExitRefused, 1},
    {kExitFailed, 2},
    {kExitInterrupted, 3},
    {kExitUsage, 4},
});
static_assert(kRanks.size() == 5);

int RankOf(ExitCode code) {
    for (const Ranked& r : kRanks) {
        if (r.code == code) return r.rank;
    }
    return 0;
}

}  // namespace

ExitCode ExitFor(std::int32_t driverResult) {
    if (driverResult == VpiDone) return kExitOk;
    return driverResult == VpiRefused ? kExitRefused : kExitFailed;
}

void ExitStatus::Raise(ExitCode code) {
    if (RankOf(code) > RankOf(code_)) code_ = code;
}

bool ExitStatus::Passed(ExitCode code) {
    Raise(code);
    return code == kExitOk;
}

}  // namespace host::core
