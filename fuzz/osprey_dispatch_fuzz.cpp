// libFuzzer target: the recording library's engine fed whole frames, as its
// capture loop feeds it: frame decoding, the request table, responses and
// the media decision, record items and the storing of bodies, the RTMP
// connection table, RTSP and MMS requests, the end of a run and the
// conversion of what ended.
//
// Input: one options byte (bit 0: report flag, bit 1: record flag, bit 2:
// the site list names every host with a "." in it, so bodies are stored),
// then frames, each a 2-byte big-endian length and that many bytes (the
// last one takes what is left). At most 64 KiB.
//
// Checked besides memory safety: every notice has its record's size, every
// text field of a record ends with a NUL inside the field, a text notice is
// one NUL-terminated text; the names made from URLs are plain file names;
// the capture files of items still recording read back as written (the
// header, then payloads back to back, each with one index entry).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "osprey/engine.h"
#include "osprey/osprey.h"
#include "platform/byte_reader.h"
#include "platform/message.h"

namespace {

constexpr const char* kTarget = "osprey_dispatch_fuzz";
constexpr std::size_t kMaxInput = 64 * 1024;

using kestrel::fuzz::broken;
namespace platform = kestrel::platform;

const std::string& saveFolder() {
    static const std::string folder = kestrel::fuzz::scratchFolder() + "save/";
    return folder;
}

void checkField(const std::uint8_t* record, std::size_t offset, std::size_t size) {
    if (std::memchr(record + offset, 0, size) == nullptr) broken(kTarget, "a notice's text field has no NUL");
}

void checkNotice(const OspreyCopyData& data) {
    const auto* bytes = static_cast<const std::uint8_t*>(data.lpData);
    switch (data.dwData) {
    case OSPREY_NOTICE_RESPONSE:
    case OSPREY_NOTICE_ITEM:
        if (data.cbData != OSPREY_HTTP_NOTICE_SIZE) broken(kTarget, "an HTTP notice is not 2412 bytes");
        checkField(bytes, OSPREY_HTTP_HOST, 300);
        checkField(bytes, OSPREY_HTTP_TARGET, 1300);
        checkField(bytes, OSPREY_HTTP_CONTENT_TYPE, 200);
        checkField(bytes, OSPREY_HTTP_REFERER, 500);
        checkField(bytes, OSPREY_HTTP_LOCAL_NAME, 100);
        break;
    case OSPREY_NOTICE_RTMP_REPORT:
    case OSPREY_NOTICE_RTMP_RECORD:
        if (data.cbData != OSPREY_RTMP_NOTICE_SIZE) broken(kTarget, "an RTMP notice is not 2816 bytes");
        checkField(bytes, OSPREY_RTMP_TC_URL, 500);
        checkField(bytes, OSPREY_RTMP_APP, 200);
        checkField(bytes, OSPREY_RTMP_STREAM, 500);
        checkField(bytes, OSPREY_RTMP_SWF_URL, 1000);
        checkField(bytes, OSPREY_RTMP_PAGE_URL, 500);
        for (std::size_t i = 2716; i < OSPREY_RTMP_NOTICE_SIZE; ++i)
            if (bytes[i] != 0) broken(kTarget, "an RTMP notice's reserved bytes are not 0");
        break;
    case OSPREY_NOTICE_URL:
    case OSPREY_NOTICE_DIAGNOSTIC:
        if (data.cbData == 0 || bytes[data.cbData - 1] != 0 || std::memchr(bytes, 0, data.cbData - 1) != nullptr)
            broken(kTarget, "a text notice is not one NUL-terminated text");
        if (data.dwData == OSPREY_NOTICE_URL && data.cbData > 1000) broken(kTarget, "a URL is longer than 999");
        break;
    default: broken(kTarget, "a notice of unknown kind");
    }
}

bool plainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr("/\\:*?<>|", c) != nullptr) return false;
    }
    return true;
}

void checkCaptureFiles(const kestrel::osprey::RecordItem& item) {
    const auto data = kestrel::fuzz::readFile(item.dataPath());
    const auto index = kestrel::fuzz::readFile(item.indexPath());
    kestrel::fuzz::checkWrittenCapture(kTarget, data, index);
    // Osprey writes kind 0 (HTTP) into the header.
    if (!data.empty() && data[3] != 0) broken(kTarget, "a capture data file does not start with its header");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput || size == 0) return -1;
    static const bool folders = [] {
        std::filesystem::create_directories(saveFolder() + "Temp");
        kestrel::fuzz::writeFile(kestrel::fuzz::scratchFolder() + "sites", std::span<const std::uint8_t>(
                                                                                reinterpret_cast<const std::uint8_t*>(".\n"), 2));
        return true;
    }();
    (void)folders;
    kestrel::ByteReader in(std::span<const std::uint8_t>(data, size));
    const std::uint8_t options = in.u8();

    platform::MessageSink window([](std::uint32_t msg, platform::WParam, platform::LParam l) {
        if (msg == OSPREY_WM_COPYDATA) checkNotice(*reinterpret_cast<const OspreyCopyData*>(l));
        return platform::MessageResult{0};
    });
    auto engine = std::make_unique<kestrel::osprey::Engine>();
    const std::string sites = kestrel::fuzz::scratchFolder() + ((options & 0x04) ? "sites" : "no-sites");
    engine->readOptions(sites.c_str(), saveFolder().c_str());
    engine->beginRun(platform::toHandle(&window), (options & 0x01) != 0, (options & 0x02) != 0, 0);
    while (in.remaining() > 0) {
        const std::size_t length = in.remaining() >= 2 ? in.be16() : in.remaining();
        engine->processFrame(in.bytes(std::min(length, in.remaining())));
    }
    for (int i = 1; i <= engine->itemCount(); ++i) {
        if (!plainFileName(engine->itemAt(i)->localName.view()))
            broken(kTarget, "a local name is not a plain file name");
    }
    engine->endRun({});
    for (int i = 1; i <= engine->itemCount(); ++i) {
        const auto& item = *engine->itemAt(i);
        if (item.is(kestrel::osprey::kStateRecording)) checkCaptureFiles(item);
    }
    // What ended is converted; the worker reports to the window, which this
    // thread pumps while it waits.
    while (engine->workerRunning()) window.waitAndPump(1);
    engine->joinWorkerIfDone();
    window.pump();
    for (int i = 1; i <= engine->itemCount(); ++i) {
        const auto& item = *engine->itemAt(i);
        if (item.is(kestrel::osprey::kStateDone) && !plainFileName(engine->localName(item.id)))
            broken(kTarget, "a finished file's name is not a plain file name");
    }
    engine.reset();
    kestrel::fuzz::emptyFolder(saveFolder() + "Temp/");
    kestrel::fuzz::emptyFolder(saveFolder());
    std::filesystem::create_directories(saveFolder() + "Temp");
    return 0;
}
