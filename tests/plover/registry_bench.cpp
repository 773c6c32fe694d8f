// Times of the registry store on large stores: loading, finding every key
// or value (in the other case), enumerating, and one change (which writes
// the whole store). One line per store; nothing is asserted here, the
// tests check the results.
//
//   registry_bench [FOLDER]     (default: a new folder under $TMPDIR or /tmp)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"
#include "tests/plover/registry_stores.h"

using namespace kestrel::platform;
using namespace kestrel::testing;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void run(const std::string& folder, const char* name, const GeneratedStore& gen) {
    const std::string path = folder + "/registry.reg";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << gen.file;
    const RegistryKey classes = RegistryKey::root(RegistryRoot::ClassesRoot);
    auto start = std::chrono::steady_clock::now();
    Registry store(path);
    double load = secondsSince(start);
    if (!store.ready()) {
        std::printf("%-32s not ready: %s\n", name, store.problem().c_str());
        return;
    }
    RegistryKey parent, key;
    store.openKey(classes, gen.parent, parent);
    std::size_t found = 0;
    std::string text;
    start = std::chrono::steady_clock::now();
    for (const auto& n : gen.names)
        found += (gen.values.empty() ? store.openKey(parent, swappedCase(n), key)
                                     : store.queryValue(parent, swappedCase(n), text)) == kRegSuccess;
    double lookups = secondsSince(start);
    start = std::chrono::steady_clock::now();
    std::size_t listed = 0;
    while (store.enumKey(parent, listed, text) == kRegSuccess) ++listed;
    double enumerate = secondsSince(start);
    start = std::chrono::steady_clock::now();
    long changed = store.setValue(parent, "bench", "x");
    double change = secondsSince(start);
    std::printf("%-32s %8.1f KB  load %7.3f s  %zu look-ups %7.3f s  %zu enumerated %7.3f s  change %s %7.3f s\n", name,
                static_cast<double>(gen.file.size()) / 1024, load, found, lookups, listed, enumerate,
                changed == kRegSuccess ? "ok" : "FAILED", change);
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".lock");
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    bool made = false;
    if (argc > 1) {
        folder = argv[1];
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrel-registry-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            return 1;
        }
        folder = pattern;
        made = true;
    }
    run(folder, "20,000 keys, own order", manyKeys(20000, FileOrder::Own));
    run(folder, "100,000 keys, shuffled", manyKeys(100000, FileOrder::Shuffled));
    run(folder, "300,000 values, shuffled", manyValues(300000, FileOrder::Shuffled));
    if (made) std::filesystem::remove(folder);
    return 0;
}
