#include "kestrel/engine/engine.h"

#include <chrono>

#include "kestrel/engine/capture_loop.h"
#include "kestrel/engine/messages.h"
#include "platform/data_dir.h"
#include "platform/profile.h"

namespace kestrel::engine {

Engine::Engine(EngineUi& ui, platform::MessageSink& window, OspreyModule osprey)
    : ui_(ui), window_(window), osprey_(std::move(osprey)) {}

Engine::~Engine() { shutdownCapture(); }

void Engine::shutdownCapture() {
    if (!captureThread_.joinable()) return;
    running_.store(0);
    stopRequest_.store(1);
    joinCaptureThread();
}

void Engine::joinCaptureThread() {
    if (!captureThread_.joinable()) return;
    // The capture thread may be waiting on a send to this thread: keep the
    // queue moving until it is done.
    while (!captureThreadDone_.load()) window_.waitAndPump(20);
    // The pumping may have handled the thread's end message, which joins it.
    if (captureThread_.joinable()) captureThread_.join();
}

EngineState Engine::state() const {
    if (stopRequest_.load()) return EngineState::Stopping;
    if (running_.load()) return EngineState::Capturing;
    return EngineState::Idle;
}

std::string Engine::lastCaptureError() const {
    std::lock_guard lock(errorMutex_);
    return captureError_;
}

bool Engine::lastCaptureFailedToOpen() const {
    std::lock_guard lock(errorMutex_);
    return captureOpenFailed_;
}

CaptureSummary Engine::lastCaptureSummary() const {
    std::lock_guard lock(errorMutex_);
    return captureSummary_;
}

bool Engine::handleMessage(std::uint32_t msg, platform::WParam wParam, platform::LParam) {
    switch (msg) {
    case WM_START_CAPTURE:
        onStartCapture();
        return true;
    case WM_STOP_CAPTURE:
        onStopCapture(wParam);
        return true;
    case WM_CAPTURE_ENDED:
        onCaptureEnded();
        return true;
    case WM_ITEM_RECEIVING:
        onItemReceiving(static_cast<int>(wParam));
        return true;
    case WM_STREAM_ENDED:
    case WM_PROCESS_ITEMS:
        startPostProcessingIfIdle(ProcessingMode::Standard);
        return true;
    case WM_PROCESS_ITEMS_BUILTIN:
        startPostProcessingIfIdle(ProcessingMode::BuiltinOnly);
        return true;
    case WM_CONVERT_RTMP_ONLY:
        startPostProcessingIfIdle(ProcessingMode::OutsideOnly);
        return true;
    default:
        return false;
    }
}

int Engine::loadSettingsFrom(const std::string& path) {
    const int result = loadSettings(path, settings_, globals_);
    captureAdapterName_ = globals_.captureAdapterName;
    items_.setRecordingNumber(globals_.recordingNumber);
    settingsPath_ = path;
    savedRecordingNumber_ = globals_.recordingNumber;
    return result;
}

bool Engine::saveRecordingNumber(const std::string& path) {
    globals_.recordingNumber = items_.recordingNumber();
    platform::ProfileFile file = platform::ProfileFile::load(path);
    file.setString(kSettingsSection, "TotalRecordCount", std::to_string(globals_.recordingNumber));
    if (!file.save(path)) return false;
    if (path == settingsPath_) savedRecordingNumber_ = globals_.recordingNumber;
    return true;
}

void Engine::startCommand() {
    if (running_.load() == 1) {
        window_.post(WM_STOP_CAPTURE, 0);
        return;
    }
    if (stopRequest_.load() == 1) {
        ui_.messageBox(kTextStopping);
        return;
    }
    window_.post(WM_START_CAPTURE, 0);
}

void Engine::stopCommand() {
    window_.post(WM_STOP_CAPTURE, 0);
    ui_.setCaptureControls(true, false);
}

bool Engine::chooseAdapter() {
    if (!osprey_.loaded()) {
        ui_.messageBox(kTextLibraryMissing);
        return false;
    }
    if (auto usable = osprey_.usableIpInfo()) {
        const char* text = usable(&window_);
        usableAddressText_ = text ? text : "";
    }
    captureAdapterName_.clear();
    if (usableAddressText_.empty()) {
        AdapterListDialog dialog;
        if (!dialog.enumerate()) {
            ui_.showAdapterError();
        } else if (ui_.runAdapterList(dialog)) {
            captureAdapterName_ = dialog.interfaceName;
            captureNetmask_ = dialog.netmask;
            if (!dialog.description.empty()) globals_.adapterDescription = dialog.description;
        }
    } else {
        usableAddressText_.erase(0, 1);
        if (usableAddressText_.find('|') != std::string::npos) {
            AddressChooser chooser(usableAddressText_);
            usableAddressText_ = ui_.runAddressChooser(chooser);
        }
        if (!usableAddressText_.empty()) {
            usableAddressText_ += "|";
            if (auto list = osprey_.adapterList()) {
                const char* text = list(&window_);
                captureAdapterName_ = matchAdapter(usableAddressText_, text ? text : "");
            }
        }
    }
    if (captureAdapterName_.empty()) {
        ui_.messageBox(kTextNoAdapter);
        return false;
    }
    return true;
}

void Engine::onStartCapture() {
    // A second start while a capture thread runs would open the adapter twice.
    if (running_.load() || captureThread_.joinable()) return;
    if (!sourceOverride_.empty()) {
        captureAdapterName_ = sourceOverride_;
    } else if (!chooseAdapter()) {
        return;
    }
    packetCounter_.store(0);
    running_.store(1);
    if (globals_.saveFolder.empty()) globals_.saveFolder = platform::homeFolder() + "Kestrel/";
    if (!platform::folderExists(globals_.saveFolder)) platform::makeFolders(globals_.saveFolder);
    if (!platform::folderExists(globals_.saveFolder + "Temp/")) platform::makeFolders(globals_.saveFolder + "Temp/");
    if (processor_) processor_->beginCapture(globals_.saveFolder, globals_.recordSwf == 1);
    startCaptureThread();
    ui_.setCaptureControls(false, true);
}

void Engine::startCaptureThread() {
    {
        std::lock_guard lock(errorMutex_);
        captureError_.clear();
        captureOpenFailed_ = false;
        captureSummary_ = {};
    }
    captureThreadDone_.store(false);
    capturesStarted_.fetch_add(1);
    captureThread_ = std::thread(&Engine::captureThreadMain, this, captureAdapterName_, captureNetmask_,
                                 globals_.captureBufferMb);
}

void Engine::captureThreadMain(std::string source, std::uint32_t netmask, int kernelBufferMb) {
    CaptureLoopResult result;
    try {
        CaptureLoopInput input;
        input.source = std::move(source);
        input.netmask = netmask;
        input.kernelBufferMb = kernelBufferMb;
        input.running = &running_;
        input.stopRequest = &stopRequest_;
        input.onFrame = [this](std::span<const std::uint8_t> frame) { processFrame(frame); };
        result = runCaptureLoop(input);
    } catch (const std::exception& e) {
        result.code = -1;
        result.error = e.what();
    } catch (...) {
        result.code = -1;
        result.error = "the capture thread failed";
    }
    {
        std::lock_guard lock(errorMutex_);
        captureError_ = result.error;
        captureOpenFailed_ = result.code == -1;
        captureSummary_ = {result.live, result.cutFrames, result.kernel};
    }
    // Reported in every case, so the window never shows a capture that is
    // not running.
    window_.post(WM_CAPTURE_ENDED, 0);
    captureThreadDone_.store(true);
}

void Engine::processFrame(std::span<const std::uint8_t> frame) {
    Outbox outbox;
    {
        std::lock_guard lock(packetLock_);
        packetCounter_.fetch_add(1, std::memory_order_relaxed);
        if (processor_) processor_->process(frame, outbox);
    }
    for (const auto& m : outbox.entries()) window_.send(m.msg, m.wParam, m.lParam);
}

bool Engine::stopRecordingItem(RecordItem& item) {
    if (!item.is(ItemState::Recording)) return false;
    // A frame being stored right now holds the packet lock; once we have
    // it, no writer is inside the files, and none starts once the state
    // has moved on.
    std::lock_guard lock(packetLock_);
    return item.endCapture();
}

void Engine::onStopCapture(platform::WParam wParam) {
    if (wParam == 0) {
        running_.store(0);
        // Only a capture thread that has not been joined yet clears the
        // request again (WM_CAPTURE_ENDED); without one the engine would
        // stay "stopping" for good.
        if (captureThread_.joinable()) stopRequest_.store(1);
        endAllRecordings();
        startPostProcessingIfIdle();
        return;
    }
    // One item. Only a recording item is ended: moving a finished item back
    // to "waiting" would process it again after its capture files are gone.
    // Its files are closed here too, so that nothing of it stays buffered.
    if (wParam <= static_cast<platform::WParam>(items_.count())) {
        if (RecordItem* item = items_.at(static_cast<int>(wParam))) stopRecordingItem(*item);
    }
}

void Engine::endAllRecordings() {
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
        const int index = *it;
        RecordItem* item = index > 0 ? items_.at(index) : nullptr;
        if (item && stopRecordingItem(*item)) ui_.refreshRow(index);
    }
}

int Engine::endEveryRecordingItem() {
    int ended = 0;
    for (int i = 1; i <= items_.count(); ++i)
        if (stopRecordingItem(*items_.at(i))) ++ended;
    return ended;
}

void Engine::onCaptureEnded() {
    stopRequest_.store(0);
    joinCaptureThread();
    // The thread may have ended by itself (source not opened, read error,
    // end of a capture file): the engine is idle again either way.
    if (running_.exchange(0) == 1) ui_.setCaptureControls(true, false);
    if (std::string error = lastCaptureError(); !error.empty()) ui_.messageBox(error);
}

void Engine::onItemReceiving(int index) {
    if (!items_.at(index)) return;
    rows_.push_back(index);
    ui_.addRow(index);
}

void Engine::onTimer() {
    // At most every few seconds: the save ends with an fsync, which can take
    // a while when capture data is being written, and a capture thread
    // waiting on this thread meanwhile would let the kernel drop frames.
    // Numbers handed out in between are protected by their capture files.
    if (ticksToNumberSave_ > 0) --ticksToNumberSave_;
    if (!settingsPath_.empty() && ticksToNumberSave_ == 0 && items_.recordingNumber() != savedRecordingNumber_) {
        saveRecordingNumber(settingsPath_);
        ticksToNumberSave_ = kTicksBetweenNumberSaves;
    }
    for (const int index : rows_) {
        RecordItem* item = items_.at(index);
        if (!item) continue;
        const ItemState s = item->state.load();
        if (s != ItemState::Recording && s != ItemState::CaptureEnded && s != ItemState::Processing) continue;
        ui_.refreshRow(index);
        if (s == ItemState::Recording && item->idleTicks.fetch_add(1) + 1 >= kIdleTickLimit) endItemCapture(index);
    }
}

void Engine::endItemCapture(int index) {
    RecordItem* item = items_.at(index);
    if (!item) return;
    stopRecordingItem(*item);
    startPostProcessingIfIdle();
}

void Engine::startPostProcessingIfIdle(ProcessingMode mode) {
    // The request goes first: a thread that clears the busy flag after our
    // failed attempt below then sees it and makes another pass.
    requestedMode_.store(mode);
    processingRequested_.store(true);
    int idle = 0;
    if (!postProcessingBusy_.compare_exchange_strong(idle, 1)) return;
    processingRequested_.store(false);
    if (launcher_) {
        launcher_->launch(mode);
    } else {
        postProcessingBusy_.store(0);  // nothing to run the items through yet
    }
}

bool Engine::takeProcessingRequest(ProcessingMode& mode) {
    if (!processingRequested_.exchange(false)) return false;
    mode = requestedMode_.load();
    return true;
}

}  // namespace kestrel::engine
