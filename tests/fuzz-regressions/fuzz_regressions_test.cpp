// Replays every input kept in fuzz/regressions/TARGET/ through the fuzz
// target's own entry function (compiled here without libFuzzer). An input
// is named after the fault it found; the target aborts when the fault is
// back (a broken promise it checks, or, in the sanitizer build, the memory
// error itself).
//
// fuzz/regressions/OPEN lists inputs whose fault is not fixed yet (one
// "TARGET/NAME" per line): they are not replayed, and the test says so,
// until their fix removes them from the list.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

using Entry = int (*)(const std::uint8_t*, std::size_t);

extern "C" int replay_packet_dispatcher_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_capture_http_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_raw_stream_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_merlin_records_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_profile_fuzz(const std::uint8_t*, std::size_t);
extern "C" int replay_registry_fuzz(const std::uint8_t*, std::size_t);
#ifdef KESTREL_REPLAY_FLV_REPAIR
extern "C" int replay_flv_repair_fuzz(const std::uint8_t*, std::size_t);
#endif
#ifdef KESTREL_REPLAY_RTMP_BUILTIN
extern "C" int replay_rtmp_builtin_fuzz(const std::uint8_t*, std::size_t);
#endif

namespace {

namespace fs = std::filesystem;

const fs::path kRegressions = KESTREL_FUZZ_REGRESSIONS_DIR;

std::set<std::string> openFindings() {
    std::set<std::string> open;
    std::ifstream in(kRegressions / "OPEN");
    for (std::string line; std::getline(in, line);) {
        line.erase(std::find(line.begin(), line.end(), '#'), line.end());
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.pop_back();
        const auto start = line.find_first_not_of(" \t");
        if (start != std::string::npos) open.insert(line.substr(start));
    }
    return open;
}

std::vector<std::uint8_t> readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The targets kept beside their tests leave files named after the process
// in /tmp; the replays remove exactly those of this process.
void removeLeftovers() {
    const std::string pid = std::to_string(::getpid());
    for (const std::string& path : {"/tmp/kestrel-repair-fuzz-" + pid + ".flv", "/tmp/rtmp-builtin-fuzz-" + pid + ".tmp",
                                    "/tmp/rtmp-builtin-fuzz-" + pid + ".flv"})
        std::remove(path.c_str());
}

void replayAll(const std::string& target, Entry entry) {
    const fs::path folder = kRegressions / target;
    std::vector<fs::path> inputs;
    if (fs::is_directory(folder))
        for (const auto& e : fs::directory_iterator(folder))
            if (e.is_regular_file()) inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());

    const auto open = openFindings();
    std::vector<std::string> waiting;
    int replayed = 0;
    for (const auto& input : inputs) {
        const std::string name = target + "/" + input.filename().string();
        if (open.count(name)) {
            waiting.push_back(name);
            continue;
        }
        // Printed first: a replay that aborts ends the whole test binary.
        std::fprintf(stderr, "replaying %s\n", name.c_str());
        const auto bytes = readAll(input);
        EXPECT_EQ(entry(bytes.data(), bytes.size()), 0) << name << " was refused (larger than the target takes?)";
        ++replayed;
    }
    removeLeftovers();
    std::string list;
    for (const auto& w : waiting) list += " " + w;
    if (!waiting.empty()) std::fprintf(stderr, "not replayed, waiting for a fix (fuzz/regressions/OPEN):%s\n", list.c_str());
    if (replayed == 0) GTEST_SKIP() << "no input of " << target << " to replay" << (list.empty() ? "" : "; waiting:" + list);
}

}  // namespace

TEST(FuzzRegressions, PacketDispatcher) { replayAll("packet_dispatcher_fuzz", replay_packet_dispatcher_fuzz); }
TEST(FuzzRegressions, CaptureHttp) { replayAll("capture_http_fuzz", replay_capture_http_fuzz); }
TEST(FuzzRegressions, RawStream) { replayAll("raw_stream_fuzz", replay_raw_stream_fuzz); }
TEST(FuzzRegressions, MerlinRecords) { replayAll("merlin_records_fuzz", replay_merlin_records_fuzz); }
TEST(FuzzRegressions, Profile) { replayAll("profile_fuzz", replay_profile_fuzz); }
TEST(FuzzRegressions, Registry) { replayAll("registry_fuzz", replay_registry_fuzz); }
#ifdef KESTREL_REPLAY_FLV_REPAIR
TEST(FuzzRegressions, FlvRepair) { replayAll("flv_repair_fuzz", replay_flv_repair_fuzz); }
#endif
#ifdef KESTREL_REPLAY_RTMP_BUILTIN
TEST(FuzzRegressions, RtmpBuiltin) { replayAll("rtmp_builtin_fuzz", replay_rtmp_builtin_fuzz); }
#endif
