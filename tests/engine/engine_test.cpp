#include "kestrel/engine/engine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "kestrel/engine/messages.h"
#include "platform/profile.h"
#include "test_pcap.h"
#include "tests/support/test_files.h"

using namespace kestrel::engine;
using kestrel::platform::MessageSink;

namespace {

class TestUi : public EngineUi {
public:
    kestrel::platform::Answer messageBox(std::string_view text, kestrel::platform::Buttons) override {
        messages.emplace_back(text);
        return kestrel::platform::Answer::Ok;
    }
    std::string runAddressChooser(AddressChooser& chooser) override {
        chooserRows = chooser.rows();
        if (chooserPick < 0) return {};
        chooser.click(chooserPick);
        return chooser.result();
    }
    bool runAdapterList(AdapterListDialog& dialog) override {
        ++adapterListShown;
        dialog.click(-1);
        return false;
    }
    void showAdapterError() override { ++adapterErrorShown; }
    void setCaptureControls(bool start, bool stop) override {
        startEnabled = start;
        stopEnabled = stop;
        controls.emplace_back(start, stop);
    }
    void addRow(int index) override { added.push_back(index); }
    void refreshRow(int index) override { refreshed.push_back(index); }

    std::vector<std::string> messages;
    std::vector<std::string> chooserRows;
    int chooserPick = -1;
    int adapterListShown = 0;
    int adapterErrorShown = 0;
    bool startEnabled = true;
    bool stopEnabled = false;
    std::vector<std::pair<bool, bool>> controls;  // every (start, stop) setting, in order
    std::vector<int> added, refreshed;
};

class CountingLauncher : public PostProcessingLauncher {
public:
    explicit CountingLauncher(std::atomic<int>& busy) : busy_(busy) {}
    void launch(ProcessingMode mode) override {
        ++launches;
        modes.push_back(mode);
    }
    std::vector<ProcessingMode> modes;
    void finish() { busy_.store(0); }
    int launches = 0;

private:
    std::atomic<int>& busy_;
};

// Texts the fake listings hand out; set per test.
std::string g_usable;
std::string g_list;
const char* usableFn(void*) {
    return g_usable.c_str();
}
const char* listFn(void*) {
    return g_list.c_str();
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = kestrel::test::tempFolder("kestrel-engine");
        window_ = std::make_unique<MessageSink>([this](std::uint32_t m, auto w, auto l) -> std::intptr_t {
            if (engine_) engine_->handleMessage(m, w, l);
            return 0;
        });
    }
    void TearDown() override {
        engine_.reset();
        std::filesystem::remove_all(dir_);
    }
    void makeEngine(OspreyModule osprey) {
        engine_ = std::make_unique<Engine>(ui_, *window_, std::move(osprey));
        engine_->globals().saveFolder = dir_ + "save/";
        launcher_ = std::make_unique<CountingLauncher>(engine_->postProcessingBusy());
        engine_->setPostProcessingLauncher(launcher_.get());
    }
    void makeEngineWithListings(std::string usable, std::string list) {
        g_usable = std::move(usable);
        g_list = std::move(list);
        makeEngine(OspreyModule::withFunctions(&usableFn, &listFn));
    }
    // Pumps the window until pred holds or the time is up.
    template <typename Pred>
    bool pumpUntil(Pred pred, int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            window_->waitAndPump(10);
        }
        return true;
    }
    void startAndPump() {
        engine_->startCommand();
        window_->pump();
    }
    int addRecordingItem() {
        NewItem init;
        init.extension = ".FLV";
        const int index = engine_->items().create(init, ItemState::Recording);
        engine_->handleMessage(WM_ITEM_RECEIVING, static_cast<kestrel::platform::WParam>(index), 0);
        return index;
    }

    std::string dir_;
    TestUi ui_;
    std::unique_ptr<MessageSink> window_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<CountingLauncher> launcher_;
};

// A packet processor that notes the size of every frame handed to it.
struct FrameSizes : PacketProcessor {
    std::vector<std::size_t> sizes;
    void process(std::span<const std::uint8_t> frame, Outbox&) override { sizes.push_back(frame.size()); }
};

std::string fileSource(const std::string& name) {
    return std::string("file://") + KESTREL_CAPTURES_DIR + "/" + name;
}

}  // namespace

TEST_F(EngineTest, MissingLibraryIsReportedAtStart) {
    makeEngine(OspreyModule{});
    startAndPump();
    EXPECT_EQ(ui_.messages, std::vector<std::string>{kTextLibraryMissing});
    EXPECT_EQ(engine_->state(), EngineState::Idle);
}

TEST_F(EngineTest, AdapterChoiceFromTheListings) {
    const std::string list = "rpcap://a|A|16777215|10.0.0.1<|>rpcap://b|B|16777215|110.0.0.1<|>rpcap://c|C|1|N/A<|>";
    struct Case {
        const char* what;
        std::string usable;
        int pick;
        std::string expectedAdapter;
        bool chooserShown;
    } cases[] = {
        {"one address", "|10.0.0.1", -1, "rpcap://b", false},  // 110.0.0.1 ends with it and comes later
        {"two addresses, second row picked", "|110.0.0.1|10.0.0.7", 1, "rpcap://b", true},
        {"two addresses, cancelled", "|110.0.0.1|10.0.0.7", -1, "", true},
        {"one character", "|", -1, "", false},
        {"unknown address", "|172.16.0.1", -1, "", false},
    };
    for (const auto& c : cases) {
        ui_ = TestUi{};
        ui_.chooserPick = c.pick;
        makeEngineWithListings(c.usable, list);
        // A source that cannot open keeps the test off real adapters.
        startAndPump();
        EXPECT_EQ(!ui_.chooserRows.empty(), c.chooserShown) << c.what;
        if (c.expectedAdapter.empty()) {
            EXPECT_EQ(ui_.messages, std::vector<std::string>{kTextNoAdapter}) << c.what;
            EXPECT_EQ(engine_->state(), EngineState::Idle) << c.what;
        } else {
            EXPECT_EQ(engine_->captureAdapterName(), c.expectedAdapter) << c.what;
            ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; })) << c.what;
            // No such device here: the capture ends at once and says why.
            ASSERT_EQ(ui_.messages.size(), 1u) << c.what;
            EXPECT_TRUE(engine_->lastCaptureFailedToOpen()) << c.what;
        }
        engine_.reset();
    }
}

TEST_F(EngineTest, EmptyUsableTextOpensTheAdapterList) {
    makeEngineWithListings("", "rpcap://a|A|1|10.0.0.1<|>");
    startAndPump();
    EXPECT_EQ(ui_.adapterListShown + ui_.adapterErrorShown, 1);
    EXPECT_EQ(ui_.messages, std::vector<std::string>{kTextNoAdapter});
}

TEST_F(EngineTest, SourceThatCannotOpenReturnsToIdleWithLibpcapText) {
    makeEngine(OspreyModule{});
    engine_->setSourceOverride("file://" + dir_ + "missing.pcap");
    startAndPump();
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    // Started (Start off, Stop on), then back to Idle (Start on, Stop off).
    EXPECT_EQ(ui_.controls, (std::vector<std::pair<bool, bool>>{{false, true}, {true, false}}));
    ASSERT_EQ(ui_.messages.size(), 1u);
    EXPECT_NE(ui_.messages[0].find("No such file or directory"), std::string::npos) << ui_.messages[0];
    // The engine starts again afterwards.
    engine_->setSourceOverride(fileSource("http-flv-eth1500.pcap"));
    startAndPump();
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    EXPECT_EQ(engine_->packetCount(), 117);
}

TEST_F(EngineTest, NonEthernetSourceEndsAtOnce) {
    kestrel::test::PcapWriter w;
    w.linkType = 12;  // DLT_RAW: raw IP, no Ethernet header
    w.frames.push_back(kestrel::test::tcpFrame(100));
    ASSERT_TRUE(w.write(dir_ + "raw.pcap"));
    makeEngine(OspreyModule{});
    engine_->setSourceOverride("file://" + dir_ + "raw.pcap");
    startAndPump();
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    EXPECT_EQ(engine_->packetCount(), 0);
    EXPECT_TRUE(engine_->lastCaptureFailedToOpen());
    EXPECT_EQ(ui_.messages.size(), 1u);
}

TEST_F(EngineTest, FramesOf54BytesOrLessAreSkipped) {
    kestrel::test::PcapWriter w;
    for (std::size_t payload : {0u, 1u, 0u, 1400u}) w.frames.push_back(kestrel::test::tcpFrame(payload));
    ASSERT_TRUE(w.write(dir_ + "sizes.pcap"));

    FrameSizes processor;
    makeEngine(OspreyModule{});
    engine_->setPacketProcessor(&processor);
    engine_->setSourceOverride("file://" + dir_ + "sizes.pcap");
    startAndPump();
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    EXPECT_EQ(processor.sizes, (std::vector<std::size_t>{55, 1454}));
    EXPECT_EQ(engine_->packetCount(), 2);
    EXPECT_TRUE(ui_.messages.empty());
    // The save folder and its Temp subfolder exist once capture has started.
    EXPECT_TRUE(std::filesystem::is_directory(dir_ + "save/Temp"));
}

// A stop handled while no capture thread exists (before any start, or after
// the thread's end was handled) must not leave the engine "stopping": no
// thread would ever clear it, and every later Start would be refused.
TEST_F(EngineTest, StopWithoutACaptureThreadLeavesTheEngineIdle) {
    makeEngine(OspreyModule{});
    engine_->setSourceOverride(fileSource("http-flv-eth1500.pcap"));
    engine_->handleMessage(WM_STOP_CAPTURE, 0, 0);  // before any start
    EXPECT_EQ(engine_->state(), EngineState::Idle);
    startAndPump();
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    EXPECT_EQ(engine_->capturesStarted(), 1);
    engine_->handleMessage(WM_STOP_CAPTURE, 0, 0);  // after the thread's end was handled
    EXPECT_EQ(engine_->state(), EngineState::Idle);
    startAndPump();
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    EXPECT_EQ(engine_->capturesStarted(), 2);
    EXPECT_TRUE(ui_.messages.empty()) << ui_.messages.front();
}

// While the capture thread is still ending, Start asks the user to wait.
// The thread is held in the opening of a FIFO until the test writes to it.
TEST_F(EngineTest, StartWhileStoppingSaysPleaseWait) {
    const std::string fifo = dir_ + "held.pcap";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Whatever happens below, the writer end is opened and closed once, so
    // the capture thread is released and the engine can be destroyed.
    struct Release {
        std::string path;
        std::string header;  // a capture file without frames
        bool done = false;
        void operator()(bool withHeader) {
            if (done) return;
            done = true;
            const int fd = ::open(path.c_str(), O_WRONLY);
            if (fd < 0) return;
            if (withHeader) [[maybe_unused]] const auto n = ::write(fd, header.data(), header.size());
            ::close(fd);
        }
        ~Release() { (*this)(false); }
    } release{fifo, {}};
    ASSERT_TRUE(kestrel::test::PcapWriter{}.write(dir_ + "empty.pcap"));
    release.header = kestrel::test::readFile(dir_ + "empty.pcap");
    makeEngine(OspreyModule{});
    engine_->setSourceOverride("file://" + fifo);
    startAndPump();
    EXPECT_EQ(engine_->state(), EngineState::Capturing);
    engine_->handleMessage(WM_STOP_CAPTURE, 0, 0);
    EXPECT_EQ(engine_->state(), EngineState::Stopping);
    startAndPump();
    EXPECT_EQ(ui_.messages, std::vector<std::string>{kTextStopping});
    release(true);
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    EXPECT_EQ(engine_->capturesStarted(), 1);
    EXPECT_EQ(ui_.messages.size(), 1u);
}

// Frames whose captured bytes are fewer than their length on the wire were
// cut by the snapshot length: counted, never handed on as if whole.
TEST_F(EngineTest, FramesCutByTheSnapshotLengthAreCountedNotStored) {
    kestrel::test::PcapWriter w;
    auto cut = kestrel::test::tcpFrame(1400);
    cut.resize(200);
    w.frames = {kestrel::test::tcpFrame(1400), cut, kestrel::test::tcpFrame(300), cut};
    w.wireLengths = {0, 1454, 0, 1454};
    ASSERT_TRUE(w.write(dir_ + "cut.pcap"));
    FrameSizes processor;
    makeEngine(OspreyModule{});
    engine_->setPacketProcessor(&processor);
    engine_->setSourceOverride("file://" + dir_ + "cut.pcap");
    startAndPump();
    ASSERT_TRUE(pumpUntil([&] { return engine_->state() == EngineState::Idle; }));
    EXPECT_EQ(processor.sizes, (std::vector<std::size_t>{1454, 354}));
    const CaptureSummary summary = engine_->lastCaptureSummary();
    EXPECT_EQ(summary.cutFrames, 2u);
    EXPECT_FALSE(summary.live);
    EXPECT_FALSE(summary.kernel.known);  // a file has no kernel counters
}

// The recording number reaches setting.ini while the run goes on, so that a
// run that is killed does not hand its numbers out again.
TEST_F(EngineTest, TimerWritesTheRecordingNumberWhenItMoves) {
    makeEngine(OspreyModule{});
    const std::string ini = dir_ + "setting.ini";
    engine_->loadSettingsFrom(ini);
    engine_->globals().saveFolder = dir_ + "save/";
    auto stored = [&] { return kestrel::platform::ProfileFile::load(ini).getInt("Normal", "TotalRecordCount", -1); };
    engine_->onTimer();
    EXPECT_EQ(stored(), -1);  // nothing moved: the default file stays as it is
    addRecordingItem();
    addRecordingItem();
    EXPECT_EQ(stored(), -1);
    engine_->onTimer();
    EXPECT_EQ(stored(), 2);
    addRecordingItem();
    engine_->onTimer();
    EXPECT_EQ(stored(), 2);  // not again within 5 s: the save ends with an fsync
    for (int tick = 0; tick < 9; ++tick) engine_->onTimer();
    EXPECT_EQ(stored(), 3);
}

TEST_F(EngineTest, StopAllStartsPostProcessingOnceAndEndsRecordingItems) {
    makeEngine(OspreyModule{});
    const int a = addRecordingItem();
    const int b = addRecordingItem();
    engine_->items().at(b)->state = ItemState::Done;
    const std::string path = dir_ + "a.flvdata";
    RecordItem* item = engine_->items().at(a);
    ASSERT_TRUE(item->files.openData(path, true));
    ASSERT_TRUE(item->files.openIndex(path + ".idx", true));
    item->filesOpen = 1;
    const std::uint8_t bytes[3] = {'a', 'b', 'c'};
    ASSERT_TRUE(item->files.append(0, item->headerWritten, 100, bytes));

    engine_->handleMessage(WM_STOP_CAPTURE, 0, 0);
    EXPECT_TRUE(item->is(ItemState::CaptureEnded));
    EXPECT_TRUE(engine_->items().at(b)->is(ItemState::Done));
    EXPECT_EQ(item->filesOpen.load(), 0);
    EXPECT_FALSE(item->files.dataOpen());
    EXPECT_EQ(std::filesystem::file_size(path), 8u);  // header and payload, flushed by the close
    EXPECT_EQ(std::filesystem::file_size(path + ".idx"), 18u);
    EXPECT_EQ(ui_.refreshed, std::vector<int>{a});
    EXPECT_EQ(launcher_->launches, 1);
    // Already busy: no second thread.
    engine_->handleMessage(WM_CAPTURE_ENDED, 0, 0);
    engine_->handleMessage(WM_STOP_CAPTURE, 0, 0);
    EXPECT_EQ(launcher_->launches, 1);
    launcher_->finish();
    engine_->handleMessage(WM_CAPTURE_ENDED, 0, 0);
    engine_->handleMessage(WM_STOP_CAPTURE, 0, 0);  // nothing recording: still starts once
    EXPECT_EQ(launcher_->launches, 2);
}

TEST_F(EngineTest, StopOneItem) {
    makeEngine(OspreyModule{});
    const int a = addRecordingItem();
    const int done = addRecordingItem();
    engine_->items().at(done)->state = ItemState::Done;
    engine_->handleMessage(WM_STOP_CAPTURE, static_cast<kestrel::platform::WParam>(a), 0);
    EXPECT_TRUE(engine_->items().at(a)->is(ItemState::CaptureEnded));
    // A finished item is not sent back to processing; an index past the count does nothing.
    engine_->handleMessage(WM_STOP_CAPTURE, static_cast<kestrel::platform::WParam>(done), 0);
    EXPECT_TRUE(engine_->items().at(done)->is(ItemState::Done));
    engine_->handleMessage(WM_STOP_CAPTURE, 3, 0);
    EXPECT_EQ(launcher_->launches, 0);
    EXPECT_EQ(engine_->state(), EngineState::Idle);
}

TEST_F(EngineTest, IdleRuleEndsAnItemAfter121Ticks) {
    makeEngine(OspreyModule{});
    const int a = addRecordingItem();
    RecordItem* item = engine_->items().at(a);
    for (int i = 0; i < 100; ++i) engine_->onTimer();
    item->idleTicks = 0;  // a stored segment restarts the count
    for (int i = 0; i < 120; ++i) engine_->onTimer();
    EXPECT_TRUE(item->is(ItemState::Recording));
    EXPECT_EQ(launcher_->launches, 0);
    engine_->onTimer();
    EXPECT_TRUE(item->is(ItemState::CaptureEnded));
    EXPECT_EQ(launcher_->launches, 1);
    // Waiting and processing rows are still refreshed; others are not.
    ui_.refreshed.clear();
    engine_->onTimer();
    item->state = ItemState::Done;
    engine_->onTimer();
    EXPECT_EQ(ui_.refreshed, std::vector<int>{a});
}

TEST_F(EngineTest, StreamEndedStartsPostProcessingUnlessBusy) {
    makeEngine(OspreyModule{});
    engine_->handleMessage(WM_STREAM_ENDED, 0, 0);
    engine_->handleMessage(WM_STREAM_ENDED, 0, 0);
    EXPECT_EQ(launcher_->launches, 1);
    EXPECT_EQ(engine_->postProcessingBusy().load(), 1);
}

TEST_F(EngineTest, EachProcessingMessageStartsItsThreadOnlyWhenIdle) {
    makeEngine(OspreyModule{});
    const std::pair<std::uint32_t, ProcessingMode> cases[] = {
        {WM_PROCESS_ITEMS, ProcessingMode::Standard},
        {WM_PROCESS_ITEMS_BUILTIN, ProcessingMode::BuiltinOnly},
        {WM_CONVERT_RTMP_ONLY, ProcessingMode::OutsideOnly},
    };
    for (const auto& [msg, mode] : cases) {
        engine_->handleMessage(msg, 0, 0);
        engine_->handleMessage(WM_PROCESS_ITEMS, 0, 0);  // busy: ignored
        ASSERT_FALSE(launcher_->modes.empty());
        EXPECT_EQ(launcher_->modes.back(), mode);
        launcher_->finish();
    }
    EXPECT_EQ(launcher_->launches, 3);
}

// Ending an item while the capture thread writes to it must never touch a
// closed file: the writer checks the state under the packet lock, and the
// ending side closes the files under the same lock.
TEST_F(EngineTest, EndingAnItemWhileFramesAreStoredIsSafe) {
    struct Writer : PacketProcessor {
        RecordItem* item = nullptr;
        std::atomic<long> writes{0};
        void process(std::span<const std::uint8_t> frame, Outbox&) override {
            if (!item->is(ItemState::Recording) || !item->filesOpen) return;
            item->files.append(0, item->headerWritten, 1, frame);
            ++writes;
        }
    } writer;
    makeEngine(OspreyModule{});
    engine_->setPacketProcessor(&writer);
    const auto frame = kestrel::test::tcpFrame(100);
    for (int round = 0; round < 50; ++round) {
        const int a = addRecordingItem();
        RecordItem* item = engine_->items().at(a);
        ASSERT_TRUE(item->files.openData(dir_ + "race.flvdata", true));
        ASSERT_TRUE(item->files.openIndex(dir_ + "race.idx", true));
        item->filesOpen = 1;
        writer.item = item;
        std::atomic<bool> stop{false};
        std::thread capture([&] {
            while (!stop) engine_->processFrame(frame);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        engine_->endItemCapture(a);
        stop = true;
        capture.join();
        EXPECT_FALSE(item->files.dataOpen());
        launcher_->finish();
    }
    EXPECT_GT(writer.writes.load(), 0);
}
