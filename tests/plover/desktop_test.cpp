// The desktop side of the registrations: desktop entries and the default
// handler, checked with xdg-mime (Debian's xdg-utils) where it matters.

#include <gtest/gtest.h>

#include "platform/desktop_integration.h"
#include "platform/profile.h"
#include "plover/plover.h"
#include "tests/plover/plover_test_env.h"

using namespace kestrel::testing;

namespace {

constexpr const char* kProgram = "/opt/kestrel/bin/kestrel";
constexpr const char* kMenu = "Play in Kestrel";
constexpr const char* kId = "kestrel.flv.desktop";

class Desktop : public PloverEnvTest {
protected:
    // What xdg-mime says is the default handler of FLV files.
    std::string queryDefault() {
        ToolResult r = runTool({"xdg-mime", "query", "default", "video/x-flv"});
        EXPECT_EQ(r.status, 0) << r.err;
        while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == ' ')) r.out.pop_back();
        return r.out;
    }
    void requireXdgMime() {
        if (!toolAvailable("xdg-mime")) GTEST_SKIP() << "needs xdg-mime (Debian package xdg-utils)";
    }
    std::string entry() { return slurp(applications() + kId); }
    bool entryExists() { return std::filesystem::exists(applications() + kId); }
};

}  // namespace

TEST_F(Desktop, AssociationBecomesTheDefaultAndTheOldDefaultComesBack) {
    requireXdgMime();
    installOtherPlayer();
    ASSERT_EQ(queryDefault(), "otherplayer.desktop");

    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    ASSERT_EQ(ContextMenu_Add(".flv", kProgram, kMenu), 1);
    EXPECT_EQ(queryDefault(), kId);
    EXPECT_EQ(entry(),
              "[Desktop Entry]\nType=Application\nName=kestrel\nExec=\"/opt/kestrel/bin/kestrel\" %f\n"
              "MimeType=video/x-flv;\nTerminal=false\nActions=play-in-kestrel;\nX-Kestrel-Registry-Type=kestrel.flv\n"
              "\n[Desktop Action play-in-kestrel]\nName=Play in Kestrel\nExec=\"/opt/kestrel/bin/kestrel\" %f\n");
    EXPECT_NE(slurp(mimeApps()).find("text/plain=editor.desktop\n"), std::string::npos);

    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(queryDefault(), "otherplayer.desktop");
    ASSERT_TRUE(entryExists()) << "the menu entry is still registered";
    EXPECT_NE(entry().find("[Desktop Action play-in-kestrel]"), std::string::npos);

    ASSERT_EQ(ContextMenu_Delete(".flv", kMenu), 1);
    EXPECT_FALSE(entryExists());
    EXPECT_EQ(queryDefault(), "otherplayer.desktop");
    EXPECT_EQ(slurp(mimeApps()), "[Default Applications]\ntext/plain=editor.desktop\nvideo/x-flv=otherplayer.desktop\n");
}

TEST_F(Desktop, WithoutAnEarlierDefaultNoneIsLeft) {
    requireXdgMime();
    ASSERT_EQ(queryDefault(), "");
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(queryDefault(), kId);
    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_FALSE(entryExists());
    EXPECT_EQ(queryDefault(), "");
    EXPECT_EQ(slurp(mimeApps()).find("video/x-flv"), std::string::npos) << slurp(mimeApps());
}

TEST_F(Desktop, AHandlerTheUserChoseSinceStays) {
    requireXdgMime();
    installOtherPlayer();
    writeText(applications() + "third.desktop",
              "[Desktop Entry]\nType=Application\nName=Third\nExec=true %f\nMimeType=video/x-flv;\n");
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    ASSERT_EQ(queryDefault(), kId);
    ASSERT_EQ(runTool({"xdg-mime", "default", "third.desktop", "video/x-flv"}).status, 0);
    ASSERT_EQ(queryDefault(), "third.desktop");
    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(queryDefault(), "third.desktop");
    EXPECT_EQ(value("HKEY_CURRENT_USER\\Software\\Kestrel\\DesktopDefaults", "video/x-flv"), std::nullopt);
}

TEST_F(Desktop, MenuEntryAloneIsNoDefault) {
    installOtherPlayer();
    ASSERT_EQ(ContextMenu_Add(".flv", kProgram, kMenu), 1);
    ASSERT_TRUE(entryExists());
    EXPECT_NE(entry().find("MimeType=video/x-flv;\n"), std::string::npos);
    EXPECT_NE(entry().find("Name=Play in Kestrel\n"), std::string::npos);
    EXPECT_EQ(kestrel::platform::defaultDesktopHandler("video/x-flv"), "otherplayer.desktop");
    if (toolAvailable("xdg-mime")) {
        EXPECT_EQ(queryDefault(), "otherplayer.desktop");
    }
}

TEST_F(Desktop, EntryOfSomeoneElseIsLeftAlone) {
    const std::string foreign = "[Desktop Entry]\nType=Application\nName=Mine\nExec=mine %f\n";
    writeText(applications() + kId, foreign);
    installOtherPlayer();
    const std::string list = slurp(mimeApps());
    EXPECT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(entry(), foreign);
    EXPECT_EQ(slurp(mimeApps()), list);
    EXPECT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(entry(), foreign);
}

TEST_F(Desktop, ProgramPathsAreQuotedForExec) {
    struct Case {
        const char* program;
        const char* exec;
    };
    const Case cases[] = {
        {"/opt/my apps/kestrel", "Exec=\"/opt/my apps/kestrel\" %f"},
        {"/opt/a\"b/kestrel", "Exec=\"/opt/a\\\\\"b/kestrel\" %f"},
        {"/opt/100%/kestrel", "Exec=\"/opt/100%%/kestrel\" %f"},
        {"/opt/$HOME/kestrel", "Exec=\"/opt/\\\\$HOME/kestrel\" %f"},
        {"/opt/`x`/kestrel", "Exec=\"/opt/\\\\`x\\\\`/kestrel\" %f"},
        {"/opt/back\\slash/kestrel", "Exec=\"/opt/back\\\\\\\\slash/kestrel\" %f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        std::filesystem::remove(storePath());
        ASSERT_EQ(ContextMenu_Add(".flv", c.program, kMenu), 1);
        std::string e = entry();
        EXPECT_NE(e.find(std::string("\n") + c.exec + "\n"), std::string::npos) << e;
        ASSERT_EQ(ContextMenu_Delete(".flv", kMenu), 1);
        EXPECT_FALSE(entryExists());
    }
}

TEST_F(Desktop, MenuTextsBecomeDistinctActions) {
    ASSERT_EQ(ContextMenu_Add(".flv", kProgram, "Play in Kestrel"), 1);
    ASSERT_EQ(ContextMenu_Add(".flv", "/usr/bin/other", "play-in KESTREL!"), 1);
    ASSERT_EQ(ContextMenu_Add(".flv", kProgram, " Lead: \xC3\xA9"), 1);
    std::string e = entry();
    EXPECT_NE(e.find("Actions=lead;play-in-kestrel;play-in-kestrel-2;\n"), std::string::npos) << e;
    EXPECT_NE(e.find("[Desktop Action lead]\nName=\\sLead: \xC3\xA9\n"), std::string::npos) << e;
    EXPECT_NE(e.find("[Desktop Action play-in-kestrel-2]\nName=play-in KESTREL!\nExec=\"/usr/bin/other\" %f\n"),
              std::string::npos)
        << e;
}

TEST_F(Desktop, MimeappsListKeepsEverythingElse) {
    const std::string before =
        "# my comment\n[Added Associations]\nvideo/x-flv=otherplayer.desktop;\n\n"
        "[Default Applications]\nvideo/x-flv=first.desktop;second.desktop;\nimage/png=viewer.desktop\n"
        "video/x-flv=duplicate.desktop\n\n[Removed Associations]\ntext/html=x.desktop\n";
    writeText(mimeApps(), before);
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(slurp(mimeApps()),
              "# my comment\n[Added Associations]\nvideo/x-flv=otherplayer.desktop;\n\n"
              "[Default Applications]\nvideo/x-flv=kestrel.flv.desktop;\nimage/png=viewer.desktop\n\n"
              "[Removed Associations]\ntext/html=x.desktop\n");
    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(slurp(mimeApps()),
              "# my comment\n[Added Associations]\nvideo/x-flv=otherplayer.desktop;\n\n"
              "[Default Applications]\nvideo/x-flv=first.desktop;second.desktop;\nimage/png=viewer.desktop\n\n"
              "[Removed Associations]\ntext/html=x.desktop\n");
}

TEST_F(Desktop, MimeappsListWithoutDefaultsSectionGetsOne) {
    writeText(mimeApps(), "[Added Associations]\nimage/png=viewer.desktop\n");
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(slurp(mimeApps()),
              "[Added Associations]\nimage/png=viewer.desktop\n\n[Default Applications]\nvideo/x-flv=kestrel.flv.desktop;\n");
    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(slurp(mimeApps()), "[Added Associations]\nimage/png=viewer.desktop\n\n[Default Applications]\n");
}

TEST_F(Desktop, CommandLineAssociatesAsTheOptionsDialogDoes) {
    requireXdgMime();
    const std::string cli = std::string(KESTREL_BIN_DIR) + "/kestrel-cli";
    if (!toolAvailable(cli)) GTEST_SKIP() << "kestrel-cli is not built";
    const std::string program = std::string(KESTREL_BIN_DIR) + "/kestrel";
    const std::string command = "\"" + program + "\" %1";
    const std::string settings = dir_->file("home/setting.ini");
    ScopedEnv home("HOME", dir_->file("user"));  // the settings make the save folder below it
    installOtherPlayer();
    auto association = [&] {
        auto f = kestrel::platform::ProfileFile::load(settings);
        return std::make_pair(f.getInt("Normal", "AssociatedFile", -1), f.getInt("Normal", "AssociatedMenu", -1));
    };
    writeText(settings, "[Normal]\r\nLanguage=English\r\nAssociatedFile=0\r\nAssociatedMenu=1\r\n");

    // No options: what program start does, from setting.ini.
    ToolResult r = runTool({cli, "associate"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\kestrel.flv\\shell\\Play in Kestrel\\command"), command);
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\kestrel.flv\\shell\\open"));
    EXPECT_EQ(queryDefault(), "otherplayer.desktop");

    r = runTool({cli, "associate", "--file", "on", "--menu", "off"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("default handler for video/x-flv"), std::string::npos) << r.out;
    EXPECT_EQ(queryDefault(), kId);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\kestrel.flv\\shell\\open\\command"), command);
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\kestrel.flv\\shell\\Play in Kestrel"));
    EXPECT_EQ(association(), std::make_pair(1, 0));

    // --menu is taken from setting.ini (now 0).
    r = runTool({cli, "associate", "--file", "off"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(queryDefault(), "otherplayer.desktop");
    EXPECT_FALSE(entryExists());
    EXPECT_EQ(association(), std::make_pair(0, 0));

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{cli, "associate", "--file"}, {cli, "associate", "--file", "maybe"},
          {cli, "associate", "--other", "on"}})
        EXPECT_EQ(runTool(bad).status, 2);

    // Without setting.ini the built-in default is written first; it asks for both.
    std::filesystem::remove(settings);
    r = runTool({cli, "associate"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(association(), std::make_pair(1, 1));
    EXPECT_EQ(queryDefault(), kId);
    EXPECT_TRUE(keyExists("HKEY_CLASSES_ROOT\\kestrel.flv\\shell\\Play in Kestrel\\command"));

    const std::string damaged = "not a store\n";
    writeText(storePath(), damaged);
    r = runTool({cli, "associate", "--file", "on"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
    EXPECT_EQ(storeText(), damaged);
}
