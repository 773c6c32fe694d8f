#pragma once
// A private data folder and private XDG folders for each test, and short
// ways to read and write the registry store the library works on.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "platform/registry.h"
#include "tests/repair/tool_runner.h"

namespace kestrel::testing {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

class PloverEnvTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::make_unique<TempFolder>("plover");
        home_ = std::make_unique<ScopedEnv>("KESTREL_HOME", dir_->file("home"));
        config_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", dir_->file("config"));
        data_ = std::make_unique<ScopedEnv>("XDG_DATA_HOME", dir_->file("data"));
    }
    void TearDown() override {
        data_.reset();
        config_.reset();
        home_.reset();
        dir_.reset();
    }

public:
    std::string storePath() const { return dir_->file("home/registry.reg"); }
    std::string storeText() const { return slurp(storePath()); }
    std::string applications() const { return dir_->file("data/applications/"); }
    std::string mimeApps() const { return dir_->file("config/mimeapps.list"); }

    static platform::RegistryKey root(const std::string& path, std::string& below) {
        auto slash = path.find('\\');
        std::string rootName = path.substr(0, slash);
        below = slash == std::string::npos ? std::string() : path.substr(slash + 1);
        return platform::RegistryKey::root(rootName == "HKEY_CURRENT_USER" ? platform::RegistryRoot::CurrentUser
                                                                           : platform::RegistryRoot::ClassesRoot);
    }

    // The value, or nullopt when the key or the value is missing.
    std::optional<std::string> value(const std::string& keyPath, const std::string& name = "") const {
        platform::Registry store(storePath());
        std::string below, v;
        platform::RegistryKey key;
        platform::RegistryKey parent = root(keyPath, below);
        if (store.openKey(parent, below, key) != platform::kRegSuccess) return std::nullopt;
        if (store.queryValue(key, name, v) != platform::kRegSuccess) return std::nullopt;
        return v;
    }
    bool keyExists(const std::string& keyPath) const {
        platform::Registry store(storePath());
        std::string below;
        platform::RegistryKey key;
        platform::RegistryKey parent = root(keyPath, below);
        return store.openKey(parent, below, key) == platform::kRegSuccess;
    }
    void set(const std::string& keyPath, const std::string& name, const std::string& v) {
        std::filesystem::create_directories(dir_->file("home"));
        platform::Registry store(storePath());
        std::string below;
        platform::RegistryKey key;
        platform::RegistryKey parent = root(keyPath, below);
        ASSERT_EQ(store.createKey(parent, below, key), platform::kRegSuccess) << store.problem();
        ASSERT_EQ(store.setValue(key, name, v), platform::kRegSuccess);
    }

    static void writeText(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    // A desktop entry of another player, made the default handler of FLV.
    void installOtherPlayer() {
        writeText(applications() + "otherplayer.desktop",
                  "[Desktop Entry]\nType=Application\nName=Other Player\nExec=true %f\nMimeType=video/x-flv;\n");
        writeText(mimeApps(), "[Default Applications]\ntext/plain=editor.desktop\nvideo/x-flv=otherplayer.desktop\n");
    }

    std::unique_ptr<TempFolder> dir_;
    std::unique_ptr<ScopedEnv> home_, config_, data_;
};

}  // namespace kestrel::testing
