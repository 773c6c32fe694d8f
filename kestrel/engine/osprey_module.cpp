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

OspreyModule OspreyModule::loadByName() {
    OspreyModule m = loadFrom(platform::executableFolder() + kFileName);
    if (!m.loaded()) m = loadFrom(kFileName);
    return m;
}

OspreyModule::OspreyModule(OspreyModule&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

OspreyModule& OspreyModule::operator=(OspreyModule&& other) noexcept {
    if (this != &other) {
        if (handle_) ::dlclose(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

OspreyModule::~OspreyModule() {
    if (handle_) ::dlclose(handle_);
}

OspreyModule::ListingFn OspreyModule::usableIpInfo() const {
    return handle_ ? reinterpret_cast<ListingFn>(::dlsym(handle_, "GetUsableIPInfo")) : nullptr;
}

OspreyModule::ListingFn OspreyModule::adapterList() const {
    return handle_ ? reinterpret_cast<ListingFn>(::dlsym(handle_, "GetAdapterList")) : nullptr;
}

}  // namespace kestrel::engine
