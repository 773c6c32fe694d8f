// libosprey.so through its C interface, loaded by name as a client loads it.
// The library keeps one engine for the process: the tests use IDs and URLs
// of their own.

#include <dlfcn.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/engine/test_pcap.h"
#include "tests/osprey/osprey_test_support.h"

using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

struct Exports {
    void* handle = nullptr;
    decltype(&::StartRecord) startRecord = nullptr;
    decltype(&::StopRecord) stopRecord = nullptr;
    decltype(&::CancelRecordURL) cancel = nullptr;
    decltype(&::GetRecordedSize) recordedSize = nullptr;
    decltype(&::GetTotalSize) totalSize = nullptr;
    decltype(&::GetRecordPercent) percent = nullptr;
    decltype(&::GetLocalNameViaIdinDll) localName = nullptr;
    decltype(&::GetTotalDuration) totalDuration = nullptr;
    decltype(&::GetRecordedTimestamp) recordedTimestamp = nullptr;
    decltype(&::CheckWinpcap) checkWinpcap = nullptr;
    decltype(&::CheckURLNeedDownload) needsDownload = nullptr;
    decltype(&::ReadOptionsFromIniFile) readOptions = nullptr;
    decltype(&::GetAdapterList) adapterList = nullptr;
    decltype(&::GetUsableIPInfo) usableIpInfo = nullptr;
};

template <typename Fn>
void bind(void* handle, Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(::dlsym(handle, name));
}

const Exports& library() {
    static const Exports e = [] {
        Exports x;
        x.handle = ::dlopen(KESTREL_BIN_DIR "/libosprey.so", RTLD_NOW | RTLD_LOCAL);
        if (!x.handle) return x;
        bind(x.handle, x.startRecord, "StartRecord");
        bind(x.handle, x.stopRecord, "StopRecord");
        bind(x.handle, x.cancel, "CancelRecordURL");
        bind(x.handle, x.recordedSize, "GetRecordedSize");
        bind(x.handle, x.totalSize, "GetTotalSize");
        bind(x.handle, x.percent, "GetRecordPercent");
        bind(x.handle, x.localName, "GetLocalNameViaIdinDll");
        bind(x.handle, x.totalDuration, "GetTotalDuration");
        bind(x.handle, x.recordedTimestamp, "GetRecordedTimestamp");
        bind(x.handle, x.checkWinpcap, "CheckWinpcap");
        bind(x.handle, x.needsDownload, "CheckURLNeedDownload");
        bind(x.handle, x.readOptions, "ReadOptionsFromIniFile");
        bind(x.handle, x.adapterList, "GetAdapterList");
        bind(x.handle, x.usableIpInfo, "GetUsableIPInfo");
        return x;
    }();
    return e;
}

class OspreyLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(library().handle, nullptr) << ::dlerror();
        dir_ = tempFolder("osprey-library");
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A capture file of one download of target from example.com.
    std::string capture(const std::string& target, const std::string& body, std::uint16_t port) {
        PcapWriter pcap;
        FrameSpec client{{10, 1, 0, 2}, {10, 1, 0, 9}, port, 80, 7000, 9000};
        const std::string get = getRequest(target, "example.com");
        pcap.frames.push_back(buildFrame(client, get));
        FrameSpec server{{10, 1, 0, 9}, {10, 1, 0, 2}, 80, port, 9000, 7000 + static_cast<std::uint32_t>(get.size())};
        pcap.frames.push_back(buildFrame(server, responseHeader("video/x-flv", static_cast<long long>(body.size()))));
        server.seq += static_cast<std::uint32_t>(responseHeader("video/x-flv", static_cast<long long>(body.size())).size());
        pcap.frames.push_back(buildFrame(server, body));
        const std::string path = dir_ + target.substr(1) + ".pcap";
        EXPECT_TRUE(pcap.write(path));
        return "file://" + path;
    }
    // Pumps until the window got WM_USER+58 with this ID and state.
    bool waitForState(int id, int state) {
        for (int i = 0; i < 1000; ++i) {
            window_.sink().waitAndPump(10);
            for (const auto& m : window_.of(OSPREY_WM_ITEM_STATE))
                if (static_cast<int>(m.wParam) == id && m.lParam == state) return true;
        }
        return false;
    }

    std::string dir_;
    RecordingWindow window_;
};

}  // namespace

TEST_F(OspreyLibrary, EveryFunctionIsExported) {
    const Exports& x = library();
    const void* fns[] = {reinterpret_cast<const void*>(x.startRecord),     reinterpret_cast<const void*>(x.stopRecord),
                         reinterpret_cast<const void*>(x.cancel),          reinterpret_cast<const void*>(x.recordedSize),
                         reinterpret_cast<const void*>(x.totalSize),       reinterpret_cast<const void*>(x.percent),
                         reinterpret_cast<const void*>(x.localName),       reinterpret_cast<const void*>(x.totalDuration),
                         reinterpret_cast<const void*>(x.recordedTimestamp), reinterpret_cast<const void*>(x.checkWinpcap),
                         reinterpret_cast<const void*>(x.needsDownload),   reinterpret_cast<const void*>(x.readOptions),
                         reinterpret_cast<const void*>(x.adapterList),     reinterpret_cast<const void*>(x.usableIpInfo)};
    for (const void* f : fns) EXPECT_NE(f, nullptr);
    // Nothing of the engine's C++ is visible.
    EXPECT_EQ(::dlsym(library().handle, "_ZN7kestrel6osprey6EngineC1Ev"), nullptr);
}

TEST_F(OspreyLibrary, FixedAnswers) {
    const Exports& x = library();
    EXPECT_EQ(x.totalDuration(nullptr, 1), 0);
    EXPECT_EQ(x.recordedTimestamp(nullptr, 1), 0);
    EXPECT_EQ(x.checkWinpcap(nullptr), 0);
    EXPECT_EQ(x.cancel(nullptr, -77), 0);
    EXPECT_EQ(x.recordedSize(nullptr, -77), 0);
    EXPECT_EQ(x.totalSize(nullptr, -77), 0);
    EXPECT_EQ(x.percent(nullptr, -77), 0.0);
    EXPECT_STREQ(x.localName(nullptr, -77), "");
}

TEST_F(OspreyLibrary, CheckUrlNeedDownload) {
    struct Row {
        const char* url;
        const char* mime;
        int expected;
    } rows[] = {
        {"/video/clip.FLV?x=1", "text/plain", 1}, {"/watch.php", "video/x-flv", 0}, {"/get_video", "video/x-flv", 1},
        {"/get_video", "text/html", 0},           {"/a.b/c", "video/mp4", 1},      {"/stream.xyz", "audio/mpeg", 1},
        {nullptr, "video/mp4", 1},                {"/clip.flv", nullptr, 1},       {nullptr, nullptr, 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(library().needsDownload(nullptr, r.url, r.mime), r.expected)
            << (r.url ? r.url : "(null)") << " | " << (r.mime ? r.mime : "(null)");
}

TEST_F(OspreyLibrary, WrongStartKeyOpensNothing) {
    const std::string source = capture("/key.flv", bodyBytes(0, 100), 50001);
    EXPECT_EQ(library().startRecord(531803, window_.handle(), source.c_str(), 0, 1, 1, 0, 60000), 0);
    // Not even a missing source is noticed: the key is checked first.
    EXPECT_EQ(library().startRecord(0, window_.handle(), "file:///nonexistent/x.pcap", 0, 1, 1, 0, 60000), 0);
    window_.sink().waitAndPump(50);
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_EQ(library().recordedSize(nullptr, 60001), 0);
    EXPECT_EQ(library().startRecord(OSPREY_START_KEY, window_.handle(), "file:///nonexistent/x.pcap", 0, 1, 1, 0, 0),
              -1);
}

TEST_F(OspreyLibrary, ReadOptionsMakesTheSaveFolder) {
    const std::string folder = dir_ + "a/b/save";  // no trailing slash, parents missing
    EXPECT_EQ(library().readOptions(nullptr, (dir_ + "no-such-list").c_str(), folder.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(folder + "/Temp"));
    EXPECT_EQ(library().readOptions(nullptr, nullptr, nullptr), 0);  // nulls change nothing
}

TEST_F(OspreyLibrary, RecordsAndAnswersThroughTheInterface) {
    writeFile(dir_ + "sites", "EXAMPLE.com\n");
    ASSERT_EQ(library().readOptions(nullptr, (dir_ + "sites").c_str(), (dir_ + "save/").c_str()), 0);
    const std::string body = bodyBytes(0, 1200);
    const std::string source = capture("/lib.flv", body, 50002);
    EXPECT_EQ(library().startRecord(OSPREY_START_KEY, window_.handle(), source.c_str(), 0, 1, 1, 12345, 70000), 0);
    ASSERT_TRUE(waitForState(70001, OSPREY_STATE_DONE));
    EXPECT_EQ(window_.of(OSPREY_WM_CAPTURE_ENDED).size(), 1u);
    const auto items = window_.notices(OSPREY_NOTICE_ITEM);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].le32(OSPREY_HTTP_ITEM_ID), 70001u);
    EXPECT_EQ(items[0].le32(OSPREY_HTTP_SITE_FLAG), 1u);
    EXPECT_EQ(library().recordedSize(nullptr, 70001), 1200);
    EXPECT_EQ(library().totalSize(nullptr, 70001), 1200);
    EXPECT_EQ(library().percent(nullptr, 70001), 100.0);
    EXPECT_STREQ(library().localName(nullptr, 70001), "lib.flv");
    EXPECT_TRUE(sameBytes(readFile(dir_ + "save/lib.flv"), body));
}

TEST_F(OspreyLibrary, WithoutAWindowRecordingGoesOn) {
    writeFile(dir_ + "sites", "example.com\n");
    ASSERT_EQ(library().readOptions(nullptr, (dir_ + "sites").c_str(), (dir_ + "save/").c_str()), 0);
    const std::string source = capture("/quiet.flv", bodyBytes(0, 300), 50003);
    EXPECT_EQ(library().startRecord(OSPREY_START_KEY, nullptr, source.c_str(), 0, 1, 1, 0, 80000), 0);
    EXPECT_EQ(library().recordedSize(nullptr, 80001), 300);
    for (int i = 0; i < 500 && !fs::exists(dir_ + "save/quiet.flv"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(sameBytes(readFile(dir_ + "save/quiet.flv"), bodyBytes(0, 300)));
}

TEST_F(OspreyLibrary, ReturnedTextsBelongToTheCallingThread) {
    writeFile(dir_ + "sites", "example.com\n");
    ASSERT_EQ(library().readOptions(nullptr, (dir_ + "sites").c_str(), (dir_ + "save/").c_str()), 0);
    EXPECT_EQ(library().startRecord(OSPREY_START_KEY, window_.handle(), capture("/one.flv", "1", 50004).c_str(), 0, 0,
                                    1, 0, 90000),
              0);
    EXPECT_EQ(library().startRecord(OSPREY_START_KEY, window_.handle(), capture("/two.flv", "2", 50005).c_str(), 0, 0,
                                    1, 0, 91000),
              0);
    ASSERT_TRUE(waitForState(90001, OSPREY_STATE_DONE));
    ASSERT_TRUE(waitForState(91001, OSPREY_STATE_DONE));
    const char* one = library().localName(nullptr, 90001);
    std::string other;
    std::thread([&] { other = library().localName(nullptr, 91001); }).join();
    EXPECT_STREQ(one, "one.flv");  // another thread's call leaves this one's text alone
    EXPECT_EQ(other, "two.flv");
}
