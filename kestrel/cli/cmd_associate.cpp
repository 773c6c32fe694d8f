// kestrel-cli associate [--file on|off] [--menu on|off]: registers Kestrel
// for ".flv" files through libplover, as the program does at start and as the
// options dialog does on OK.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "kestrel/cli/cli_command.h"
#include "kestrel/engine/settings.h"
#include "platform/data_dir.h"
#include "platform/desktop_integration.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "plover/plover.h"

namespace kestrel::cli {
namespace {

constexpr const char* kExtension = ".flv";
constexpr const char* kMenuText = "Play in Kestrel";

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kestrel-cli associate [--file on|off] [--menu on|off]\n\n"
                 "Registers Kestrel (the program beside kestrel-cli) for \".flv\" files: as the\n"
                 "program that opens them (--file) and as their context-menu entry \"Play in\n"
                 "Kestrel\" (--menu). The registration is kept in registry.reg in the data\n"
                 "folder and mirrored onto the desktop: a desktop entry in\n"
                 "$XDG_DATA_HOME/applications/ and the default handler for video/x-flv in\n"
                 "$XDG_CONFIG_HOME/mimeapps.list (the handler it replaced comes back when the\n"
                 "association is removed).\n\n"
                 "Without options it does what Kestrel does at start: registers what\n"
                 "AssociatedFile and AssociatedMenu in setting.ini ask for and removes\n"
                 "nothing (a missing setting.ini is written from the built-in default,\n"
                 "which asks for both).\n"
                 "With options it does what OK in the options dialog does: the settings are\n"
                 "saved with the choices, then each registration is added or removed; a\n"
                 "choice not given is taken from setting.ini.\n\n"
                 "Exit status: 0 when every call succeeded, 1 otherwise, 2 for bad usage.\n");
}

bool parseSwitch(const char* text, bool& value) {
    if (std::strcmp(text, "on") == 0 || std::strcmp(text, "1") == 0) {
        value = true;
        return true;
    }
    if (std::strcmp(text, "off") == 0 || std::strcmp(text, "0") == 0) {
        value = false;
        return true;
    }
    return false;
}

bool report(const char* call, int result, const std::string& what) {
    if (result == 1)
        std::printf("%s\n", what.c_str());
    else
        std::fprintf(stderr, "kestrel-cli associate: %s failed\n", call);
    return result == 1;
}

int run(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        printUsage(stdout);
        return kExitOk;
    }
    std::optional<bool> file, menu;
    for (int i = 1; i < argc; ++i) {
        bool value = false;
        bool isFile = std::strcmp(argv[i], "--file") == 0;
        bool isMenu = std::strcmp(argv[i], "--menu") == 0;
        if ((!isFile && !isMenu) || i + 1 >= argc || !parseSwitch(argv[i + 1], value)) {
            std::fprintf(stderr, "kestrel-cli associate: bad argument '%s'\n", argv[i]);
            printUsage(stderr);
            return kExitUsage;
        }
        (isFile ? file : menu) = value;
        ++i;
    }

    // As the program does: a missing setting.ini is first written from the
    // built-in default, which asks for both registrations.
    const std::string settingsPath = platform::dataFolder() + "setting.ini";
    engine::SettingsRecord record;
    engine::SettingsGlobals globals;
    engine::loadSettings(settingsPath, record, globals);
    const std::string program = platform::executableFolder() + "kestrel";
    bool ok = true;

    if (!file && !menu) {
        // As at program start: only the registrations the settings ask for.
        bool wantFile = record.associateFile == 1;
        bool wantMenu = record.contextMenu == 1;
        if (wantFile)
            ok &= report("File_Associated", File_Associated(kExtension, program.c_str(), 1),
                         std::string(kExtension) + " files open with " + program);
        if (wantMenu)
            ok &= report("ContextMenu_Add", ContextMenu_Add(kExtension, program.c_str(), kMenuText),
                         std::string("context-menu entry \"") + kMenuText + "\" added");
        if (!wantFile && !wantMenu) std::printf("setting.ini asks for no registration\n");
    } else {
        // As on OK in the options dialog: save the settings, then apply both.
        bool wantFile = file.value_or(record.associateFile == 1);
        bool wantMenu = menu.value_or(record.contextMenu == 1);
        record.associateFile = wantFile ? 1 : 0;
        record.contextMenu = wantMenu ? 1 : 0;
        engine::saveSettings(settingsPath, record, globals);
        // The settings writer does not report failures; look at what the file holds.
        auto saved = platform::ProfileFile::load(settingsPath);
        if (saved.getInt(engine::kSettingsSection, "AssociatedFile", -1) != record.associateFile ||
            saved.getInt(engine::kSettingsSection, "AssociatedMenu", -1) != record.contextMenu) {
            std::fprintf(stderr, "kestrel-cli associate: %s cannot be written\n", settingsPath.c_str());
            ok = false;
        }
        if (wantFile)
            ok &= report("File_Associated", File_Associated(kExtension, program.c_str(), 1),
                         std::string(kExtension) + " files open with " + program);
        else
            ok &= report("File_Unassociated", File_Unassociated(kExtension),
                         std::string(kExtension) + " association removed");
        if (wantMenu)
            ok &= report("ContextMenu_Add", ContextMenu_Add(kExtension, program.c_str(), kMenuText),
                         std::string("context-menu entry \"") + kMenuText + "\" added");
        else
            ok &= report("ContextMenu_Delete", ContextMenu_Delete(kExtension, kMenuText),
                         std::string("context-menu entry \"") + kMenuText + "\" removed");
    }

    {
        // The library cannot say why the store or the desktop refused; ask
        // them again (bringing the desktop in line a second time changes
        // nothing that is already right).
        platform::Registry store(platform::Registry::defaultPath());
        std::string problem = store.ready() ? platform::notifyAssociationsChanged(store) : store.problem();
        if (!problem.empty()) std::fprintf(stderr, "kestrel-cli associate: %s\n", problem.c_str());
    }
    std::string mime(platform::mimeTypeForExtension(kExtension));
    std::string handler = platform::defaultDesktopHandler(mime);
    std::printf("default handler for %s in %s: %s\n", mime.c_str(), platform::mimeAppsListPath().c_str(),
                handler.empty() ? "none" : handler.c_str());
    return ok ? kExitOk : kExitFailure;
}

const CliRegistrar reg{{"associate", "register Kestrel for .flv files with the desktop", &run}};

}  // namespace
}  // namespace kestrel::cli
