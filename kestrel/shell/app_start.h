#pragma once
// The desktop program's start, before any window: its command line, the
// built-in English language file, and the file association the settings ask
// for. No Qt here, so the steps are tested on their own.

#include <string>
#include <string_view>

#include "kestrel/engine/settings.h"

namespace kestrel::shell {

struct CommandLine {
    std::string file;    // a file to play, handed to a running instance
    std::string source;  // --source: capture on this instead of choosing an adapter
    std::string save;    // --save: save folder for this run (setting.ini unchanged)
    bool start = false;  // --start: press Start once the window is up
    bool help = false;
    std::string error;   // not empty: the command line is wrong, and why
};

CommandLine parseCommandLine(int argc, char** argv);
// What --help prints.
std::string_view usageText();

// The built-in English language text, as it is written to Language/eng.ini.
std::string_view englishLanguageText();

// Writes Language/eng.ini in the data folder (making the folder), takes
// "English" as the language and writes "Language=English" into section
// Normal of setting.ini. False when a file could not be written.
bool setUpLanguage(const std::string& dataFolder, engine::SettingsRecord& record);

// The extension and the context-menu text Kestrel registers.
inline constexpr const char* kAssociatedExtension = ".flv";
inline constexpr const char* kContextMenuText = "Play in Kestrel";

// Registers the ".flv" association and the context-menu entry when the
// settings ask for them (AssociatedFile / AssociatedMenu are 1), with
// program as the program that opens the files. Removes nothing. Returns
// what failed, empty when nothing did.
std::string associateAtStart(const engine::SettingsRecord& record, const std::string& program);

}  // namespace kestrel::shell
