// libFuzzer target for the built-in RTMP converters: any raw stream (up to
// 1 MiB) through both converters. Built only with clang (see CMakeLists.txt).

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "kestrel/files/builtin_rtmp_converter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    static const std::string base = "/tmp/rtmp-builtin-fuzz-" + std::to_string(::getpid());
    const std::string raw = base + ".tmp";
    std::FILE* f = std::fopen(raw.c_str(), "wb");
    if (!f) return 0;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
    kestrel::files::convertRtmpBuiltin(raw, base + ".flv");
    kestrel::files::convertRtmpVariant(raw, base + ".flv");
    return 0;
}
