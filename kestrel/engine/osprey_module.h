#pragma once
// The recording library, loaded by name when the process starts. Only its
// two listing functions are used here.

#include <string>

namespace kestrel::engine {

class OspreyModule {
public:
    using ListingFn = const char* (*)(void* window);

    // Loads libosprey.so from the executable's folder, else through the
    // normal loader path. A missing library is not an error here.
    static OspreyModule loadByName();
    // Loads a library from an explicit path (tests).
    static OspreyModule loadFrom(const std::string& path);
    // A module whose listings are the given functions (either may be null):
    // lets tests feed the adapter choice exact texts.
    static OspreyModule withFunctions(ListingFn usableIpInfo, ListingFn adapterList);

    OspreyModule() = default;
    OspreyModule(OspreyModule&& other) noexcept;
    OspreyModule& operator=(OspreyModule&& other) noexcept;
    OspreyModule(const OspreyModule&) = delete;
    OspreyModule& operator=(const OspreyModule&) = delete;
    ~OspreyModule();

    bool loaded() const { return handle_ != nullptr || injected_; }
    // The exports, or nullptr when the library lacks them.
    ListingFn usableIpInfo() const;
    ListingFn adapterList() const;

    static constexpr const char* kFileName = "libosprey.so";

private:
    void* handle_ = nullptr;
    bool injected_ = false;
    ListingFn usableFn_ = nullptr;
    ListingFn listFn_ = nullptr;
};

}  // namespace kestrel::engine
