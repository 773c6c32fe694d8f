// kestrel-cli: the capture engine and the stream-file tools with a console host.

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "kestrel/cli/cli_command.h"

namespace kestrel::cli {

namespace {
std::vector<CliCommand>& registry() {
    static std::vector<CliCommand> commands;
    return commands;
}

void printUsage(std::FILE* out) {
    std::fprintf(out, "usage: kestrel-cli COMMAND [OPTIONS]\n\ncommands:\n");
    for (const auto& c : registry()) std::fprintf(out, "  %-12s %s\n", c.name, c.summary);
    std::fprintf(out, "\nRun 'kestrel-cli COMMAND --help' for a command's options.\n");
}
}  // namespace

CliRegistrar::CliRegistrar(const CliCommand& command) {
    registry().push_back(command);
}

bool wantsHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

}  // namespace kestrel::cli

int main(int argc, char** argv) {
    using namespace kestrel::cli;
    if (argc < 2) {
        printUsage(stderr);
        return kExitUsage;
    }
    std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printUsage(stdout);
        return kExitOk;
    }
    for (const auto& c : registry()) {
        if (name == c.name) return c.run(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "kestrel-cli: unknown command '%s'\n", argv[1]);
    printUsage(stderr);
    return kExitUsage;
}
