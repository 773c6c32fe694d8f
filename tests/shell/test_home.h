#pragma once
// The program's folders for a test: KESTREL_HOME, XDG_CONFIG_HOME,
// XDG_DATA_HOME and XDG_RUNTIME_DIR pointed at a temp folder of the test's
// own (the program registers itself for .flv files and keeps a lock file:
// tests never touch the user's); the environment is put back and the folder
// removed afterwards.

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_files.h"

namespace kestrel::test {

class TestHome {
public:
    explicit TestHome(const std::string& prefix) : root_(tempFolder(prefix)) {
        namespace fs = std::filesystem;
        const std::pair<const char*, const char*> folders[] = {
            {"KESTREL_HOME", "home/"},
            {"XDG_CONFIG_HOME", "config/"},
            {"XDG_DATA_HOME", "data/"},
            {"XDG_RUNTIME_DIR", "runtime/"},
        };
        if (root_.empty()) return;
        for (const auto& [variable, folder] : folders) {
            const char* old = std::getenv(variable);
            saved_.emplace_back(variable, old ? std::optional<std::string>(old) : std::nullopt);
            const std::string path = root_ + folder;
            fs::create_directories(path);
            fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
            ::setenv(variable, path.c_str(), 1);
        }
    }
    ~TestHome() {
        for (const auto& [variable, value] : saved_) {
            if (value)
                ::setenv(variable.c_str(), value->c_str(), 1);
            else
                ::unsetenv(variable.c_str());
        }
        if (!root_.empty()) std::filesystem::remove_all(root_);
    }
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    bool ok() const { return !root_.empty(); }
    const std::string& root() const { return root_; }
    std::string folder(const char* sub) const { return root_ + sub; }
    std::string dataFolder() const { return root_ + "home/"; }
    std::string settingsPath() const { return dataFolder() + "setting.ini"; }

    // Every file under the folder, relative to the root: what a run left.
    std::vector<std::string> files() const {
        namespace fs = std::filesystem;
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(root_))
            if (!e.is_directory()) out.push_back(fs::relative(e.path(), root_).string());
        return out;
    }

private:
    std::string root_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace kestrel::test
