#pragma once
// SIGINT and SIGTERM for the commands that run until stopped: the first one
// only sets a flag, which the command's loop turns into a stop as the Stop
// command does; a second one ends the process at once (the capture data
// stays for an import).

namespace kestrel::cli {

void installStopSignals();
// The signal that asked for the stop, 0 while none came.
int stopSignal();

}  // namespace kestrel::cli
