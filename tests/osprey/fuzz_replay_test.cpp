// Replays every input kept in fuzz/regressions/osprey_*/ through its fuzz
// target's entry function, compiled here without libFuzzer, so that the
// normal and sanitizer builds check them with the rest of the tests. An
// input is named after the fault it found; the target aborts when the
// fault is back. Inputs listed in fuzz/regressions/OPEN wait for their fix.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

extern "C" int replay_osprey_dispatch_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_osprey_requests_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_osprey_notices_fuzz(const std::uint8_t*, std::size_t);

namespace {

namespace fs = std::filesystem;
using Entry = int (*)(const std::uint8_t*, std::size_t);

std::set<std::string> openFindings() {
    std::set<std::string> open;
    std::ifstream in(fs::path(KESTREL_FUZZ_REGRESSIONS_DIR) / "OPEN");
    for (std::string line; std::getline(in, line);) {
        line.erase(std::find(line.begin(), line.end(), '#'), line.end());
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty()) open.insert(line);
    }
    return open;
}

// Replays the target's inputs, plus its seeds: they hold every kind of
// frame and command the target reads, so a broken promise shows without
// a fuzzing run.
void replayAll(const std::string& target, Entry entry) {
    const auto open = openFindings();
    int replayed = 0;
    for (const fs::path& folder : {fs::path(KESTREL_FUZZ_REGRESSIONS_DIR) / target,
                                  fs::path(KESTREL_FUZZ_SEEDS_DIR) / target}) {
        std::vector<fs::path> inputs;
        if (fs::is_directory(folder))
            for (const auto& e : fs::directory_iterator(folder))
                if (e.is_regular_file()) inputs.push_back(e.path());
        std::sort(inputs.begin(), inputs.end());
        for (const auto& input : inputs) {
            const std::string name = target + "/" + input.filename().string();
            if (open.count(name)) continue;
            std::ifstream in(input, std::ios::binary);
            const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
            SCOPED_TRACE(name);
            EXPECT_EQ(entry(bytes.data(), bytes.size()), 0) << name << " was refused";
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0) << "no input of " << target;
}

}  // namespace

TEST(OspreyFuzzReplay, Dispatch) { replayAll("osprey_dispatch_fuzz", replay_osprey_dispatch_fuzz); }
TEST(OspreyFuzzReplay, Requests) { replayAll("osprey_requests_fuzz", replay_osprey_requests_fuzz); }
TEST(OspreyFuzzReplay, Notices) { replayAll("osprey_notices_fuzz", replay_osprey_notices_fuzz); }
