// The steps the commands that work through the driver take alike: load it, open and close a
// channel on it. Each says on the streams it is given what went wrong, in the words the
// commands have always used, and returns the exit status that calls for; the command raises it.
#pragma once

#include <cstdio>
#include <string>

#include "core/channel_options.h"
#include "core/driver_channel.h"
#include "core/exit_status.h"
#include "core/runtime.h"

namespace host::core {

// Loads the driver module (once). On failure says why on stderr: kExitFailed.
[[nodiscard]] ExitCode LoadDriver(Runtime& runtime);

// Checks the options, loads the driver and opens `channel`. Notes (time-out rounding, the line
// used) go to `notes`, problems to stderr: kExitUsage for bad options, kExitFailed when the
// driver does not load or the port does not open.
[[nodiscard]] ExitCode OpenChannel(Runtime& runtime, Channel& channel,
                                   const ChannelOptions& options, std::FILE* notes);

// Closes `channel`; when the driver could not close it says so on stderr: kExitFailed.
[[nodiscard]] ExitCode CloseChannel(Channel& channel);

// What the driver answered when `channel` was closed (`closed`), as CloseChannel says it.
[[nodiscard]] ExitCode SayCloseResult(const Channel& channel, std::int32_t closed);

// The line of a command that reads or writes gates on it: the driver's RTS lines shown once
// each, then OpenChannel with its exit status raised on runtime.exit. False when the channel
// did not open.
[[nodiscard]] bool OpenLine(Runtime& runtime, Channel& channel, const ChannelOptions& options,
                            std::FILE* notes);

// Closes the line of OpenLine (CloseChannel, its exit status raised) and says how many RTS
// lines were held back.
void CloseLine(Runtime& runtime, Channel& channel);

// Says on stderr how many RTS lines the log held back, if any (not with --quiet).
void ReportHiddenRtsLines(Runtime& runtime);

}  // namespace host::core
