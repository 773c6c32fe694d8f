#pragma once
// Small file helpers for tests.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kestrel::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A fresh empty folder under the system temp folder, with a trailing '/'.
inline std::string tempFolder(const std::string& prefix) {
    std::string t = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    return ::mkdtemp(t.data()) ? t + "/" : std::string();
}

}  // namespace kestrel::test
