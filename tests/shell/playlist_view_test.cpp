// The playlist view over the real markup list control, on the offscreen
// platform, with real files in a folder of the test's own. Questions and the
// file dialog are answered by the test; message boxes and opened folders
// are recorded.

#include "kestrel/shell/playlist_view.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/shell/markup_list.h"
#include "kestrel/shell/recording_list.h"
#include "platform/shell.h"
#include "tests/shell/answer_dialog.h"
#include "tests/support/test_files.h"

using namespace kestrel;
using namespace kestrel::shell;

namespace {

class RecordingMessages : public platform::UiPort {
public:
    platform::Answer messageBox(std::string_view text, platform::Buttons) override {
        texts.emplace_back(text);
        return platform::Answer::Ok;
    }
    std::vector<std::string> texts;
};

class AnsweringPrompts : public PlaylistPrompts {
public:
    platform::Answer ask(std::string_view caption, std::string_view text) override {
        asked.emplace_back(std::string(caption), std::string(text));
        if (answers.empty()) {
            ADD_FAILURE() << "an unexpected question: " << text;
            return platform::Answer::No;
        }
        const platform::Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<std::string> chooseFiles(QWidget*) override {
        ++dialogs;
        return files;
    }
    std::deque<platform::Answer> answers;
    std::vector<std::pair<std::string, std::string>> asked;
    std::vector<std::string> files;
    int dialogs = 0;
};

class RecordingShell : public platform::Shell {
public:
    bool open(std::string_view target) override {
        opened.emplace_back(target);
        return true;
    }
    bool showInFolder(std::string_view path) override {
        shown.emplace_back(path);
        return true;
    }
    std::vector<std::string> opened, shown;
};

// An FLV header, its first back-pointer and one small script tag.
const std::string kFlvBytes = std::string("FLV\x01\x05\x00\x00\x00\x09", 9) + std::string(4, '\0') +
                              std::string("\x12\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x0E", 16);

std::string utf8(const QString& s) {
    const QByteArray b = s.toUtf8();
    return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

class PlaylistViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = test::tempFolder("kestrel-playlist-view");
        listFile_ = folder_ + "playlist.dat";
        platform::setShell(&shell_);
        makeView();
    }
    void TearDown() override {
        view_.reset();
        platform::setShell(nullptr);
        std::filesystem::remove_all(folder_);
    }
    void makeView() {
        view_ = std::make_unique<PlaylistView>(ui_);
        view_->setPrompts(&prompts_);
        QObject::connect(view_.get(), &PlaylistView::playRequested,
                         [this](const QString& path) { played_.push_back(utf8(path)); });
        view_->load(listFile_);
    }
    std::string file(const std::string& name, const std::string& bytes) {
        const std::string path = folder_ + name;
        test::writeFile(path, bytes);
        return path;
    }
    std::string flv(const std::string& name) { return file(name, kFlvBytes); }
    // Entries for the given paths, written as the list file, then loaded.
    void loadList(const std::vector<std::pair<std::string, std::uint32_t>>& pathsAndSizes) {
        std::vector<PlaylistEntry> entries;
        for (const auto& [path, size] : pathsAndSizes) entries.push_back(*makePlaylistEntry(path, size, 1000));
        ASSERT_TRUE(writePlaylistFile(listFile_, entries));
        view_->load(listFile_);
        ASSERT_EQ(view_->rowCount(), static_cast<int>(entries.size()));
    }
    std::vector<std::string> pathsInView() const {
        std::vector<std::string> out;
        for (int row = 0; row < view_->rowCount(); ++row) out.push_back(view_->entry(row).path);
        return out;
    }
    std::vector<std::string> pathsOnDisk() const {
        std::vector<std::string> out;
        for (const PlaylistEntry& e : readPlaylistFile(listFile_)) out.push_back(e.path);
        return out;
    }
    std::vector<int> icons() const {
        std::vector<int> out;
        for (int row = 0; row < view_->rowCount(); ++row) out.push_back(view_->entry(row).icon);
        return out;
    }
    void press(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent event(QEvent::KeyPress, key, mods);
        QApplication::sendEvent(&view_->control(), &event);
    }

    std::string folder_;
    std::string listFile_;
    RecordingMessages ui_;
    AnsweringPrompts prompts_;
    RecordingShell shell_;
    std::unique_ptr<PlaylistView> view_;
    std::vector<std::string> played_;
};

TEST(PlaylistRowText, PathsLongerThan35CharactersShowTheirLast32AfterDots) {
    const std::string e = "\xC3\xA9";          // é, two bytes
    const std::string euro = "\xE2\x82\xAC";  // €, three bytes
    const std::string clef = "\xF0\x9D\x84\x9E";  // four bytes
    std::string e35, e36, e32;
    for (int i = 0; i < 35; ++i) e35 += e;
    e36 = e35 + e;
    for (int i = 0; i < 32; ++i) e32 += e;
    std::string mixed36;  // 36 characters of 1 to 4 bytes
    for (int i = 0; i < 9; ++i) mixed36 += "a" + e + euro + clef;
    std::string mixedTail;  // its last 32 characters: one "a e € clef" group less
    mixedTail = mixed36.substr(1 + 2 + 3 + 4);
    struct Case {
        std::string path;
        std::string shown;
    };
    const Case cases[] = {
        {"", ""},
        {"/home/user/Kestrel/clip-01234567.fl", "/home/user/Kestrel/clip-01234567.fl"},  // 35: whole
        {"/home/user/Kestrel/clip-012345678.fl", "...e/user/Kestrel/clip-012345678.fl"},  // 36
        {e35, e35},
        {e36, "..." + e32},
        {mixed36, "..." + mixedTail},
    };
    for (const Case& c : cases) EXPECT_EQ(shownPlaylistPath(c.path), c.shown) << c.path;
    // Characters, not bytes: the tail of 32 is whole, valid UTF-8.
    const std::string tail = shownPlaylistPath(mixed36);
    const QString decoded = QString::fromUtf8(tail.data(), static_cast<qsizetype>(tail.size()));
    EXPECT_EQ(decoded.toUcs4().size(), 3 + 32);
    EXPECT_EQ(utf8(decoded), tail);
}

TEST(PlaylistRowText, RowsShowThePathAndTheListSize) {
    struct Case {
        std::string path;
        std::uint64_t size;
        std::string row;
    };
    const Case cases[] = {
        {"/v/a.flv", 0, "<b>File:</b> /v/a.flv<br>\t\t\t\t\t<b>Size:</b> 0"},
        {"/v/a.flv", 1023, "<b>File:</b> /v/a.flv<br>\t\t\t\t\t<b>Size:</b> 1023"},
        {"/v/a.flv", 1024, "<b>File:</b> /v/a.flv<br>\t\t\t\t\t<b>Size:</b> 1.00 K"},
        {"/v/a.flv", 3000000000ull, "<b>File:</b> /v/a.flv<br>\t\t\t\t\t<b>Size:</b> 2.79 G"},
        {"/v/a.flv", 0x200000000ull, "<b>File:</b> /v/a.flv<br>\t\t\t\t\t<b>Size:</b> 4.00 G"},  // kept as 4 GiB - 1
        {"/home/user/Videos/lectures/part-two.flv", 52428800,
         "<b>File:</b> ...ser/Videos/lectures/part-two.flv<br>\t\t\t\t\t<b>Size:</b> 50.00 M"},
    };
    for (const Case& c : cases) {
        const auto entry = makePlaylistEntry(c.path, c.size, 0);
        ASSERT_TRUE(entry);
        EXPECT_EQ(playlistRowText(*entry), c.row);
    }
}

TEST_F(PlaylistViewTest, LoadedEntriesShowTheirRowsAndIcons) {
    loadList({{"/v/a.flv", 29}, {"/gone/empty.flv", 13}, {"/gone/tiny.flv", 14}});
    EXPECT_EQ(view_->control().rowCount(), 3);
    EXPECT_EQ(view_->control().rowText(0), "<b>File:</b> /v/a.flv<br>\t\t\t\t\t<b>Size:</b> 29");
    EXPECT_EQ(view_->control().rowText(1), "<b>File:</b> /gone/empty.flv<br>\t\t\t\t\t<b>Size:</b> 13");
    EXPECT_EQ(icons(), (std::vector<int>{kPlaylistIconPlayable, kPlaylistIconDamaged, kPlaylistIconPlayable}));
    EXPECT_EQ(view_->playingRow(), -1);
    EXPECT_EQ(view_->filePath(), listFile_);
}

TEST_F(PlaylistViewTest, ADamagedListShowsTheEntriesBeforeTheDamageAndIsWrittenWholeOnTheNextChange) {
    loadList({{"/one.flv", 100}, {"/two.flv", 100}, {"/three.flv", 100}});
    std::string bytes = test::readFile(listFile_);
    bytes.resize(bytes.size() - 3);  // the last record cut short
    test::writeFile(listFile_, bytes);
    view_->load(listFile_);
    EXPECT_EQ(pathsInView(), (std::vector<std::string>{"/one.flv", "/two.flv"}));
    EXPECT_TRUE(ui_.texts.empty());  // silently

    const std::string b = flv("b.flv");
    EXPECT_EQ(view_->addFiles({b}), 1);
    EXPECT_EQ(pathsOnDisk(), (std::vector<std::string>{"/one.flv", "/two.flv", b}));
    // No damaged tail is left: every byte of the file is a whole record.
    const std::string rewritten = test::readFile(listFile_);
    std::size_t consumed = 0;
    parsePlaylist(std::span(reinterpret_cast<const std::uint8_t*>(rewritten.data()), rewritten.size()), &consumed);
    EXPECT_EQ(consumed, rewritten.size());
}

TEST_F(PlaylistViewTest, DeleteKeyAsksAndDeletesTheSelectionOnlyOnYes) {
    loadList({{"/0.flv", 100}, {"/1.flv", 100}, {"/2.flv", 100}, {"/3.flv", 100}});
    const std::string before = test::readFile(listFile_);
    view_->control().setCurrentRow(0);
    view_->control().setSelected(2, true);

    prompts_.answers = {platform::Answer::No};
    press(Qt::Key_Delete);
    ASSERT_EQ(prompts_.asked.size(), 1u);
    EXPECT_EQ(prompts_.asked[0], (std::pair<std::string, std::string>{"Playlist", "Delete these?"}));
    EXPECT_EQ(view_->rowCount(), 4);
    EXPECT_EQ(test::readFile(listFile_), before);

    prompts_.answers = {platform::Answer::Yes};
    press(Qt::Key_Delete);
    ASSERT_EQ(prompts_.asked.size(), 2u);
    EXPECT_EQ(prompts_.asked[1], (std::pair<std::string, std::string>{"Playlist", "Delete these?"}));
    EXPECT_EQ(pathsInView(), (std::vector<std::string>{"/1.flv", "/3.flv"}));
    EXPECT_EQ(view_->control().rowCount(), 2);
    EXPECT_EQ(pathsOnDisk(), pathsInView());  // rewritten at once
}

TEST_F(PlaylistViewTest, DeleteWithNothingSelectedAsksNothing) {
    loadList({{"/0.flv", 100}});
    view_->control().setCurrentRow(-1);
    press(Qt::Key_Delete);
    EXPECT_TRUE(prompts_.asked.empty());
    EXPECT_EQ(view_->rowCount(), 1);
}

TEST_F(PlaylistViewTest, CtrlASelectsAllAndDeleteThenEmptiesTheList) {
    loadList({{"/0.flv", 100}, {"/1.flv", 100}, {"/2.flv", 100}});
    view_->control().setCurrentRow(1);
    press(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(view_->control().selectedRows(), (std::vector<int>{0, 1, 2}));
    prompts_.answers = {platform::Answer::Yes};
    press(Qt::Key_Delete);
    EXPECT_EQ(view_->rowCount(), 0);
    EXPECT_EQ(view_->control().rowCount(), 0);
    EXPECT_EQ(test::readFile(listFile_), std::string("\x04\x00\x00\x00", 4));
}

TEST_F(PlaylistViewTest, CleanAllAsksAndClearsOnlyOnYes) {
    loadList({{"/0.flv", 100}, {"/1.flv", 100}});
    const std::string before = test::readFile(listFile_);
    struct Case {
        platform::Answer answer;
        int rowsAfter;
    };
    for (const Case c : {Case{platform::Answer::No, 2}, Case{platform::Answer::Yes, 0}}) {
        prompts_.answers = {c.answer};
        view_->runCommand(PlaylistView::kCleanAll, -1);
        EXPECT_EQ(prompts_.asked.back(), (std::pair<std::string, std::string>{"Playlist", "Clean all?"}));
        EXPECT_EQ(view_->rowCount(), c.rowsAfter);
        EXPECT_EQ(view_->control().rowCount(), c.rowsAfter);
    }
    EXPECT_NE(test::readFile(listFile_), before);
    EXPECT_TRUE(readPlaylistFile(listFile_).empty());
    EXPECT_EQ(test::readFile(listFile_).size(), 4u);
}

TEST_F(PlaylistViewTest, PlayingChecksThatTheFileIsFlv) {
    std::filesystem::create_directory(folder_ + "folder.flv");
    struct Case {
        const char* what;
        std::string path;
        bool plays;
    };
    const Case cases[] = {
        {"missing", folder_ + "missing.flv", false},
        {"empty", file("empty.flv", ""), false},
        {"FLX", file("flx.flv", "FLX" + kFlvBytes.substr(3)), false},
        {"only FL", file("fl.flv", "FL"), false},
        {"lower case", file("lower.flv", "flv" + kFlvBytes.substr(3)), false},
        {"a folder", folder_ + "folder.flv", false},
        {"FLV", flv("real.flv"), true},
        {"FLV header alone, 13 bytes: unplayable", file("header.flv", kFlvBytes.substr(0, 13)), false},
        {"FLV of 14 bytes", file("fourteen.flv", kFlvBytes.substr(0, 14)), true},
    };
    for (const Case& c : cases) {
        view_->addFiles({c.path});
        const int row = view_->rowCount() - 1;
        ui_.texts.clear();
        played_.clear();
        EXPECT_EQ(view_->playRow(row), c.plays) << c.what;
        if (c.plays) {
            EXPECT_TRUE(ui_.texts.empty()) << c.what;
            EXPECT_EQ(played_, std::vector<std::string>{c.path}) << c.what;
            EXPECT_EQ(view_->playingRow(), row) << c.what;
        } else {
            EXPECT_EQ(ui_.texts, std::vector<std::string>{"The file is not flv file, failed to play."}) << c.what;
            EXPECT_TRUE(played_.empty()) << c.what;
            EXPECT_NE(view_->entry(row).icon, kPlaylistIconPlaying) << c.what;
        }
    }
}

TEST_F(PlaylistViewTest, AnEntryMarkedUnplayableIsNotPlayedEvenWhenItsFileIsFlvNow) {
    // Listed when it was empty; the file has been written since.
    const std::string path = flv("grown.flv");
    loadList({{path, 0}});
    ASSERT_NE(view_->entry(0).unplayable, 0);
    EXPECT_FALSE(view_->playRow(0));
    EXPECT_TRUE(played_.empty());
    EXPECT_EQ(ui_.texts.size(), 1u);
}

TEST_F(PlaylistViewTest, ThePlayingMarkMovesToTheEntryPlayedLast) {
    const std::string a = flv("a.flv"), b = flv("b.flv");
    loadList({{a, 29}, {folder_ + "missing.flv", 29}, {b, 29}});
    const int P = kPlaylistIconPlayable, N = kPlaylistIconPlaying;
    struct Step {
        int row;
        bool plays;
        std::vector<int> icons;
    };
    const Step steps[] = {
        {0, true, {N, P, P}},
        {2, true, {P, P, N}},
        {1, false, {P, P, N}},  // a failed play leaves the mark where it was
        {2, true, {P, P, N}},   // again: still one mark
        {0, true, {N, P, P}},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(view_->playRow(s.row), s.plays) << s.row;
        EXPECT_EQ(icons(), s.icons) << "after playing " << s.row;
    }
    view_->clearPlayingMark();
    EXPECT_EQ(icons(), (std::vector<int>{P, P, P}));
    EXPECT_EQ(view_->playingRow(), -1);
    // The mark is not kept in the file.
    view_->playRow(2);
    view_->save();
    for (const PlaylistEntry& e : readPlaylistFile(listFile_)) EXPECT_NE(e.icon, N);
}

TEST_F(PlaylistViewTest, RowsDrawTheIconOfTheirState) {
    const auto solid = [](Qt::GlobalColor colour) {
        QImage image(24, 24, QImage::Format_ARGB32);
        image.fill(colour);
        return QIcon(QPixmap::fromImage(image));
    };
    view_->setIcons(solid(Qt::red), solid(Qt::green), solid(Qt::blue));
    loadList({{flv("a.flv"), 29}, {"/gone/empty.flv", 0}});
    view_->resize(RecordingList::kGeometry.size());
    view_->show();
    // The pure colour found in the left part of a row.
    const auto iconColour = [&](int row) {
        const QImage shot = view_->control().viewport()->grab().toImage();
        int top = 0;
        for (int r = 0; r < row; ++r) top += view_->control().rowHeight(r);
        for (int y = top; y < top + view_->control().rowHeight(row) && y < shot.height(); ++y)
            for (int x = 0; x < 40; ++x) {
                const QColor c = shot.pixelColor(x, y);
                if (c == Qt::red || c == Qt::green || c == Qt::blue) return c;
            }
        return QColor();
    };
    EXPECT_EQ(iconColour(0), QColor(Qt::red));
    EXPECT_EQ(iconColour(1), QColor(Qt::green));
    ASSERT_TRUE(view_->playRow(0));
    EXPECT_EQ(iconColour(0), QColor(Qt::blue));
}

TEST_F(PlaylistViewTest, DeletingThePlayingEntryLeavesNothingPlaying) {
    const std::string a = flv("a.flv"), b = flv("b.flv"), c = flv("c.flv");
    loadList({{a, 29}, {b, 29}, {c, 29}});
    ASSERT_TRUE(view_->playRow(2));
    // Deleting a row before it: the mark moves up with its entry.
    view_->control().setCurrentRow(0);
    prompts_.answers = {platform::Answer::Yes};
    ASSERT_TRUE(view_->deleteSelected());
    EXPECT_EQ(view_->playingRow(), 1);
    EXPECT_EQ(view_->entry(1).path, c);

    view_->control().setCurrentRow(1);
    prompts_.answers = {platform::Answer::Yes};
    ASSERT_TRUE(view_->deleteSelected());
    EXPECT_EQ(view_->playingRow(), -1);
    EXPECT_EQ(icons(), (std::vector<int>{kPlaylistIconPlayable}));
    // The next play marks only its own entry.
    ASSERT_TRUE(view_->playRow(0));
    EXPECT_EQ(icons(), (std::vector<int>{kPlaylistIconPlaying}));
}

TEST_F(PlaylistViewTest, AddedRecordingsAreSelectedScrolledToAndSaved) {
    std::vector<std::pair<std::string, std::uint32_t>> many;
    for (int i = 0; i < 30; ++i) many.emplace_back("/list/" + std::to_string(i) + ".flv", 1000);
    loadList(many);
    view_->resize(RecordingList::kGeometry.size());
    view_->show();
    view_->control().setCurrentRow(3);
    view_->control().setSelected(5, true);
    ASSERT_EQ(view_->control().verticalScrollBar()->value(), 0);

    const std::string done = flv("done.flv");
    view_->onAddToPlaylist(QString::fromUtf8(done.c_str()), kPlaylistStatusPlayable);
    const int row = view_->rowCount() - 1;
    EXPECT_EQ(row, 30);
    EXPECT_EQ(view_->entry(row).path, done);
    EXPECT_EQ(view_->entry(row).size, kFlvBytes.size());
    EXPECT_EQ(view_->entry(row).icon, kPlaylistIconPlayable);
    EXPECT_EQ(view_->control().selectedRows(), std::vector<int>{row});
    EXPECT_EQ(view_->control().currentRow(), row);
    // Scrolled so the new row is in view: it is the one at the bottom.
    QWidget* viewport = view_->control().viewport();
    EXPECT_GT(view_->control().verticalScrollBar()->value(), 0);
    EXPECT_EQ(view_->control().rowAt(QPoint(10, viewport->height() - 2)), row);
    ASSERT_EQ(pathsOnDisk().size(), 31u);
    EXPECT_EQ(pathsOnDisk().back(), done);
}

TEST_F(PlaylistViewTest, AddedRecordingsTakeTheirIconFromTheStatusAndTheFileSize) {
    struct Case {
        const char* what;
        std::string bytes;
        int status;
        int icon;
    };
    const Case cases[] = {
        {"stored enough", kFlvBytes, kPlaylistStatusPlayable, kPlaylistIconPlayable},
        {"stored too little", kFlvBytes, kPlaylistStatusEmpty, kPlaylistIconDamaged},
        {"file of 13 bytes", kFlvBytes.substr(0, 13), kPlaylistStatusPlayable, kPlaylistIconDamaged},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string path = file("rec" + std::to_string(n++) + ".flv", c.bytes);
        const int row = view_->addRecording(path, c.status);
        ASSERT_GE(row, 0) << c.what;
        EXPECT_EQ(view_->entry(row).icon, c.icon) << c.what;
        // Read back, the file says the same.
        EXPECT_EQ(readPlaylistFile(listFile_).at(static_cast<std::size_t>(row)).icon, c.icon) << c.what;
    }
    // A path too long to keep is not added, and the file stays as it was.
    const std::string before = test::readFile(listFile_);
    EXPECT_EQ(view_->addRecording("/" + std::string(kMaxPlaylistPathBytes, 'x'), kPlaylistStatusPlayable), -1);
    EXPECT_EQ(view_->rowCount(), 3);
    EXPECT_EQ(test::readFile(listFile_), before);
}

TEST_F(PlaylistViewTest, AddedFilesTakeTheirSizeAndTheTimeNow) {
    const std::string big = file("big.flv", std::string(5000, 'x'));
    const std::string empty = file("empty.flv", "");
    const std::string missing = folder_ + "missing.flv";
    const std::string overlong = "/" + std::string(kMaxPlaylistPathBytes, 'y');
    prompts_.files = {big, empty, overlong, missing};
    const auto start = static_cast<std::uint32_t>(std::time(nullptr));
    view_->runCommand(PlaylistView::kAddFiles, -1);
    const auto end = static_cast<std::uint32_t>(std::time(nullptr));
    EXPECT_EQ(prompts_.dialogs, 1);
    ASSERT_EQ(pathsInView(), (std::vector<std::string>{big, empty, missing}));
    const std::uint32_t sizes[] = {5000, 0, 0};
    const int iconsWanted[] = {kPlaylistIconPlayable, kPlaylistIconDamaged, kPlaylistIconDamaged};
    for (int row = 0; row < 3; ++row) {
        const PlaylistEntry& e = view_->entry(row);
        EXPECT_EQ(e.size, sizes[row]) << row;
        EXPECT_EQ(e.icon, iconsWanted[row]) << row;
        EXPECT_GE(e.added, start) << row;
        EXPECT_LE(e.added, end) << row;
    }
    EXPECT_EQ(readPlaylistFile(listFile_), (std::vector<PlaylistEntry>{view_->entry(0), view_->entry(1), view_->entry(2)}));

    // A cancelled dialog adds nothing and writes nothing.
    const std::string before = test::readFile(listFile_);
    prompts_.files.clear();
    view_->runCommand(PlaylistView::kAddFiles, -1);
    EXPECT_EQ(view_->rowCount(), 3);
    EXPECT_EQ(test::readFile(listFile_), before);
}

TEST_F(PlaylistViewTest, ChangesWithoutAWritableFileStayInTheListAndSaveSaysSo) {
    listFile_ = folder_ + "no-such-folder/playlist.dat";
    view_->load(listFile_);
    EXPECT_EQ(view_->rowCount(), 0);
    EXPECT_EQ(view_->addFiles({flv("a.flv")}), 1);
    EXPECT_EQ(view_->rowCount(), 1);
    EXPECT_FALSE(view_->save());
    EXPECT_TRUE(ui_.texts.empty());  // swallowed
    listFile_ = folder_ + "playlist.dat";
    view_->load(listFile_);
    EXPECT_TRUE(view_->save());
}

TEST_F(PlaylistViewTest, ContextMenuGreysTheEntryCommandsBesideTheRows) {
    loadList({{"/0.flv", 100}});
    const std::vector<std::pair<QString, int>> expected = {
        {"Play File", PlaylistView::kPlayFile},       {"Open Folder", PlaylistView::kOpenFolder},
        {"Add Files", PlaylistView::kAddFiles},       {"Delete Files", PlaylistView::kDeleteFiles},
        {"Clean All", PlaylistView::kCleanAll},
    };
    struct Case {
        int row;
        std::vector<bool> enabled;
    };
    const Case cases[] = {
        {0, {true, true, true, true, true}},
        {-1, {false, false, true, false, true}},
        {1, {false, false, true, false, true}},  // beyond the last row
    };
    for (const Case& c : cases) {
        const auto menu = view_->makeContextMenu(c.row);
        const QList<QAction*> actions = menu->actions();
        ASSERT_EQ(actions.size(), 5);
        for (qsizetype i = 0; i < actions.size(); ++i) {
            const auto at = static_cast<std::size_t>(i);
            EXPECT_EQ(actions[i]->text(), expected[at].first);
            EXPECT_EQ(actions[i]->data().toInt(), expected[at].second);
            EXPECT_EQ(actions[i]->isEnabled(), c.enabled[at]) << c.row << " " << expected[at].first.toStdString();
        }
    }
}

TEST_F(PlaylistViewTest, OpenFolderOpensTheFolderPartOfThePath) {
    loadList({{"/home/user/Kestrel/clip.flv", 100}, {"/top.flv", 100}, {"bare.flv", 100}, {"/a/b/", 100}});
    const std::vector<std::vector<std::string>> opened = {
        {"/home/user/Kestrel/"}, {"/home/user/Kestrel/", "/"}, {"/home/user/Kestrel/", "/"},
        {"/home/user/Kestrel/", "/", "/a/b/"}};
    for (int row = 0; row < 4; ++row) {
        view_->runCommand(PlaylistView::kOpenFolder, row);
        EXPECT_EQ(shell_.opened, opened[static_cast<std::size_t>(row)]) << row;
    }
    view_->runCommand(PlaylistView::kOpenFolder, -1);
    view_->runCommand(PlaylistView::kOpenFolder, 4);
    EXPECT_EQ(shell_.opened.size(), 3u);
    EXPECT_TRUE(shell_.shown.empty());
}

TEST_F(PlaylistViewTest, PlayFileFromTheMenuAndDoubleClickPlayTheirRow) {
    const std::string a = flv("a.flv"), b = flv("b.flv");
    loadList({{a, 29}, {b, 29}});
    view_->runCommand(PlaylistView::kPlayFile, 1);
    EXPECT_EQ(played_, std::vector<std::string>{b});

    view_->resize(RecordingList::kGeometry.size());
    view_->show();
    QWidget* viewport = view_->control().viewport();
    const QPoint inFirstRow(30, view_->control().rowHeight(0) / 2);
    ASSERT_EQ(view_->control().rowAt(inFirstRow), 0);
    QMouseEvent click(QEvent::MouseButtonDblClick, inFirstRow, viewport->mapToGlobal(inFirstRow), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &click);
    EXPECT_EQ(played_, (std::vector<std::string>{b, a}));
    EXPECT_EQ(view_->playingRow(), 0);
}

TEST_F(PlaylistViewTest, RightClickOutsideTheSelectionDeletesThatRowFromTheMenu) {
    loadList({{"/0.flv", 100}, {"/1.flv", 100}, {"/2.flv", 100}});
    view_->control().setCurrentRow(0);
    view_->show();
    QString chosen;
    auto* timer = new QTimer(view_.get());
    timer->setInterval(10);
    int tries = 0;
    QObject::connect(timer, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu && ++tries < 200) return;
        timer->stop();
        if (!menu) return;
        for (QAction* action : menu->actions())
            if (action->text() == "Delete Files") menu->setActiveAction(action);
        chosen = menu->activeAction() ? menu->activeAction()->text() : QString();
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(menu, &enter);
    });
    timer->start();
    prompts_.answers = {platform::Answer::Yes};
    Q_EMIT view_->control().contextMenuRequested(2, view_->mapToGlobal(QPoint(100, 60)));
    EXPECT_EQ(chosen, "Delete Files");
    EXPECT_EQ(pathsInView(), (std::vector<std::string>{"/0.flv", "/1.flv"}));
    EXPECT_EQ(pathsOnDisk(), pathsInView());
}


TEST(DesktopPlaylistPrompts, QuestionsShowTheCaptionAnExclamationAndYesNo) {
    DesktopPlaylistPrompts prompts;
    for (const bool yes : {true, false}) {
        bool found = false;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        test::answerNextDialog<QMessageBox>(
            [&](QMessageBox& box) {
                title = box.windowTitle();
                text = box.text();
                icon = box.icon();
                buttons = box.standardButtons();
                box.button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
            },
            found);
        const platform::Answer answer = prompts.ask(kPlaylistCaption, kTextDeleteEntries);
        ASSERT_TRUE(found);
        EXPECT_EQ(answer, yes ? platform::Answer::Yes : platform::Answer::No);
        EXPECT_EQ(title, "Playlist");
        EXPECT_EQ(text, "Delete these?");
        EXPECT_EQ(icon, QMessageBox::Warning);
        EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
    }
}

TEST(DesktopPlaylistPrompts, TheFileDialogTakesSeveralFlvFilesFirst) {
    DesktopPlaylistPrompts prompts;
    bool found = false;
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    test::answerNextDialog<QFileDialog>(
        [&](QFileDialog& dialog) {
            filters = dialog.nameFilters();
            mode = dialog.fileMode();
            dialog.reject();
        },
        found);
    const std::vector<std::string> chosen = prompts.chooseFiles(nullptr);
    ASSERT_TRUE(found);
    EXPECT_TRUE(chosen.empty());
    EXPECT_EQ(filters, (QStringList{"Flash Video(*.flv)", "All Files(*.*)"}));
    EXPECT_EQ(mode, QFileDialog::ExistingFiles);
}

// Not a check: a picture of the playlist for a person to look at
// (KESTREL_PREVIEW=path).
TEST_F(PlaylistViewTest, Preview) {
    const char* out = std::getenv("KESTREL_PREVIEW");
    if (!out) GTEST_SKIP() << "set KESTREL_PREVIEW to a PNG path";
    const std::string a = flv("Big_Buck_Bunny_trailer.flv");
    loadList({{a, 1536000},
              {"/home/user/Kestrel/lecture-part-1.flv", 52428800},
              {"/home/user/Vid\xC3\xA9os/\xE6\x98\xA0\xE7\x94\xBB-\xC3\xA9t\xC3\xA9-2024-final-version.flv", 3000000000u},
              {"/tmp/empty.flv", 0},
              {"/short.flv", 900}});
    view_->resize(RecordingList::kGeometry.size());
    view_->show();
    view_->playRow(0);
    view_->control().setCurrentRow(1);
    ASSERT_TRUE(view_->grab().save(QString::fromUtf8(out)));
}

}  // namespace
