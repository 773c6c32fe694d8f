// The recording list over a real engine and the real markup list control,
// on the offscreen platform. The main window is a message sink that hands
// the list's messages back to it, as the program's window does.

#include "kestrel/shell/recording_list.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/engine/engine.h"
#include "kestrel/engine/messages.h"
#include "kestrel/files/post_processor.h"
#include "kestrel/shell/markup_list.h"
#include "kestrel/shell/properties_dialog.h"
#include "kestrel/shell/recording_messages.h"
#include "kestrel/shell/rename_dialog.h"
#include "platform/message.h"
#include "platform/shell.h"
#include "platform/write_behind.h"
#include "tests/shell/answer_dialog.h"
#include "tests/support/recording_ui.h"
#include "tests/support/test_files.h"

using namespace kestrel;
using namespace kestrel::shell;
using engine::ItemState;

#ifdef KESTREL_TEST_WITH_SKINS
// The skin's pictures live in a static library: registered on demand.
static bool loadSkins() {
    Q_INIT_RESOURCE(skins);
    return true;
}
#endif

namespace {

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

class CountingLauncher : public engine::PostProcessingLauncher {
public:
    void launch(engine::ProcessingMode) override { ++launches; }
    int launches = 0;
};


class RecordingListTest : public ::testing::Test {
protected:
    void SetUp() override {
        save_ = test::tempFolder("kestrel-recording-list");
        window_ = std::make_unique<platform::MessageSink>([this](std::uint32_t m, platform::WParam w,
                                                                 platform::LParam l) {
            sent_.emplace_back(m, static_cast<int>(w));
            if (forward_ && list_) list_->handleMessage(m, w, l);
            return platform::MessageResult{0};
        });
        engine_ = std::make_unique<engine::Engine>(ui_, *window_, engine::OspreyModule{});
        engine_->globals().saveFolder = save_;
        engine_->setPostProcessingLauncher(&launcher_);
        list_ = std::make_unique<RecordingList>(*engine_);
        QObject::connect(list_.get(), &RecordingList::playFile, [this](const QString& p) { played_.push_back(p); });
        QObject::connect(list_.get(), &RecordingList::addToPlaylist,
                         [this](const QString& p, int status) { playlist_.emplace_back(p, status); });
        platform::setShell(&shell_);
    }
    void TearDown() override {
        platform::setShell(nullptr);
        list_.reset();
        engine_.reset();
        std::filesystem::remove_all(save_);
    }

    // A record item in the given state, with a row.
    int addItem(ItemState state, std::string_view title = {}, std::int64_t stored = 4096,
                std::int64_t expected = 8192) {
        engine::NewItem init;
        init.title = title;
        init.extension = ".FLV";
        init.url = "http://media.example.net/clip.flv";
        const int index = engine_->items().create(init, ItemState::Recording);
        engine::RecordItem& it = item(index);
        it.storedBytes = stored;
        it.expectedSize = expected;
        if (state == ItemState::Done || state == ItemState::Failed) it.outputFolder.assign(save_);
        it.state = state;
        list_->addEngineRow(index);
        return index;
    }
    engine::RecordItem& item(int index) { return *engine_->items().at(index); }
    std::string pathOf(int index) { return save_ + displayedName(item(index)); }
    // Messages the window got, from the given one on.
    std::vector<std::pair<std::uint32_t, int>> sentSince(std::size_t from) const {
        return {sent_.begin() + static_cast<std::ptrdiff_t>(from), sent_.end()};
    }

    std::string save_;
    test::RecordingUi ui_;
    CountingLauncher launcher_;
    RecordingShell shell_;
    std::unique_ptr<platform::MessageSink> window_;
    std::unique_ptr<engine::Engine> engine_;
    std::unique_ptr<RecordingList> list_;
    bool forward_ = true;
    std::vector<std::pair<std::uint32_t, int>> sent_;
    std::vector<QString> played_;
    std::vector<std::pair<QString, int>> playlist_;
};

TEST_F(RecordingListTest, SitsWhereTheMainWindowPutsIt) {
    EXPECT_EQ(list_->geometry(), QRect(22, 32, 301, 348));
}

TEST_F(RecordingListTest, EngineRowsStartWithTheNewTextAndRefreshWithFigures) {
    const int a = addItem(ItemState::Recording, "clip.flv", 1536, 3072);
    ASSERT_EQ(list_->rowCount(), 1);
    EXPECT_EQ(list_->control().rowText(0), newRecordingRowText(item(a)));
    EXPECT_EQ(list_->entryAt(0).kind, RecordingList::RowKind::Recording);
    EXPECT_EQ(list_->entryAt(0).itemIndex, a);
    EXPECT_EQ(list_->findEngineRow(a), 0);
    list_->refreshEngineRow(a);
    EXPECT_EQ(list_->control().rowText(0),
              "<b>File: </b>clip.flv<br>\t\t\t\t\t<b>Received: </b>1.50 K (50.00%)  <b>Total: </b>3.00 K");
    EXPECT_EQ(list_->findEngineRow(a + 1), -1);
    EXPECT_EQ(list_->addEngineRow(999), -1);  // no such item: no row
    EXPECT_EQ(list_->rowCount(), 1);
}

TEST_F(RecordingListTest, RefreshAllTouchesOnlyUnfinishedRecordingsNeverLibraryRows) {
    struct Case {
        ItemState state;
        bool refreshed;
    };
    const Case cases[] = {
        {ItemState::Recording, true}, {ItemState::CaptureEnded, true}, {ItemState::Processing, true},
        {ItemState::Done, false},     {ItemState::Failed, false},
    };
    std::vector<int> indexes;
    for (const auto& c : cases) indexes.push_back(addItem(c.state, {}, 100, 1000));
    LibraryItem download;
    download.fileName = "/s/a.flv";
    download.bytes = 5000;
    const int libraryRow = list_->addLibraryRow(0xABC, download);
    const std::string libraryText = list_->control().rowText(libraryRow);
    std::vector<std::string> before;
    for (int row = 0; row < list_->rowCount(); ++row) before.push_back(list_->control().rowText(row));

    for (int index : indexes) item(index).storedBytes = 700;
    list_->refreshAll();

    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const int row = list_->findEngineRow(indexes[i]);
        const bool changed = list_->control().rowText(row) != before[static_cast<std::size_t>(row)];
        EXPECT_EQ(changed, cases[i].refreshed) << static_cast<int>(cases[i].state);
        if (cases[i].refreshed) {
            EXPECT_EQ(list_->control().rowText(row), recordingRowText(item(indexes[i])));
            EXPECT_NE(list_->control().rowText(row).find("<b>Received: </b>700 ("), std::string::npos);
        }
    }
    EXPECT_EQ(list_->control().rowText(libraryRow), libraryText);
    ASSERT_NE(list_->libraryItem(0xABC), nullptr);
    EXPECT_EQ(list_->libraryItem(0xABC)->refreshCount, 1);  // made once, never again
    EXPECT_EQ(list_->entryAt(libraryRow).kind, RecordingList::RowKind::Library);
    EXPECT_EQ(list_->findLibraryRow(0xABC), libraryRow);
}

TEST_F(RecordingListTest, ContextMenuHasSixCommandsInOrderGreyedBesideTheRows) {
    addItem(ItemState::Done);
    const std::vector<std::pair<QString, int>> expected = {
        {"Stop the recording item(s)", 32784}, {"Delete", 32786},      {"Properties", 32798},
        {"Rename Local File", 32802},          {"Add to Playlist", 32799}, {"Open Containing Folder", 32800},
    };
    for (const auto& [row, enabled] : {std::pair{0, true}, std::pair{-1, false}, std::pair{1, false}}) {
        const auto menu = list_->makeContextMenu(row);
        const QList<QAction*> actions = menu->actions();
        ASSERT_EQ(actions.size(), 6) << row;
        for (qsizetype i = 0; i < actions.size(); ++i) {
            const auto at = static_cast<std::size_t>(i);
            EXPECT_EQ(actions[i]->text(), expected[at].first);
            EXPECT_EQ(actions[i]->data().toInt(), expected[at].second);
            EXPECT_EQ(actions[i]->isEnabled(), enabled) << row << " " << expected[at].first.toStdString();
        }
    }
}

TEST_F(RecordingListTest, RightClickOutsideTheSelectionSelectsThatRowAndRunsTheChosenCommand) {
    addItem(ItemState::Done);
    const int second = addItem(ItemState::Done);
    list_->control().setCurrentRow(0);
    list_->show();
    // Choose "Delete" in the menu as a person would: move to it, press Enter.
    QString chosen;
    auto* timer = new QTimer(list_.get());
    timer->setInterval(10);
    int tries = 0;
    QObject::connect(timer, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu && ++tries < 200) return;
        timer->stop();
        if (!menu) return;
        for (QAction* action : menu->actions())
            if (action->text() == "Delete") menu->setActiveAction(action);
        chosen = menu->activeAction() ? menu->activeAction()->text() : QString();
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(menu, &enter);
    });
    timer->start();
    Q_EMIT list_->control().contextMenuRequested(1, list_->mapToGlobal(QPoint(100, 60)));
    EXPECT_EQ(chosen, "Delete");
    // Only the clicked row was deleted, not the one selected before.
    ASSERT_EQ(list_->rowCount(), 1);
    EXPECT_EQ(item(second).state.load(), ItemState::Removed);
    EXPECT_NE(list_->entryAt(0).itemIndex, second);
}

TEST_F(RecordingListTest, CommandsSendTheirMessagesForTheRightRowsInTheRightOrder) {
    forward_ = false;  // record only: no dialog opens
    for (int i = 0; i < 4; ++i) addItem(ItemState::Done);
    list_->control().setCurrentRow(0);
    list_->control().setSelected(2, true);
    list_->control().setSelected(3, true);
    const std::vector<int> selected = list_->control().selectedRows();
    ASSERT_EQ(selected, (std::vector<int>{0, 2, 3}));
    const int current = list_->control().currentRow();

    using Sent = std::vector<std::pair<std::uint32_t, int>>;
    struct Case {
        int id;
        Sent sent;
    };
    const Case cases[] = {
        {ID_STOP_RECORDING_ITEMS, {{0x801E, 0}, {0x801E, 2}, {0x801E, 3}}},
        {ID_DELETE_ITEMS, {{0x801F, 3}, {0x801F, 2}, {0x801F, 0}}},
        {ID_ITEM_PROPERTIES, {{0x8051, current}}},
        {ID_RENAME_LOCAL_FILE, {{0x8056, current}}},
        {ID_ADD_TO_PLAYLIST, {{0x8052, 0}, {0x8052, 2}, {0x8052, 3}}},
        {ID_OPEN_CONTAINING_FOLDER, {{0x8053, current}}},
    };
    for (const auto& c : cases) {
        const std::size_t from = sent_.size();
        list_->runCommand(c.id);
        EXPECT_EQ(sentSince(from), c.sent) << c.id;
    }
}

TEST_F(RecordingListTest, StopOnSeveralRowsStopsEachEvenWhenRowsWithoutEntryGo) {
    list_->control().addRow("empty", 0);
    const int a = addItem(ItemState::Recording);
    list_->control().addRow("empty", 0);
    const int b = addItem(ItemState::Recording);
    list_->control().selectAll();
    list_->runCommand(ID_STOP_RECORDING_ITEMS);
    EXPECT_EQ(list_->rowCount(), 2);
    EXPECT_EQ(item(a).state.load(), ItemState::CaptureEnded);
    EXPECT_EQ(item(b).state.load(), ItemState::CaptureEnded);
    EXPECT_EQ(list_->entryAt(0).itemIndex, a);
    EXPECT_EQ(list_->entryAt(1).itemIndex, b);
}

TEST_F(RecordingListTest, StopEndsTheCaptureOfARecordingItemOnly) {
    struct Case {
        ItemState state;
        ItemState after;
        bool launches;
    };
    const Case cases[] = {
        {ItemState::Recording, ItemState::CaptureEnded, true},
        {ItemState::CaptureEnded, ItemState::CaptureEnded, false},
        {ItemState::Processing, ItemState::Processing, false},
        {ItemState::Done, ItemState::Done, false},  // never processed again
        {ItemState::Failed, ItemState::Failed, false},
    };
    for (const auto& c : cases) {
        const int index = addItem(c.state, {}, 500, 1000);
        const int row = list_->findEngineRow(index);
        const int launchesBefore = launcher_.launches;
        engine_->postProcessingBusy().store(0);
        EXPECT_TRUE(list_->handleMessage(WM_STOP_ITEM, static_cast<platform::WParam>(row), 0));
        EXPECT_EQ(item(index).state.load(), c.after) << static_cast<int>(c.state);
        EXPECT_EQ(launcher_.launches > launchesBefore, c.launches) << static_cast<int>(c.state);
        EXPECT_EQ(list_->findEngineRow(index), row);  // a recording's row stays
        if (c.launches) {
            EXPECT_EQ(list_->control().rowText(row), recordingRowText(item(index)));
        }
    }
}

TEST_F(RecordingListTest, DeleteRemovesOnlyFinishedOrFailedRecordings) {
    struct Case {
        ItemState state;
        bool removed;
    };
    const Case cases[] = {
        {ItemState::Recording, false}, {ItemState::CaptureEnded, false}, {ItemState::Processing, false},
        {ItemState::Done, true},       {ItemState::Failed, true},
    };
    for (const auto& c : cases) {
        const int index = addItem(c.state);
        const int rowsBefore = list_->rowCount();
        list_->control().setCurrentRow(list_->findEngineRow(index));
        list_->runCommand(ID_DELETE_ITEMS);
        EXPECT_EQ(list_->findEngineRow(index) < 0, c.removed) << static_cast<int>(c.state);
        EXPECT_EQ(list_->rowCount(), rowsBefore - (c.removed ? 1 : 0));
        EXPECT_EQ(item(index).state.load(), c.removed ? ItemState::Removed : c.state);
    }
    EXPECT_EQ(engine_->items().count(), 5);  // removing never frees a slot
}

TEST_F(RecordingListTest, PlayChecksStateAndFile) {
    struct Case {
        const char* what;
        ItemState state;
        bool makeFile;
        std::string bytes;
        const char* message;  // nullptr: none
        bool plays;
    };
    const Case cases[] = {
        {"recording", ItemState::Recording, true, "FLV\x01", kTextCannotPlay, false},
        {"waiting", ItemState::CaptureEnded, true, "FLV\x01", kTextCannotPlay, false},
        {"processing", ItemState::Processing, true, "FLV\x01", kTextCannotPlay, false},
        {"missing", ItemState::Done, false, "", kTextNotFlv, false},
        {"empty", ItemState::Done, true, "", kTextNotFlv, false},
        {"short", ItemState::Done, true, "FL", kTextNotFlv, false},
        {"not flv", ItemState::Done, true, "ID3\x03", kTextNotFlv, false},
        {"lower case", ItemState::Done, true, "flv\x01", kTextNotFlv, false},
        {"flv", ItemState::Done, true, std::string("FLV\x01\x05\0\0\0\x09", 9), nullptr, true},
        {"failed", ItemState::Failed, true, "FLV\x01", nullptr, false},
    };
    for (const auto& c : cases) {
        const int index = addItem(c.state, std::string(c.what) + ".flv");
        item(index).outputFolder.assign(save_);
        if (c.makeFile) test::writeFile(pathOf(index), c.bytes);
        ui_.messages.clear();
        played_.clear();
        Q_EMIT list_->control().rowDoubleClicked(list_->findEngineRow(index));
        EXPECT_EQ(ui_.messages, c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{}) << c.what;
        ASSERT_EQ(played_.size(), c.plays ? 1u : 0u) << c.what;
        if (c.plays) {
            EXPECT_EQ(played_[0].toStdString(), pathOf(index));
        }
    }
}

TEST_F(RecordingListTest, PlayRefusesAFolderOfTheRecordingsName) {
    const int index = addItem(ItemState::Done, "folder.flv");
    std::filesystem::create_directory(pathOf(index));
    list_->playRow(list_->findEngineRow(index));
    EXPECT_EQ(ui_.messages, std::vector<std::string>{kTextNotFlv});
    EXPECT_TRUE(played_.empty());
}

TEST_F(RecordingListTest, AddToPlaylistOnlyForFinishedRecordingsWithTheirStatus) {
    struct Case {
        ItemState state;
        std::int64_t stored;
        int status;  // 0: not added
    };
    const Case cases[] = {
        {ItemState::Done, 13, 3}, {ItemState::Done, 14, 2}, {ItemState::Done, 3000000000LL, 2},
        {ItemState::Recording, 5000, 0}, {ItemState::Failed, 5000, 0}, {ItemState::Processing, 5000, 0},
    };
    for (const auto& c : cases) {
        const int index = addItem(c.state, {}, c.stored, 0);
        playlist_.clear();
        list_->control().setCurrentRow(list_->findEngineRow(index));
        list_->runCommand(ID_ADD_TO_PLAYLIST);
        if (c.status == 0) {
            EXPECT_TRUE(playlist_.empty()) << static_cast<int>(c.state);
            continue;
        }
        ASSERT_EQ(playlist_.size(), 1u);
        EXPECT_EQ(playlist_[0].first.toStdString(), pathOf(index));
        EXPECT_EQ(playlist_[0].second, c.status) << c.stored;
    }
}

TEST_F(RecordingListTest, OpenContainingFolderSelectsAFinishedFileElseOpensTheSaveFolder) {
    const int done = addItem(ItemState::Done, "clip.flv");
    const int recording = addItem(ItemState::Recording);
    LibraryItem download;
    list_->addLibraryRow(1, download);

    list_->control().setCurrentRow(list_->findEngineRow(done));
    list_->runCommand(ID_OPEN_CONTAINING_FOLDER);
    EXPECT_EQ(shell_.shown, std::vector<std::string>{save_ + "clip.flv"});
    EXPECT_TRUE(shell_.opened.empty());

    list_->control().setCurrentRow(list_->findEngineRow(recording));
    list_->runCommand(ID_OPEN_CONTAINING_FOLDER);
    list_->control().setCurrentRow(list_->findLibraryRow(1));
    list_->runCommand(ID_OPEN_CONTAINING_FOLDER);
    EXPECT_EQ(shell_.opened, (std::vector<std::string>{save_, save_}));
    EXPECT_EQ(shell_.shown.size(), 1u);
}

TEST_F(RecordingListTest, PropertiesShowPathSizeAndUrl) {
    const int index = addItem(ItemState::Done, "clip.flv", 100, 3000000000LL);
    const auto dialog = list_->makePropertiesDialog(list_->findEngineRow(index));
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->fileText().toStdString(), save_ + "clip.flv");
    EXPECT_EQ(dialog->sizeText(), "3000000000");
    EXPECT_EQ(dialog->urlText(), "http://media.example.net/clip.flv");
    LibraryItem download;
    EXPECT_EQ(list_->makePropertiesDialog(list_->addLibraryRow(7, download)), nullptr);
    // Still recording: no folder of its own yet, its file is going to the save folder.
    const int recording = addItem(ItemState::Recording, {}, 100, 0);
    const auto another = list_->makePropertiesDialog(list_->findEngineRow(recording));
    ASSERT_NE(another, nullptr);
    EXPECT_EQ(another->fileText().toStdString(), save_ + item(recording).outputName.str());
    EXPECT_EQ(another->sizeText(), "0");
}

TEST_F(RecordingListTest, PropertiesCommandOpensTheDialogForTheCurrentRow) {
    addItem(ItemState::Done, "first.flv");
    const int second = addItem(ItemState::Done, "second.flv");
    list_->control().setCurrentRow(list_->findEngineRow(second));
    QString shownFile;
    bool answered = false;
    test::answerNextDialog<PropertiesDialog>(
        [&](PropertiesDialog& d) {
            shownFile = d.fileText();
            d.accept();
        },
        answered);
    list_->runCommand(ID_ITEM_PROPERTIES);
    EXPECT_TRUE(answered);
    EXPECT_EQ(shownFile.toStdString(), save_ + "second.flv");
}

TEST_F(RecordingListTest, RenameKeepsTheLast30CharactersAndMovesAFinishedFile) {
    const int index = addItem(ItemState::Done, "clip.flv");
    test::writeFile(pathOf(index), "FLV-content");
    const std::string forty = "0123456789abcdefghijABCDEFGHIJ0123456789";
    const std::size_t sentBefore = sent_.size();
    ASSERT_TRUE(list_->renameItem(index, forty));
    const std::string kept = forty.substr(10);
    EXPECT_EQ(item(index).title.str(), kept);
    EXPECT_EQ(item(index).titleLength, 30);
    EXPECT_FALSE(std::filesystem::exists(save_ + "clip.flv"));
    EXPECT_EQ(test::readFile(save_ + kept), "FLV-content");
    EXPECT_TRUE(ui_.messages.empty());
    // The window was told, and the row shows the new name.
    EXPECT_EQ(sentSince(sentBefore), (std::vector<std::pair<std::uint32_t, int>>{{0x8055, index}}));
    EXPECT_NE(list_->control().rowText(list_->findEngineRow(index)).find(kept), std::string::npos);
}

TEST_F(RecordingListTest, RenameOfAnUnfinishedRecordingChangesOnlyItsName) {
    const int index = addItem(ItemState::Recording, "clip.flv");
    test::writeFile(save_ + "clip.flv", "someone else's");
    ASSERT_TRUE(list_->renameItem(index, "better.flv"));
    EXPECT_EQ(displayedName(item(index)), "better.flv");
    EXPECT_EQ(test::readFile(save_ + "clip.flv"), "someone else's");
    EXPECT_FALSE(std::filesystem::exists(save_ + "better.flv"));
}

TEST_F(RecordingListTest, RenameKeepsWholeCharactersThatFitTheTitle) {
    const int index = addItem(ItemState::Done, "clip.flv");
    test::writeFile(pathOf(index), "x");
    std::string name;
    for (int i = 0; i < 40; ++i) name += "\xC3\xA9";  // 80 bytes
    ASSERT_TRUE(list_->renameItem(index, name));
    const std::string kept = name.substr(0, 40);  // 20 characters: what the title holds
    EXPECT_EQ(item(index).title.str(), kept);
    EXPECT_EQ(item(index).titleLength, 40);
    EXPECT_EQ(test::readFile(save_ + kept), "x");
}

TEST_F(RecordingListTest, RenameRefusalsChangeNothing) {
    struct Case {
        const char* what;
        std::string newName;
        bool fileThere;
        bool targetThere;
    };
    const Case cases[] = {
        {"file gone", "new.flv", false, false},
        {"slash", "sub/new.flv", true, false},
        {"parent", "..", true, false},
        {"dot", ".", true, false},
        {"empty", "", true, false},
        {"escape", "../../etc/x.flv", true, false},
        {"existing target", "taken.flv", true, true},
    };
    for (const auto& c : cases) {
        const std::string title = std::string(c.what) + ".flv";
        const int index = addItem(ItemState::Done, title);
        if (c.fileThere) test::writeFile(pathOf(index), "mine");
        if (c.targetThere) test::writeFile(save_ + c.newName, "theirs");
        ui_.messages.clear();
        EXPECT_FALSE(list_->renameItem(index, c.newName)) << c.what;
        EXPECT_EQ(ui_.messages, std::vector<std::string>{kTextRenameFailed}) << c.what;
        EXPECT_EQ(displayedName(item(index)), title) << c.what;
        if (c.fileThere) {
            EXPECT_EQ(test::readFile(save_ + title), "mine") << c.what;
        }
        if (c.targetThere) {
            EXPECT_EQ(test::readFile(save_ + c.newName), "theirs") << c.what;
        }
        if (c.targetThere) std::filesystem::remove(save_ + c.newName);
    }
    // Refused for recordings that are not finished too: the name is where
    // their file is going to be written.
    const int recording = addItem(ItemState::Recording, "rec.flv");
    EXPECT_FALSE(list_->renameItem(recording, "a/b.flv"));
    EXPECT_EQ(displayedName(item(recording)), "rec.flv");
}

TEST_F(RecordingListTest, RenameOntoItsOwnNameSucceedsWithoutMoving) {
    const int index = addItem(ItemState::Done, "same.flv");
    test::writeFile(pathOf(index), "mine");
    EXPECT_TRUE(list_->renameItem(index, "same.flv"));
    EXPECT_EQ(test::readFile(save_ + "same.flv"), "mine");
    EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(RecordingListTest, RenameUsesTheFolderTheFileWasFinishedIn) {
    const int index = addItem(ItemState::Done, "clip.flv");
    test::writeFile(pathOf(index), "mine");
    engine_->globals().saveFolder = save_ + "elsewhere/";  // changed in the options since
    ASSERT_TRUE(list_->renameItem(index, "moved.flv"));
    EXPECT_EQ(test::readFile(save_ + "moved.flv"), "mine");
}

TEST_F(RecordingListTest, RenameCommandAppliesTheDialogsName) {
    const int index = addItem(ItemState::Done, "clip.flv");
    test::writeFile(pathOf(index), "mine");
    list_->control().setCurrentRow(list_->findEngineRow(index));
    std::string shownOld;
    bool answered = false;
    test::answerNextDialog<RenameDialog>(
        [&](RenameDialog& d) {
            shownOld = d.oldName();
            d.setNewName("from-dialog.flv");
            d.accept();
        },
        answered);
    list_->runCommand(ID_RENAME_LOCAL_FILE);
    EXPECT_TRUE(answered);
    EXPECT_EQ(shownOld, "clip.flv");
    EXPECT_EQ(displayedName(item(index)), "from-dialog.flv");
    EXPECT_EQ(test::readFile(save_ + "from-dialog.flv"), "mine");

    // Cancel changes nothing.
    answered = false;
    test::answerNextDialog<RenameDialog>(
        [](RenameDialog& d) {
            d.setNewName("never.flv");
            d.reject();
        },
        answered);
    list_->runCommand(ID_RENAME_LOCAL_FILE);
    EXPECT_TRUE(answered);
    EXPECT_EQ(displayedName(item(index)), "from-dialog.flv");
}

TEST_F(RecordingListTest, MessagesOutsideTheRowsDoNothing) {
    addItem(ItemState::Done);
    for (const std::uint32_t msg : {WM_STOP_ITEM, WM_REMOVE_ITEM, WM_SHOW_PROPERTIES, WM_RENAME_LOCAL_FILE,
                                    WM_ADD_ITEM_TO_PLAYLIST, WM_OPEN_CONTAINING_FOLDER}) {
        for (const platform::WParam row : {platform::WParam{1}, platform::WParam{~0ULL}}) {
            EXPECT_TRUE(list_->handleMessage(msg, row, 0));
        }
    }
    EXPECT_EQ(list_->rowCount(), 1);
    EXPECT_TRUE(playlist_.empty());
    EXPECT_TRUE(shell_.opened.empty());
    EXPECT_TRUE(shell_.shown.empty());
    EXPECT_FALSE(list_->handleMessage(0x8002, 0, 0));  // not the list's
}

// Finished recordings through the real post-processor: one whole, one
// with a hole in the middle, one whose capture data is gone.
TEST_F(RecordingListTest, RowsOfFinishedRecordingsSayWhenTheyAreNotWhole) {
    std::filesystem::create_directories(save_ + "Temp");
    files::PostProcessor post(*engine_);
    list_->setPostProcessor(&post);
    const std::string first = "FLV" + std::string(97, 'a');
    const std::string second(100, 'b');
    const auto waitingItem = [&](std::uint32_t secondSeq, const char* title) {
        const int index = addItem(ItemState::Recording, title, 200, 200);
        engine::RecordItem& it = item(index);
        it.contentLength = 200;
        const std::string data = save_ + "Temp/" + it.dataFileName.str();
        EXPECT_TRUE(it.files.openData(data, true));
        EXPECT_TRUE(it.files.openIndex(save_ + "Temp/" + it.indexFileName.str(), true));
        for (const auto& [seq, bytes] : {std::pair{1000u, first}, std::pair{secondSeq, second}})
            it.files.append(0, it.headerWritten, seq,
                            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        it.closeFiles();
        it.state = ItemState::CaptureEnded;
        return index;
    };
    const int whole = waitingItem(1100, "whole.flv");
    const int holed = waitingItem(1300, "holed.flv");
    const int lost = addItem(ItemState::CaptureEnded, "lost.flv", 5000, 5000);
    for (int index : {whole, holed, lost}) post.processItem(index, save_);
    platform::waitForBackgroundWrites();

    const auto rowOf = [&](int index) { return list_->control().rowText(list_->findEngineRow(index)); };
    ASSERT_EQ(item(whole).state.load(), ItemState::Done);
    ASSERT_EQ(item(holed).state.load(), ItemState::Done);
    ASSERT_EQ(item(lost).state.load(), ItemState::Failed);
    // Each row was refreshed by the messages the post-processor sent.
    EXPECT_EQ(rowOf(whole), recordingRowText(item(whole), RecordingOutcome::Complete));
    EXPECT_EQ(rowOf(whole).find("gaps"), std::string::npos);
    EXPECT_EQ(rowOf(holed), recordingRowText(item(holed), RecordingOutcome::Complete) +
                                " <font color=\"#ff7b6b\">gaps</font>");
    const std::string lostRow = rowOf(lost);
    const std::string designed =
        "<b>File: </b>lost.flv<br>\t\t\t\t\t<b>Received: </b>4.88 K (100.00%)  <b>Total: </b>4.88 K";
    EXPECT_EQ(lostRow.substr(0, designed.size()), designed);
    EXPECT_EQ(lostRow.substr(designed.size()),
              " <font color=\"#ff7b6b\">failed: " + item(lost).failure.str() + "</font>");
    EXPECT_NE(item(lost).failure.str().find("the capture data "), std::string::npos);
}

TEST_F(RecordingListTest, RowIconsFollowTheState) {
    QImage red(24, 24, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QImage green = red;
    green.fill(Qt::green);
    QImage blue = red;
    blue.fill(Qt::blue);
    list_->setStateIcons(QIcon(QPixmap::fromImage(red)), QIcon(QPixmap::fromImage(green)),
                         QIcon(QPixmap::fromImage(blue)));
    const int index = addItem(ItemState::Recording);
    list_->resize(301, 348);
    list_->show();
    const auto iconColour = [&] {
        const QImage shot = list_->grab().toImage();
        // Somewhere in the first row's icon: a pure colour of the three.
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 40; ++x) {
                const QColor c = shot.pixelColor(x, y);
                if (c == Qt::red || c == Qt::green || c == Qt::blue) return c;
            }
        return QColor();
    };
    EXPECT_EQ(iconColour(), QColor(Qt::red));
    item(index).outputFolder.assign(save_);
    item(index).state = ItemState::Done;
    list_->refreshEngineRow(index);
    EXPECT_EQ(iconColour(), QColor(Qt::green));
    item(index).state = ItemState::Failed;
    list_->refreshEngineRow(index);
    EXPECT_EQ(iconColour(), QColor(Qt::blue));
}

#ifdef KESTREL_TEST_WITH_SKINS
TEST_F(RecordingListTest, RowsShowTheSkinsStateIconsByThemselves) {
    ASSERT_TRUE(loadSkins());
    const auto firstRowLeft = [](RecordingList& list) {
        list.resize(301, 348);
        list.show();
        return list.grab().toImage().copy(0, 0, 40, 40);
    };
    // The same rows, once with the icons the list found and once without.
    RecordingList withSkin(*engine_);
    RecordingList without(*engine_);
    without.setStateIcons({}, {}, {});
    const int index = addItem(ItemState::Recording);
    withSkin.addEngineRow(index);
    without.addEngineRow(index);
    EXPECT_NE(firstRowLeft(withSkin), firstRowLeft(without));
    const QImage recordingIcon = firstRowLeft(withSkin);
    item(index).outputFolder.assign(save_);
    item(index).state = ItemState::Done;
    withSkin.refreshEngineRow(index);
    EXPECT_NE(firstRowLeft(withSkin), recordingIcon);  // another picture for a finished one
}
#endif

// Not a check: a picture of the list with rows in every state, for a
// person to look at (KESTREL_PREVIEW=path).
TEST_F(RecordingListTest, Preview) {
    const char* out = std::getenv("KESTREL_PREVIEW");
    if (!out) GTEST_SKIP() << "set KESTREL_PREVIEW to a PNG path";
    addItem(ItemState::Recording, "Big_Buck_Bunny_trailer.flv", 1536000, 4200000);
    item(addItem(ItemState::Processing, {}, 3000000000LL, 3000000000LL)).processedBytes = 1234567890;
    const int done = addItem(ItemState::Done, "lecture-part-1.flv", 52428800, 52428800);
    const int failed = addItem(ItemState::Failed, "clip.mp4", 20480, 90000);
    item(failed).failure.assign("no data was captured for it");
    list_->refreshAll();
    list_->refreshEngineRow(done);
    list_->refreshEngineRow(failed);
    LibraryItem download;
    download.fileName = "/home/user/Kestrel/news.flv";
    download.bytes = 733184;
    list_->addLibraryRow(1, download);
    list_->control().setCurrentRow(2);
    list_->show();
    ASSERT_TRUE(list_->grab().save(QString::fromUtf8(out)));
    std::string url = "http://media.example.net/videos/2024/lecture-part-1.flv?token=";
    url += std::string(300, 'x');
    item(done).url.assign(url);
    const auto properties = list_->makePropertiesDialog(list_->findEngineRow(done));
    properties->show();
    ASSERT_TRUE(properties->grab().save(QString::fromUtf8(out) + ".properties.png"));
    const auto rename = list_->makeRenameDialog(list_->findEngineRow(done));
    rename->show();
    ASSERT_TRUE(rename->grab().save(QString::fromUtf8(out) + ".rename.png"));
}

}  // namespace
