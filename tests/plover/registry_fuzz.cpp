// libFuzzer target: the registry store on arbitrary file contents (clang
// builds only). Inputs are capped at 256 KiB. A file the store refuses must
// be left as it was; a file it accepts must be within the limits, and its
// own writer must write it so that it reads back the same (the checks are in
// registry_round_trip.h, which the tests also run on every input kept in
// tests/plover/regressions/).
//
// The store file lives in /dev/shm when there is one: every change is
// written with fsync, which a disk makes slow.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/plover/registry_round_trip.h"

namespace {

// Kept until the exit handler below has removed the files: a plain static
// string would be destroyed before that handler runs.
const std::string& storePath() {
    static const std::string* path = [] {
        std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        auto* p = new std::string(folder + "/kestrel-registry-fuzz-" + std::to_string(::getpid()) + ".reg");
        std::atexit([] {
            std::remove(storePath().c_str());
            std::remove((storePath() + ".lock").c_str());
        });
        return p;
    }();
    return *path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (256u << 10)) return -1;
    std::string problem =
        kestrel::testing::checkStoreRoundTrip(storePath(), std::string_view(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "registry round trip: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
