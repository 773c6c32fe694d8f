#include "common/final_naming.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kestrel {

namespace {
bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}
}  // namespace

bool cutStrayFlvPrefix(const std::string& path) {
    constexpr std::size_t kCut = 6;
    constexpr std::size_t kBlock = 450000;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return true;
    unsigned char head[9] = {};
    const bool needed = std::fread(head, 1, sizeof head, in) == sizeof head && std::memcmp(head + kCut, "FLV", 3) == 0;
    if (!needed) {
        std::fclose(in);
        return true;
    }
    const std::string copyPath = path + ".1.flv";
    std::FILE* out = std::fopen(copyPath.c_str(), "wb");
    bool ok = out != nullptr && std::fseek(in, static_cast<long>(kCut), SEEK_SET) == 0;
    std::vector<unsigned char> block(kBlock);
    while (ok) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), in);
        if (n == 0) {
            ok = !std::ferror(in);
            break;
        }
        ok = std::fwrite(block.data(), 1, n, out) == n;
    }
    std::fclose(in);
    if (out) ok = std::fclose(out) == 0 && ok;
    // The copy replaces the original in one step, so a failure leaves one whole file.
    if (ok) ok = std::rename(copyPath.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(copyPath.c_str());
    return ok;
}

std::string uniqueName(const std::string& folder, const std::string& title) {
    const std::size_t dot = title.rfind('.');
    const std::string base = dot == std::string::npos ? title : title.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : title.substr(dot);
    std::string candidate = base + ext;
    for (int k = 1; exists(folder + candidate); ++k) candidate = base + "(" + std::to_string(k) + ")" + ext;
    return candidate;
}

}  // namespace kestrel
