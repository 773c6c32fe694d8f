#include "kestrel/session/recorder_session.h"

#include "platform/data_dir.h"

namespace kestrel::session {

RecorderSession::RecorderSession(engine::EngineUi& ui, SessionOptions options)
    : dataFolder_(options.dataFolder.empty() ? platform::dataFolder() : std::move(options.dataFolder)),
      window_([this](std::uint32_t msg, platform::WParam w, platform::LParam l) { return dispatch(msg, w, l); }) {
    if (!dataFolder_.empty() && dataFolder_.back() != '/') dataFolder_ += '/';
    settingsPath_ = dataFolder_ + "setting.ini";
    engine_ = std::make_unique<engine::Engine>(
        ui, window_, options.loadRecordingLibrary ? engine::OspreyModule::loadByName() : engine::OspreyModule{});
    dispatcher_ = std::make_unique<engine::PacketDispatcher>(engine_->items());
    postProcessor_ = std::make_unique<files::PostProcessor>(*engine_);
    engine_->setPacketProcessor(dispatcher_.get());
    engine_->setPostProcessingLauncher(postProcessor_.get());
    // Only now may messages reach the engine: every part it calls exists.
    handling_.store(true);
}

RecorderSession::~RecorderSession() { shutdown(); }

void RecorderSession::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    // The host is going away first: what it would have drawn is dropped.
    host_ = nullptr;
    // The capture thread ends first, while its messages are still handled
    // (an ended stream may start processing); then the processing pass.
    engine_->shutdownCapture();
    while (engine_->postProcessingBusy().load() != 0) window_.waitAndPump(20);
    handling_.store(false);
    window_.pump();
    window_.close();
}

platform::MessageResult RecorderSession::dispatch(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam) {
    if (!handling_.load()) return 0;
    if (engine_->handleMessage(msg, wParam, lParam)) return 0;
    return host_ ? host_(msg, wParam, lParam) : 0;
}

int RecorderSession::loadSettings() { return engine_->loadSettingsFrom(settingsPath_); }

bool RecorderSession::saveRecordingNumber() { return engine_->saveRecordingNumber(settingsPath_); }

}  // namespace kestrel::session
