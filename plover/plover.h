#pragma once
/* libplover: registers a program with the desktop for one file extension,
 * as the program that opens files of that type and as an extra entry of
 * their context menu, and undoes both.
 *
 * Everything lives in the registry store (registry.reg in the data folder:
 * $KESTREL_HOME, else $XDG_CONFIG_HOME/kestrel/); the library keeps nothing
 * between calls. After each call the desktop is brought in line with the
 * store: a desktop entry under $XDG_DATA_HOME/applications/ and the default
 * handler in $XDG_CONFIG_HOME/mimeapps.list (see platform/desktop_integration.h).
 *
 * Store layout (all values REG_SZ):
 *   HKEY_CLASSES_ROOT\{ext}                          default: type name
 *   HKEY_CLASSES_ROOT\{type}\shell\open\command      default: open command
 *                                                    "OldValue": the open command
 *                                                    before this library changed it
 *   HKEY_CLASSES_ROOT\{type}\DefaultIcon             default: icon
 *   HKEY_CLASSES_ROOT\{type}\shell\{menu text}\command  default: the verb's command
 *   HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts\{ext}
 *                                                    "Application": the user's own
 *                                                    choice, removed on association
 *
 * Derived texts:
 *   program file name  the program path after its last '/'; a path without
 *                      a '/' is the file name as a whole
 *   base name          the program file name without its last '.' and what
 *                      follows; a file name without a dot (or whose only dot
 *                      is its first character) is the base name as a whole
 *   command            "\"<program path>\" %1"
 *   new type name      base name followed by the extension ("kestrel.flv")
 * Commands are compared without regard to case (ASCII). Values are read
 * whole, whatever their length.
 *
 * Contract of every function:
 * - Returns 1 on success, 0 on failure. Text is UTF-8, NUL-terminated,
 *   copied before the call returns; the library keeps no pointer.
 * - A NULL or empty argument, a program path that names no file (ends with
 *   '/'), and an extension or menu text containing '\' (which would name
 *   another key) fail with 0 and change nothing.
 * - A damaged or unwritable store fails with 0; a damaged store file is left
 *   exactly as it is.
 * - A failure part-way leaves the changes already made; a command is never
 *   replaced unless the one it replaces was kept first.
 * - Callable from any thread; calls from several threads or processes are
 *   serialised by the store's lock. No exception leaves the library.
 */

#ifdef __cplusplus
#define PLOVER_API extern "C" __attribute__((visibility("default")))
#else
#define PLOVER_API __attribute__((visibility("default")))
#endif

/* Makes programPath the program that opens files with extension (".flv"):
 * removes the user's own choice, gives the extension a type name when it has
 * none, sets the type's open command and keeps the command it replaced in
 * "OldValue" (only when no "OldValue" is kept already, so associating again,
 * even from another path, never loses the original command), empties the
 * type's icon when it has a DefaultIcon key, and updates the desktop.
 * reserved is ignored. */
PLOVER_API int File_Associated(const char* extension, const char* programPath, int reserved);

/* Puts back the open command kept in "OldValue" and removes "OldValue";
 * without "OldValue" the command stays. Returns 1 when the extension, its type
 * or the open command key does not exist. The extension key and type name
 * stay. Updates the desktop. */
PLOVER_API int File_Unassociated(const char* extension);

/* Adds the context-menu verb menuText running programPath to the extension's
 * type (giving the extension a type name when it has none). Updates the
 * desktop (an action of the desktop entry). */
PLOVER_API int ContextMenu_Add(const char* extension, const char* programPath, const char* menuText);

/* Deletes the verb menuText of the extension's type with all its subkeys.
 * Returns 1 when it is gone or was never there (or the extension has no
 * key or type name); 0 when it could not be deleted. Updates the desktop. */
PLOVER_API int ContextMenu_Delete(const char* extension, const char* menuText);
