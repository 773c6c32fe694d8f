// kestrel-cli build-flv: converts one stream record file into an FLV file
// through the FLV builder library's own exported interface, as any host of
// the library would: start, poll, read the results, release the slot.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "kestrel/cli/cli_command.h"
#include "merlin/merlin.h"

namespace kestrel::cli {
namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kestrel-cli build-flv RECORD_FILE OUTPUT.flv\n"
                 "\n"
                 "Converts a stream record file (the server-to-client bytes of an RTMP\n"
                 "connection) into an FLV file. When the stream announced its name, the\n"
                 "file is renamed to NAME.flv in the folder of OUTPUT.flv (NAME[n].flv when\n"
                 "that name is taken). The record file is deleted after a complete\n"
                 "conversion. Prints the path of the FLV file.\n"
                 "\n"
                 "  -q, --quiet   no progress bar on stderr\n");
}

void drawProgress(std::uint32_t done, std::uint32_t total) {
    constexpr int kWidth = 40;
    const double fraction = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
    const int filled = static_cast<int>(fraction * kWidth);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%% %.2fMB/%.2fMB", bar, static_cast<int>(fraction * 100.0),
                 static_cast<double>(done) / 1048576.0, static_cast<double>(total) / 1048576.0);
    std::fflush(stderr);
}

int run(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        printUsage(stdout);
        return kExitOk;
    }
    bool quiet = false;
    const char* paths[2] = {nullptr, nullptr};
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-q") == 0 || std::strcmp(argv[i], "--quiet") == 0) {
            quiet = true;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "build-flv: unknown option '%s'\n", argv[i]);
            printUsage(stderr);
            return kExitUsage;
        } else if (count < 2) {
            paths[count++] = argv[i];
        } else {
            printUsage(stderr);
            return kExitUsage;
        }
    }
    if (count != 2) {
        printUsage(stderr);
        return kExitUsage;
    }
    const char* source = paths[0];
    const char* output = paths[1];
    if (std::strlen(source) >= MERLIN_MAX_PATH || std::strlen(output) >= MERLIN_MAX_PATH) {
        std::fprintf(stderr, "build-flv: paths must be shorter than %d characters\n", MERLIN_MAX_PATH);
        return kExitUsage;
    }
    // The library only reports "nothing converted"; say why where we can.
    const int probe = ::open(source, O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
        std::fprintf(stderr, "build-flv: cannot open %s: %s\n", source, std::strerror(errno));
        return kExitSourceError;
    }
    ::close(probe);

    Merlin_InitDll(nullptr);
    const int32_t slot = Merlin_Start(source, output);
    if (slot == MERLIN_ERR_BAD_PATH) {
        std::fprintf(stderr, "build-flv: invalid path\n");
        return kExitUsage;
    }
    if (slot < 0) {
        std::fprintf(stderr, "build-flv: no conversion slot could be started\n");
        return kExitFailure;
    }
    const bool showProgress = !quiet && ::isatty(STDERR_FILENO);
    while (Merlin_IsBuildFinish(slot) == 0) {
        if (showProgress) drawProgress(Merlin_DisposeBytes(slot), Merlin_TotalBytes(slot));
        std::this_thread::sleep_for(std::chrono::milliseconds(showProgress ? 100 : 5));
    }
    if (showProgress) {
        drawProgress(Merlin_DisposeBytes(slot), Merlin_TotalBytes(slot));
        std::fputc('\n', stderr);
    }
    const std::uint32_t made = Merlin_MakeBytes(slot);
    char finalPath[MERLIN_MAX_PATH];
    std::snprintf(finalPath, sizeof finalPath, "%s", output);
    Merlin_GetNewFileName(slot, finalPath);
    Merlin_InitItem(slot);

    if (made == 0) {
        if (::access(output, F_OK) != 0) {
            std::fprintf(stderr, "build-flv: cannot create %s\n", output);
            return kExitFailure;
        }
        std::fprintf(stderr, "build-flv: no RTMP chunk stream could be followed in %s; it is kept\n", source);
        return kExitFailure;
    }
    std::printf("%s\n", finalPath);
    return kExitOk;
}

const CliRegistrar reg{{"build-flv", "convert a stream record file into an FLV file", &run}};

}  // namespace
}  // namespace kestrel::cli
