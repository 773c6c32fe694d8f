// kestrel-cli osprey: a reference client of the recording library. It loads
// libosprey.so by name, as any client would, runs StartRecord on a thread of
// its own, prints every notice and message the library sends as one line,
// and lists the items through the library's queries at the end.

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kestrel/cli/cli_command.h"
#include "kestrel/cli/stop_signal.h"
#include "osprey/osprey.h"
#include "platform/data_dir.h"
#include "platform/message.h"

namespace kestrel::cli {
namespace {

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: kestrel-cli osprey --source SRC --save DIR [--sites FILE] [--report] [--no-record]\n\n"
                 "Runs the recording library libosprey.so on a capture source, as a client of its C\n"
                 "interface: every notice and message it sends is printed as one line on stdout,\n"
                 "then, once the source ends (a capture file) or SIGINT/SIGTERM stops it and the\n"
                 "library's conversions are finished, one 'result:' line per item with its ID,\n"
                 "state, recorded and total sizes, percentage and file name, read through the\n"
                 "library's queries. Texts are printed in double quotes, with \\\", \\\\ and \\xNN for\n"
                 "quotes, backslashes and control characters.\n\n"
                 "  --source SRC   capture source: rpcap://DEV or DEV for a live adapter,\n"
                 "                 file://PATH to replay a pcap or pcapng file\n"
                 "  --save DIR     the library's save folder (made with its Temp/ folder when missing)\n"
                 "  --sites FILE   site list: one host or referer part per line; downloads from\n"
                 "                 these sites are recorded, others only announced\n"
                 "  --report       ask for response notices and RTMP report notices as well\n"
                 "  --no-record    make no record items (report only)\n\n"
                 "Exit status: 0 every recorded download is done, 1 libosprey.so cannot be loaded,\n"
                 "2 usage error, 3 the capture source cannot be opened, 4 a recorded download\n"
                 "failed or did not finish.\n");
}

struct Options {
    std::string source;
    std::string save;
    std::string sites;
    bool report = false;
    bool record = true;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
            out = argv[++i];
            return true;
        };
        if (a == "--source") {
            if (!value(o.source)) return false;
        } else if (a == "--save") {
            if (!value(o.save)) return false;
        } else if (a == "--sites") {
            if (!value(o.sites)) return false;
        } else if (a == "--report") {
            o.report = true;
        } else if (a == "--no-record") {
            o.record = false;
        } else {
            std::fprintf(stderr, "kestrel-cli osprey: unknown argument '%s'\n", argv[i]);
            return false;
        }
    }
    if (o.source.empty() || o.save.empty()) {
        std::fprintf(stderr, "kestrel-cli osprey: --source and --save are needed\n");
        return false;
    }
    return true;
}

// The library's exports, bound by name.
struct Library {
    void* handle = nullptr;
    decltype(&::StartRecord) startRecord = nullptr;
    decltype(&::StopRecord) stopRecord = nullptr;
    decltype(&::GetRecordedSize) recordedSize = nullptr;
    decltype(&::GetTotalSize) totalSize = nullptr;
    decltype(&::GetRecordPercent) recordPercent = nullptr;
    decltype(&::GetLocalNameViaIdinDll) localName = nullptr;
    decltype(&::ReadOptionsFromIniFile) readOptions = nullptr;

    template <typename Fn>
    bool bind(Fn& fn, const char* name) {
        fn = reinterpret_cast<Fn>(::dlsym(handle, name));
        if (!fn) std::fprintf(stderr, "kestrel-cli osprey: libosprey.so has no %s\n", name);
        return fn != nullptr;
    }
    bool load() {
        handle = ::dlopen((platform::executableFolder() + "libosprey.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) handle = ::dlopen("libosprey.so", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            std::fprintf(stderr, "kestrel-cli osprey: can not find libosprey.so file (%s)\n", ::dlerror());
            return false;
        }
        return bind(startRecord, "StartRecord") && bind(stopRecord, "StopRecord") &&
               bind(recordedSize, "GetRecordedSize") && bind(totalSize, "GetTotalSize") &&
               bind(recordPercent, "GetRecordPercent") && bind(localName, "GetLocalNameViaIdinDll") &&
               bind(readOptions, "ReadOptionsFromIniFile");
    }
};

// A text as one quoted, printable field.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A NUL-terminated field of a notice record (never past its size).
std::string_view field(const std::uint8_t* record, std::size_t offset, std::size_t size) {
    const auto* start = reinterpret_cast<const char*>(record + offset);
    return {start, ::strnlen(start, size)};
}

std::int32_t le32(const std::uint8_t* at) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
                                     static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24);
}

const char* stateName(int state) {
    switch (state) {
    case OSPREY_STATE_RECORDING: return "recording";
    case OSPREY_STATE_DONE: return "done";
    case OSPREY_STATE_FAILED: return "failed";
    case OSPREY_STATE_CANCELLED: return "cancelled";
    case OSPREY_STATE_WAITING: return "waiting";
    case OSPREY_STATE_CONVERTING: return "converting";
    default: return "unknown";
    }
}

struct Item {
    int id = 0;
    int siteFlag = 0;
    int state = OSPREY_STATE_RECORDING;
};

class Client {
public:
    bool captureEnded = false;
    std::vector<Item> items;  // in creation order: index + 1 is the position

    platform::MessageResult handle(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam) {
        switch (msg) {
        case OSPREY_WM_COPYDATA: copyData(static_cast<int>(wParam), reinterpret_cast<const OspreyCopyData*>(lParam)); break;
        case OSPREY_WM_ITEM_STATE: {
            const auto id = static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam));
            const auto state = static_cast<int>(lParam);
            if (Item* item = byId(id)) item->state = state;
            std::printf("state: id=%d state=%d (%s)\n", id, state, stateName(state));
            break;
        }
        case OSPREY_WM_ITEM_FAILED: {
            const auto position = static_cast<std::size_t>(wParam);
            int id = 0;
            if (position >= 1 && position <= items.size()) {
                items[position - 1].state = OSPREY_STATE_FAILED;
                id = items[position - 1].id;
            }
            std::printf("failed: position=%zu id=%d\n", position, id);
            break;
        }
        case 0: return 0;  // the capture thread's wake-up
        case OSPREY_WM_CAPTURE_ENDED:
            captureEnded = true;
            std::printf("capture ended\n");
            break;
        default: std::printf("message: 0x%X wParam=%zu lParam=%zd\n", msg, static_cast<std::size_t>(wParam),
                             static_cast<std::ptrdiff_t>(lParam));
        }
        std::fflush(stdout);
        return 1;
    }

    bool waitingForWorker() const {
        for (const auto& i : items)
            if (i.state == OSPREY_STATE_WAITING || i.state == OSPREY_STATE_CONVERTING) return true;
        return false;
    }

private:
    Item* byId(int id) {
        for (auto& i : items)
            if (i.id == id) return &i;
        return nullptr;
    }

    void copyData(int wParam, const OspreyCopyData* data) {
        if (!data || !data->lpData) return;
        const auto* bytes = static_cast<const std::uint8_t*>(data->lpData);
        switch (data->dwData) {
        case OSPREY_NOTICE_RESPONSE:
        case OSPREY_NOTICE_ITEM: {
            if (data->cbData < OSPREY_HTTP_NOTICE_SIZE) break;
            const bool isItem = data->dwData == OSPREY_NOTICE_ITEM;
            std::string line = isItem ? "item:" : "response:";
            if (isItem) line += " id=" + std::to_string(le32(bytes + OSPREY_HTTP_ITEM_ID));
            line += " port=" + std::to_string(le32(bytes + OSPREY_HTTP_SERVER_PORT));
            line += " site=" + std::to_string(le32(bytes + OSPREY_HTTP_SITE_FLAG));
            line += " host=" + quoted(field(bytes, OSPREY_HTTP_HOST, 300));
            line += " target=" + quoted(field(bytes, OSPREY_HTTP_TARGET, 1300));
            line += " type=" + quoted(field(bytes, OSPREY_HTTP_CONTENT_TYPE, 200));
            line += " referer=" + quoted(field(bytes, OSPREY_HTTP_REFERER, 500));
            if (isItem) {
                line += " name=" + quoted(field(bytes, OSPREY_HTTP_LOCAL_NAME, 100));
                items.push_back({le32(bytes + OSPREY_HTTP_ITEM_ID), le32(bytes + OSPREY_HTTP_SITE_FLAG),
                                 OSPREY_STATE_RECORDING});
            }
            std::printf("%s\n", line.c_str());
            break;
        }
        case OSPREY_NOTICE_RTMP_REPORT:
        case OSPREY_NOTICE_RTMP_RECORD: {
            if (data->cbData < OSPREY_RTMP_NOTICE_SIZE) break;
            std::printf("rtmp %s: port=%d tcUrl=%s app=%s stream=%s swfUrl=%s pageUrl=%s\n",
                        data->dwData == OSPREY_NOTICE_RTMP_REPORT ? "report" : "record",
                        le32(bytes + OSPREY_RTMP_SERVER_PORT), quoted(field(bytes, OSPREY_RTMP_TC_URL, 500)).c_str(),
                        quoted(field(bytes, OSPREY_RTMP_APP, 200)).c_str(),
                        quoted(field(bytes, OSPREY_RTMP_STREAM, 500)).c_str(),
                        quoted(field(bytes, OSPREY_RTMP_SWF_URL, 1000)).c_str(),
                        quoted(field(bytes, OSPREY_RTMP_PAGE_URL, 500)).c_str());
            break;
        }
        case OSPREY_NOTICE_URL:
        case OSPREY_NOTICE_DIAGNOSTIC: {
            const auto* text = static_cast<const char*>(data->lpData);
            std::printf("%s: %s\n", data->dwData == OSPREY_NOTICE_URL ? "url" : "diagnostic",
                        quoted(std::string_view(text, ::strnlen(text, data->cbData))).c_str());
            break;
        }
        default:
            std::printf("notice: dwData=%zu wParam=%d bytes=%u\n", static_cast<std::size_t>(data->dwData), wParam,
                        data->cbData);
        }
    }
};

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
    Library lib;
    if (!lib.load()) return kExitFailure;

    installStopSignals();

    Client client;
    auto window = std::make_unique<platform::MessageSink>(
        [&client](std::uint32_t msg, platform::WParam w, platform::LParam l) { return client.handle(msg, w, l); });
    void* handle = platform::toHandle(window.get());
    lib.readOptions(handle, opt.sites.empty() ? nullptr : opt.sites.c_str(), opt.save.c_str());

    std::atomic<bool> returned{false};
    int result = 0;
    std::thread capture([&] {
        result = lib.startRecord(OSPREY_START_KEY, handle, opt.source.c_str(), 0, opt.report ? 1 : 0,
                                 opt.record ? 1 : 0, 0, 0);
        returned.store(true);
        window->post(0, 0, 0);  // wakes the pump
    });
    std::fprintf(stderr, "kestrel-cli osprey: capturing on %s, saving to %s\n", opt.source.c_str(), opt.save.c_str());
    bool stopAsked = false;
    while (!returned.load()) {
        window->waitAndPump(100);
        if (stopSignal() && !stopAsked) {
            std::fprintf(stderr, "kestrel-cli osprey: %s received, stopping\n", strsignal(stopSignal()));
            stopAsked = true;
        }
        // Asked again until it returns: a stop that came before StartRecord
        // had set its running flag would be lost.
        if (stopAsked) lib.stopRecord();
    }
    capture.join();
    window->pump();
    if (result == -1) {
        std::fprintf(stderr, "kestrel-cli osprey: the capture source %s cannot be opened or is not an Ethernet "
                             "adapter\n", opt.source.c_str());
        return kExitSourceError;
    }
    // The worker converts what ended; its messages end the wait.
    while (client.waitingForWorker()) window->waitAndPump(100);
    window->pump();
    window->close();

    int unfinished = 0;
    for (const auto& item : client.items) {
        const char* name = lib.localName(handle, item.id);
        std::printf("result: id=%d state=%d (%s) site=%d recorded=%d total=%d percent=%.1f name=%s\n", item.id,
                    item.state, stateName(item.state), item.siteFlag, lib.recordedSize(handle, item.id),
                    lib.totalSize(handle, item.id), lib.recordPercent(handle, item.id), quoted(name).c_str());
        if (item.siteFlag == 1 && item.state != OSPREY_STATE_DONE) ++unfinished;
    }
    std::fflush(stdout);
    if (unfinished > 0) {
        std::fprintf(stderr, "kestrel-cli osprey: %d recorded downloads failed or did not finish\n", unfinished);
        return kExitIncomplete;
    }
    return kExitOk;
}

const CliRegistrar reg{{"osprey", "run the recording library libosprey.so as its client", &run}};

}  // namespace
}  // namespace kestrel::cli
