// Hostile and damaged inputs that the FLV builder, the converter plug-in and
// kestrel-cli build-flv once mishandled, replayed as regressions. Each test
// is named after the fault its input reproduces; the inputs live in the
// shared folder of hostile inputs.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "curlew/curlew.h"
#include "merlin/chunk_stream_converter.h"
#include "merlin/flv_output.h"
#include "merlin/stream_record.h"
#include "merlin_test_support.h"
#include "platform/byte_reader.h"
#include "tests/support/shell_command.h"

namespace kestrel::merlin {
namespace {

using kestrel::test::haveTool;
using kestrel::test::quote;
using kestrel::test::runCommand;
using test::TempDir;

const std::string kHostile = KESTREL_HOSTILE_DIR;
const std::string kBin = KESTREL_BIN_DIR;
// An output that holds only bytes that arrived: the tags' data adds up to
// no more than the input, and the FLV framing adds 15 bytes per tag (a
// stream of small messages with full headers comes out a little larger
// than it went in). Declared lengths must never count.
void expectOnlyArrivedBytes(const std::string& flv, std::uintmax_t inputSize) {
    const auto file = test::readFlv(flv);
    ASSERT_TRUE(file.valid) << file.error;
    std::uintmax_t data = 0;
    for (const auto& t : file.tags) data += t.data.size();
    EXPECT_LE(data, inputSize);
    EXPECT_LE(std::filesystem::file_size(flv), 2 * inputSize + 64);
}

std::string hostile(const std::string& name) {
    return kHostile + "/" + name;
}

// The payloads of a stream record file one after the other, and where each
// record's payload ends.
struct Payload {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint64_t> recordEnds;
};

Payload payloadOf(const std::string& recordFile) {
    const auto records = test::readFile(recordFile);
    Payload p;
    ByteReader r(records);
    while (r.remaining() > 0) {
        r.u8();
        const auto bytes = r.bytes(std::min<std::size_t>(r.le16(), r.remaining()));
        if (!r.ok()) break;
        p.bytes.insert(p.bytes.end(), bytes.begin(), bytes.end());
        p.recordEnds.push_back(p.bytes.size());
    }
    return p;
}

void writeBytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// ffprobe's verdict on the container, when it is installed: it reads the
// file and its FLV reader finds nothing wrong. (The hostile streams carry
// audio frames of zeros, which the decoder may well complain about.)
void expectProbeAccepts(const std::string& flv) {
    if (!haveTool("ffprobe")) return;
    std::string out;
    EXPECT_EQ(runCommand("ffprobe -v error -show_format " + quote(flv) + " 2>&1 >/dev/null", out), 0) << flv;
    EXPECT_EQ(out.find("[flv"), std::string::npos) << "ffprobe " << flv << ":\n" << out;
}

// What one hostile record file must give, through the converter itself.
struct HostileRecord {
    const char* file;
    std::uint32_t minLostSyncs;
    std::uint32_t minDamagedRecords;
    bool endsInsideRecord;
    std::uint32_t minMessagesCut;
};

const HostileRecord kHostileRecords[] = {
    // After a lost sync, a Set Chunk Size header with an extended timestamp
    // 16 bytes before the end of a record: the resynchronisation read out
    // of bounds and moved a negative number of bytes.
    {"merlin-resync-short-tail.rec", 1, 0, false, 0},
    // One record's length field made larger: every later record header is
    // read from the middle of the stream, and the file ends inside one.
    {"record-length-lie.rec", 1, 1, true, 0},
    // Type-0 headers announce messages of 983,040 bytes, each followed by
    // the next header on the same chunk stream: a 469 MB file of zeros.
    {"rtmp-declared-length-amplification.rec", 0, 0, false, 1},
};

TEST(HostileRecords, ConverterHoldsOnlyWhatArrivedAndSaysItWasNotComplete) {
    for (const auto& row : kHostileRecords) {
        SCOPED_TRACE(row.file);
        TempDir dir;
        const auto flv = dir.file("out.flv");
        StreamRecordReader source;
        ASSERT_TRUE(source.open(hostile(row.file).c_str()));
        FlvOutputFile output;
        ASSERT_TRUE(output.create(flv.c_str()));
        output.writeFileHeader(0x05);
        auto converter = std::make_unique<ChunkStreamConverter>();
        const auto outcome = converter->convert(source, output);
        ASSERT_TRUE(output.close());
        EXPECT_EQ(outcome.status, ConversionOutcome::Status::Converted);
        EXPECT_FALSE(outcome.complete());
        EXPECT_GE(outcome.lostSyncs, row.minLostSyncs);
        EXPECT_GE(outcome.damagedRecords, row.minDamagedRecords);
        EXPECT_EQ(outcome.endsInsideRecord, row.endsInsideRecord);
        EXPECT_GE(outcome.messagesCutUnexplained, row.minMessagesCut);
        const auto file = test::readFlv(flv);
        ASSERT_TRUE(file.valid) << file.error;
        EXPECT_GT(file.tags.size(), 0u);
        expectOnlyArrivedBytes(flv, std::filesystem::file_size(hostile(row.file)));
        expectProbeAccepts(flv);
    }
}

TEST(HostileRecords, BuildFlvKeepsTheRecordFileAndSaysWhy) {
    struct Says {
        const char* file;
        const char* message;  // part of what build-flv says
    } rows[] = {
        {"merlin-resync-short-tail.rec", "chunk headers that cannot be right"},
        {"record-length-lie.rec", "a record header is damaged"},
        {"rtmp-declared-length-amplification.rec", "messages ended before their announced length"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        TempDir dir;
        const auto source = dir.file(row.file);
        std::filesystem::copy_file(hostile(row.file), source);
        const auto flv = dir.file("out.flv");
        std::string out;
        const int rc = runCommand("timeout 60 " + quote(kBin + "/kestrel-cli") + " build-flv -q " + quote(source) +
                                      " " + quote(flv) + " 2>&1",
                                  out);
        EXPECT_EQ(rc, 4) << out;
        EXPECT_NE(out.find("converted only in part"), std::string::npos) << out;
        EXPECT_NE(out.find(row.message), std::string::npos) << out;
        EXPECT_NE(out.find("the record file is kept"), std::string::npos) << out;
        ASSERT_TRUE(std::filesystem::exists(source));
        EXPECT_EQ(test::readFile(source), test::readFile(hostile(row.file)));
        expectOnlyArrivedBytes(flv, std::filesystem::file_size(source));
    }
}

// The same bytes as a raw chunk stream through the converter plug-in, with
// record ends where the record files have them: as the plug-in's gap list,
// or (for the short tail) by padding the stream so that one of the
// plug-in's own 65,535-byte reads ends 16 bytes after the header.
TEST(HostileRecords, SameBytesThroughThePlugin) {
    void* library = ::dlopen((kBin + "/libcurlew.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    const auto convert = reinterpret_cast<CreateRtmpFileFn>(::dlsym(library, "CreateRtmpFile"));
    ASSERT_NE(convert, nullptr);

    struct Raw {
        std::string name;
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint64_t> gaps;
    };
    std::vector<Raw> rows;
    for (const auto& h : kHostileRecords) {
        const auto p = payloadOf(hostile(h.file));
        rows.push_back({std::string(h.file) + " as one stream", p.bytes, {}});
        rows.push_back({std::string(h.file) + " with its record ends as gaps", p.bytes, p.recordEnds});
    }
    {
        // The short tail's first record ends where the refused header is
        // followed by nothing usable; its second record (116 bytes) ends 16
        // bytes after the Set Chunk Size header. Zeros in between are no
        // point to synchronise on.
        const auto p = payloadOf(hostile("merlin-resync-short-tail.rec"));
        ASSERT_GE(p.recordEnds.size(), 2u);
        const auto firstEnd = static_cast<std::ptrdiff_t>(p.recordEnds[0]);
        const auto secondLength = static_cast<std::size_t>(p.recordEnds[1] - p.recordEnds[0]);
        std::vector<std::uint8_t> padded(p.bytes.begin(), p.bytes.begin() + firstEnd);
        padded.resize(2 * kMaxRecordPayload - secondLength, 0x00);
        padded.insert(padded.end(), p.bytes.begin() + firstEnd, p.bytes.end());
        rows.push_back({"merlin-resync-short-tail.rec padded to the plug-in's reads", padded, {}});
    }
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const auto raw = dir.file("stream.tmp");
        writeBytes(raw, row.bytes);
        if (!row.gaps.empty()) {
            std::ofstream list(raw + CURLEW_GAP_LIST_SUFFIX);
            for (auto g : row.gaps) list << g << "\n";
        }
        const auto flv = dir.file("out.flv");
        const int result = convert(0, nullptr, 0, 0, 0, raw.c_str(), flv.c_str(), 1);
        if (result != 0) {
            EXPECT_FALSE(std::filesystem::exists(flv));
            continue;
        }
        expectOnlyArrivedBytes(flv, row.bytes.size());
    }
    ::dlclose(library);
}

// The capture of the declared-length stream, through the whole recorder:
// the plug-in, then the built-in converter when the plug-in's output is
// small. Whatever the item's fate, no file it leaves may be much larger
// than the capture, and every FLV file must be valid.
TEST(HostileCaptures, DeclaredLengthsNeverInflateTheOutput) {
    const auto capture = hostile("rtmp-declared-length-amplification.pcap");
    TempDir dir;
    std::filesystem::create_directories(dir.file("save"));
    std::filesystem::create_directories(dir.file("home"));
    std::string out;
    const int rc = runCommand("timeout 120 " + quote(kBin + "/kestrel-cli") + " capture --source " +
                                  quote("file://" + capture) + " --save " + quote(dir.file("save")) + " --home " +
                                  quote(dir.file("home")) + " 2>&1",
                              out);
    ASSERT_NE(rc, 124) << "the capture did not end: " << out;
    std::uintmax_t total = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.file("save"))) {
        if (!entry.is_regular_file()) continue;
        const auto path = entry.path();
        if (path.parent_path().filename() == "Temp") continue;  // the capture data kept for an import
        total += entry.file_size();
        auto extension = path.extension().string();
        for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".flv" && entry.file_size() > 0) {
            const auto file = test::readFlv(path.string());
            EXPECT_TRUE(file.valid) << path << ": " << file.error;
        }
    }
    EXPECT_LE(total, 2 * std::filesystem::file_size(capture) + 64) << out;
}

}  // namespace
}  // namespace kestrel::merlin
