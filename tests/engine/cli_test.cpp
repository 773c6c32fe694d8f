// kestrel-cli as a user runs it: exit codes, messages, and the stop paths.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "test_pcap.h"
#include "tests/support/test_files.h"

extern char** environ;

namespace {

const std::string kCli = std::string(KESTREL_BIN_DIR) + "/kestrel-cli";

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs argv with stdout/stderr to files; kills with SIGINT after
// interruptAfterMs when that is >= 0.
RunResult run(std::vector<std::string> argv, const std::string& dir, int interruptAfterMs = -1,
              std::chrono::milliseconds* exitDelay = nullptr, int interrupts = 1) {
    RunResult r;
    const std::string outPath = dir + "out.txt", errPath = dir + "err.txt";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) return r;
    posix_spawn_file_actions_destroy(&fa);
    if (interruptAfterMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(interruptAfterMs));
        for (int i = 0; i < interrupts; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // apart, so both arrive
            ::kill(pid, SIGINT);
        }
    }
    const auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    for (int i = 0; i < 600; ++i) {  // at most 60 s
        if (::waitpid(pid, &status, WNOHANG) == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (i == 599) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
    }
    if (exitDelay) *exitDelay = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

// A private network namespace with its loopback up (and an optional setup
// command run inside it), deleted again with the object.
class PrivateNamespace {
public:
    explicit PrivateNamespace(std::string name, const std::string& setup = "") : name_(std::move(name)) {
        std::string command = "ip netns add " + name_ + " && ip -n " + name_ + " link set lo up";
        if (!setup.empty()) command += " && ip netns exec " + name_ + " " + setup;
        ok_ = std::system(command.c_str()) == 0;
    }
    ~PrivateNamespace() { std::system(("ip netns del " + name_ + " 2>/dev/null").c_str()); }
    PrivateNamespace(const PrivateNamespace&) = delete;
    PrivateNamespace& operator=(const PrivateNamespace&) = delete;
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    bool ok_ = false;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = kestrel::test::tempFolder("kestrel-cli"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

}  // namespace

TEST_F(CliTest, HelpAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* expectInOutput;
    } cases[] = {
        {{kCli, "--help"}, 0, "commands:"},
        {{kCli}, 2, "usage: kestrel-cli"},
        {{kCli, "nonsense"}, 2, "unknown command"},
        {{kCli, "capture", "--help"}, 0, "--source SRC"},
        {{kCli, "adapters", "--help"}, 0, "usage: kestrel-cli adapters"},
        {{kCli, "capture", "--bogus"}, 2, "unknown argument"},
        {{kCli, "capture", "--source"}, 2, "usage:"},
        {{kCli, "adapters", "extra"}, 2, "unexpected argument"},
    };
    for (auto& c : cases) {
        RunResult r = run(c.args, dir_);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.back();
        EXPECT_NE((r.out + r.err).find(c.expectInOutput), std::string::npos) << c.args.back() << ": " << r.out << r.err;
    }
}

TEST_F(CliTest, SourceThatCannotBeOpenedExitsWith3AndLibpcapText) {
    RunResult r = run({kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save", "--source",
                       "file://" + dir_ + "none.pcap"},
                      dir_);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

TEST_F(CliTest, ReplaysACaptureFileToItsEnd) {
    RunResult r = run({kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save", "--source",
                       std::string("file://") + KESTREL_CAPTURES_DIR + "/http-keepalive-two-flv-eth1500.pcap"},
                      dir_);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("packets handed to the packet processor"), std::string::npos) << r.err;
    // The data folder got its settings file; --save did not change it.
    const std::string settings = slurp(dir_ + "home/setting.ini");
    EXPECT_EQ(settings.rfind("[Normal]\r\nSavePath=\r\n", 0), 0u) << settings;
    EXPECT_TRUE(std::filesystem::is_directory(dir_ + "save/Temp"));
}

// A capture file so short that its replay ends before the console host
// looks at the engine again is still a capture that ran, not a failed start.
TEST_F(CliTest, CaptureFileReplayedBeforeTheFirstLookSucceeds) {
    kestrel::test::PcapWriter empty;
    ASSERT_TRUE(empty.write(dir_ + "empty.pcap"));
    for (int i = 0; i < 20; ++i) {
        RunResult r = run({kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save", "--source",
                           "file://" + dir_ + "empty.pcap"},
                          dir_);
        ASSERT_EQ(r.exitCode, 0) << "run " << i << ": " << r.err;
        ASSERT_NE(r.err.find("capture ended: 0 packets"), std::string::npos) << r.err;
    }
}

// The engine hands on exactly the frames tcpdump counts as IPv4 TCP longer
// than 54 bytes, for every reference capture.
TEST_F(CliTest, FrameCountsAgreeWithTcpdump) {
    if (std::system("command -v tcpdump >/dev/null 2>&1") != 0) GTEST_SKIP() << "tcpdump is not installed";
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KESTREL_CAPTURES_DIR)) {
        if (entry.path().extension() != ".pcap") continue;
        const std::string pcap = entry.path().string();
        RunResult ref = run({"sh", "-c", "tcpdump -nr '" + pcap + "' 'ip and tcp and greater 55' 2>/dev/null | wc -l"}, dir_);
        RunResult r = run({kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save", "--source", "file://" + pcap}, dir_);
        ASSERT_EQ(r.exitCode, 0) << pcap << r.err;
        const auto at = r.err.find("capture ended: ");
        ASSERT_NE(at, std::string::npos) << r.err;
        EXPECT_EQ(std::stol(r.err.substr(at + 15)), std::stol(ref.out)) << pcap;
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

TEST_F(CliTest, AdaptersListsThroughTheRecordingLibrary) {
    RunResult r = run({kCli, "adapters"}, dir_);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("USABLE ADDRESSES"), std::string::npos);
    if (::geteuid() == 0) {
        EXPECT_NE(r.out.find("rpcap://lo"), std::string::npos) << r.out;
    }
}

// Interrupting a live capture on a quiet adapter: the stop request is seen
// at the next read time-out (1000 ms), not at the next frame.
TEST_F(CliTest, InterruptOnAQuietAdapterStopsWithinAReadTimeout) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture and network namespaces need root";
    const PrivateNamespace space("kestrel-quiet-" + std::to_string(::getpid()));
    if (!space.ok()) GTEST_SKIP() << "cannot create a network namespace";
    const std::string& ns = space.name();
    std::chrono::milliseconds delay{};
    RunResult r = run({"ip", "netns", "exec", ns, kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save",
                       "--source", "rpcap://lo"},
                      dir_, 1500, &delay);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Interrupt received, stopping"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("capture ended: 0 packets"), std::string::npos) << r.err;
    EXPECT_LT(delay, std::chrono::milliseconds(3000));  // one read time-out, with room for a loaded machine
}

// A live capture on a namespace's loopback sees the TCP frames of a transfer
// made there (and only frames that carry payload reach the processor).
TEST_F(CliTest, LiveCaptureSeesTrafficOnLoopback) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture and network namespaces need root";
    // Without TCP timestamps a bare acknowledgement is exactly 54 bytes.
    const PrivateNamespace space("kestrel-live-" + std::to_string(::getpid()), "sysctl -qw net.ipv4.tcp_timestamps=0");
    if (!space.ok()) GTEST_SKIP() << "cannot create a network namespace";
    const std::string& ns = space.name();
    // 20 messages of 1000 bytes over one connection, sent after the capture has started.
    const std::string script = dir_ + "talk.py";
    std::ofstream(script) << "import socket, time\n"
                             "time.sleep(1.0)\n"
                             "s = socket.socket(); s.bind(('127.0.0.1', 8080)); s.listen(1)\n"
                             "c = socket.create_connection(('127.0.0.1', 8080)); a, _ = s.accept()\n"
                             "c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)\n"
                             "for i in range(20):\n"
                             "    c.sendall(b'x' * 1000); a.recv(1000); time.sleep(0.01)\n"
                             "c.close(); a.close()\n";
    const std::string talk = "(sleep 0.2; ip netns exec " + ns + " python3 " + script + ") &";
    ASSERT_EQ(std::system(talk.c_str()), 0);
    RunResult r = run({"ip", "netns", "exec", ns, kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save",
                       "--source", "lo"},
                      dir_, 3500);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto at = r.err.find("capture ended: ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const long frames = std::stol(r.err.substr(at + 15));
    // The 20 messages, plus the SYN and SYN-ACK, whose options make them
    // longer than 54 bytes; bare acknowledgements and the FINs are skipped.
    EXPECT_EQ(frames, 22) << r.err;
}

// A second interrupt ends the program at once instead of waiting for the
// stop to be noticed.
TEST_F(CliTest, SecondInterruptEndsAtOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture and network namespaces need root";
    const PrivateNamespace space("kestrel-twice-" + std::to_string(::getpid()));
    if (!space.ok()) GTEST_SKIP() << "cannot create a network namespace";
    const std::string& ns = space.name();
    // ip netns exec runs the program in place of itself, so the signal reaches it.
    RunResult r = run({"ip", "netns", "exec", ns, kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save",
                       "--source", "rpcap://lo"},
                      dir_, 1000, nullptr, 2);
    EXPECT_EQ(r.exitCode, 128 + SIGINT) << r.err;
    EXPECT_EQ(r.err.find("capture ended"), std::string::npos) << r.err;
}

// Streams that cannot be converted fail their own items, keep their capture
// data for another try, and make the run's exit status say so; an earlier
// item's success does not leak into a later one.
TEST_F(CliTest, UnconvertibleStreamsFailAndKeepTheirCaptureData) {
    const struct {
        const char* capture;
        std::vector<std::string> lines;  // state, kind and the last column of each item line
        std::vector<std::string> kept;   // capture data files left in Temp/
    } cases[] = {
        {"rtmp-unconvertible.pcap", {"failed rtmp gaps"}, {"1.flvdata", "1.flvdata.idx"}},
        {"rtmp-good-then-unconvertible.pcap", {"done rtmp complete", "failed rtmp gaps"}, {"2.flvdata", "2.flvdata.idx"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capture);
        std::filesystem::remove_all(dir_ + "save");
        std::filesystem::remove_all(dir_ + "home");  // numbers start at 1 again
        RunResult r = run({kCli, "capture", "--home", dir_ + "home", "--save", dir_ + "save", "--source",
                           std::string("file://") + KESTREL_HOSTILE_DIR + "/" + c.capture},
                          dir_);
        EXPECT_EQ(r.exitCode, 4) << r.err;
        std::vector<std::string> lines;
        std::istringstream out(r.out);
        for (std::string line; std::getline(out, line);) {
            std::vector<std::string> f;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, '\t');) f.push_back(cell);
            ASSERT_EQ(f.size(), 7u) << line;
            lines.push_back(f[1] + " " + f[2] + " " + f[6]);
            if (f[1] == "done") {
                EXPECT_TRUE(std::filesystem::is_regular_file(f[5])) << line;
            }
        }
        EXPECT_EQ(lines, c.lines) << r.out;
        std::vector<std::string> kept;
        for (const auto& e : std::filesystem::directory_iterator(dir_ + "save/Temp"))
            kept.push_back(e.path().filename().string());
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.kept);
        EXPECT_NE(r.err.find("failed: no media could be read from the stream"), std::string::npos) << r.err;
    }
}

// Capture data of a kind this program never writes: the item fails, the
// files stay where they are, and the exit status says so.
TEST_F(CliTest, ImportOfAnUnknownCaptureKindFailsAndKeepsTheFiles) {
    const std::string temp = dir_ + "save/Temp/";
    std::filesystem::create_directories(temp);
    std::string data = slurp(std::string(KESTREL_HOSTILE_DIR) + "/capture-data.flvdata");
    ASSERT_GT(data.size(), 5u);
    data[3] = '\x02';
    kestrel::test::writeFile(temp + "capture-data.flvdata", data);
    std::filesystem::copy_file(std::string(KESTREL_HOSTILE_DIR) + "/capture-data.flvdata.idx",
                               temp + "capture-data.flvdata.idx");
    RunResult r = run({kCli, "import", temp + "capture-data.flvdata", "--home", dir_ + "home", "--save", dir_ + "save"},
                      dir_);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.out.find("\tfailed\t"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("unknown kind 2"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(temp + "capture-data.flvdata"), data);
    EXPECT_TRUE(std::filesystem::exists(temp + "capture-data.flvdata.idx"));
}
