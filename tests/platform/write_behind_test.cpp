#include "platform/write_behind.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using kestrel::platform::BackgroundFile;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class WriteBehindTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = (std::filesystem::temp_directory_path() / ("kestrel-wb-" + std::to_string(::getpid()))).string() + "/";
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

}  // namespace

// Several files filled at once with writes of every size, smaller and
// larger than the buffers: each file holds exactly its own bytes in order,
// whatever order the background thread wrote the buffers in.
TEST_F(WriteBehindTest, InterleavedFilesKeepTheirBytesInOrder) {
    std::mt19937 random(11);
    struct Case {
        std::size_t bufferSize;
        std::size_t maxWrite;
    } cases[] = {{16, 5}, {16, 40}, {4096, 1460}, {4096, 20000}, {1, 3}};
    for (const auto& c : cases) {
        constexpr int kFiles = 5;
        std::vector<std::unique_ptr<BackgroundFile>> files;
        std::vector<std::string> expected(kFiles);
        for (int f = 0; f < kFiles; ++f) {
            files.push_back(std::make_unique<BackgroundFile>(c.bufferSize));
            ASSERT_TRUE(files.back()->open(dir_ + std::to_string(f), true));
        }
        for (int w = 0; w < 400; ++w) {
            const int f = static_cast<int>(random() % kFiles);
            std::string chunk(random() % (c.maxWrite + 1), '\0');
            for (auto& ch : chunk) ch = static_cast<char>(random());
            ASSERT_TRUE(files[static_cast<std::size_t>(f)]->write(bytes(chunk)));
            expected[static_cast<std::size_t>(f)] += chunk;
        }
        for (int f = 0; f < kFiles; ++f) {
            ASSERT_TRUE(files[static_cast<std::size_t>(f)]->close());
            EXPECT_EQ(slurp(dir_ + std::to_string(f)), expected[static_cast<std::size_t>(f)])
                << "buffer " << c.bufferSize << " file " << f;
        }
    }
}

TEST_F(WriteBehindTest, AppendKeepsWhatIsThereAndTruncateStartsAfresh) {
    const std::string path = dir_ + "a";
    {
        BackgroundFile f(8);
        ASSERT_TRUE(f.open(path, true));
        EXPECT_EQ(f.sizeAtOpen(), 0u);
        f.write(bytes("first part, "));
        ASSERT_TRUE(f.close());
    }
    BackgroundFile f(8);
    ASSERT_TRUE(f.open(path, false));
    EXPECT_EQ(f.sizeAtOpen(), 12u);
    f.write(bytes("second"));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(slurp(path), "first part, second");
    ASSERT_TRUE(f.open(path, true));
    f.write(bytes("new"));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(slurp(path), "new");
    EXPECT_TRUE(f.close());  // closing twice is harmless
}

// A write the background thread could not make is reported to the writer,
// by a later write or at the latest by close.
TEST_F(WriteBehindTest, FailedBackgroundWriteIsReported) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    BackgroundFile f(64);
    ASSERT_TRUE(f.open("/dev/full", false));
    const std::string block(200, 'x');
    bool allWritesOk = true;
    for (int i = 0; i < 10; ++i) allWritesOk = f.write(bytes(block)) && allWritesOk;
    const bool closed = f.close();
    EXPECT_FALSE(allWritesOk && closed);
    EXPECT_FALSE(closed);
}

TEST_F(WriteBehindTest, OpenFailureAndWritesToAClosedFile) {
    BackgroundFile f(64);
    EXPECT_FALSE(f.open(dir_ + "no/such/folder/file", true));
    EXPECT_FALSE(f.isOpen());
    EXPECT_FALSE(f.write(bytes("lost")));
    EXPECT_TRUE(f.close());
}

// A deletion queued after a file's writes runs after them: the name is gone
// once the queue is empty, and the writes still made through the open
// descriptor do not bring it back.
TEST_F(WriteBehindTest, RemovalAfterTheWritesQueuedBefore) {
    const std::string path = dir_ + "gone";
    BackgroundFile f(4);
    ASSERT_TRUE(f.open(path, true));
    const std::string text(1000, 'y');
    f.write(bytes(text));
    f.flush();
    kestrel::platform::removeFileLater(path);
    kestrel::platform::waitForBackgroundWrites();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(f.close());  // the descriptor stayed valid for the writes
    EXPECT_FALSE(std::filesystem::exists(path));
}

// After one background write failed, nothing more reaches the file: a
// later buffer appended after the lost one would sit at the wrong offset,
// and every index entry after it would point at the wrong bytes. The file
// size limit of the process makes one write fail; it is lifted again
// before the next buffer goes out.
TEST_F(WriteBehindTest, NothingIsWrittenAfterAFailedWrite) {
    const std::size_t buffer = 1000;
    BackgroundFile f(buffer);
    ASSERT_TRUE(f.open(dir_ + "limited", true));
    const std::string a(buffer, 'a'), b(buffer, 'b'), c(buffer, 'c');
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = buffer + buffer / 2;  // the second buffer crosses it
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_TRUE(f.write(bytes(a)));  // handed over whole: written in the background
    f.write(bytes(b));
    kestrel::platform::waitForBackgroundWrites();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(f.write(bytes(c)));
    f.flush();
    EXPECT_FALSE(f.close());
    EXPECT_EQ(f.error(), EFBIG);
    const std::string got = slurp(dir_ + "limited");
    EXPECT_EQ(got.size(), buffer + buffer / 2);  // what fitted, and nothing after it
    EXPECT_EQ(got.find('c'), std::string::npos);
}
