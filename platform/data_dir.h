#pragma once
// Where the program keeps its own files (setting.ini, playlist.dat,
// Language/, registry.reg): $KESTREL_HOME when set, else
// $XDG_CONFIG_HOME/kestrel/, else ~/.config/kestrel/. Always ends with '/'.

#include <string>

namespace kestrel::platform {

// The data folder, created (with its parents) when missing. Returns the path
// even when it cannot be created; later file operations then fail visibly.
std::string dataFolder();

// The user's home folder ($HOME, else the password database), with a trailing '/'.
std::string homeFolder();

// The folder of the running executable, with a trailing '/'.
std::string executableFolder();

// mkdir -p; true when the folder exists afterwards.
bool makeFolders(const std::string& path);

bool folderExists(const std::string& path);
bool fileExists(const std::string& path);

// Deletes a file if it is there; a missing file is no failure.
void removeFile(const std::string& path);

}  // namespace kestrel::platform
