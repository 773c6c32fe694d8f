// The dialogs that choose the capture adapter, driven with real mouse and
// key events on the offscreen platform: the address chooser, the adapter
// list and the error shown when the adapters cannot be listed.
//
// Set KESTREL_DIALOG_SHOTS to a folder to also get a PNG of each dialog.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "kestrel/shell/adapter_list_dialog.h"
#include "kestrel/shell/address_chooser_dialog.h"
#include "platform/shell.h"
#include "tests/support/adapters.h"

namespace shell = kestrel::shell;
namespace engine = kestrel::engine;
using kestrel::test::adapter;

namespace {

constexpr int kBeside = -1;  // a click that hits no row

QPoint rowPoint(const shell::ChoiceList* list, int row) {
    return list->visualRect(list->model()->index(row, 0)).center();
}

// A point of the viewport below the last row.
QPoint besideRows(const shell::ChoiceList* list) {
    const QPoint p(10, list->viewport()->height() - 4);
    EXPECT_FALSE(list->indexAt(p).isValid()) << "the rows fill the list: no room beside them";
    return p;
}

void click(shell::ChoiceList* list, int row, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(list->viewport(), button, Qt::NoModifier, row == kBeside ? besideRows(list) : rowPoint(list, row));
}

void doubleClick(shell::ChoiceList* list, int row) {
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                       row == kBeside ? besideRows(list) : rowPoint(list, row));
}

std::vector<std::string> columnTexts(const shell::ChoiceList* list, int column) {
    std::vector<std::string> texts;
    for (int row = 0; row < list->rowCount(); ++row) texts.push_back(list->item(row, column)->text().toStdString());
    return texts;
}

void saveShot(QWidget& widget, const char* name) {
    const QPixmap shot = widget.grab();
    EXPECT_FALSE(shot.isNull());
    EXPECT_EQ(shot.size(), widget.size());
    if (const char* folder = std::getenv("KESTREL_DIALOG_SHOTS")) {
        EXPECT_TRUE(shot.save(QString::fromUtf8(folder) + "/" + name + ".png"));
    }
}

// Runs act on the modal dialog of type D once its exec() loop runs; closes
// the dialog if act left it open, so a failing test cannot hang.
template <typename D>
void onModal(std::function<void(D&)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
        if (!dialog) {
            ADD_FAILURE() << "no modal dialog of the expected type";
            return;
        }
        act(*dialog);
        if (dialog->isVisible()) {
            ADD_FAILURE() << "the dialog stayed open";
            dialog->reject();
        }
    });
}

// Records what would be opened instead of starting a browser.
class RecordingShell : public kestrel::platform::Shell {
public:
    explicit RecordingShell(bool succeeds) : succeeds_(succeeds) { kestrel::platform::setShell(this); }
    ~RecordingShell() override { kestrel::platform::setShell(nullptr); }
    bool open(std::string_view target) override {
        opened.emplace_back(target);
        return succeeds_;
    }
    bool showInFolder(std::string_view path) override {
        opened.push_back("select:" + std::string(path));
        return succeeds_;
    }
    std::vector<std::string> opened;

private:
    bool succeeds_;
};

// --- address chooser -------------------------------------------------------

TEST(AddressChooserDialog, ListsTheChooserRowsInOneFixedColumn) {
    std::string twentyFive;
    for (int i = 1; i <= 25; ++i) twentyFive += "10.0.0." + std::to_string(i) + "|";
    std::vector<std::string> lastTwenty;
    for (int i = 20; i >= 1; --i) lastTwenty.push_back("10.0.0." + std::to_string(i));
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> rows;
    } cases[] = {
        {"each new row on top", "1.1.1.1|2.2.2.2|", {"2.2.2.2", "1.1.1.1"}},
        {"25 parts give 20 rows", twentyFive, lastTwenty},
        {"empty parts give no rows", "||3.3.3.3", {"3.3.3.3"}},
        {"only separators", "|", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        engine::AddressChooser chooser(c.text);
        shell::AddressChooserDialog dialog(chooser);
        const shell::ChoiceList* list = dialog.list();
        ASSERT_EQ(list->columnCount(), 1);
        EXPECT_EQ(list->horizontalHeaderItem(0)->text(), "IP");
        EXPECT_EQ(list->columnWidth(0), 150);
        EXPECT_TRUE(list->showGrid());
        EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
        EXPECT_EQ(columnTexts(list, 0), c.rows);
        EXPECT_FALSE(dialog.okButton()->isEnabled());
        EXPECT_EQ(dialog.okButton()->text(), "OK");
        EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
    }
}

TEST(AddressChooserDialog, OkFollowsTheLastClickAndReturnsTheLastRowClicked) {
    struct Step {
        int row;
        Qt::MouseButton button;
        bool okAfter;
    };
    struct Case {
        const char* what;
        std::vector<Step> clicks;
        std::string result;  // after OK, when OK ends enabled
    } cases[] = {
        {"a row", {{0, Qt::LeftButton, true}}, "3.3.3.3"},
        {"beside the rows", {{kBeside, Qt::LeftButton, false}}, ""},
        {"a row, then beside", {{1, Qt::LeftButton, true}, {kBeside, Qt::LeftButton, false}}, ""},
        {"beside, then a row", {{kBeside, Qt::LeftButton, false}, {2, Qt::LeftButton, true}}, "1.1.1.1"},
        {"the last of several rows", {{0, Qt::LeftButton, true}, {2, Qt::LeftButton, true}, {1, Qt::LeftButton, true}},
         "2.2.2.2"},
        {"a right click is no choice", {{1, Qt::RightButton, false}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        engine::AddressChooser chooser("1.1.1.1|2.2.2.2|3.3.3.3");
        shell::AddressChooserDialog dialog(chooser);
        dialog.show();
        for (const Step& step : c.clicks) {
            click(dialog.list(), step.row, step.button);
            EXPECT_EQ(dialog.okButton()->isEnabled(), step.okAfter);
        }
        if (dialog.okButton()->isEnabled()) {
            QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
            EXPECT_EQ(dialog.result(), QDialog::Accepted);
            EXPECT_EQ(chooser.result(), c.result);
        }
    }
}

TEST(AddressChooserDialog, DoubleClickOnARowChoosesIt) {
    engine::AddressChooser chooser("1.1.1.1|2.2.2.2");
    shell::AddressChooserDialog dialog(chooser);
    dialog.show();
    doubleClick(dialog.list(), kBeside);
    EXPECT_TRUE(dialog.isVisible());
    doubleClick(dialog.list(), 1);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(chooser.result(), "1.1.1.1");
}

TEST(AddressChooserDialog, FocusAloneChoosesNothingButKeysDo) {
    engine::AddressChooser chooser("1.1.1.1|2.2.2.2");
    shell::AddressChooserDialog dialog(chooser);
    dialog.show();
    shell::ChoiceList* list = dialog.list();
    // Focus makes a row current without selecting it.
    QFocusEvent focusIn(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(list, &focusIn);
    EXPECT_FALSE(dialog.okButton()->isEnabled());
    QTest::keyClick(list, Qt::Key_Down);
    ASSERT_GE(list->currentRow(), 0);
    EXPECT_TRUE(dialog.okButton()->isEnabled());
    EXPECT_EQ(chooser.result(), list->item(list->currentRow(), 0)->text().toStdString());
}

TEST(AddressChooserDialog, RunnerReturnsTheChoiceAfterOkAndNothingAfterCancel) {
    struct Case {
        const char* what;
        bool pressOk;
        std::string expected;
    } cases[] = {
        {"OK", true, "5.5.5.5"},
        {"Cancel after a click", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        engine::AddressChooser chooser("4.4.4.4|5.5.5.5");
        onModal<shell::AddressChooserDialog>([&c](shell::AddressChooserDialog& dialog) {
            EXPECT_EQ(dialog.windowTitle(), shell::AddressChooserDialog::kTitle);
            click(dialog.list(), 0);
            QTest::mouseClick(c.pressOk ? dialog.okButton() : dialog.cancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(shell::runAddressChooser(chooser, nullptr), c.expected);
    }
}

// --- adapter list ----------------------------------------------------------

std::vector<kestrel::platform::AdapterInfo> threeAdapters() {
    return {
        adapter("rpcap://eth0", "Network adapter 'Intel(R) PRO/1000 MT' on local host",
                {{{10, 0, 0, 1}, {255, 0, 0, 0}}, {{192, 168, 1, 5}, {255, 255, 255, 0}}}),
        adapter("rpcap://wlan0", "Network adapter 'Wireless \xC3\xA9tage' on local host", {{{172, 16, 4, 9}, {255, 255, 0, 0}}}),
        adapter("rpcap://any", "Network adapter 'Pseudo-device that captures on all interfaces' on local host", {}),
    };
}

TEST(AdapterListDialog, ShowsFourFixedColumnsAndEveryAdapter) {
    engine::AdapterListDialog model;
    model.setAdapters(threeAdapters());
    shell::AdapterListDialog dialog(model);
    EXPECT_EQ(dialog.windowTitle(), "Adapter List");
    EXPECT_EQ(dialog.okButton()->text(), "OK");
    EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
    EXPECT_FALSE(dialog.okButton()->isEnabled());

    const shell::ChoiceList* list = dialog.list();
    const std::vector<std::pair<QString, int>> columns = {
        {"Description", 350}, {"Address", 80}, {"NetMark", 100}, {"Interface", 300}};
    ASSERT_EQ(list->columnCount(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list->horizontalHeaderItem(i)->text(), columns[static_cast<std::size_t>(i)].first);
        EXPECT_EQ(list->columnWidth(i), columns[static_cast<std::size_t>(i)].second);
    }
    EXPECT_TRUE(list->showGrid());
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);

    ASSERT_EQ(list->rowCount(), static_cast<int>(model.rows().size()));
    for (int row = 0; row < list->rowCount(); ++row) {
        SCOPED_TRACE(row);
        const engine::AdapterRow& expected = model.rows()[static_cast<std::size_t>(row)];
        EXPECT_EQ(list->item(row, 0)->text().toStdString(), expected.description);
        EXPECT_EQ(list->item(row, 1)->text().toStdString(), expected.address);
        EXPECT_EQ(list->item(row, 2)->text().toStdString(), expected.netmask);
        EXPECT_EQ(list->item(row, 3)->text().toStdString(), expected.interfaceName);
        EXPECT_EQ(list->item(row, 0)->data(shell::AdapterListDialog::kNetmaskRole).toUInt(), expected.itemData);
    }
    // The texts made it through as UTF-8, and the adapter without IPv4 keeps
    // the no-netmask value.
    EXPECT_EQ(list->item(1, 0)->text(), QString::fromUtf8("Wireless \xC3\xA9tage"));
    EXPECT_EQ(list->item(2, 1)->text(), "");
    EXPECT_EQ(list->item(2, 0)->data(shell::AdapterListDialog::kNetmaskRole).toUInt(), 0xFFFFFFu);
    EXPECT_EQ(list->item(0, 0)->data(shell::AdapterListDialog::kNetmaskRole).toUInt(), 0x00FFFFFFu);
}

TEST(AdapterListDialog, EveryColumnCanBeReached) {
    engine::AdapterListDialog model;
    model.setAdapters(threeAdapters());
    shell::AdapterListDialog dialog(model);
    dialog.show();
    const shell::ChoiceList* list = dialog.list();
    EXPECT_EQ(list->horizontalHeader()->length(), 830);
    // Either the columns fit, or the scroll bar reaches the rest.
    EXPECT_GE(list->viewport()->width() + list->horizontalScrollBar()->maximum(), 830);
    EXPECT_GE(list->viewport()->height(), 3 * list->rowHeight(0)) << "the rows are hidden";
    saveShot(dialog, "adapter_list");
}

TEST(AdapterListDialog, OkIsEnabledExactlyAfterAClickOnARow) {
    struct Case {
        const char* what;
        std::vector<int> clicks;
        bool ok;
        int chosen;  // row accepted by OK, when enabled
    } cases[] = {
        {"no click", {}, false, -1},
        {"a row", {1}, true, 1},
        {"beside the rows", {kBeside}, false, -1},
        {"a row, then beside", {0, kBeside}, false, -1},
        {"beside, then a row", {kBeside, 2}, true, 2},
        {"two rows: the last", {2, 0}, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        engine::AdapterListDialog model;
        model.setAdapters(threeAdapters());
        shell::AdapterListDialog dialog(model);
        dialog.show();
        for (int row : c.clicks) click(dialog.list(), row);
        ASSERT_EQ(dialog.okButton()->isEnabled(), c.ok);
        if (!c.ok) continue;
        QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        const engine::AdapterRow& row = model.rows()[static_cast<std::size_t>(c.chosen)];
        EXPECT_EQ(model.interfaceName, row.interfaceName);
        EXPECT_EQ(model.netmask, row.itemData);
        EXPECT_EQ(model.description, row.description);
        EXPECT_EQ(model.address, row.address);
    }
}

TEST(AdapterListDialog, DoubleClickOnARowAcceptsIt) {
    engine::AdapterListDialog model;
    model.setAdapters(threeAdapters());
    shell::AdapterListDialog dialog(model);
    dialog.show();
    doubleClick(dialog.list(), kBeside);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(model.interfaceName, "");
    doubleClick(dialog.list(), 1);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(model.interfaceName, "rpcap://wlan0");
    EXPECT_EQ(model.netmask, 0x0000FFFFu);
    EXPECT_EQ(model.description, "Wireless \xC3\xA9tage");
    EXPECT_EQ(model.address, "172.16.4.9");
}

TEST(AdapterListDialog, EmptyListIsAnEmptyDialogThatCannotBeConfirmed) {
    engine::AdapterListDialog model;
    model.setAdapters({});
    shell::AdapterListDialog dialog(model);
    dialog.show();
    EXPECT_EQ(dialog.list()->rowCount(), 0);
    EXPECT_EQ(dialog.list()->columnCount(), 4);
    click(dialog.list(), kBeside);
    doubleClick(dialog.list(), kBeside);
    EXPECT_FALSE(dialog.okButton()->isEnabled());
    EXPECT_TRUE(dialog.isVisible());
    // Enter goes to the default button, which is disabled.
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(model.interfaceName, "");
}

TEST(AdapterListDialog, RunnerReportsOkWithResultsAndCancelWithout) {
    for (const bool pressOk : {true, false}) {
        SCOPED_TRACE(pressOk ? "OK" : "Cancel");
        engine::AdapterListDialog model;
        model.setAdapters(threeAdapters());
        onModal<shell::AdapterListDialog>([pressOk](shell::AdapterListDialog& dialog) {
            click(dialog.list(), 0);
            QTest::mouseClick(pressOk ? dialog.okButton() : dialog.cancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(shell::runAdapterList(model, nullptr), pressOk);
        EXPECT_EQ(model.interfaceName, pressOk ? "rpcap://eth0" : "");
    }
}

// --- error dialog ----------------------------------------------------------

TEST(AdapterErrorDialog, CarriesTheFixedTextsAndTwoButtons) {
    RecordingShell browser(true);
    shell::AdapterErrorDialog dialog;
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "Error");
    EXPECT_EQ(dialog.textLabel()->text(),
              "Error: can not find any adapter. If you are running Vista OS, please run this program as an "
              "administrator .");
    EXPECT_EQ(dialog.moreDetailsButton()->text(), "More Details");
    EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
    EXPECT_EQ(dialog.findChildren<QPushButton*>().size(), 2);
    EXPECT_FALSE(dialog.fallbackLabel()->isVisible());
    saveShot(dialog, "adapter_error");
}

TEST(AdapterErrorDialog, MoreDetailsOpensTheHelpPageAndCancelOpensNothing) {
    struct Case {
        const char* what;
        bool pressMoreDetails;
        bool browserStarts;
        std::vector<std::string> opened;
        bool staysOpen;
    } cases[] = {
        {"More Details", true, true, {shell::kAdapterHelpAddress}, false},
        {"More Details without a browser", true, false, {shell::kAdapterHelpAddress}, true},
        {"Cancel", false, true, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingShell browser(c.browserStarts);
        shell::AdapterErrorDialog dialog;
        dialog.show();
        QTest::mouseClick(c.pressMoreDetails ? dialog.moreDetailsButton() : dialog.cancelButton(), Qt::LeftButton);
        EXPECT_EQ(browser.opened, c.opened);
        EXPECT_EQ(dialog.isVisible(), c.staysOpen);
        if (c.staysOpen) {
            // The address is there to copy.
            EXPECT_TRUE(dialog.fallbackLabel()->isVisible());
            const QLabel* fallback = dialog.fallbackLabel();
            EXPECT_TRUE(fallback->text().contains(QString::fromUtf8(shell::kAdapterHelpAddress)));
            // The dialog grew to show it whole.
            QApplication::processEvents();
            EXPECT_GE(fallback->height(), fallback->heightForWidth(fallback->width()));
            EXPECT_TRUE(dialog.rect().contains(fallback->geometry()));
            saveShot(dialog, "adapter_error_no_browser");
        }
    }
}

TEST(AdapterErrorDialog, ShownModallyAndClosedByCancel) {
    RecordingShell browser(true);
    onModal<shell::AdapterErrorDialog>([](shell::AdapterErrorDialog& dialog) {
        QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    });
    shell::showAdapterError(nullptr);
    EXPECT_TRUE(browser.opened.empty());
}

TEST(AddressChooserDialog, TheWholeColumnIsShown) {
    engine::AddressChooser chooser("192.168.1.20|10.0.0.7|172.16.4.9");
    shell::AddressChooserDialog dialog(chooser);
    dialog.show();
    click(dialog.list(), 1);
    EXPECT_GE(dialog.list()->viewport()->width(), 150) << "the column does not fit";
    saveShot(dialog, "address_chooser");
}

}  // namespace
