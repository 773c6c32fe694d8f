#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/byte_reader.h"

namespace kestrel::fuzz {

const std::string& scratchFolder() {
    // Never destroyed: the exit handler below still needs it after the
    // static destructors that run before it.
    static const std::string* folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrel-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("kestrel fuzz: cannot make a scratch folder");
            std::abort();
        }
        auto* made = new std::string(pattern + "/");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder(), ignored);
        });
        return made;
    }();
    return *folder;
}

bool writeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::vector<std::uint8_t> out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    std::uint8_t block[16384];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) out.insert(out.end(), block, block + n);
    std::fclose(f);
    return out;
}

void emptyFolder(const std::string& folder) {
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) entries.push_back(entry.path());
    for (const auto& path : entries) std::filesystem::remove_all(path, ec);
}

CapturePair writeCapturePair(std::span<const std::uint8_t> input) {
    ByteReader in(input);
    const std::size_t indexLength = in.remaining() >= 2 ? in.be16() : 0;
    const auto index = in.bytes(std::min(indexLength, in.remaining()));
    CapturePair pair{scratchFolder() + "capture.flvdata", scratchFolder() + "capture.flvdata.idx"};
    if (!writeFile(pair.indexPath, index) || !writeFile(pair.dataPath, in.rest())) {
        std::perror("kestrel fuzz: cannot write the capture files");
        std::abort();
    }
    return pair;
}

OpenedCapture::~OpenedCapture() {
    if (file) std::fclose(file);
}

bool openCapturePair(std::span<const std::uint8_t> input, const char* target, OpenedCapture& out) {
    const auto files = writeCapturePair(input);
    out.file = std::fopen(files.dataPath.c_str(), "rb");
    if (!out.file) broken(target, "cannot open the capture data just written");
    return capture_files::readHeader(out.file, out.kind) == capture_files::ReadStatus::Ok &&
           capture_files::loadOrderedIndex(files.indexPath, out.entries) == capture_files::ReadStatus::Ok;
}

void checkWrittenCapture(const char* target, const std::vector<std::uint8_t>& data,
                         const std::vector<std::uint8_t>& index) {
    if (data.empty() && index.empty()) return;
    if (data.size() < capture_files::kHeaderSize || std::memcmp(data.data(), "PIP", 3) != 0)
        broken(target, "a capture data file does not start with its header");
    if (index.size() % capture_files::kEntrySize != 0) broken(target, "a capture index file ends inside an entry");
    std::uint64_t next = capture_files::kHeaderSize;
    for (std::size_t at = 0; at < index.size(); at += capture_files::kEntrySize) {
        const auto e = capture_files::decodeEntry(
            std::span<const std::uint8_t, capture_files::kEntrySize>(index.data() + at, capture_files::kEntrySize));
        if (e.dataOffset != next) broken(target, "an index entry does not point right after the previous payload");
        if (e.length > capture_files::kMaxEntryLength) broken(target, "an index entry is longer than the format holds");
        if (e.ipLength != e.length + 40) broken(target, "an index entry's IP-length field is not its length + 40");
        next += e.length;
    }
    if (next != data.size()) broken(target, "the index does not account for every stored byte");
}

void broken(const char* target, const char* what) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

}  // namespace kestrel::fuzz
