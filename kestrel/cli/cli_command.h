#pragma once
// Sub-commands of kestrel-cli. Each command lives in its own cmd_*.cpp and
// registers itself with a static CliRegistrar; main() dispatches by name.
//
// Exit codes shared by every command.

#include <string_view>

namespace kestrel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSourceError = 3;
// The run ended, but a recording failed or is incomplete (or may be: the
// kernel dropped packets, frames were cut, the record table was full).
inline constexpr int kExitIncomplete = 4;

struct CliCommand {
    const char* name;
    const char* summary;  // one line for the command list
    // argv[0] is the command name; returns the process exit code.
    int (*run)(int argc, char** argv);
};

struct CliRegistrar {
    explicit CliRegistrar(const CliCommand& command);
};

// True when argv holds --help or -h; commands print their usage then.
bool wantsHelp(int argc, char** argv);

}  // namespace kestrel::cli
