// The main window model: modes, tabs, the control lock, the log button, its
// end, and device dispatch through it on an in-memory line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/app/LineFixture.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::LineTest;
using test::TempDir;
using test::WriteFile;

// -------------------------------------------------- window state, no line ---

TEST(MainDialogState, ReadModeForcesTabZeroAndWriteModeKeepsIt) {
    TempDir dir;
    MainDialog dlg;
    dlg.OnInitDialog(dir.Dir());
    dlg.OnTabSelChange(2);
    EXPECT_EQ(dlg.tabIndex, 2);

    dlg.OnReadMode();
    EXPECT_EQ(dlg.core.IsWriteMode(), 0);
    EXPECT_TRUE(dlg.readRadioChecked);
    EXPECT_FALSE(dlg.writeRadioChecked);
    EXPECT_EQ(dlg.tabIndex, 0);
    EXPECT_FALSE(dlg.tabEnabled);
    EXPECT_FALSE(dlg.m_page1.idFileButtonEnabled);

    dlg.OnWriteMode();
    EXPECT_EQ(dlg.core.IsWriteMode(), 1);
    EXPECT_TRUE(dlg.writeRadioChecked);
    EXPECT_FALSE(dlg.readRadioChecked);
    EXPECT_EQ(dlg.tabIndex, 0);
    EXPECT_TRUE(dlg.tabEnabled);
    EXPECT_TRUE(dlg.m_page1.idFileButtonEnabled);

    for (int bad : {-1, 3, 100}) {
        dlg.OnTabSelChange(bad);
        EXPECT_EQ(dlg.tabIndex, 0);
    }
}

TEST(MainDialogState, WriteModeShowsTheNextUnusedId) {
    TempDir dir;
    WriteFile(dir.Path() / "l.ids", "A1\nA2\n");
    MainDialog dlg;
    dlg.OnInitDialog(dir.Dir());
    dlg.m_page1.ReloadIdFile(Utf8ToWide((dir.Path() / "l.ids").string()));
    dlg.m_page1.m_ids.MarkUsed(0);
    dlg.OnReadMode();
    dlg.OnWriteMode();
    EXPECT_EQ(dlg.m_page1.currentIdText, u"A2");
}

TEST(MainDialogState, LockThenUnlockEnablesEveryControlItTouches) {
    TempDir dir;
    MainDialog dlg;
    dlg.OnInitDialog(dir.Dir());
    dlg.OnReadMode();  // tab control and the ID-file button start disabled
    dlg.m_page2.EnableWriteButton(true);
    dlg.EnableMainControls(false);
    for (bool b : {dlg.readRadioEnabled, dlg.writeRadioEnabled, dlg.closeEnabled, dlg.tabEnabled,
                   dlg.m_page1.idFileButtonEnabled, dlg.m_page3.inputsEnabled}) {
        EXPECT_FALSE(b);
    }
    EXPECT_TRUE(dlg.m_page2.writeButtonEnabled);  // the scan page is not touched
    EXPECT_TRUE(dlg.m_page1.autoWriteButtonEnabled);
    dlg.EnableMainControls(true);
    for (bool b : {dlg.readRadioEnabled, dlg.writeRadioEnabled, dlg.closeEnabled, dlg.tabEnabled,
                   dlg.m_page1.idFileButtonEnabled, dlg.m_page3.inputsEnabled}) {
        EXPECT_TRUE(b);
    }
}

TEST(MainDialogState, ArmingThePageLocksTheWindowAndBoxesGetTheTitle) {
    TempDir dir;
    MainDialog dlg;
    ScriptedMessageBoxer boxes;
    dlg.core.SetMessageBoxer(&boxes);
    dlg.OnInitDialog(dir.Dir());
    dlg.OnTabSelChange(2);
    dlg.m_page3.OnBnClickedWrite();
    EXPECT_FALSE(dlg.closeEnabled);
    EXPECT_FALSE(dlg.tabEnabled);
    EXPECT_FALSE(dlg.writeRadioEnabled);
    EXPECT_FALSE(dlg.readRadioEnabled);
    dlg.m_page3.OnBnClickedWrite();
    EXPECT_TRUE(dlg.closeEnabled);

    dlg.OnReadMode();
    dlg.m_page3.OnBnClickedWrite();
    dlg.m_page1.m_picker.OnChooseClicked();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].caption, kAppTitle);
    EXPECT_EQ(boxes.shown[1].caption, u"警告");
}

TEST(MainDialogState, ClearLogEmptiesTheBox) {
    TempDir dir;
    MainDialog dlg;
    MemoryLogView log;
    dlg.core.SetLogView(&log);
    dlg.AppendLog(u"one");
    dlg.OnClearLog();
    EXPECT_EQ(log.text, u"");
    dlg.AppendLog(u"two");
    EXPECT_EQ(log.text, u"\r\ntwo");
}

TEST(MainDialogState, PickerWithoutAViewClosesWithoutChoice) {
    TempDir dir;
    WriteFile(dir.Path() / "l.ids", "A1\n");
    MainDialog dlg;
    dlg.OnInitDialog(dir.Dir());
    dlg.m_page1.ReloadIdFile(Utf8ToWide((dir.Path() / "l.ids").string()));
    int shown = 0;
    dlg.runPicker = [&](CDlgListID& p) {
        ++shown;
        EXPECT_EQ(p.Rows().size(), 1u);  // opened afresh over the page's list
        return false;
    };
    dlg.m_page1.OnBnClickedManualWrite();
    EXPECT_EQ(shown, 1);
    dlg.runPicker = nullptr;
    dlg.m_page1.OnBnClickedManualWrite();
    EXPECT_EQ(shown, 1);
}

// ------------------------------------------------ dispatch on a memory line ---

constexpr char16_t kFound[] = u"新设备检测成功，现在可以进行ID烧写操作了";
constexpr char16_t kFoundNoId[] = u"新设备检测成功，当前无序列号可用";
constexpr char16_t kExhausted[] = u"id文件的id已经烧写完毕，请重新选择id文件之后再行烧录！";

struct DispatchCase {
    const char* name;
    int tab;
    std::string list;  // loaded into page 1 when not empty
    int usedHead;      // entries marked used before the arrival
    bool autoList;
    bool armed;
    std::u16string scan;
    bool vendor;  // false: an ordinary disk
    std::vector<std::u16string> logs;
    std::vector<std::u16string> boxes;
    bool buttonsEnabled;
    bool currentOpen;
    std::u16string shownId;  // page 1's current ID, or the scan box on tab 1
};
// Test output names the case instead of dumping its bytes.
void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class DispatchTest : public LineTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(DispatchTest, ArrivalInWriteMode) {
    const DispatchCase& c = GetParam();
    if (!c.list.empty()) dlg.m_page1.ReloadIdFile(ListFile(c.list));
    for (int i = 0; i < c.usedHead; ++i) dlg.m_page1.m_ids.MarkUsed(i);
    dlg.m_page2.SetScanId(c.scan);
    dlg.m_page3.SetPrefix(u"ab");
    dlg.m_page3.SetCounter(u"0x00f");
    dlg.m_page3.SetSuffix(u"cd");
    dlg.m_page3.SetDirection(1);
    dlg.OnTabSelChange(c.tab);
    if (c.autoList) dlg.m_page1.OnBnClickedAutoWrite();
    if (c.armed) dlg.m_page3.OnBnClickedWrite();
    ASSERT_EQ(dlg.m_page1.IsAutoWriting(), c.autoList);

    if (c.vendor) {
        line.Plug('E', 2048);
    } else {
        line.PlugDisk('E');
    }
    Arrive();
    EXPECT_EQ(lines, c.logs);
    EXPECT_EQ(BoxTexts(), c.boxes);
    EXPECT_EQ(dlg.m_page1.manualWriteEnabled, c.buttonsEnabled);
    EXPECT_EQ(dlg.m_page2.writeButtonEnabled, c.buttonsEnabled);
    EXPECT_EQ(dlg.core.CurrentDevice() != nullptr, c.currentOpen);
    EXPECT_EQ(line.OpenVolumes(), c.currentOpen ? 1 : 0);
    EXPECT_EQ(c.tab == 1 ? dlg.m_page2.scanText : dlg.m_page1.currentIdText, c.shownId);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Scenarios, DispatchTest,
    ::testing::Values(
        //           name                 tab list         used auto   armed  scan   vendor
        //           logs                                  boxes         buttons open  shown
        DispatchCase{"ScanPageEmptyBox",   1, "",           0, false, false, u"",   true,
                     {kFoundNoId},                         {},           true,  true,  u""},
        DispatchCase{"ScanPageWithId",     1, "",           0, false, false, u"a1", true,
                     {kFound},                             {},           true,  true,  u"a1"},
        DispatchCase{"ListManual",         0, "A1\nA2\n",   1, false, false, u"",   true,
                     {kFound},                             {},           true,  true,  u"A2"},
        DispatchCase{"ListAuto",           0, "A1\nA2\n",   0, true,  false, u"",   true,
                     {kFound, u"烧写成功 ID: A1\n"},       {},           false, false, u"A2"},
        DispatchCase{"ListAutoExhausted",  0, "A1\n",       1, true,  false, u"",   true,
                     {kFoundNoId},                         {kExhausted}, false, true,  u""},
        // The list page's automatic write wins over an armed increment page.
        DispatchCase{"BothAutomatic",      2, "A1\n",       0, true,  true,  u"",   true,
                     {kFound, u"烧写成功 ID: A1\n"},       {},           false, false, u"A1"},
        DispatchCase{"IncrementArmed",     2, "",           0, false, true,  u"",   true,
                     {kFound, u"烧写成功 ID: ABFCD\n"},    {},           false, false, u""},
        DispatchCase{"OrdinaryDiskIgnored", 0, "A1\n",      0, false, false, u"",   false,
                     {},                                   {},           false, false, u"A1"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(LineTest, IncrementPageCountsAcrossDevices) {
    dlg.OnTabSelChange(2);
    dlg.m_page3.SetPrefix(u"ab");
    dlg.m_page3.SetCounter(u"0x00f");
    dlg.m_page3.SetSuffix(u"cd");
    dlg.m_page3.SetDirection(1);
    dlg.m_page3.OnBnClickedWrite();
    std::vector<std::u16string> written;
    for (int i = 0; i < 2; ++i) {
        line.Plug('E', 2048);
        Arrive();
        written.insert(written.end(), lines.begin(), lines.end());
        line.Unplug('E');
        dlg.core.WindowProc(DeviceEvent::Removal);
    }
    EXPECT_EQ(written, (std::vector<std::u16string>{kFound, u"烧写成功 ID: ABFCD\n", kFound,
                                                    u"烧写成功 ID: AB10CD\n"}));
    EXPECT_EQ(dlg.m_page3.counterText, u"11");
}

TEST_F(LineTest, ReadModeShowsTheIdAndKeepsNoDeviceOpen) {
    // Write ABC through the scan page, then read it back in read mode.
    dlg.OnTabSelChange(1);
    auto storage = line.Plug('E', 2048);
    Arrive();
    dlg.m_page2.SetScanId(u"abc");
    dlg.m_page2.OnBnClickedWrite();
    EXPECT_EQ(lines.back(), u"烧写成功 ID: ABC\n");
    line.Unplug('E');
    dlg.core.WindowProc(DeviceEvent::Removal);

    dlg.OnReadMode();
    line.Plug('E', storage);
    Arrive();
    EXPECT_EQ(lines, (std::vector<std::u16string>{u"设备检测成功，当前设备ID读取中 ... ...",
                                                  u"设备ID读取成功", u"设备ID为 :ABC"}));
    EXPECT_EQ(dlg.m_page1.currentIdText, u"ABC");
    EXPECT_EQ(dlg.core.CurrentDevice(), nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);
}

TEST_F(LineTest, RemovalOfAnotherDiskRescansAndDisablesTheButtons) {
    line.Plug('E', 2048);
    line.PlugDisk('F');
    dlg.OnTabSelChange(1);
    dlg.m_page2.SetScanId(u"A1");
    Arrive();
    ASSERT_NE(dlg.core.CurrentDevice(), nullptr);
    ASSERT_TRUE(dlg.m_page2.writeButtonEnabled);

    line.Unplug('F');
    lines.clear();
    dlg.core.WindowProc(DeviceEvent::Removal);
    // E stays attached and was announced already: not again.
    EXPECT_EQ(lines, (std::vector<std::u16string>{u"设备已退出......", u"请插入新设备"}));
    EXPECT_EQ(dlg.core.CurrentDevice(), nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);
    EXPECT_FALSE(dlg.m_page1.manualWriteEnabled);
    EXPECT_FALSE(dlg.m_page2.writeButtonEnabled);
}

// Three devices on a hub, plugged one after another while the list page
// writes automatically: each gets the next ID in plug order, and events
// while they stay attached (another disk, a removal) write none of them
// again. Read mode then reads each one once as it arrives.
TEST_F(LineTest, DevicesAttachedTogetherAreEachWrittenOnceInPlugOrder) {
    dlg.m_page1.ReloadIdFile(ListFile("A1\nA2\nA3\nA4\n"));
    dlg.m_page1.OnBnClickedAutoWrite();
    ASSERT_TRUE(dlg.m_page1.IsAutoWriting());
    std::vector<std::u16string> written;
    auto record = [&] {
        for (const auto& l : lines)
            if (l.starts_with(u"烧写")) written.push_back(l);
    };
    std::map<char, std::shared_ptr<MemoryStorage>> storage;
    for (char letter : {'E', 'F', 'G'}) {
        storage[letter] = line.Plug(letter, 2048);
        Arrive();
        record();
    }
    line.PlugDisk('H');
    Arrive();
    record();
    line.Unplug('H');
    lines.clear();
    dlg.core.WindowProc(DeviceEvent::Removal);
    record();
    EXPECT_EQ(written, (std::vector<std::u16string>{u"烧写成功 ID: A1\n", u"烧写成功 ID: A2\n",
                                                    u"烧写成功 ID: A3\n"}));
    EXPECT_EQ(dlg.m_page1.m_cursor, 3u);
    dlg.m_page1.OnBnClickedAutoWrite();

    for (char letter : {'E', 'F', 'G'}) line.Unplug(letter);
    dlg.core.WindowProc(DeviceEvent::Removal);
    dlg.OnReadMode();
    std::vector<std::u16string> read;
    for (char letter : {'G', 'E', 'F'}) {
        line.Plug(letter, storage[letter]);
        Arrive();
        for (const auto& l : lines)
            if (l.starts_with(u"设备ID为")) read.push_back(l);
    }
    line.PlugDisk('H');
    Arrive();
    EXPECT_TRUE(lines.empty()) << "nothing read again";
    EXPECT_EQ(read,
              (std::vector<std::u16string>{u"设备ID为 :A3", u"设备ID为 :A1", u"设备ID为 :A2"}));
}

TEST_F(LineTest, ManualWriteThroughThePickerMarksTheEntry) {
    dlg.m_page1.ReloadIdFile(ListFile("A1\nB2\n"));
    line.Plug('E', 2048);
    Arrive();
    ASSERT_TRUE(dlg.m_page1.manualWriteEnabled);
    dlg.runPicker = [](CDlgListID& p) { return p.OnRowDoubleClicked(1); };
    lines.clear();
    dlg.m_page1.OnBnClickedManualWrite();
    // A blank device holds no ID to ask about: the check's read fails quietly.
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), u"烧写成功 ID: B2\n");
    EXPECT_TRUE(dlg.m_page1.m_ids.IsUsed(1));
    EXPECT_FALSE(dlg.m_page1.m_ids.IsUsed(0));
    ASSERT_GE(clock.sleeps.size(), 2u);
    EXPECT_EQ(clock.sleeps[0], 300u);
    EXPECT_EQ(clock.sleeps[1], 100u);
    EXPECT_TRUE(dlg.closeEnabled);
    EXPECT_FALSE(dlg.m_page1.manualWriteEnabled);
}

TEST_F(LineTest, DestroyWindowSavesAndClosesTheCurrentDevice) {
    line.Plug('E', 2048);
    dlg.OnTabSelChange(1);
    Arrive();
    ASSERT_EQ(line.OpenVolumes(), 1);
    dlg.DestroyWindow();
    EXPECT_EQ(dlg.core.CurrentDevice(), nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);
    EXPECT_NE(test::ReadFile(app.Path() / "tagsmith.cfg").find("tabmode=1"), std::string::npos);
}

}  // namespace
}  // namespace ts
