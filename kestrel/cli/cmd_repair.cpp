// kestrel-cli repair FILE.flv...: writes FILE.flv.fixed.flv beside each file.

#include <cstdio>
#include <string>

#include "kestrel/cli/cli_command.h"
#include "kestrel/files/flv_repair.h"
#include "platform/ui_port.h"

namespace kestrel::cli {
namespace {

// Message boxes become lines on standard output.
class ConsoleMessages final : public platform::UiPort {
public:
    platform::Answer messageBox(std::string_view text, platform::Buttons buttons) override {
        std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
        return buttons == platform::Buttons::YesNo || buttons == platform::Buttons::YesNoCancel
                   ? platform::Answer::No
                   : platform::Answer::Ok;
    }
};

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kestrel-cli repair FILE.flv...\n\n"
                 "Writes a repaired copy FILE.flv.fixed.flv beside each file: audio and video\n"
                 "tags get regular timestamps (audio every 12 ms, video every 10 ms) and\n"
                 "consistent tag sizes; tag data is copied unchanged. An existing copy is\n"
                 "replaced. The file itself is never modified.\n\n"
                 "Exit status: 0 when every copy was written, 1 otherwise.\n");
}

int repairOne(const std::string& path, platform::UiPort& ui) {
    files::RepairReport r = files::repairFlvFile(path, ui);
    using files::RepairOutcome;
    switch (r.outcome) {
        case RepairOutcome::NoSuchFile:
            std::fprintf(stderr, "kestrel-cli repair: %s: no such file\n", path.c_str());
            return kExitFailure;
        case RepairOutcome::CannotOpen:
        case RepairOutcome::ReadFailed:
        case RepairOutcome::WriteFailed:
            return kExitFailure;
        case RepairOutcome::NotFlv:
            std::fprintf(stderr, "kestrel-cli repair: %s is not an FLV file; no copy was made\n", path.c_str());
            return kExitFailure;
        case RepairOutcome::Truncated:
            std::fprintf(stderr,
                         "kestrel-cli repair: %s ends inside a tag at offset %llu; the copy holds the "
                         "tags before it\n",
                         path.c_str(), static_cast<unsigned long long>(r.truncatedAt));
            break;
        case RepairOutcome::Repaired:
            break;
    }
    std::printf("repaired copy: %s (%llu tags: %llu audio, %llu video, %llu other)\n", r.outputPath.c_str(),
                static_cast<unsigned long long>(r.tags()), static_cast<unsigned long long>(r.audioTags),
                static_cast<unsigned long long>(r.videoTags), static_cast<unsigned long long>(r.otherTags));
    return kExitOk;
}

int run(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        printUsage(stdout);
        return kExitOk;
    }
    if (argc < 2) {
        printUsage(stderr);
        return kExitUsage;
    }
    ConsoleMessages ui;
    int status = kExitOk;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsDone && arg == "--") {
            optionsDone = true;
            continue;
        }
        if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "kestrel-cli repair: unknown option '%s'\n", argv[i]);
            return kExitUsage;
        }
        if (repairOne(arg, ui) != kExitOk) status = kExitFailure;
    }
    return status;
}

const CliRegistrar reg{{"repair", "write a repaired copy (.fixed.flv) of FLV files", &run}};

}  // namespace
}  // namespace kestrel::cli
