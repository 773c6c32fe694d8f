#pragma once
// Makes the file associations of the registry store real on a freedesktop
// desktop; the counterpart of telling the Windows shell that associations
// changed.
//
// For every extension with a known MIME type (".flv" is video/x-flv), the
// store's answer is mirrored:
// - HKEY_CLASSES_ROOT\{ext} names a type; when the type has an open command
//   or context-menu verbs ({type}\shell\{verb}\command), a desktop entry
//   $XDG_DATA_HOME/applications/{type}.desktop (lower case, characters other
//   than letters, digits, '.', '-' and '_' as '-') is written: Exec runs the
//   open command's program (else the first verb's) with the file, MimeType
//   lists the type, and every verb is a desktop action named by its key, the
//   menu text. Without an open command and verbs the entry is removed. Only
//   entries this code wrote (they carry X-Kestrel-Registry-Type) are ever
//   replaced or removed.
// - When the type has an open command, the entry becomes the default handler
//   in $XDG_CONFIG_HOME/mimeapps.list ([Default Applications]); the handler
//   it replaced is kept in the store (value named by the MIME type in
//   HKEY_CURRENT_USER\Software\Kestrel\DesktopDefaults) and put back when
//   the open command goes, unless the user has chosen another handler since.
// Of a command, only its program is used (quoted or up to the first blank);
// the entry passes the file as the one argument.
//
// XDG_DATA_HOME and XDG_CONFIG_HOME are used when set to absolute paths,
// else ~/.local/share and ~/.config. Files are replaced atomically.

#include <string>
#include <string_view>

#include "platform/registry.h"

namespace kestrel::platform {

// The MIME type of an extension (with its dot, any case); empty when unknown.
std::string_view mimeTypeForExtension(std::string_view extension);

// $XDG_DATA_HOME/applications/ and $XDG_CONFIG_HOME/mimeapps.list.
std::string desktopApplicationsFolder();
std::string mimeAppsListPath();

// The desktop file id written for a type name ("Kestrel.flv" gives
// "kestrel.flv.desktop").
std::string desktopIdForType(std::string_view typeName);

// Mirrors the store onto the desktop as described above. Returns an empty
// text on success, else what could not be done (the rest is still done).
std::string notifyAssociationsChanged(Registry& store);

// The first desktop id that mimeapps.list gives as the default handler of
// mime; empty when there is none.
std::string defaultDesktopHandler(std::string_view mime);

}  // namespace kestrel::platform
