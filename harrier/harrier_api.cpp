// The exported C interface; see harrier.h for the contract.

#include "harrier/harrier.h"

#include <new>

#include "harrier/recorder.h"

namespace {

using kestrel::harrier::Recorder;

// One recorder for the process. It is never destroyed: at exit its threads
// may still be waiting on the host, which no longer pumps.
Recorder& recorder() {
    static Recorder* instance = new Recorder();
    return *instance;
}

}  // namespace

extern "C" {

HARRIER_EXPORT int32_t Harrier_SetWndHandle(void* windowHandle) {
    return recorder().setWindow(windowHandle);
}

HARRIER_EXPORT int32_t Harrier_Startup(const char* outputFolder, const char* deviceName, uint32_t netmask,
                                       int32_t packetType, const char* hostFilter, int32_t capacity) {
    try {
        return recorder().startup(outputFolder, deviceName, netmask, packetType, hostFilter, capacity);
    } catch (...) {
        recorder().setLastError("Unable to start the capture thread.");
        return HARRIER_BAD_PARAMETER;
    }
}

HARRIER_EXPORT int32_t Harrier_Halt(void) {
    try {
        return recorder().halt();
    } catch (...) {
        return 1;
    }
}

HARRIER_EXPORT int32_t Harrier_GetInfo(void) {
    return 1;
}

HARRIER_EXPORT int32_t Harrier_EndRecord(int32_t kind, int32_t index) {
    try {
        return recorder().endRecord(kind, index, false);
    } catch (...) {
        return 1;
    }
}

HARRIER_EXPORT int32_t Harrier_DeleteRecord(int32_t kind, int32_t index) {
    try {
        return recorder().endRecord(kind, index, true);
    } catch (...) {
        return 1;
    }
}

HARRIER_EXPORT void Harrier_DeleteWaitting(const char* url) {
    try {
        recorder().deleteWaiting(url);
    } catch (...) {
    }
}

HARRIER_EXPORT int32_t Harrier_GetFlvOverHttp(const char* url, int32_t requestFlag) {
    try {
        return recorder().getFlvOverHttp(url, requestFlag);
    } catch (...) {
        // No memory for the item: as if it could not be fetched.
        return HARRIER_URL_NO_TARGET;
    }
}

HARRIER_EXPORT int32_t Harrier_GetLastError(char* buffer, int32_t length) {
    recorder().copyLastError(buffer, length);
    return 1;
}

HARRIER_EXPORT int32_t Harrier_CopyReport(const HarrierItemReport* report, HarrierItemReport* copy) {
    return recorder().copyReport(report, copy) ? 1 : 0;
}

HARRIER_EXPORT int32_t Harrier_GetCaptureStats(HarrierCaptureStats* stats) {
    if (!stats) return 0;
    *stats = recorder().captureStats();
    return 1;
}

HARRIER_EXPORT int32_t Harrier_SetVideoHost(const char* hostName) {
    try {
        return recorder().setVideoHost(hostName) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
