#include "platform/shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace kestrel::platform {

bool spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
    // Reaped on a thread of its own so that no zombie stays behind and the
    // caller (the user-interface thread) never waits.
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

bool DesktopShell::open(std::string_view target) {
    return spawnDetached({"xdg-open", std::string(target)});
}

bool DesktopShell::showInFolder(std::string_view path) {
    const std::string p(path);
    if (p.empty() || p.front() != '/') return open(p);
    std::string uri = "file://";
    for (const char ch : p) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
        if (plain) {
            uri += ch;
        } else {
            static constexpr char kHex[] = "0123456789ABCDEF";
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 15];
        }
    }
    // The file manager's interface selects the file; without a session bus
    // or a file manager that offers it, the folder is opened instead.
    const bool haveBus = ::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr;
    if (haveBus && spawnDetached({"gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1",
                                  "--object-path", "/org/freedesktop/FileManager1", "--method",
                                  "org.freedesktop.FileManager1.ShowItems", "['" + uri + "']", ""}))
        return true;
    const auto slash = p.find_last_of('/');
    return open(p.substr(0, slash + 1));
}

namespace {
DesktopShell g_desktop;
Shell* g_shell = &g_desktop;
}  // namespace

Shell& shell() { return *g_shell; }
void setShell(Shell* replacement) { g_shell = replacement ? replacement : &g_desktop; }

}  // namespace kestrel::platform
