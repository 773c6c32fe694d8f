#pragma once
// Running the outside tools (ffmpeg, ffprobe, flvmeta) from tests.

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace kestrel::test {

// text in single quotes for sh, with its own single quotes escaped.
inline std::string quote(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs command through sh; out gets its standard output. The exit status,
// or -1 when it did not run or did not exit.
inline int runCommand(const std::string& command, std::string& out) {
    out.clear();
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool haveTool(const char* name) {
    std::string out;
    return runCommand(std::string("command -v ") + name + " >/dev/null 2>&1", out) == 0;
}

}  // namespace kestrel::test
