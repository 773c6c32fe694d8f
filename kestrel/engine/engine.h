#pragma once
// The capture engine: its globals, the start and stop of capture, the
// messages between the capture side and the main window, and the idle rule.
// Everything here runs on the user-interface thread (the owner of the main
// window's message sink) except processFrame(), which the capture thread
// calls.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/engine/engine_ui.h"
#include "kestrel/engine/osprey_module.h"
#include "kestrel/engine/packet_processor.h"
#include "kestrel/engine/record_item_table.h"
#include "kestrel/engine/settings.h"
#include "platform/capture.h"
#include "platform/message.h"

namespace kestrel::engine {

enum class EngineState { Idle, Capturing, Stopping };

// How the last capture went, beyond its error text.
struct CaptureSummary {
    bool live = false;             // a live adapter, not a capture file
    std::uint64_t cutFrames = 0;   // frames cut by the snapshot length, not stored
    platform::CaptureCounters kernel;  // live sources: the kernel's counters at the end

    bool framesDropped() const { return kernel.dropped > 0 || kernel.interfaceDropped > 0; }
    // Frames that never reached the recorder whole: recordings may have gaps.
    bool framesLost() const { return framesDropped() || cutFrames > 0; }
};

inline constexpr const char* kTextLibraryMissing = "can not find libosprey.so file";
inline constexpr const char* kTextNoAdapter = "No selected network adapter, can not startup recorder.";
inline constexpr const char* kTextStopping = "Stopping, please wait.";

class Engine {
public:
    Engine(EngineUi& ui, platform::MessageSink& window, OspreyModule osprey);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Handles the engine's window messages; false for messages it does not own.
    bool handleMessage(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam);

    // The Start and Stop commands of the main window.
    void startCommand();
    void stopCommand();
    // Main-window timer 1, every 500 ms: row refresh and the idle rule.
    void onTimer();
    // Ends capture of one item: state first, then files; starts processing.
    void endItemCapture(int index);
    // Ends every recording item that has a row in the recording list.
    void endAllRecordings();
    // Ends every recording item, listed or not (an item gets its row only
    // after 2048 bytes); returns how many were ended. For hosts that finish
    // a run, such as the console at the end of a capture file.
    int endEveryRecordingItem();

    // Ends the capture thread, if one runs, and waits for it while pumping
    // the window (as the destructor does); the engine is Idle afterwards
    // unless a stop is still to be acknowledged. For hosts that close.
    void shutdownCapture();

    // Called by the capture thread for each frame longer than 54 bytes.
    void processFrame(std::span<const std::uint8_t> frame);

    void setPacketProcessor(PacketProcessor* processor) { processor_ = processor; }
    void setPostProcessingLauncher(PostProcessingLauncher* launcher) { launcher_ = launcher; }
    // Capture on this source instead of choosing an adapter (console host).
    void setSourceOverride(std::string source) { sourceOverride_ = std::move(source); }

    EngineState state() const;
    bool running() const { return running_.load(); }
    bool stopRequested() const { return stopRequest_.load(); }
    std::int64_t packetCount() const { return packetCounter_.load(); }
    const std::string& captureAdapterName() const { return captureAdapterName_; }
    std::uint32_t captureNetmask() const { return captureNetmask_; }
    const std::string& usableAddressText() const { return usableAddressText_; }
    // The error text of the last capture that could not start; empty otherwise.
    std::string lastCaptureError() const;
    // True when the last capture ended because its source could not be opened
    // or configured.
    bool lastCaptureFailedToOpen() const;
    // Frames cut and the kernel's drops of the last capture that ended.
    CaptureSummary lastCaptureSummary() const;
    // How many captures were started; a short capture file can be replayed
    // completely before its host looks at the state again.
    int capturesStarted() const { return capturesStarted_.load(); }

    SettingsRecord& settings() { return settings_; }
    SettingsGlobals& globals() { return globals_; }
    RecordItemTable& items() { return items_; }
    const std::vector<int>& rows() const { return rows_; }
    std::atomic<int>& postProcessingBusy() { return postProcessingBusy_; }
    std::mutex& packetLock() { return packetLock_; }
    platform::MessageSink& window() { return window_; }
    EngineUi& ui() { return ui_; }

    // Loads setting.ini into the settings record and the engine globals
    // (writing the default file first when there is none); returns the
    // load result flag.
    int loadSettingsFrom(const std::string& path);
    // Writes the recording number to setting.ini. The timer does it
    // whenever the number has moved, so a run that is killed does not hand
    // its numbers out again; hosts call it once more at the end.
    bool saveRecordingNumber(const std::string& path);

    // Starts post-processing unless it already runs (busy flag 0 -> 1).
    // When it runs, the request is remembered and the running thread makes
    // another pass before it ends, so an item that ends while the thread is
    // finishing is never left waiting.
    void startPostProcessingIfIdle(ProcessingMode mode = ProcessingMode::Standard);
    // For the post-processing thread, after it cleared the busy flag: true
    // (and the mode asked for) when a start was refused because it was busy.
    bool takeProcessingRequest(ProcessingMode& mode);

private:
    void onStartCapture();
    void onStopCapture(platform::WParam wParam);
    void onCaptureEnded();
    void onItemReceiving(int index);
    bool chooseAdapter();
    void startCaptureThread();
    void captureThreadMain(std::string source, std::uint32_t netmask, int kernelBufferMb);
    // Moves an item out of Recording and closes its files under the packet
    // lock; false when the item was not recording.
    bool stopRecordingItem(RecordItem& item);
    void joinCaptureThread();

    EngineUi& ui_;
    platform::MessageSink& window_;
    OspreyModule osprey_;
    PacketProcessor* processor_ = nullptr;
    PostProcessingLauncher* launcher_ = nullptr;

    SettingsRecord settings_;
    SettingsGlobals globals_;
    RecordItemTable items_;
    std::vector<int> rows_;

    std::string usableAddressText_;
    std::string captureAdapterName_;
    std::uint32_t captureNetmask_ = 0;
    std::string sourceOverride_;

    std::atomic<int> running_{0};
    std::atomic<int> stopRequest_{0};
    std::atomic<int> postProcessingBusy_{0};
    std::atomic<bool> processingRequested_{false};
    std::atomic<ProcessingMode> requestedMode_{ProcessingMode::Standard};
    std::atomic<std::int64_t> packetCounter_{0};
    std::mutex packetLock_;

    std::thread captureThread_;
    std::atomic<bool> captureThreadDone_{true};
    std::atomic<int> capturesStarted_{0};
    mutable std::mutex errorMutex_;
    std::string captureError_;
    bool captureOpenFailed_ = false;
    CaptureSummary captureSummary_;
    std::string settingsPath_;
    std::int32_t savedRecordingNumber_ = -1;
    static constexpr int kTicksBetweenNumberSaves = 10;  // 5 s of 500 ms ticks
    int ticksToNumberSave_ = 0;
};

}  // namespace kestrel::engine
