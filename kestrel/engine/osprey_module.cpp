#include "kestrel/engine/osprey_module.h"

#include <dlfcn.h>

#include <utility>

#include "platform/data_dir.h"

namespace kestrel::engine {

OspreyModule OspreyModule::loadFrom(const std::string& path) {
    OspreyModule m;
    m.handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return m;
}

OspreyModule OspreyModule::withFunctions(ListingFn usableIpInfo, ListingFn adapterList) {
    OspreyModule m;
    m.injected_ = true;
    m.usableFn_ = usableIpInfo;
    m.listFn_ = adapterList;
    return m;
}

OspreyModule OspreyModule::loadByName() {
    OspreyModule m = loadFrom(platform::executableFolder() + kFileName);
    if (!m.loaded()) m = loadFrom(kFileName);
    return m;
}

OspreyModule::OspreyModule(OspreyModule&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      injected_(std::exchange(other.injected_, false)),
      usableFn_(std::exchange(other.usableFn_, nullptr)),
      listFn_(std::exchange(other.listFn_, nullptr)) {}

OspreyModule& OspreyModule::operator=(OspreyModule&& other) noexcept {
    if (this != &other) {
        if (handle_) ::dlclose(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
        injected_ = std::exchange(other.injected_, false);
        usableFn_ = std::exchange(other.usableFn_, nullptr);
        listFn_ = std::exchange(other.listFn_, nullptr);
    }
    return *this;
}

OspreyModule::~OspreyModule() {
    if (handle_) ::dlclose(handle_);
}

OspreyModule::ListingFn OspreyModule::usableIpInfo() const {
    if (injected_) return usableFn_;
    return handle_ ? reinterpret_cast<ListingFn>(::dlsym(handle_, "GetUsableIPInfo")) : nullptr;
}

OspreyModule::ListingFn OspreyModule::adapterList() const {
    if (injected_) return listFn_;
    return handle_ ? reinterpret_cast<ListingFn>(::dlsym(handle_, "GetAdapterList")) : nullptr;
}

}  // namespace kestrel::engine
