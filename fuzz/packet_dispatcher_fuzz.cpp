// libFuzzer target: the packet dispatcher fed whole frames, as the capture
// loop feeds it: frame decoding, HTTP request and response recognition, RTMP
// detection and the storing of payloads into capture files.
//
// Input: one options byte (bit 0: record SWF downloads), then frames, each
// a 2-byte big-endian length and that many bytes (the last one takes what is
// left). At most 64 KiB.
//
// Checked besides memory safety: every frame queues fewer messages than the
// outbox holds; names made from the network stay plain file names; the
// capture files of every item read back as the writer promises (the header,
// then payloads back to back, each with one index entry whose offset,
// length and IP-length field agree).

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "kestrel/engine/packet_dispatcher.h"
#include "kestrel/engine/record_item_table.h"
#include "platform/byte_reader.h"

namespace {

constexpr const char* kTarget = "packet_dispatcher_fuzz";
constexpr std::size_t kMaxInput = 64 * 1024;

using kestrel::fuzz::broken;

// The save folder, with the Temp/ folder where capture files are made.
const std::string& saveFolder() {
    static const std::string folder = [] {
        std::string f = kestrel::fuzz::scratchFolder() + "save/";
        std::filesystem::create_directories(f + "Temp");
        return f;
    }();
    return folder;
}

bool plainFileName(std::string_view name) {
    return name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// What the title promises (common/url_text.h): no path separator, no
// character a file name cannot hold, no control character, no leading dot.
bool safeTitle(std::string_view title) {
    if (!title.empty() && title.front() == '.') return false;
    for (char c : title) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr("/\\:*?<>|", c) != nullptr) return false;
    }
    return true;
}

void checkCaptureFiles(const kestrel::engine::RecordItem& item) {
    const std::string temp = saveFolder() + "Temp/";
    const auto data = kestrel::fuzz::readFile(temp + std::string(item.dataFileName.view()));
    const auto index = kestrel::fuzz::readFile(temp + std::string(item.indexFileName.view()));
    kestrel::fuzz::checkWrittenCapture(kTarget, data, index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput || size == 0) return -1;
    kestrel::ByteReader in(std::span<const std::uint8_t>(data, size));
    const bool recordSwf = (in.u8() & 0x01) != 0;

    auto table = std::make_unique<kestrel::engine::RecordItemTable>();
    auto dispatcher = std::make_unique<kestrel::engine::PacketDispatcher>(*table);
    dispatcher->beginCapture(saveFolder(), recordSwf);
    kestrel::engine::Outbox outbox;
    while (in.remaining() > 0) {
        const std::size_t length = in.remaining() >= 2 ? in.be16() : in.remaining();
        const auto frame = in.bytes(std::min(length, in.remaining()));
        outbox.clear();
        dispatcher->process(frame, outbox);
        // The outbox drops what does not fit; no frame may need that many.
        if (outbox.entries().size() >= kestrel::engine::Outbox::kCapacity)
            broken(kTarget, "one frame filled the outbox");
    }

    for (int i = 1; i <= table->count(); ++i) {
        auto& item = *table->at(i);
        item.closeFiles();
        // A failed item keeps what was written up to its failure (the
        // open-file limit can fail one here): nothing to promise about it.
        const bool failed = item.is(kestrel::engine::ItemState::Failed);
        if (!plainFileName(item.outputName.view()) || !plainFileName(item.dataFileName.view()) ||
            !plainFileName(item.indexFileName.view()))
            broken(kTarget, "an item's file name is not a plain file name");
        if (!safeTitle(item.title.view())) broken(kTarget, "an item's title is not a safe file name");
        if (!failed) checkCaptureFiles(item);
    }
    kestrel::fuzz::emptyFolder(saveFolder() + "Temp/");
    return 0;
}
