#pragma once
// One recording session: the capture engine wired to its packet
// dispatcher and post-processor, the main window's message sink, and the
// data folder with the settings file. Every host (the console commands, the
// desktop program, tests) builds one of these instead of wiring the parts
// by hand.
//
// The sink belongs to the thread that creates the session (the user-
// interface thread): the engine's own messages are handled there, the rest
// go to the host's handler. That thread must keep pumping the sink (or wake
// its event loop with window().setWakeup()) while capture or processing
// runs.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kestrel/engine/engine.h"
#include "kestrel/engine/packet_dispatcher.h"
#include "kestrel/files/post_processor.h"
#include "platform/message.h"

namespace kestrel::session {

struct SessionOptions {
    // Where setting.ini lives; ends with '/'. Empty: the data folder of the
    // environment ($KESTREL_HOME, else $XDG_CONFIG_HOME/kestrel/).
    std::string dataFolder;
    // Load the recording library, which the engine asks for the usable
    // address and the adapter list when it chooses an adapter. Hosts that
    // never capture leave it out.
    bool loadRecordingLibrary = true;
};

class RecorderSession {
public:
    // Messages for the main window that the engine does not handle itself.
    using HostHandler = std::function<platform::MessageResult(std::uint32_t msg, platform::WParam, platform::LParam)>;

    RecorderSession(engine::EngineUi& ui, SessionOptions options = {});
    // Ends capture and waits for a running post-processing pass, pumping the
    // sink meanwhile, before anything is torn down.
    ~RecorderSession();
    RecorderSession(const RecorderSession&) = delete;
    RecorderSession& operator=(const RecorderSession&) = delete;

    // Set before capture or processing starts (the handler runs on the
    // sink's thread); an empty handler drops those messages.
    void setHostHandler(HostHandler handler) { host_ = std::move(handler); }

    engine::Engine& engine() { return *engine_; }
    engine::PacketDispatcher& dispatcher() { return *dispatcher_; }
    files::PostProcessor& postProcessor() { return *postProcessor_; }
    platform::MessageSink& window() { return window_; }
    const std::string& dataFolder() const { return dataFolder_; }
    const std::string& settingsPath() const { return settingsPath_; }

    // Loads setting.ini (written from the built-in default when missing);
    // the load result flag of the settings.
    int loadSettings();
    // Writes the recording number back to setting.ini.
    bool saveRecordingNumber();

    // Stops capture as the engine's destructor would and waits, pumping,
    // until the capture thread and any post-processing pass have ended.
    // Afterwards messages are no longer handled. Called by the destructor;
    // hosts may call it earlier.
    void shutdown();

private:
    platform::MessageResult dispatch(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam);

    std::string dataFolder_;
    std::string settingsPath_;
    HostHandler host_;
    std::atomic<bool> handling_{false};
    bool shutDown_ = false;
    platform::MessageSink window_;
    std::unique_ptr<engine::Engine> engine_;
    std::unique_ptr<engine::PacketDispatcher> dispatcher_;
    std::unique_ptr<files::PostProcessor> postProcessor_;
};

}  // namespace kestrel::session
