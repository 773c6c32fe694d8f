#pragma once
// An engine with a post-processor over a fresh save folder, and record
// items whose capture files are made from given pieces: the fixture of the
// post-processing tests. The window records every message it gets; with
// forwardToEngine it also hands them to the engine, as the main window
// does, so that messages start processing runs.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/engine/engine.h"
#include "kestrel/files/post_processor.h"
#include "platform/message.h"
#include "platform/write_behind.h"
#include "tests/support/recording_ui.h"
#include "tests/support/test_files.h"

namespace kestrel::test {

class PostProcessorFixture : public ::testing::Test {
protected:
    using Pieces = std::vector<std::pair<std::uint32_t, std::string>>;

    explicit PostProcessorFixture(bool forwardToEngine = false) : forwardToEngine_(forwardToEngine) {}

    void SetUp() override {
        save_ = tempFolder("kestrel-post");
        std::filesystem::create_directories(save_ + "Temp");
        window_ = std::make_unique<platform::MessageSink>([this](std::uint32_t m, auto w, auto l) -> std::intptr_t {
            messages_.emplace_back(m, static_cast<int>(w));
            if (forwardToEngine_) engine_->handleMessage(m, w, l);
            return 0;
        });
        engine_ = std::make_unique<engine::Engine>(ui_, *window_, engine::OspreyModule{});
        engine_->globals().saveFolder = save_;
        post_ = std::make_unique<files::PostProcessor>(*engine_);
        engine_->setPostProcessingLauncher(post_.get());
    }
    void TearDown() override {
        post_.reset();
        engine_.reset();
        std::filesystem::remove_all(save_);
    }

    // An item waiting for processing, with its capture files holding the
    // pieces (sequence number, bytes) stored in the given order.
    int waitingItem(const Pieces& pieces, std::string_view title, engine::ItemKind kind = engine::ItemKind::Http) {
        engine::NewItem init;
        init.kind = kind;
        init.title = title;
        init.extension = ".FLV";
        const int index = engine_->items().create(init, engine::ItemState::Recording);
        engine::RecordItem& item = *engine_->items().at(index);
        EXPECT_TRUE(item.files.openData(dataPath(index), true));
        EXPECT_TRUE(item.files.openIndex(indexPath(index), true));
        for (const auto& [seq, bytes] : pieces)
            item.files.append(kind == engine::ItemKind::Rtmp ? 1 : 0, item.headerWritten, seq,
                              std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        item.closeFiles();
        item.state = engine::ItemState::CaptureEnded;
        return index;
    }
    std::string dataPath(int i) { return save_ + "Temp/" + std::string(item(i).dataFileName.view()); }
    std::string indexPath(int i) { return save_ + "Temp/" + std::string(item(i).indexFileName.view()); }
    engine::RecordItem& item(int i) { return *engine_->items().at(i); }

    // One item processed as the thread does it, including the deletion of
    // its capture files, which the background writer makes.
    files::ProcessedItem processNow(int i) {
        auto result = post_->processItem(i, save_);
        platform::waitForBackgroundWrites();
        return result;
    }
    // Pumps the window until the processing run ends (or the time is up).
    void pumpUntilIdle(std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (engine_->postProcessingBusy().load() && std::chrono::steady_clock::now() < end) window_->waitAndPump(20);
        window_->pump();
    }

    const bool forwardToEngine_;
    RecordingUi ui_;
    std::string save_;
    std::unique_ptr<platform::MessageSink> window_;
    std::unique_ptr<engine::Engine> engine_;
    std::unique_ptr<files::PostProcessor> post_;
    std::vector<std::pair<std::uint32_t, int>> messages_;
};

}  // namespace kestrel::test
