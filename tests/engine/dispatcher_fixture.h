#pragma once
// A packet dispatcher with its own record item table and save folder, fed
// with built frames: the fixture of the packet-level tests.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/capture_files.h"
#include "kestrel/engine/packet_dispatcher.h"
#include "tests/support/frame_builder.h"
#include "tests/support/test_files.h"

namespace kestrel::test {

class DispatcherFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = tempFolder("kestrel-dispatch");
        std::filesystem::create_directories(dir_ + "Temp");
        dispatcher_.beginCapture(dir_, false);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void feed(const FrameSpec& s, std::string_view payload) { dispatcher_.process(buildFrame(s, payload), outbox_); }
    engine::RecordItem& item(int i) { return *table_.at(i); }
    // An item's stored files as they are once the item ends (closing
    // writes out what is still buffered).
    std::string dataOf(int i) {
        item(i).files.close();
        return readFile(dir_ + "Temp/" + std::string(item(i).dataFileName.view()));
    }
    std::vector<capture_files::IndexEntry> indexOf(int i) {
        item(i).files.close();
        const std::string raw = readFile(dir_ + "Temp/" + std::string(item(i).indexFileName.view()));
        std::vector<capture_files::IndexEntry> out;
        for (std::size_t at = 0; at + capture_files::kEntrySize <= raw.size(); at += capture_files::kEntrySize)
            out.push_back(capture_files::decodeEntry(std::span<const std::uint8_t, capture_files::kEntrySize>(
                reinterpret_cast<const std::uint8_t*>(raw.data() + at), capture_files::kEntrySize)));
        return out;
    }
    // How many messages of this kind the frames fed so far queued.
    int messagesOf(std::uint32_t msg) const {
        int n = 0;
        for (const auto& e : outbox_.entries()) n += e.msg == msg;
        return n;
    }

    std::string dir_;
    engine::RecordItemTable table_;
    engine::PacketDispatcher dispatcher_{table_};
    engine::Outbox outbox_;
};

}  // namespace kestrel::test
