// The library through its exported interface, as a host uses it.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <filesystem>
#include <set>
#include <thread>

#include "merlin/merlin.h"
#include "merlin_test_support.h"

namespace kestrel::merlin {
namespace {

using rtmprecords::ChunkStreamWriter;
using rtmprecords::RtmpMessage;
using test::TempDir;

bool waitFinished(int32_t slot) {
    for (int i = 0; i < 3000; ++i) {
        if (Merlin_IsBuildFinish(slot) == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A record file of an audio/video stream that announces description.
std::vector<std::uint8_t> streamBytes(std::string_view description, bool audio = true, bool video = true,
                                      std::size_t count = 200) {
    ChunkStreamWriter w(128);
    w.announceChunkSize(4096);
    RtmpMessage status;
    status.csid = 5;
    status.type = 20;
    status.streamId = 1;
    status.payload = rtmprecords::statusMessage("NetStream.Play.Start", description);
    w.write(status);
    if (!audio && !video) {
        // Data messages enough to synchronise on.
        for (int i = 0; i < 10; ++i) {
            RtmpMessage data;
            data.csid = 5;
            data.type = 18;
            data.streamId = 1;
            rtmprecords::amfString(data.payload, "|RtmpSampleAccess");
            data.payload.resize(400, 0x01);
            w.write(data);
        }
    }
    for (const auto& m : test::avStream(count)) {
        if ((m.type == 8 && !audio) || (m.type == 9 && !video)) continue;
        w.write(m);
    }
    return w.bytes();
}

void writeRecordFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    test::writeRecords(path, bytes, 1460);
}

struct Result {
    int32_t slot = -1;
    uint32_t made = 0;
    uint32_t total = 0;
    uint32_t disposed = 0;
    int32_t result = MERLIN_RESULT_RUNNING;
    uint32_t faults = 0;
    std::string name;  // empty: no new name
};

Result convertOne(const std::string& source, const std::string& output) {
    Result r;
    r.slot = Merlin_Start(source.c_str(), output.c_str());
    if (r.slot < 0) return r;
    EXPECT_TRUE(waitFinished(r.slot));
    r.made = Merlin_MakeBytes(r.slot);
    r.total = Merlin_TotalBytes(r.slot);
    r.disposed = Merlin_DisposeBytes(r.slot);
    r.result = Merlin_GetResult(r.slot);
    r.faults = Merlin_GetFaults(r.slot);
    char name[MERLIN_MAX_PATH] = "";
    Merlin_GetNewFileName(r.slot, name);
    r.name = name;
    EXPECT_EQ(Merlin_InitItem(r.slot), 0);
    return r;
}

class MerlinApi : public ::testing::Test {
protected:
    void SetUp() override { Merlin_InitDll(nullptr); }
    TempDir dir;
};

TEST_F(MerlinApi, OnlyTheExportsAreVisible) {
    const std::string lib = std::string(KESTREL_BIN_DIR) + "/libmerlin.so";
    void* handle = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << ::dlerror();
    for (const char* name : {"Merlin_InitDll", "Merlin_Start", "Merlin_GetID", "Merlin_IsBuildFinish",
                             "Merlin_TotalBytes", "Merlin_DisposeBytes", "Merlin_MakeBytes", "Merlin_GetNewFileName",
                             "Merlin_InitItem", "Merlin_GetResult", "Merlin_GetFaults"})
        EXPECT_NE(::dlsym(handle, name), nullptr) << name;
    // Internals stay hidden: the converter class and the slot table.
    EXPECT_EQ(::dlsym(handle, "_ZN7kestrel6merlin15ConversionSlots8instanceEv"), nullptr);
    EXPECT_EQ(::dlsym(handle, "_ZN7kestrel6merlin20ChunkStreamConverter13findSyncPointESt4spanIKhLm18446744073709551615EE"),
              nullptr);
    ::dlclose(handle);
}

TEST_F(MerlinApi, ConvertsNamesAndDeletesTheSource) {
    const auto source = dir.file("1.@@@");
    const auto bytes = streamBytes("Started playing clips/intro.");
    writeRecordFile(source, bytes);
    const auto size = std::filesystem::file_size(source);
    const auto r = convertOne(source, dir.file("flash.flv"));
    ASSERT_GE(r.slot, 0);
    EXPECT_EQ(r.result, MERLIN_RESULT_COMPLETE);
    EXPECT_EQ(r.faults, 0u);
    EXPECT_EQ(r.name, dir.file("intro.flv"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("intro.flv")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("flash.flv")));
    EXPECT_FALSE(std::filesystem::exists(source));
    EXPECT_EQ(r.total, size);
    EXPECT_EQ(r.disposed, size);
    EXPECT_EQ(r.made, std::filesystem::file_size(dir.file("intro.flv")));
    const auto flv = test::readFlv(dir.file("intro.flv"));
    ASSERT_TRUE(flv.valid) << flv.error;
    EXPECT_EQ(flv.typeFlags, 0x05);
    EXPECT_EQ(flv.tags.size(), 201u);
}

TEST_F(MerlinApi, SameStreamNameTwiceGetsACounter) {
    const auto bytes = streamBytes("Started playing clips/intro.");
    writeRecordFile(dir.file("a.rec"), bytes);
    writeRecordFile(dir.file("b.rec"), bytes);
    writeRecordFile(dir.file("c.rec"), bytes);
    // Two at once: the rename lock keeps them apart whatever the timing.
    const int32_t a = Merlin_Start(dir.file("a.rec").c_str(), dir.file("a.flv").c_str());
    const int32_t b = Merlin_Start(dir.file("b.rec").c_str(), dir.file("b.flv").c_str());
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_TRUE(waitFinished(a));
    ASSERT_TRUE(waitFinished(b));
    char na[MERLIN_MAX_PATH] = "";
    char nb[MERLIN_MAX_PATH] = "";
    Merlin_GetNewFileName(a, na);
    Merlin_GetNewFileName(b, nb);
    Merlin_InitItem(a);
    Merlin_InitItem(b);
    std::set<std::string> names{na, nb};
    EXPECT_EQ(names, (std::set<std::string>{dir.file("intro.flv"), dir.file("intro[1].flv")}));
    const auto third = convertOne(dir.file("c.rec"), dir.file("c.flv"));
    EXPECT_EQ(third.name, dir.file("intro[2].flv"));
    for (const auto& n : {"intro.flv", "intro[1].flv", "intro[2].flv"})
        EXPECT_TRUE(test::readFlv(dir.file(n)).valid) << n;
}

TEST_F(MerlinApi, TypeFlagsAtOffsetFour) {
    struct Row {
        const char* name;
        bool audio;
        bool video;
        std::uint8_t flags;
    } rows[] = {{"no audio", false, true, 0x01}, {"neither", false, false, 0x00}, {"no video", true, false, 0x04}};
    for (const auto& row : rows) {
        const auto source = dir.file(std::string(row.name) + ".rec");
        // Enough data messages to synchronise on when there is no media.
        auto bytes = streamBytes("Start video on demand", row.audio, row.video, 400);
        writeRecordFile(source, bytes);
        const auto out = dir.file(std::string(row.name) + ".flv");
        const auto r = convertOne(source, out);
        EXPECT_EQ(r.name, "") << row.name;  // "Start video on demand" names no stream
        const auto file = test::readFile(out);
        ASSERT_GT(file.size(), 13u) << row.name;
        EXPECT_EQ(file[4], row.flags) << row.name;
    }
}

TEST_F(MerlinApi, TenthStartWithoutReleaseIsRefused) {
    std::vector<int32_t> slots;
    int32_t firstId = 0;
    for (int i = 0; i < 9; ++i) {
        const int32_t s = Merlin_Start(dir.file("missing" + std::to_string(i)).c_str(), dir.file("o.flv").c_str());
        ASSERT_EQ(s, i);
        ASSERT_TRUE(waitFinished(s));
        if (i == 0) firstId = Merlin_GetID(s);
        EXPECT_EQ(Merlin_GetID(s), firstId + i);
        slots.push_back(s);
    }
    EXPECT_EQ(Merlin_Start(dir.file("x").c_str(), dir.file("o.flv").c_str()), MERLIN_ERR_NO_SLOT);
    Merlin_InitItem(4);
    EXPECT_EQ(Merlin_GetID(4), 0);
    const int32_t again = Merlin_Start(dir.file("x").c_str(), dir.file("o.flv").c_str());
    EXPECT_EQ(again, 4);
    EXPECT_EQ(Merlin_GetID(again), firstId + 9);
    ASSERT_TRUE(waitFinished(again));
    for (int32_t s : slots) Merlin_InitItem(s);
}

TEST_F(MerlinApi, BadPathsAreRefused) {
    const std::string ok = dir.file("a");
    const std::string long259 = "/tmp/" + std::string(254, 'x');
    const std::string long260 = long259 + "y";
    ASSERT_EQ(long259.size(), 259u);
    struct Row {
        const char* name;
        const char* source;
        const char* output;
        int32_t result;
    } rows[] = {
        {"no source", nullptr, ok.c_str(), MERLIN_ERR_BAD_PATH},
        {"no output", ok.c_str(), nullptr, MERLIN_ERR_BAD_PATH},
        {"empty source", "", ok.c_str(), MERLIN_ERR_BAD_PATH},
        {"empty output", ok.c_str(), "", MERLIN_ERR_BAD_PATH},
        {"source of 260", long260.c_str(), ok.c_str(), MERLIN_ERR_BAD_PATH},
        {"output of 260", ok.c_str(), long260.c_str(), MERLIN_ERR_BAD_PATH},
    };
    for (const auto& r : rows) EXPECT_EQ(Merlin_Start(r.source, r.output), r.result) << r.name;
    // 259 characters still fit (the file does not exist: the slot just ends).
    const auto r = convertOne(long259, dir.file("o.flv"));
    EXPECT_GE(r.slot, 0);
    EXPECT_EQ(r.made, 0u);
}

TEST_F(MerlinApi, FailuresStillFinishTheSlot) {
    const auto good = dir.file("good.rec");
    writeRecordFile(good, streamBytes("Started playing a."));
    {
        // A source that cannot be opened: nothing is created.
        const auto r = convertOne(dir.file("absent.rec"), dir.file("absent.flv"));
        ASSERT_GE(r.slot, 0);
        EXPECT_EQ(r.result, MERLIN_RESULT_SOURCE_ERROR);
        EXPECT_EQ(r.made, 0u);
        EXPECT_FALSE(std::filesystem::exists(dir.file("absent.flv")));
    }
    {
        // An output that cannot be created: the record file stays.
        const auto r = convertOne(good, dir.file("no/such/folder/out.flv"));
        ASSERT_GE(r.slot, 0);
        EXPECT_EQ(r.result, MERLIN_RESULT_OUTPUT_ERROR);
        EXPECT_EQ(r.made, 0u);
        EXPECT_TRUE(std::filesystem::exists(good));
    }
    {
        // Nothing to follow: only the FLV header, the record file stays.
        const auto noise = dir.file("noise.rec");
        std::vector<std::uint8_t> bytes(10000, 0xFF);
        writeRecordFile(noise, bytes);
        const auto r = convertOne(noise, dir.file("noise.flv"));
        EXPECT_EQ(r.result, MERLIN_RESULT_NOT_SYNCHRONISED);
        EXPECT_EQ(r.made, 0u);
        EXPECT_EQ(std::filesystem::file_size(dir.file("noise.flv")), 13u);
        EXPECT_TRUE(std::filesystem::exists(noise));
        EXPECT_EQ(r.name, "");
    }
    {
        // A file of the announced name exists as a folder entry that cannot be
        // replaced: the output gets "[1]".
        std::filesystem::create_directory(dir.file("a.flv"));
        const auto r = convertOne(good, dir.file("out.flv"));
        EXPECT_EQ(r.name, dir.file("a[1].flv"));
        EXPECT_TRUE(std::filesystem::is_directory(dir.file("a.flv")));
    }
}

// The source goes only after a complete conversion; in every other case
// the result and the faults say why it stayed. Sources that are no regular
// file are refused at once: a FIFO would block, /dev/zero never ends.
TEST_F(MerlinApi, ResultsSayWhyTheSourceIsKept) {
    const auto stream = streamBytes("Started playing a.");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Row {
        const char* name;
        std::string source;
        std::function<void(const std::string&)> make;  // writes the source
        int32_t result;
        uint32_t faults;
        bool kept;
    } rows[] = {
        {"complete", dir.file("complete.rec"), [&](const std::string& p) { writeRecordFile(p, stream); },
         MERLIN_RESULT_COMPLETE, 0, false},
        {"a gap the recorder knew of",
         dir.file("gap.rec"),
         [&](const std::string& p) {
             const std::size_t dropped[] = {40};
             test::writeRecords(p, stream, 1460, dropped);
         },
         MERLIN_RESULT_COMPLETE, 0, false},
        {"cut inside its last record", dir.file("cut.rec"),
         [&](const std::string& p) {
             writeRecordFile(p, stream);
             std::filesystem::resize_file(p, std::filesystem::file_size(p) - 9);
         },
         MERLIN_RESULT_PARTIAL, MERLIN_FAULT_CUT_RECORD, true},
        {"a record header with unknown flags", dir.file("flags.rec"),
         [&](const std::string& p) {
             writeRecordFile(p, stream);
             std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(10 * (3 + 1460));  // the flags of record 10
             f.put(0x44);
         },
         MERLIN_RESULT_PARTIAL, MERLIN_FAULT_DAMAGED_RECORD, true},
        {"a message cut short by the next", dir.file("amplification.rec"),
         [&](const std::string& p) {
             std::filesystem::copy_file(std::string(KESTREL_HOSTILE_DIR) + "/rtmp-declared-length-amplification.rec", p);
         },
         MERLIN_RESULT_PARTIAL, MERLIN_FAULT_CUT_MESSAGE, true},
        {"empty", dir.file("empty.rec"), [&](const std::string& p) { std::ofstream(p).close(); },
         MERLIN_RESULT_NOT_SYNCHRONISED, 0, true},
        {"not a record file", dir.file("text.rec"),
         [&](const std::string& p) {
             std::ofstream text(p);
             for (int i = 0; i < 300; ++i) text << "plain text, line " << i << "\n";
         },
         // Its first "record" claims more bytes than the file holds.
         MERLIN_RESULT_NOT_SYNCHRONISED, MERLIN_FAULT_DAMAGED_RECORD | MERLIN_FAULT_CUT_RECORD, true},
        {"FIFO", dir.file("fifo"), nullptr, MERLIN_RESULT_SOURCE_ERROR, 0, true},
        {"device", "/dev/zero", nullptr, MERLIN_RESULT_SOURCE_ERROR, 0, true},
        {"folder", dir.path.string(), nullptr, MERLIN_RESULT_SOURCE_ERROR, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.make) row.make(row.source);
        const auto before = std::filesystem::is_regular_file(row.source) ? test::readFile(row.source)
                                                                         : std::vector<std::uint8_t>{};
        const auto output = dir.file(std::string(row.name) + ".flv");
        const auto r = convertOne(row.source, output);
        ASSERT_GE(r.slot, 0);
        EXPECT_EQ(r.result, row.result);
        EXPECT_EQ(r.faults, row.faults);
        EXPECT_EQ(std::filesystem::exists(row.source), row.kept);
        if (row.kept && std::filesystem::is_regular_file(row.source)) {
            EXPECT_EQ(test::readFile(row.source), before);
        }
        if (row.result == MERLIN_RESULT_SOURCE_ERROR) {
            EXPECT_FALSE(std::filesystem::exists(output));
        }
        if (row.result == MERLIN_RESULT_COMPLETE || row.result == MERLIN_RESULT_PARTIAL) {
            const auto flv = test::readFlv(r.name.empty() ? output : r.name);
            EXPECT_TRUE(flv.valid) << flv.error;
            EXPECT_GT(flv.tags.size(), 0u);
        }
        if (!r.name.empty()) std::filesystem::remove(r.name);  // "a.flv" again for the next row
    }
    EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo")));
}

TEST_F(MerlinApi, SlotsOutOfRangeAreIgnored) {
    for (int32_t s : {-1, 9, 1000}) {
        EXPECT_EQ(Merlin_GetID(s), 0);
        EXPECT_EQ(Merlin_IsBuildFinish(s), 0);
        EXPECT_EQ(Merlin_TotalBytes(s), 0u);
        EXPECT_EQ(Merlin_DisposeBytes(s), 0u);
        EXPECT_EQ(Merlin_MakeBytes(s), 0u);
        EXPECT_EQ(Merlin_GetResult(s), MERLIN_RESULT_RUNNING);
        EXPECT_EQ(Merlin_GetFaults(s), 0u);
        char buffer[MERLIN_MAX_PATH] = "untouched";
        Merlin_GetNewFileName(s, buffer);
        EXPECT_STREQ(buffer, "untouched");
        EXPECT_EQ(Merlin_InitItem(s), 0);
    }
}

}  // namespace
}  // namespace kestrel::merlin
