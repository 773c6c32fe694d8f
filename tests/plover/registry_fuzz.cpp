// libFuzzer target: the registry store on arbitrary file contents (clang
// builds only). Inputs are capped at 256 KiB; a file the store accepts must
// read back the same after being written out again.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry.h"

namespace {

const std::string& storePath() {
    static const std::string path = "/tmp/kestrel-registry-fuzz-" + std::to_string(::getpid()) + ".reg";
    return path;
}

void write(const std::string& path, const void* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (256u << 10)) return -1;
    write(storePath(), data, size);
    std::string text;
    {
        kestrel::platform::Registry store(storePath());
        if (!store.ready()) return 0;
        text = store.text();
    }
    write(storePath(), text.data(), text.size());
    kestrel::platform::Registry again(storePath());
    if (!again.ready() || again.text() != text) std::abort();
    return 0;
}
