// The recording session that every host builds on: a replayed capture
// through it, the host's share of the messages, and a session torn down
// while its threads still work.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <vector>

#include "kestrel/engine/messages.h"
#include "kestrel/session/recorder_session.h"
#include "tests/support/recording_ui.h"
#include "tests/support/test_files.h"

namespace kestrel::session {
namespace {

namespace fs = std::filesystem;
using engine::EngineState;
using engine::ItemState;

constexpr std::uintmax_t kClipSize = 163648;  // clip.flv of the reference capture

std::string capture(const char* name) { return std::string("file://") + KESTREL_CAPTURES_DIR + "/" + name; }

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = test::tempFolder("kestrel-session");
        ASSERT_FALSE(home_.empty());
        save_ = home_ + "save/";
    }
    void TearDown() override {
        session_.reset();
        fs::remove_all(home_);
    }

    RecorderSession& make() {
        session_ = std::make_unique<RecorderSession>(ui_, SessionOptions{.dataFolder = home_, .loadRecordingLibrary = false});
        session_->setHostHandler([this](std::uint32_t msg, platform::WParam w, platform::LParam) -> platform::MessageResult {
            hostMessages_.emplace_back(msg, w);
            return 0;
        });
        session_->loadSettings();
        session_->engine().globals().saveFolder = save_;
        return *session_;
    }

    bool pumpUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            session_->window().waitAndPump(20);
        }
        return true;
    }

    // Replays a capture to its end and ends every item still recording.
    void replay(const char* name) {
        auto& engine = session_->engine();
        engine.setSourceOverride(capture(name));
        engine.startCommand();
        ASSERT_TRUE(pumpUntil([&] { return engine.capturesStarted() > 0 && engine.state() == EngineState::Idle; }));
        engine.endEveryRecordingItem();
    }

    std::vector<fs::path> finishedFiles() const {
        std::vector<fs::path> out;
        if (!fs::is_directory(save_)) return out;
        for (const auto& e : fs::directory_iterator(save_))
            if (e.is_regular_file()) out.push_back(e.path());
        return out;
    }

    test::RecordingUi ui_;
    std::string home_;
    std::string save_;
    std::unique_ptr<RecorderSession> session_;
    std::vector<std::pair<std::uint32_t, platform::WParam>> hostMessages_;
};

TEST_F(SessionTest, ReplayFinishesItsItemAndTheHostSeesOnlyItsMessages) {
    auto& session = make();
    replay("http-flv-eth1500.pcap");
    session.engine().startPostProcessingIfIdle();
    ASSERT_TRUE(pumpUntil([&] { return session.engine().postProcessingBusy().load() == 0; }));
    session.window().pump();

    ASSERT_EQ(session.engine().items().count(), 1);
    EXPECT_TRUE(session.engine().items().at(1)->is(ItemState::Done));
    EXPECT_TRUE(session.postProcessor().completeOf(1));
    const auto files = finishedFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(fs::file_size(files[0]), kClipSize);
    // The row came through the engine's user interface; the finished
    // item's report went to the host, the engine's own messages did not.
    EXPECT_EQ(ui_.rows, std::vector<int>{1});
    bool finished = false;
    for (const auto& [msg, w] : hostMessages_) {
        EXPECT_NE(msg, engine::WM_START_CAPTURE);
        EXPECT_NE(msg, engine::WM_CAPTURE_ENDED);
        EXPECT_NE(msg, engine::WM_ITEM_RECEIVING);
        if (msg == engine::WM_ITEM_FINISHED && w == 1) finished = true;
    }
    EXPECT_TRUE(finished);
    // The recording number went to the settings file in the data folder.
    ASSERT_TRUE(session.saveRecordingNumber());
    EXPECT_NE(test::readFile(home_ + "setting.ini").find("TotalRecordCount=1"), std::string::npos);
}

TEST_F(SessionTest, TornDownWhileProcessingTheFileIsStillFinished) {
    auto& session = make();
    replay("http-flv-eth1500.pcap");
    session.engine().startPostProcessingIfIdle();
    ASSERT_NE(session.engine().postProcessingBusy().load(), 0);
    session_.reset();  // no pumping in between: the destructor must do it
    const auto files = finishedFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(fs::file_size(files[0]), kClipSize);
    EXPECT_FALSE(fs::exists(save_ + "Temp/1.flvdata"));
}

TEST_F(SessionTest, ShutDownDuringCaptureStopsItAndDropsLaterMessages) {
    auto& session = make();
    session.engine().setSourceOverride(capture("http-keepalive-two-flv-eth1500.pcap"));
    session.engine().startCommand();
    session.window().pump();
    ASSERT_EQ(session.engine().capturesStarted(), 1);
    session.shutdown();
    EXPECT_FALSE(session.engine().running());
    EXPECT_EQ(session.engine().postProcessingBusy().load(), 0);
    // Nothing reaches the engine or the host any more.
    const auto before = hostMessages_.size();
    EXPECT_EQ(session.window().send(engine::WM_ITEM_FINISHED, 1), 0);
    session.window().post(engine::WM_START_CAPTURE);
    session.window().pump();
    EXPECT_EQ(hostMessages_.size(), before);
    EXPECT_EQ(session.engine().capturesStarted(), 1);
}

}  // namespace
}  // namespace kestrel::session
