// The steps several commands take alike: load the driver, open and close a channel, prepare
// the gates to read. Each says on the streams it is given what went wrong, in the words the
// commands have always used, and returns the exit status that calls for; the command raises it.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "channel.h"
#include "exit_status.h"
#include "gate_prep.h"
#include "line_options.h"
#include "runtime.h"
#include "site_gates.h"

namespace host {

// Loads the driver module (once). On failure says why on stderr: kExitFailed.
[[nodiscard]] ExitCode LoadDriver(Runtime& runtime);

// Checks the options, loads the driver and opens `channel`. Notes (time-out rounding, the line
// used) go to `notes`, problems to stderr: kExitUsage for bad options, kExitFailed when the
// driver does not load or the port does not open.
[[nodiscard]] ExitCode OpenChannel(Runtime& runtime, Channel& channel, const LineOptions& options,
                                   std::FILE* notes);

// Closes `channel`; when the driver could not close it says so on stderr: kExitFailed.
[[nodiscard]] ExitCode CloseChannel(Channel& channel);

// The line of a command that reads or writes gates on it: the driver's RTS lines shown once
// each, then OpenChannel with its exit status raised on runtime.exit. False when the channel
// did not open.
[[nodiscard]] bool OpenLine(Runtime& runtime, Channel& channel, const LineOptions& options,
                            std::FILE* notes);

// Closes the line of OpenLine (CloseChannel, its exit status raised) and says how many RTS
// lines were held back.
void CloseLine(Runtime& runtime, Channel& channel);

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

// Reads the site file at `path` and prepares its gates through the driver, saying every error
// on stderr as "FILE:LINE: reason", in the file's order. kExitRefused when the file has
// errors (nothing of it is then used), kExitFailed when the driver does not load.
[[nodiscard]] ExitCode LoadSite(Runtime& runtime, const std::string& path, PreparedSite* site);

// Says on stderr how many RTS lines the log held back, if any (not with --quiet).
void ReportHiddenRtsLines(Runtime& runtime);

}  // namespace host
