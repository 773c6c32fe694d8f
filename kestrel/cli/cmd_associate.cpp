// kestrel-cli associate [--file on|off] [--menu on|off]: registers Kestrel
// for ".flv" files through libplover, as the program does at start and as the
// options dialog does on OK.

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "kestrel/cli/cli_command.h"
#include "platform/data_dir.h"
#include "platform/desktop_integration.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "plover/plover.h"

namespace kestrel::cli {
namespace {

constexpr const char* kExtension = ".flv";
constexpr const char* kMenuText = "Play in Kestrel";
constexpr const char* kSection = "Normal";
constexpr const char* kFileKey = "AssociatedFile";
constexpr const char* kMenuKey = "AssociatedMenu";

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
                 "AssociatedFile and AssociatedMenu in setting.ini ask for (1 when there is\n"
                 "no setting.ini yet) and removes nothing.\n"
                 "With options it does what OK in the options dialog does: the choices are\n"
                 "saved to setting.ini (when it exists), then each registration is added or\n"
                 "removed; a choice not given is taken from setting.ini (1 without one).\n\n"
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

// A setting of 1 means yes; anything else (missing, 0, out of range) no.
bool settingIsOn(const platform::ProfileFile& settings, const char* key) {
    return settings.getInt(kSection, key, 0) == 1;
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

    const std::string settingsPath = platform::dataFolder() + "setting.ini";
    const bool haveSettings = platform::fileExists(settingsPath);
    platform::ProfileFile settings = platform::ProfileFile::load(settingsPath);
    const std::string program = platform::executableFolder() + "kestrel";
    bool ok = true;

    if (!file && !menu) {
        // As at program start: only the registrations the settings ask for.
        bool wantFile = !haveSettings || settingIsOn(settings, kFileKey);
        bool wantMenu = !haveSettings || settingIsOn(settings, kMenuKey);
        if (wantFile)
            ok &= report("File_Associated", File_Associated(kExtension, program.c_str(), 1),
                         std::string(kExtension) + " files open with " + program);
        if (wantMenu)
            ok &= report("ContextMenu_Add", ContextMenu_Add(kExtension, program.c_str(), kMenuText),
                         std::string("context-menu entry \"") + kMenuText + "\" added");
        if (!wantFile && !wantMenu) std::printf("setting.ini asks for no registration\n");
    } else {
        // As on OK in the options dialog: save the choices, then apply both.
        bool wantFile = file.value_or(!haveSettings || settingIsOn(settings, kFileKey));
        bool wantMenu = menu.value_or(!haveSettings || settingIsOn(settings, kMenuKey));
        if (haveSettings) {
            settings.setString(kSection, kFileKey, wantFile ? "1" : "0");
            settings.setString(kSection, kMenuKey, wantMenu ? "1" : "0");
            if (!settings.save(settingsPath)) {
                std::fprintf(stderr, "kestrel-cli associate: %s cannot be written\n", settingsPath.c_str());
                ok = false;
            }
        } else {
            std::fprintf(stderr, "kestrel-cli associate: no %s yet; the choice is not saved\n", settingsPath.c_str());
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
