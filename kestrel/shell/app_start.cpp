#include "kestrel/shell/app_start.h"

#include <cstdio>
#include <cstring>

#include "platform/data_dir.h"
#include "platform/profile.h"
#include "plover/plover.h"

namespace kestrel::shell {

std::string_view englishLanguageFile();  // generated from resources/eng.ini

namespace {

constexpr std::string_view kUsage =
    "usage: kestrel [--source SRC] [--save DIR] [--start] [FILE]\n"
    "\n"
    "Kestrel records the media streams that players on this machine fetch over\n"
    "HTTP or RTMP, and plays them. One Kestrel runs at a time: started again, it\n"
    "hands FILE to the running one and exits (without FILE it only wakes it).\n"
    "\n"
    "  FILE          an FLV file to play\n"
    "  --source SRC  capture on SRC instead of choosing an adapter: rpcap://DEV or\n"
    "                DEV for a live adapter, file://PATH to replay a pcap or pcapng\n"
    "                file (the capture ends at the end of the file)\n"
    "  --save DIR    save folder for this run only (setting.ini is not changed)\n"
    "  --start       press Start once the window is up\n"
    "  --help        this text\n"
    "\n"
    "The settings, the playlist and the language files live in $KESTREL_HOME,\n"
    "else $XDG_CONFIG_HOME/kestrel/ (~/.config/kestrel/).\n";

}  // namespace

std::string_view usageText() { return kUsage; }

std::string_view englishLanguageText() { return englishLanguageFile(); }

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine c;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                c.error = std::string(a) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            c.help = true;
        } else if (a == "--source") {
            if (!value(c.source)) return c;
        } else if (a == "--save") {
            if (!value(c.save)) return c;
        } else if (a == "--start") {
            c.start = true;
        } else if (a.size() > 1 && a[0] == '-') {
            c.error = "unknown option " + std::string(a);
            return c;
        } else if (c.file.empty()) {
            c.file = std::string(a);
        } else {
            c.error = "more than one file: " + std::string(a);
            return c;
        }
    }
    return c;
}

bool setUpLanguage(const std::string& dataFolder, engine::SettingsRecord& record) {
    const std::string folder = dataFolder + "Language/";
    bool ok = platform::makeFolders(folder);
    if (ok) {
        const std::string path = folder + "eng.ini";
        const std::string temp = path + ".tmp";
        const auto text = englishLanguageText();
        std::FILE* f = std::fopen(temp.c_str(), "wb");
        ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (f) ok = std::fclose(f) == 0 && ok;
        ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
        if (!ok) std::remove(temp.c_str());
    }
    record.language = "English";
    const std::string settings = dataFolder + "setting.ini";
    platform::ProfileFile file = platform::ProfileFile::load(settings);
    file.setString(engine::kSettingsSection, "Language", "English");
    return file.save(settings) && ok;
}

std::string associateAtStart(const engine::SettingsRecord& record, const std::string& program) {
    std::string failed;
    if (record.associateFile == 1 && File_Associated(kAssociatedExtension, program.c_str(), 1) != 1)
        failed = "File_Associated";
    if (record.contextMenu == 1 && ContextMenu_Add(kAssociatedExtension, program.c_str(), kContextMenuText) != 1)
        failed += failed.empty() ? "ContextMenu_Add" : ", ContextMenu_Add";
    return failed;
}

}  // namespace kestrel::shell
