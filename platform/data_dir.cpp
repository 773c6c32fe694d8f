#include "platform/data_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace kestrel::platform {

namespace {
std::string withSlash(std::string p) {
    if (p.empty() || p.back() != '/') p.push_back('/');
    return p;
}
std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}
}  // namespace

std::string homeFolder() {
    std::string home = envOrEmpty("HOME");
    if (home.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) home = pw->pw_dir;
    }
    if (home.empty()) home = "/tmp";
    return withSlash(home);
}

std::string dataFolder() {
    std::string dir = envOrEmpty("KESTREL_HOME");
    if (dir.empty()) {
        std::string config = envOrEmpty("XDG_CONFIG_HOME");
        if (config.empty()) config = homeFolder() + ".config";
        dir = withSlash(config) + "kestrel";
    }
    dir = withSlash(dir);
    makeFolders(dir);
    return dir;
}

std::string executableFolder() {
    std::vector<char> buf(4096);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return "./";
    std::string path(buf.data(), static_cast<std::size_t>(n));
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

bool folderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void removeFile(const std::string& path) {
    ::unlink(path.c_str());
}

bool makeFolders(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial = path.substr(0, next);
        if (!partial.empty() && !folderExists(partial)) {
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        pos = next + 1;
    }
    return folderExists(path);
}

}  // namespace kestrel::platform
