// Harrier's fuzz targets run in the normal suite, compiled without
// libFuzzer: every kept seed (fuzz/seeds/TARGET/) and every input that once
// found a fault (fuzz/regressions/TARGET/, named after the fault) goes
// through the target's entry function, which aborts when a promise it
// checks is broken.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int replay_harrier_http_response_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_harrier_reorder_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_harrier_record_writer_fuzz(const std::uint8_t*, std::size_t);

namespace {

namespace fs = std::filesystem;
using Entry = int (*)(const std::uint8_t*, std::size_t);

std::size_t replayFolder(const fs::path& folder, Entry entry) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(folder))
        for (const auto& e : fs::directory_iterator(folder))
            if (e.is_regular_file()) inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    for (const auto& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::fprintf(stderr, "replaying %s\n", input.string().c_str());
        EXPECT_EQ(entry(bytes.data(), bytes.size()), 0) << input;
    }
    return inputs.size();
}

void replayAll(const std::string& target, Entry entry, bool regressionsExpected) {
    const fs::path fuzz = KESTREL_FUZZ_DIR;
    EXPECT_GT(replayFolder(fuzz / "seeds" / target, entry), 0u) << "no seeds of " << target;
    const std::size_t regressions = replayFolder(fuzz / "regressions" / target, entry);
    if (regressionsExpected) {
        EXPECT_GT(regressions, 0u);
    }
}

TEST(HarrierFuzzInputs, HttpResponse) {
    replayAll("harrier_http_response_fuzz", replay_harrier_http_response_fuzz, true);
}
TEST(HarrierFuzzInputs, ReorderBuffer) {
    replayAll("harrier_reorder_fuzz", replay_harrier_reorder_fuzz, false);
}
TEST(HarrierFuzzInputs, RecordWriter) {
    replayAll("harrier_record_writer_fuzz", replay_harrier_record_writer_fuzz, false);
}

}  // namespace
