// Settings restored at start-up and saved at the end of the main window.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "platform/Codepage.h"
#include "platform/Profile.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class SettingsTest : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path Cfg() const { return dir.Path() / "tagsmith.cfg"; }
    std::u16string Get(const char16_t* key) const {
        return Profile(Cfg().string()).GetString(cfg::kSection, key);
    }
    // Starts a main window on the temp folder (no plug-in there: it stays null).
    void Start(MainDialog& dlg) { dlg.OnInitDialog(dir.Dir()); }
};

TEST_F(SettingsTest, FirstExitWritesTheNineKeysInOrder) {
    {
        MainDialog dlg;
        Start(dlg);
        EXPECT_EQ(dlg.core.IsWriteMode(), 1);
        EXPECT_TRUE(dlg.writeRadioChecked);
        EXPECT_FALSE(dlg.readRadioChecked);
        EXPECT_EQ(dlg.tabIndex, 0);
        EXPECT_EQ(dlg.m_page3.IsIncrease(), 1);
        EXPECT_TRUE(dlg.m_page1.pathText.empty());
        dlg.DestroyWindow();
    }
    EXPECT_EQ(ReadFile(Cfg()),
              "[Option]\r\noption=1\r\nidfile=\r\nidvalue=\r\nidvalue2=\r\nmode=1\r\n"
              "idprefix=\r\nidauto=0\r\nidsuffix=\r\ntabmode=0\r\n");
}

TEST_F(SettingsTest, InstallationAndForeignLinesSurviveASave) {
    const std::string head =
        "; station 4\r\n[Option]\r\nSNPath=\\sn\\id.txt\r\nIDFILE=old.ids\r\nulpk0=\\a.bin\r\n"
        "ulpk1=\\b.bin\r\nextra=keep me\r\n";
    const std::string tail = "\r\n[Other]\r\nidfile=not ours\r\n";
    WriteFile(Cfg(), head + tail);
    {
        MainDialog dlg;
        Start(dlg);
        dlg.m_page2.SetScanId(u"扫描");
        dlg.DestroyWindow();
    }
    const std::string after = ReadFile(Cfg());
    // The existing key is replaced where it stands; ours are appended in
    // order at the end of the section; everything else stays byte for byte.
    EXPECT_EQ(after,
              "; station 4\r\n[Option]\r\nSNPath=\\sn\\id.txt\r\nIDFILE=\r\nulpk0=\\a.bin\r\n"
              "ulpk1=\\b.bin\r\nextra=keep me\r\noption=1\r\nidvalue=\r\nidvalue2=" +
                  WideToAnsi(u"扫描") +
                  "\r\nmode=1\r\nidprefix=\r\nidauto=0\r\nidsuffix=\r\ntabmode=0\r\n" + tail);
}

struct RoundTrip {
    const char* name;
    std::string file;  // the section's lines
    // expected state after start-up
    int writeMode;
    int tab;
    bool tabEnabled;
    std::u16string counterBox;
    int increase;
    // expected values after the exit
    std::vector<std::pair<const char16_t*, std::u16string>> saved;
};
// Test output names the case instead of dumping its bytes.
void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

class SettingsRoundTrip : public SettingsTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(SettingsRoundTrip, LoadsAndSavesBack) {
    const RoundTrip& c = GetParam();
    WriteFile(Cfg(), "[Option]\r\n" + c.file);
    MainDialog dlg;
    Start(dlg);
    EXPECT_EQ(dlg.core.IsWriteMode(), c.writeMode);
    EXPECT_EQ(dlg.readRadioChecked, c.writeMode == 0);
    EXPECT_EQ(dlg.tabIndex, c.tab);
    EXPECT_EQ(dlg.tabEnabled, c.tabEnabled);
    EXPECT_EQ(dlg.m_page1.idFileButtonEnabled, c.writeMode != 0);
    EXPECT_EQ(dlg.m_page3.counterText, c.counterBox);
    EXPECT_EQ(dlg.m_page3.IsIncrease(), c.increase);
    dlg.DestroyWindow();
    for (const auto& [key, value] : c.saved) {
        EXPECT_EQ(Get(key), value) << WideToUtf8(key);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsRoundTrip,
    ::testing::Values(
        RoundTrip{"CounterShownAsIsSavedNormalised",
                  "idprefix=ab \r\nidauto=0x0a5\r\nidsuffix=cd\r\n",
                  1,
                  0,
                  true,
                  u"0x0a5",
                  1,
                  {{cfg::kIdAuto, u"a5"}, {cfg::kIdPrefix, u"ab"}, {cfg::kIdSuffix, u"cd"}}},
        RoundTrip{
            "EmptyCounterSavedAsZero", "idauto=\r\n", 1, 0, true, u"", 1, {{cfg::kIdAuto, u"0"}}},
        // tabmode is applied after option: page 3 shown, tab control disabled.
        RoundTrip{"ReadModeWithTabTwo",
                  "option=0\r\ntabmode=2\r\nmode=0\r\n",
                  0,
                  2,
                  false,
                  u"",
                  0,
                  {{cfg::kOption, u"0"}, {cfg::kTabMode, u"2"}, {cfg::kMode, u"0"}}},
        RoundTrip{"NotANumberReadsZero",
                  "option=abc\r\nmode=x\r\n",
                  0,
                  0,
                  false,
                  u"",
                  0,
                  {{cfg::kOption, u"0"}, {cfg::kMode, u"0"}}},
        RoundTrip{
            "TabOutOfRangeIgnored", "tabmode=3\r\n", 1, 0, true, u"", 1, {{cfg::kTabMode, u"0"}}},
        RoundTrip{"NegativeTabIgnored",
                  "tabmode=-1\r\noption=7\r\n",
                  1,
                  0,
                  true,
                  u"",
                  1,
                  {{cfg::kTabMode, u"0"}, {cfg::kOption, u"1"}}},
        RoundTrip{"MissingIdFileSkipped",
                  "idfile=/nonexistent/list.ids\r\nidvalue2=a1\r\n",
                  1,
                  0,
                  true,
                  u"",
                  1,
                  {{cfg::kIdFile, u""}, {cfg::kIdValue2, u"a1"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, IdFileReloadedAndNextUnusedIdSaved) {
    WriteFile(dir.Path() / "list.ids", "a1\r\nA2\r\n");
    const std::u16string path = Utf8ToWide((dir.Path() / "list.ids").string());
    Profile(Cfg().string()).WriteString(cfg::kSection, cfg::kIdFile, path);
    {
        MainDialog dlg;
        Start(dlg);
        EXPECT_EQ(dlg.m_page1.pathText, path);
        EXPECT_EQ(dlg.m_page1.currentIdText, u"A1");
        dlg.m_page1.m_ids.MarkUsed(0);
        dlg.DestroyWindow();
        EXPECT_EQ(dlg.m_page1.currentIdText, u"A2");  // the save shows it too
    }
    EXPECT_EQ(Get(cfg::kIdFile), path);
    EXPECT_EQ(Get(cfg::kIdValue), u"A2");
    {
        // A restart begins at the first ID again; with every ID used the
        // value written is empty.
        MainDialog dlg;
        Start(dlg);
        EXPECT_EQ(dlg.m_page1.currentIdText, u"A1");
        dlg.m_page1.m_ids.MarkUsed(0);
        dlg.m_page1.m_ids.MarkUsed(1);
        dlg.DestroyWindow();
    }
    EXPECT_EQ(Get(cfg::kIdValue), u"");
}

TEST_F(SettingsTest, FolderAsIdFileLoadsNothing) {
    Profile(Cfg().string()).WriteString(cfg::kSection, cfg::kIdFile, Utf8ToWide(dir.Dir()));
    MainDialog dlg;
    Start(dlg);
    EXPECT_TRUE(dlg.m_page1.pathText.empty());
    EXPECT_EQ(dlg.m_page1.m_ids.size(), 0u);
}

TEST_F(SettingsTest, ValueWithLineBreakKeepsTheOldValueAndTheRestIsSaved) {
    WriteFile(Cfg(), "[Option]\r\nidvalue2=OLD\r\nSNPath=\\x\r\n");
    {
        MainDialog dlg;
        Start(dlg);
        // Not storable as one line: it must not inject a key of its own.
        dlg.m_page2.SetScanId(u"A1\r\nSNPath=\\evil");
        dlg.m_page3.SetPrefix(u"PP");
        dlg.DestroyWindow();
    }
    EXPECT_EQ(Get(cfg::kIdValue2), u"OLD");
    EXPECT_EQ(Get(cfg::kSnPath), u"\\x");
    EXPECT_EQ(Get(cfg::kIdPrefix), u"PP");
}

}  // namespace
}  // namespace ts
