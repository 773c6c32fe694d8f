// kestrel-cli capture: runs the capture engine as the Start command does,
// until the source ends or the user interrupts it.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kestrel/cli/cli_command.h"
#include "kestrel/cli/stop_signal.h"
#include "kestrel/cli/console_ui.h"
#include "kestrel/cli/item_report.h"
#include "kestrel/engine/engine.h"
#include "kestrel/engine/settings.h"
#include "kestrel/session/recorder_session.h"
#include "platform/message.h"

namespace kestrel::cli {
namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kestrel-cli capture [--source SRC] [--save DIR] [--home DIR] [--buffer-mb N]\n\n"
                 "Records media streams seen on a capture source until the source ends\n"
                 "(a capture file) or SIGINT/SIGTERM stops it (a second one ends the program at\n"
                 "once, leaving the capture data for 'kestrel-cli import'), then ends every recording,\n"
                 "waits for the finished files and prints one line per record item:\n"
                 "index, state, kind, stored bytes, expected size, finished file, and\n"
                 "'complete' or 'gaps' (bytes of the stream were never captured, or the body is\n"
                 "shorter than its Content-Length; failed items say 'gaps' too).\n"
                 "A live capture ends with the kernel's counts, as tcpdump prints them: packets\n"
                 "received by the filter, dropped by the kernel (its buffer was full), and frames\n"
                 "cut by the snapshot length (never stored).\n\n"
                 "  --source SRC  capture source: rpcap://DEV or DEV for a live adapter,\n"
                 "                file://PATH to replay a pcap or pcapng file. Without it the\n"
                 "                adapter is chosen from the machine's usable address.\n"
                 "  --save DIR    save folder for this run only (setting.ini is not changed)\n"
                 "  --home DIR    data folder holding setting.ini (default $KESTREL_HOME,\n"
                 "                else $XDG_CONFIG_HOME/kestrel)\n"
                 "  --buffer-mb N kernel capture buffer of a live adapter in MiB for this run only\n"
                 "                (1-2047; default: CaptureBufferMB in setting.ini, else 64)\n\n"
                 "Exit status: 0 every recording is done and complete, 1 failure (the capture\n"
                 "broke off), 2 usage error or an adapter must be chosen, 3 the source cannot be\n"
                 "opened, 4 a recording failed or is incomplete, recordings were refused because\n"
                 "the record table was full, or the kernel dropped or cut packets (each is said\n"
                 "on stderr).\n");
}

struct Options {
    std::string source;
    std::string save;
    std::string home;
    int bufferMb = 0;  // 0: the setting
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return !out.empty();
        };
        if (a == "--source") {
            if (!value(o.source)) return false;
        } else if (a == "--save") {
            if (!value(o.save)) return false;
        } else if (a == "--home") {
            if (!value(o.home)) return false;
        } else if (a == "--buffer-mb") {
            std::string text;
            if (!value(text)) return false;
            char* end = nullptr;
            const long mb = std::strtol(text.c_str(), &end, 10);
            if (*end != '\0' || mb < 1 || mb > engine::kMaxCaptureBufferMb) {
                std::fprintf(stderr, "kestrel-cli capture: --buffer-mb takes 1 to %d\n", engine::kMaxCaptureBufferMb);
                return false;
            }
            o.bufferMb = static_cast<int>(mb);
        } else {
            std::fprintf(stderr, "kestrel-cli capture: unknown argument '%s'\n", argv[i]);
            return false;
        }
    }
    return true;
}

// The kernel's counts, worded as tcpdump words them, and what they mean
// for the recordings.
void reportCaptureCounts(const engine::CaptureSummary& s) {
    if (s.kernel.known) {
        std::fprintf(stderr, "kestrel-cli: %llu packets received by filter\n",
                     static_cast<unsigned long long>(s.kernel.received));
        std::fprintf(stderr, "kestrel-cli: %llu packets dropped by kernel\n",
                     static_cast<unsigned long long>(s.kernel.dropped));
        if (s.kernel.interfaceDropped > 0)
            std::fprintf(stderr, "kestrel-cli: %llu packets dropped by interface\n",
                         static_cast<unsigned long long>(s.kernel.interfaceDropped));
    } else if (s.live) {
        std::fprintf(stderr, "kestrel-cli: the kernel gave no packet counts for this adapter\n");
    }
    if (s.live || s.cutFrames > 0)
        std::fprintf(stderr, "kestrel-cli: %llu frames cut by the snapshot length\n",
                     static_cast<unsigned long long>(s.cutFrames));
    if (s.framesDropped())
        std::fprintf(stderr,
                     "kestrel-cli: warning: packets were dropped before they reached the recorder; recordings "
                     "may have gaps (a larger CaptureBufferMB or --buffer-mb helps)\n");
    if (s.cutFrames > 0)
        std::fprintf(stderr,
                     "kestrel-cli: warning: frames longer than the snapshot length were not stored; recordings "
                     "may have gaps\n");
}

int run(int argc, char** argv) {
    if (wantsHelp(argc, argv)) {
        usage(stdout);
        return kExitOk;
    }
    Options opt;
    if (!parse(argc, argv, opt)) {
        usage(stderr);
        return kExitUsage;
    }
    if (!opt.home.empty()) ::setenv("KESTREL_HOME", opt.home.c_str(), 1);

    installStopSignals();

    ConsoleUi ui;
    session::RecorderSession session(ui);
    engine::Engine& engine = session.engine();
    platform::MessageSink& window = session.window();
    session.loadSettings();
    if (!opt.save.empty()) engine.globals().saveFolder = engine::correctSaveFolder(opt.save);
    if (!opt.source.empty()) engine.setSourceOverride(opt.source);
    if (opt.bufferMb > 0) engine.globals().captureBufferMb = opt.bufferMb;

    engine.startCommand();
    window.pump();
    if (engine.capturesStarted() == 0) {
        if (ui.dialogNeeded) {
            std::fprintf(stderr, "kestrel-cli: run again with --source (see 'kestrel-cli adapters')\n");
            return kExitUsage;
        }
        return kExitFailure;
    }
    std::fprintf(stderr, "kestrel-cli: capturing on %s, saving to %s\n", engine.captureAdapterName().c_str(),
                 engine.globals().saveFolder.c_str());

    const bool tty = ::isatty(STDERR_FILENO) != 0;
    const auto progressEvery = std::chrono::seconds(tty ? 1 : 10);
    auto nextTick = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    auto nextProgress = std::chrono::steady_clock::now() + progressEvery;
    bool stopSent = false;
    while (engine.state() != engine::EngineState::Idle) {
        window.waitAndPump(100);
        if (stopSignal() && !stopSent) {
            std::fprintf(stderr, "\nkestrel-cli: %s received, stopping\n", strsignal(stopSignal()));
            engine.stopCommand();
            stopSent = true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextTick) {
            engine.onTimer();
            nextTick += std::chrono::milliseconds(500);
        }
        if (now >= nextProgress) {
            std::fprintf(stderr, tty ? "\rkestrel-cli: %lld packets" : "kestrel-cli: %lld packets\n",
                         static_cast<long long>(engine.packetCount()));
            nextProgress = now + progressEvery;
        }
    }
    window.pump();
    if (tty) std::fprintf(stderr, "\n");
    if (engine.lastCaptureFailedToOpen()) return kExitSourceError;
    std::fprintf(stderr, "kestrel-cli: capture ended: %lld packets handed to the packet processor, %d items\n",
                 static_cast<long long>(engine.packetCount()), engine.items().count());
    const engine::CaptureSummary summary = engine.lastCaptureSummary();
    reportCaptureCounts(summary);

    // Whatever still records ends with the capture; then every waiting item
    // is processed before the results are listed.
    engine.endEveryRecordingItem();
    waitForProcessing(engine, window);
    session.saveRecordingNumber();
    const int notComplete = printItems(engine, session.postProcessor());
    if (!engine.lastCaptureError().empty()) return kExitFailure;
    const std::uint64_t refused = engine.items().refused();
    if (refused > 0)
        std::fprintf(stderr, "kestrel-cli: %llu recordings were not made: all %d places of the record table were taken\n",
                     static_cast<unsigned long long>(refused), engine::kMaxRecordItems);
    if (notComplete > 0)
        std::fprintf(stderr, "kestrel-cli: %d of %d recordings failed or are incomplete\n", notComplete,
                     engine.items().count());
    return notComplete > 0 || refused > 0 || summary.framesLost() ? kExitIncomplete : kExitOk;
}

const CliRegistrar reg{{"capture", "record media streams from an adapter or a capture file", &run}};

}  // namespace
}  // namespace kestrel::cli
