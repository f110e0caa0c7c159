// Gates the driver did not make ready: why, in the words the commands have always used, the
// exit status that calls for, and a list of gates prepared for reading with its problems said.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/exit_status.h"
#include "core/gate_prep.h"
#include "core/runtime.h"

namespace host::core {

// Why `prepared` is not ready, in one sentence, followed by the driver's own lines (each on a
// line of its own, indented); "" when it is ready.
std::string GateProblemText(const PreparedGate& prepared);

// Says on `out` why `prepared` is not ready, with the driver's own lines.
void PrintGateProblem(std::FILE* out, const PreparedGate& prepared);

// The exit status a gate problem calls for: kExitUsage for what was typed wrong, else
// kExitRefused.
ExitCode ExitFor(GateProblem problem);

// Gates prepared for reading, in the order given.
struct ReadGates {
    std::vector<Gate> gates;
    ExitCode exit = kExitOk;  // the worst of the problems
};

// Prepares each of `texts` for reading, saying each problem on `problems` as it comes (so that
// it follows the driver's own lines). With `exOnly` (the words of the command's --ex, as
// "--ex reads EX gates only"; null: any gate), a gate that is no EX gate is a usage error
// named in those words, when the gates had none of their own.
ReadGates PrepareReadGates(Runtime& runtime, const std::vector<std::string>& texts,
                           const char* exOnly, std::FILE* problems);

}  // namespace host::core
