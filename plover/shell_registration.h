#pragma once
// The four registrations of libplover over an open registry store. The C
// exports in plover_exports.cpp open the store and call these.

#include <string>
#include <string_view>

#include "platform/registry.h"

namespace kestrel::plover {

struct ProgramNames {
    std::string fileName;  // after the last '/'
    std::string baseName;  // fileName without its last extension
    std::string command;   // "\"<path>\" %1"
};

// False when the path names no file (empty, or ending with '/').
bool programNames(std::string_view programPath, ProgramNames& out);

// A name that can stand for one key: not empty, no '\'.
bool isKeyName(std::string_view name);

int fileAssociated(platform::Registry& store, std::string_view extension, std::string_view programPath);
int fileUnassociated(platform::Registry& store, std::string_view extension);
int contextMenuAdd(platform::Registry& store, std::string_view extension, std::string_view programPath,
                   std::string_view menuText);
int contextMenuDelete(platform::Registry& store, std::string_view extension, std::string_view menuText);

// Deletes parent\name with all its subkeys, first subkey first. Returns
// kRegSuccess, the error of the step that failed, or kRegNotReady when
// subkeys remain.
long deleteKeyTree(platform::Registry& store, const platform::RegistryKey& parent, std::string_view name);

}  // namespace kestrel::plover
