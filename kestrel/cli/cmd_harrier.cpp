// kestrel-cli harrier: a host of the URL recorder library. It gives the
// library its window, starts the live capture, hands over URLs, prints
// every report, converts every finished stream record file with the FLV
// builder library and lists the FLV files it ends up with.

#include <arpa/inet.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "harrier/harrier.h"
#include "kestrel/cli/cli_command.h"
#include "kestrel/cli/stop_signal.h"
#include "merlin/merlin.h"
#include "platform/message.h"

namespace kestrel::cli {
namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kestrel-cli harrier --source SRC --save DIR [OPTIONS] [URL ...]\n\n"
                 "Runs the URL recorder library: records every RTMP stream that a server starts\n"
                 "playing on the capture source into a stream record file, fetches every FLV file\n"
                 "requested over HTTP there again, and fetches each URL given. Every report of the\n"
                 "library is printed on stderr as a line; every finished record file is converted\n"
                 "into an FLV file. Prints the path of each FLV file made on stdout.\n"
                 "A replayed capture file ends the run once its recordings and downloads are done;\n"
                 "a live adapter runs until SIGINT/SIGTERM (a second one ends the program at once).\n\n"
                 "  --source SRC       capture source: rpcap://DEV or DEV for a live adapter,\n"
                 "                     file://PATH to replay a pcap or pcapng file\n"
                 "  --save DIR         folder for the recordings (made when missing; under 259\n"
                 "                     characters)\n"
                 "  --packet-type N    1-7: 2 or 3 capture TCP (the default), 4 or 5 UDP, 1, 6 or 7\n"
                 "                     both\n"
                 "  --host-filter IP   capture only the traffic of this host\n"
                 "  --netmask A.B.C.D  the capture network's mask, for the filter (default 0)\n"
                 "  --video-host NAME  the video site whose \"/get_video?video_id=\" requests are\n"
                 "                     fetched as FLV files (default: none)\n\n"
                 "Exit status: 0 every download stored and every stream converted completely,\n"
                 "1 the capture broke off with an error, 2 usage error, 3 the source cannot be\n"
                 "opened, 4 a download or a recording failed or is incomplete, a stream or URL\n"
                 "found no free place, or the kernel dropped or cut packets (each is said on\n"
                 "stderr).\n");
}

struct Options {
    std::string source;
    std::string save;
    std::string hostFilter = "N/A";
    std::string videoHost;
    int packetType = 2;
    std::uint32_t netmask = 0;
    std::vector<std::string> urls;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return !out.empty();
        };
        std::string text;
        if (a == "--source") {
            if (!value(o.source)) return false;
        } else if (a == "--save") {
            if (!value(o.save)) return false;
        } else if (a == "--host-filter") {
            if (!value(o.hostFilter)) return false;
        } else if (a == "--video-host") {
            if (!value(o.videoHost)) return false;
        } else if (a == "--packet-type") {
            if (!value(text)) return false;
            char* end = nullptr;
            const long type = std::strtol(text.c_str(), &end, 10);
            if (*end != '\0' || type < 1 || type > 7) {
                std::fprintf(stderr, "kestrel-cli harrier: --packet-type takes 1 to 7\n");
                return false;
            }
            o.packetType = static_cast<int>(type);
        } else if (a == "--netmask") {
            if (!value(text)) return false;
            in_addr mask{};
            if (::inet_pton(AF_INET, text.c_str(), &mask) != 1) {
                std::fprintf(stderr, "kestrel-cli harrier: --netmask takes an address such as 255.255.255.0\n");
                return false;
            }
            o.netmask = mask.s_addr;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "kestrel-cli harrier: unknown option '%s'\n", a.c_str());
            return false;
        } else {
            o.urls.push_back(a);
        }
    }
    if (o.source.empty() || o.save.empty()) {
        std::fprintf(stderr, "kestrel-cli harrier: --source and --save are needed\n");
        return false;
    }
    return true;
}

std::string lastError() {
    char text[HARRIER_MAX_ERROR + 1] = {};
    Harrier_GetLastError(text, HARRIER_MAX_ERROR);
    return text;
}

// The FLV name Harrier keeps free beside a ".@@@" record file.
std::string flvNameOf(const std::string& record) {
    return record.size() < 3 ? record : record.substr(0, record.size() - 3) + "flv";
}

struct Conversion {
    std::int32_t slot = -1;
    std::string record;
};

// Everything the reports tell, and what is still running.
class HarrierHost {
public:
    platform::MessageResult handle(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam) {
        const std::string error = lastError();
        HarrierItemReport item{};
        const bool hasBlock = lParam != 0 && !(msg == HARRIER_MSG_CAPTURE && (wParam == HARRIER_CAPTURE_FAILED ||
                                                                              wParam == HARRIER_NO_FREE_PLACE)) &&
                              !(msg == HARRIER_MSG_DOWNLOAD && wParam == HARRIER_DOWNLOAD_WAITING);
        if (hasBlock) Harrier_CopyReport(reinterpret_cast<const HarrierItemReport*>(lParam), &item);
        if (msg == HARRIER_MSG_CAPTURE)
            captureReport(wParam, item, error);
        else if (msg == HARRIER_MSG_DOWNLOAD)
            downloadReport(wParam, lParam, item);
        return 0;
    }

    // Starts the waiting URLs while places are free. A URL leaves the
    // list with the report that its download started, or when it is
    // refused now; Harrier answers a retry without a place with 0 as well.
    void retryWaiting() {
        while (!waiting_.empty() && downloads_.size() < HARRIER_ITEM_PLACES) {
            if (Harrier_GetFlvOverHttp(waiting_.front().c_str(), 0) == HARRIER_URL_STARTED) return;
            waiting_.pop_front();
        }
    }
    bool waiting() const { return !waiting_.empty(); }

    // Ends every capture item still recording (their threads write what
    // they hold and report); downloads too when asked.
    void endRecordings(bool downloadsToo) {
        for (int index : captures_) Harrier_EndRecord(0, index);
        if (downloadsToo) {
            waiting_.clear();
            const std::set<int> running = downloads_;
            for (int index : running) Harrier_EndRecord(1, index);
        }
    }

    // Polls the conversions; true while any runs.
    bool pollConversions() {
        for (auto it = conversions_.begin(); it != conversions_.end();) {
            if (Merlin_IsBuildFinish(it->slot) == 0) {
                ++it;
                continue;
            }
            const std::int32_t result = Merlin_GetResult(it->slot);
            char path[MERLIN_MAX_PATH];
            std::snprintf(path, sizeof path, "%s", flvNameOf(it->record).c_str());
            Merlin_GetNewFileName(it->slot, path);
            Merlin_InitItem(it->slot);
            if (result == MERLIN_RESULT_COMPLETE) {
                std::fprintf(stderr, "harrier: built %s from %s\n", path, it->record.c_str());
                flvs.push_back(path);
            } else if (result == MERLIN_RESULT_PARTIAL) {
                std::fprintf(stderr, "harrier: built %s from %s only in part; the record file is kept\n", path,
                             it->record.c_str());
                flvs.push_back(path);
                incomplete = true;
            } else {
                std::fprintf(stderr, "harrier: no FLV file could be built from %s (result %d); it is kept\n",
                             it->record.c_str(), static_cast<int>(result));
                incomplete = true;
            }
            it = conversions_.erase(it);
        }
        return !conversions_.empty();
    }

    bool recording() const { return !captures_.empty() || !downloads_.empty(); }
    bool converting() const { return !conversions_.empty(); }

    std::vector<std::string> flvs;
    bool captureFailed = false;
    bool sourceFailed = false;
    bool incomplete = false;

private:
    void captureReport(platform::WParam why, const HarrierItemReport& item, const std::string& error) {
        switch (why) {
        case HARRIER_CAPTURE_FAILED:
            std::fprintf(stderr, "harrier: the capture failed: %s\n", error.c_str());
            captureFailed = true;
            if (error.rfind("Unable to open the adapter", 0) == 0) sourceFailed = true;
            break;
        case HARRIER_CAPTURE_STARTED:
            captures_.insert(item.index);
            std::fprintf(stderr, "harrier: capture %d started: %s\n", item.index, item.fileName);
            break;
        case HARRIER_CAPTURE_ENDED:
            captures_.erase(item.index);
            std::fprintf(stderr, "harrier: capture %d ended: %s (%u bytes%s)\n", item.index, item.fileName, item.bytes,
                         item.gapRecords ? ", with bytes never captured" : "");
            if (item.gapRecords) incomplete = true;
            convert(item.fileName);
            break;
        case HARRIER_CAPTURE_DELETED:
            captures_.erase(item.index);
            std::fprintf(stderr, "harrier: capture %d deleted: %s\n", item.index, item.fileName);
            break;
        case HARRIER_CAPTURE_LOST:
            captures_.erase(item.index);
            std::fprintf(stderr, "harrier: capture %d ended: %s: %s; the record file is kept\n", item.index,
                         error.c_str(), item.fileName);
            incomplete = true;
            break;
        case HARRIER_NO_FREE_PLACE:
            std::fprintf(stderr, "harrier: a new stream found no free place\n");
            incomplete = true;
            break;
        default:
            break;
        }
    }

    void downloadReport(platform::WParam why, platform::LParam lParam, const HarrierItemReport& item) {
        switch (why) {
        case HARRIER_DOWNLOAD_STARTED:
        case HARRIER_DOWNLOAD_RETRIED:
            downloads_.insert(item.index);
            std::fprintf(stderr, "harrier: download %d %s: %s\n", item.index,
                         why == HARRIER_DOWNLOAD_STARTED ? "started" : "started from the waiting list", item.url);
            if (why == HARRIER_DOWNLOAD_RETRIED) std::erase(waiting_, std::string(item.url));
            break;
        case HARRIER_DOWNLOAD_WAITING: {
            const std::string url = reinterpret_cast<const char*>(lParam);
            std::fprintf(stderr, "harrier: waiting for a free place: %s\n", url.c_str());
            waiting_.push_back(url);
            break;
        }
        case HARRIER_DOWNLOAD_WRITING:
            std::fprintf(stderr, "harrier: download %d writing: %s\n", item.index, item.fileName);
            break;
        case HARRIER_DOWNLOAD_STORED:
            downloads_.erase(item.index);
            std::fprintf(stderr, "harrier: download %d stored: %s (%u bytes)\n", item.index, item.fileName, item.bytes);
            flvs.push_back(item.fileName);
            break;
        case HARRIER_DOWNLOAD_FAILED:
            downloads_.erase(item.index);
            std::fprintf(stderr, "harrier: download %d failed: %s\n", item.index, item.url);
            incomplete = true;
            break;
        case HARRIER_DOWNLOAD_NOT_FLV:
            downloads_.erase(item.index);
            std::fprintf(stderr, "harrier: download %d is not FLV data: %s (kept as %s)\n", item.index, item.url,
                         item.fileName);
            incomplete = true;
            break;
        default:
            break;
        }
    }

    void convert(const std::string& record) {
        const std::string output = flvNameOf(record);
        const std::int32_t slot = Merlin_Start(record.c_str(), output.c_str());
        if (slot < 0) {
            std::fprintf(stderr, "harrier: %s cannot be converted now (no conversion slot); it is kept\n",
                         record.c_str());
            incomplete = true;
            return;
        }
        conversions_.push_back({slot, record});
    }

    std::set<int> captures_;
    std::set<int> downloads_;
    std::deque<std::string> waiting_;
    std::vector<Conversion> conversions_;
};

void reportCaptureCounts(const HarrierCaptureStats& s, bool& incomplete) {
    if (s.kernelKnown) {
        std::fprintf(stderr, "harrier: %llu packets received by filter\n", static_cast<unsigned long long>(s.received));
        std::fprintf(stderr, "harrier: %llu packets dropped by kernel\n", static_cast<unsigned long long>(s.dropped));
        if (s.interfaceDropped > 0)
            std::fprintf(stderr, "harrier: %llu packets dropped by interface\n",
                         static_cast<unsigned long long>(s.interfaceDropped));
    }
    if (s.kernelKnown || s.cutFrames > 0)
        std::fprintf(stderr, "harrier: %llu frames cut by the snapshot length\n",
                     static_cast<unsigned long long>(s.cutFrames));
    if (s.dropped > 0 || s.interfaceDropped > 0 || s.cutFrames > 0) {
        std::fprintf(stderr, "harrier: warning: packets were lost before they reached the recorder; recordings may "
                             "have gaps\n");
        incomplete = true;
    }
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
    installStopSignals();

    HarrierHost host;
    platform::MessageSink window([&host](std::uint32_t msg, platform::WParam w, platform::LParam l) {
        return host.handle(msg, w, l);
    });
    Harrier_SetWndHandle(platform::toHandle(&window));
    if (!opt.videoHost.empty() && Harrier_SetVideoHost(opt.videoHost.c_str()) != 1) {
        std::fprintf(stderr, "kestrel-cli harrier: --video-host takes a name shorter than 256 characters\n");
        return kExitUsage;
    }
    const std::int32_t started =
        Harrier_Startup(opt.save.c_str(), opt.source.c_str(), opt.netmask, opt.packetType, opt.hostFilter.c_str(),
                        HARRIER_ITEM_PLACES);
    if (started != HARRIER_STARTED) {
        std::fprintf(stderr, "kestrel-cli harrier: %s\n", lastError().c_str());
        Harrier_SetWndHandle(nullptr);
        return kExitUsage;
    }
    for (const auto& url : opt.urls) {
        const std::int32_t r = Harrier_GetFlvOverHttp(url.c_str(), 1);
        if (r == HARRIER_URL_DUPLICATE) std::fprintf(stderr, "harrier: %s: Duplicate URL!\n", url.c_str());
        if (r == HARRIER_URL_NO_TARGET) {
            std::fprintf(stderr, "harrier: %s: There is no target!\n", url.c_str());
            host.incomplete = true;
        }
    }

    bool captureOver = false;
    bool stopped = false;
    for (;;) {
        window.waitAndPump(50);
        if (stopSignal() && !stopped) {
            std::fprintf(stderr, "harrier: %s received, stopping\n", strsignal(stopSignal()));
            stopped = true;
            Harrier_Halt();
            window.pump();
            host.endRecordings(true);
        }
        if (!captureOver) {
            HarrierCaptureStats s{};
            Harrier_GetCaptureStats(&s);
            if (s.running == 0) {
                // A replayed file ended, or the capture failed: the streams
                // it was recording end here; downloads go on to their end.
                captureOver = true;
                window.pump();
                host.endRecordings(stopped);
            }
        }
        host.pollConversions();
        if (!stopped) host.retryWaiting();
        if (captureOver && !host.recording() && !host.converting() && !host.waiting()) {
            window.pump();
            if (!host.recording() && !host.waiting()) break;
        }
    }
    Harrier_Halt();
    HarrierCaptureStats stats{};
    Harrier_GetCaptureStats(&stats);
    Harrier_SetWndHandle(nullptr);
    window.close();
    reportCaptureCounts(stats, host.incomplete);
    for (const auto& flv : host.flvs) std::printf("%s\n", flv.c_str());
    std::fflush(stdout);
    if (host.sourceFailed) return kExitSourceError;
    if (host.captureFailed) return kExitFailure;
    return host.incomplete ? kExitIncomplete : kExitOk;
}

const CliRegistrar reg{{"harrier", "record RTMP streams and FLV URLs with the URL recorder library", &run}};

}  // namespace
}  // namespace kestrel::cli
