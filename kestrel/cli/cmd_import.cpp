// kestrel-cli import: hands a capture data file back for processing, as the
// main window's "Add *.FlvData to process" does.

#include <cstdio>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kestrel/cli/cli_command.h"
#include "kestrel/cli/console_ui.h"
#include "kestrel/cli/item_report.h"
#include "kestrel/engine/engine.h"
#include "kestrel/files/capture_import.h"
#include "kestrel/session/recorder_session.h"

namespace kestrel::cli {
namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kestrel-cli import FILE.flvdata [--builtin] [--save DIR] [--home DIR]\n\n"
                 "Processes a capture data file left by an earlier run. The file and its\n"
                 "index (FILE.flvdata.idx) are read from the save folder's Temp/ folder by\n"
                 "name; the output gets a fresh number with the extension .flv.\n\n"
                 "  --builtin     convert streams with the built-in converter only\n"
                 "  --save DIR    save folder for this run only\n"
                 "  --home DIR    data folder holding setting.ini\n\n"
                 "Prints the item line of 'kestrel-cli capture'. Exit status: 0 when the\n"
                 "item is done and complete, 1 when the file is refused or processing failed,\n"
                 "2 usage, 4 when the item is done but incomplete (gaps, or a body shorter than\n"
                 "its Content-Length, as data left by an interrupted run is).\n");
}

int run(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        usage(stdout);
        return kExitOk;
    }
    std::string file, save, home;
    bool builtin = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--builtin") {
            builtin = true;
        } else if ((a == "--save" || a == "--home") && i + 1 < argc) {
            (a == "--save" ? save : home) = argv[++i];
        } else if (!a.empty() && a[0] != '-' && file.empty()) {
            file = a;
        } else {
            std::fprintf(stderr, "kestrel-cli import: unexpected argument '%s'\n", argv[i]);
            usage(stderr);
            return kExitUsage;
        }
    }
    if (file.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    if (!home.empty()) ::setenv("KESTREL_HOME", home.c_str(), 1);

    ConsoleUi ui;
    session::RecorderSession session(ui, {.dataFolder = {}, .loadRecordingLibrary = false});
    engine::Engine& engine = session.engine();
    session.loadSettings();
    if (!save.empty()) engine.globals().saveFolder = engine::correctSaveFolder(save);

    std::string fullPath = file;
    if (fullPath[0] != '/') {
        if (char* cwd = ::getcwd(nullptr, 0)) {
            fullPath = std::string(cwd) + "/" + file;
            std::free(cwd);
        }
    }
    const std::string temp = engine.globals().saveFolder + "Temp/";
    const int index = files::importCaptureData(engine, fullPath, builtin ? files::ImportCommand::Old
                                                                           : files::ImportCommand::MainWindow);
    if (index == 0) return kExitFailure;
    if (fullPath.rfind(temp, 0) != 0 || fullPath.find('/', temp.size()) != std::string::npos)
        std::fprintf(stderr, "kestrel-cli: note: the file is looked for in %s by its name\n", temp.c_str());
    waitForProcessing(engine, session.window(), builtin ? engine::ProcessingMode::BuiltinOnly : engine::ProcessingMode::Standard);
    session.saveRecordingNumber();
    const int notComplete = printItems(engine, session.postProcessor());
    if (!engine.items().at(index)->is(engine::ItemState::Done)) return kExitFailure;
    return notComplete > 0 ? kExitIncomplete : kExitOk;
}

const CliRegistrar reg{{"import", "process a capture data file left by an earlier run", &run}};

}  // namespace
}  // namespace kestrel::cli
