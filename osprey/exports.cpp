// The C interface of libosprey. Nothing may throw across it.

#include <array>
#include <climits>
#include <string>
#include <vector>

#include "osprey/engine.h"
#include "osprey/listing.h"
#include "osprey/osprey.h"
#include "platform/capture.h"
#include "platform/write_behind.h"

namespace {

using kestrel::osprey::Engine;

// The background writer the capture files go through is made before the
// engine, so that it is destroyed after it: the engine waits for its worker
// when the library is unloaded, and the worker may still be writing.
struct BackgroundWriterFirst {
    BackgroundWriterFirst() { kestrel::platform::waitForBackgroundWrites(); }
};

struct Library {
    BackgroundWriterFirst writerFirst;
    Engine engine;
};

Engine& engine() {
    static Library library;
    return library.engine;
}

int clampToInt(std::int64_t v) {
    return v > INT_MAX ? INT_MAX : static_cast<int>(v);
}

}  // namespace

extern "C" OSPREY_API int StartRecord(int key, void* window, const char* source, uint32_t netmask, int report,
                                      int record, int /*ignored*/, int idBase) {
    try {
        if (key != OSPREY_START_KEY) return 0;
        return engine().startRecord(key, window, source ? source : "", netmask, report, record, idBase);
    } catch (...) {
        return -1;
    }
}

extern "C" OSPREY_API int StopRecord(void) {
    try {
        engine().stopRecord();
    } catch (...) {
    }
    return 0;
}

extern "C" OSPREY_API int CancelRecordURL(void* /*window*/, int id) {
    try {
        engine().cancel(id);
    } catch (...) {
    }
    return 0;
}

extern "C" OSPREY_API int GetRecordedSize(void* /*window*/, int id) {
    try {
        return clampToInt(engine().recordedSize(id));
    } catch (...) {
        return 0;
    }
}

extern "C" OSPREY_API int GetTotalSize(void* /*window*/, int id) {
    try {
        return clampToInt(engine().totalSize(id));
    } catch (...) {
        return 0;
    }
}

extern "C" OSPREY_API double GetRecordPercent(void* /*window*/, int id) {
    try {
        return engine().recordPercent(id);
    } catch (...) {
        return 0.0;
    }
}

extern "C" OSPREY_API const char* GetLocalNameViaIdinDll(void* /*window*/, int id) {
    thread_local std::string text;
    try {
        text = engine().localName(id);
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}

extern "C" OSPREY_API int GetTotalDuration(void* /*window*/, int /*id*/) {
    return 0;
}

extern "C" OSPREY_API int GetRecordedTimestamp(void* /*window*/, int /*id*/) {
    return 0;
}

extern "C" OSPREY_API int CheckWinpcap(void* /*window*/) {
    return 0;
}

extern "C" OSPREY_API int CheckURLNeedDownload(void* /*window*/, const char* url, const char* mime) {
    try {
        return engine().needsDownload(url ? url : "", mime ? mime : "") ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" OSPREY_API int ReadOptionsFromIniFile(void* /*window*/, const char* siteListPath, const char* saveFolder) {
    try {
        engine().readOptions(siteListPath, saveFolder);
    } catch (...) {
    }
    return 0;
}

extern "C" OSPREY_API const char* GetAdapterList(void* /*window*/) {
    thread_local std::string text;
    try {
        std::vector<kestrel::platform::AdapterInfo> adapters;
        std::string error;
        text = kestrel::platform::listAdapters(adapters, error) ? kestrel::osprey::formatAdapterList(adapters)
                                                                : std::string();
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}

extern "C" OSPREY_API const char* GetUsableIPInfo(void* /*window*/) {
    thread_local std::string text;
    try {
        std::vector<std::array<std::uint8_t, 4>> addresses;
        text = kestrel::platform::listUsableAddresses(addresses) ? kestrel::osprey::formatUsableAddresses(addresses)
                                                                 : std::string();
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}
