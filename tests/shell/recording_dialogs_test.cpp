// The Properties and Rename Local File dialogs on the offscreen platform.

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

#include "kestrel/shell/properties_dialog.h"
#include "kestrel/shell/rename_dialog.h"

using namespace kestrel::shell;

namespace {

QStringList labelTexts(const QWidget& w) {
    QStringList texts;
    for (const QLabel* label : w.findChildren<QLabel*>()) texts << label->text();
    return texts;
}

QStringList buttonTexts(const QWidget& w) {
    QStringList texts;
    for (const QPushButton* button : w.findChildren<QPushButton*>()) texts << button->text();
    return texts;
}

TEST(PropertiesDialog, ShowsFileSizeAndUrl) {
    const std::string url = "http://media.example.net/v/clip.flv?start=0";
    PropertiesDialog dialog("/home/u/Kestrel/clip.flv", 3000000000LL, url);
    EXPECT_EQ(dialog.windowTitle(), "Properties");
    EXPECT_EQ(dialog.fileText(), "/home/u/Kestrel/clip.flv");
    EXPECT_EQ(dialog.sizeText(), "3000000000");  // decimal, 64-bit
    EXPECT_EQ(dialog.urlText(), QString::fromStdString(url));
    const QStringList labels = labelTexts(dialog);
    for (const char* caption : {"File", "Size", "URL"}) EXPECT_TRUE(labels.contains(caption)) << caption;
    EXPECT_EQ(buttonTexts(dialog), QStringList{"OK"});
}

TEST(PropertiesDialog, ALongUrlStaysWholeAndSelectableWithoutWideningTheDialog) {
    std::string url = "http://cdn.example.org/";
    while (url.size() < 999) url += "abcdefghijklmnopqrstuvwxyz0123456789";
    url.resize(999);
    PropertiesDialog shortOne("/s/1.FLV", 1, "http://a/b");
    PropertiesDialog longOne("/s/1.FLV", 1, url);
    shortOne.adjustSize();
    longOne.adjustSize();
    longOne.show();
    EXPECT_EQ(longOne.urlText().toStdString(), url);
    EXPECT_EQ(longOne.width(), shortOne.width());
    EXPECT_LT(longOne.height(), 400);
    const auto* box = longOne.findChild<QPlainTextEdit*>("url");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isReadOnly());
    EXPECT_TRUE(box->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_LE(box->width(), longOne.width());
}

TEST(PropertiesDialog, NamesAreShownAsUtf8) {
    PropertiesDialog dialog("/s/\xC3\xA9t\xC3\xA9.flv", 0, "");
    EXPECT_EQ(dialog.fileText(), QString::fromUtf8("/s/\xC3\xA9t\xC3\xA9.flv"));
    EXPECT_EQ(dialog.fileText().size(), 10);  // characters, not bytes
    EXPECT_EQ(dialog.sizeText(), "0");
}

TEST(RenameDialog, ShowsTheOldNameAndAsksForANewOne) {
    RenameDialog dialog("clip.flv");
    EXPECT_EQ(dialog.windowTitle(), "Rename Local File");
    const QStringList labels = labelTexts(dialog);
    EXPECT_TRUE(labels.contains("Old File Name"));
    EXPECT_TRUE(labels.contains("New File Name(Length <= 30)"));
    QStringList buttons = buttonTexts(dialog);
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"Cancel", "OK"}));
    EXPECT_EQ(dialog.oldName(), "clip.flv");
    const auto* old = dialog.findChild<QLineEdit*>("oldName");
    ASSERT_NE(old, nullptr);
    EXPECT_TRUE(old->isReadOnly());
}

TEST(RenameDialog, NewNameRoundTripsUtf8AndIsNotCutByTheEdit) {
    RenameDialog dialog("1.FLV");
    std::string longName;
    for (int i = 0; i < 40; ++i) longName += "\xC3\xA9";
    dialog.setNewName(longName);
    EXPECT_EQ(dialog.newName(), longName);  // the list keeps the last 30 characters, not the edit
}

TEST(RenameDialog, OkAcceptsAndCancelRejects) {
    for (const auto& [button, result] : {std::pair{"OK", QDialog::Accepted}, std::pair{"Cancel", QDialog::Rejected}}) {
        RenameDialog dialog("1.FLV");
        dialog.show();
        QPushButton* target = nullptr;
        for (QPushButton* b : dialog.findChildren<QPushButton*>())
            if (b->text() == button) target = b;
        ASSERT_NE(target, nullptr) << button;
        target->click();
        EXPECT_EQ(dialog.result(), result) << button;
        EXPECT_FALSE(dialog.isVisible());
    }
}

}  // namespace
