// The C interface of libplover: each call opens the registry store (taking
// its lock), runs one registration and closes it again.

#include "plover/plover.h"

#include <string_view>

#include "platform/registry.h"
#include "plover/shell_registration.h"

namespace {

template <typename Body>
int withStore(Body body) noexcept {
    try {
        kestrel::platform::Registry store(kestrel::platform::Registry::defaultPath());
        if (!store.ready()) return 0;
        return body(store);
    } catch (...) {
        return 0;
    }
}

bool given(const char* text) {
    return text != nullptr && text[0] != '\0';
}

}  // namespace

PLOVER_API int File_Associated(const char* extension, const char* programPath, int /*reserved*/) {
    if (!given(extension) || !given(programPath)) return 0;
    return withStore([&](auto& store) { return kestrel::plover::fileAssociated(store, extension, programPath); });
}

PLOVER_API int File_Unassociated(const char* extension) {
    if (!given(extension)) return 0;
    return withStore([&](auto& store) { return kestrel::plover::fileUnassociated(store, extension); });
}

PLOVER_API int ContextMenu_Add(const char* extension, const char* programPath, const char* menuText) {
    if (!given(extension) || !given(programPath) || !given(menuText)) return 0;
    return withStore(
        [&](auto& store) { return kestrel::plover::contextMenuAdd(store, extension, programPath, menuText); });
}

PLOVER_API int ContextMenu_Delete(const char* extension, const char* menuText) {
    if (!given(extension) || !given(menuText)) return 0;
    return withStore([&](auto& store) { return kestrel::plover::contextMenuDelete(store, extension, menuText); });
}
