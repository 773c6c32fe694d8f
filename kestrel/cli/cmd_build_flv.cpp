// kestrel-cli build-flv: converts one stream record file into an FLV file
// through the FLV builder library's own exported interface, as any host of
// the library would: start, poll, read the results, release the slot. The
// library's result decides the exit status, so a script can tell a complete
// conversion (record file deleted) from one that kept the record file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
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
                 "that name is taken). Prints the path of the FLV file.\n"
                 "The record file is deleted only after a complete conversion; a record\n"
                 "file that is damaged, cut short or could not be converted in full is\n"
                 "kept. RECORD_FILE must be a regular file (not a FIFO or a device).\n"
                 "\n"
                 "  -q, --quiet   no progress bar on stderr\n"
                 "\n"
                 "Exit status:\n"
                 "  0  converted completely; the record file was deleted\n"
                 "  1  nothing converted: the record file is empty or holds no RTMP chunk\n"
                 "     stream that could be followed, or the FLV file could not be created\n"
                 "     or written; the record file is kept\n"
                 "  2  usage error\n"
                 "  3  the record file cannot be opened, or is not a regular file\n"
                 "  4  converted in part: the FLV file holds what could be converted, but\n"
                 "     the record file is damaged or cut short, or its stream is (a message\n"
                 "     says what); the record file is kept\n");
}

// What kept a conversion from being complete, in words, joined by "; ".
std::string faultText(std::uint32_t faults) {
    static constexpr struct {
        std::uint32_t bit;
        const char* text;
    } kFaults[] = {
        {MERLIN_FAULT_DAMAGED_RECORD, "a record header is damaged (its flags are none a recorder writes)"},
        {MERLIN_FAULT_CUT_RECORD, "the file ends inside a record (it was cut short)"},
        {MERLIN_FAULT_REFUSED_HEADER, "chunk headers that cannot be right: bytes were passed over"},
        {MERLIN_FAULT_CUT_MESSAGE, "messages ended before their announced length: their tags were left out"},
        {MERLIN_FAULT_READ_ERROR, "the file could not be read to its end"},
        {MERLIN_FAULT_WRITE_ERROR, "writing the FLV file failed"},
    };
    std::string text;
    for (const auto& f : kFaults) {
        if ((faults & f.bit) == 0) continue;
        if (!text.empty()) text += "; ";
        text += f.text;
    }
    return text;
}

// Refuses, with a message, a source the library would refuse or could not
// use: missing, unreadable, not a regular file, empty. Opening with
// O_NONBLOCK keeps a FIFO from blocking the check. Returns the exit code,
// or -1 when the source can be converted.
int checkSource(const char* source) {
    struct stat st {};
    if (::stat(source, &st) != 0) {
        std::fprintf(stderr, "build-flv: cannot open %s: %s\n", source, std::strerror(errno));
        return kExitSourceError;
    }
    if (!S_ISREG(st.st_mode)) {
        const char* what = S_ISDIR(st.st_mode)                          ? "a folder"
                           : S_ISFIFO(st.st_mode)                       ? "a FIFO"
                           : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                           : S_ISSOCK(st.st_mode)                       ? "a socket"
                                                                        : "not a file";
        std::fprintf(stderr, "build-flv: %s is %s, not a regular file: a record file is needed\n", source, what);
        return kExitSourceError;
    }
    const int probe = ::open(source, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (probe < 0) {
        std::fprintf(stderr, "build-flv: cannot open %s: %s\n", source, std::strerror(errno));
        return kExitSourceError;
    }
    ::close(probe);
    if (st.st_size == 0) {
        std::fprintf(stderr, "build-flv: %s is empty: nothing to convert; it is kept\n", source);
        return kExitFailure;
    }
    return -1;
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
    if (const int refused = checkSource(source); refused >= 0) return refused;

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
    const std::int32_t result = Merlin_GetResult(slot);
    const std::uint32_t faults = Merlin_GetFaults(slot);
    char finalPath[MERLIN_MAX_PATH];
    std::snprintf(finalPath, sizeof finalPath, "%s", output);
    Merlin_GetNewFileName(slot, finalPath);
    Merlin_InitItem(slot);

    switch (result) {
    case MERLIN_RESULT_COMPLETE:
        std::printf("%s\n", finalPath);
        return kExitOk;
    case MERLIN_RESULT_PARTIAL:
        // The FLV file is valid and holds what could be converted: name it.
        std::printf("%s\n", finalPath);
        std::fprintf(stderr, "build-flv: %s was converted only in part: %s. %s holds what could be converted; "
                             "the record file is kept\n",
                     source, faultText(faults).c_str(), finalPath);
        return kExitIncomplete;
    case MERLIN_RESULT_NOT_SYNCHRONISED:
        std::fprintf(stderr, "build-flv: no RTMP chunk stream could be followed in %s%s; it is kept\n", source,
                     (faults & MERLIN_FAULT_DAMAGED_RECORD) ? " (its record headers are damaged: it may not be a "
                                                              "stream record file)"
                                                            : "");
        return kExitFailure;
    case MERLIN_RESULT_SOURCE_ERROR:
        std::fprintf(stderr, "build-flv: cannot read %s as a record file; it is kept\n", source);
        return kExitSourceError;
    case MERLIN_RESULT_OUTPUT_ERROR:
        if (faults & MERLIN_FAULT_WRITE_ERROR)
            std::fprintf(stderr, "build-flv: writing %s failed; %s is kept\n", output, source);
        else
            std::fprintf(stderr, "build-flv: cannot create %s; %s is kept\n", output, source);
        return kExitFailure;
    default:
        std::fprintf(stderr, "build-flv: the conversion could not be run (no memory or thread); %s is kept\n",
                     source);
        return kExitFailure;
    }
}

const CliRegistrar reg{{"build-flv", "convert a stream record file into an FLV file", &run}};

}  // namespace
}  // namespace kestrel::cli
