// tagsmith.exe end to end under a real window system: each test starts the
// program on a simulated line of its own and works it through its controls.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "GuiDriver.h"

using namespace ts::wingui;

namespace {

constexpr int kPage1 = 0, kPage2 = 1, kPage3 = 2;
constexpr wchar_t kReady[] = L"新设备检测成功";
constexpr wchar_t kWritten[] = L"烧写成功 ID: ";

// Double-clicks the first row of the picker's list view.
void DoubleClickFirstRow(HWND picker) {
    HWND list = GetDlgItem(picker, 1026);
    HWND header = FindWindowExW(list, nullptr, L"SysHeader32", nullptr);
    RECT h = {};
    if (header) GetWindowRect(header, &h);
    POINT origin = {0, 0};
    ClientToScreen(list, &origin);
    const int y = header ? h.bottom - origin.y + 6 : 24;
    PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(30, y));
}

}  // namespace

TEST(WinGui, ShowsTheWindowLogsAnArrivalAndKeepsOneCopy) {
    Station s("start");
    ASSERT_TRUE(s.Start());
    wchar_t title[64] = {};
    GetWindowTextW(s.Main(), title, 64);
    EXPECT_STREQ(title, L"Tagforge V200");
    EXPECT_EQ(s.Text(1000), L"关闭");
    EXPECT_EQ(s.Text(1009, kPage1), L"自动烧写");
    EXPECT_FALSE(s.Enabled(1008, kPage1));

    s.Plug();
    EXPECT_TRUE(s.WaitLog(kReady));
    s.Screenshot(s.Main(), "main-window");

    // A second start brings the first forward and ends at once.
    DWORD elapsed = 0;
    EXPECT_EQ(s.StartAnother(10000, &elapsed), 0);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_TRUE(s.Running());

    // The system menu's About entry.
    PostMessageW(s.Main(), WM_SYSCOMMAND, 0x10, 0);
    HWND about = s.WaitPopup();
    ASSERT_NE(about, nullptr);
    wchar_t caption[64] = {};
    GetWindowTextW(about, caption, 64);
    EXPECT_STREQ(caption, L"About Tagsmith");
    s.Screenshot(about, "about-box");
    s.Answer(about, IDOK);
    EXPECT_TRUE(WaitFor([&] { return s.Popup() == nullptr; }));

    // Enter and Esc do not end the window; the close button does, saving.
    PostMessageW(s.Control(1000), WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(s.Main(), WM_KEYDOWN, VK_ESCAPE, 0);
    Sleep(300);
    EXPECT_TRUE(s.Running());
    ASSERT_TRUE(s.Click(1000));
    EXPECT_TRUE(s.WaitExit(10000));
    const std::string cfg = s.ReadConfig();
    EXPECT_NE(cfg.find("[Option]"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("tabmode=0"), std::string::npos) << cfg;
}

TEST(WinGui, ListWritesThreeDevicesAutomaticallyThenSaysItIsExhausted) {
    Station s("list");
    const auto ids = s.WriteFile("list.ids", "1A2B0001\r\n1A2B0002\r\n1A2B0003\r\n");
    s.AddSettings("idfile=" + ids.string() + "\r\n");
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.Text(1005, kPage1), ids.wstring());
    EXPECT_EQ(s.Text(1007, kPage1), L"1A2B0001");

    ASSERT_TRUE(s.Click(1009, kPage1));
    ASSERT_TRUE(WaitFor([&] { return s.Text(1009, kPage1) == L"停止烧写"; }));
    EXPECT_FALSE(s.Enabled(1000));
    EXPECT_FALSE(s.Enabled(1001));
    EXPECT_FALSE(s.Enabled(1003));
    // The title-bar close is refused while locked.
    PostMessageW(s.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    Sleep(300);
    EXPECT_TRUE(s.Running());

    for (const wchar_t* id : {L"1A2B0001", L"1A2B0002", L"1A2B0003"}) {
        s.Plug();
        EXPECT_TRUE(s.WaitLog(std::wstring(kWritten) + id)) << s.Log();
        s.Unplug();
    }
    EXPECT_EQ(s.Text(1007, kPage1), L"1A2B0003");
    s.Plug();
    HWND box = s.WaitPopup();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(s.BoxText(box), L"id文件的id已经烧写完毕，请重新选择id文件之后再行烧录！");
    s.Screenshot(box, "list-exhausted");
    s.Answer(box, IDOK);
    EXPECT_TRUE(WaitFor([&] { return s.Text(1007, kPage1).empty(); }));

    ASSERT_TRUE(s.Click(1009, kPage1));
    EXPECT_TRUE(WaitFor([&] { return s.Text(1009, kPage1) == L"自动烧写"; }));
    EXPECT_TRUE(s.Enabled(1000));
}

TEST(WinGui, ManualWriteThroughThePickerAsksBeforeReusingAnId) {
    Station s("manual");
    const auto ids = s.WriteFile("list.ids", "AA01\r\nAA02\r\nBB01\r\n");
    s.AddSettings("idfile=" + ids.string() + "\r\n");
    ASSERT_TRUE(s.Start());
    for (size_t round = 1; round <= 2; ++round) {
        s.Plug();
        ASSERT_TRUE(WaitFor([&] { return s.Enabled(1008, kPage1); }));
        ASSERT_TRUE(s.Click(1008, kPage1));
        HWND picker = s.WaitPopup();
        ASSERT_NE(picker, nullptr);
        ASSERT_NE(GetDlgItem(picker, 1026), nullptr);
        // The filter ignores case: "aa0" leaves AA01 and AA02, AA01 first.
        SendMessageW(GetDlgItem(picker, 1025), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"aa0"));
        EXPECT_EQ(SendMessageW(GetDlgItem(picker, 1026), LVM_GETITEMCOUNT, 0, 0), 2);
        if (round == 1) s.Screenshot(picker, "picker");
        DoubleClickFirstRow(picker);
        if (round == 2) {
            HWND box = nullptr;
            ASSERT_TRUE(WaitFor([&] {
                box = s.Popup();
                return box && box != picker && GetDlgItem(box, 0xFFFF);
            }));
            // The ledger knows the ID as written: its question names when
            // and on which station.
            const std::wstring text = s.BoxText(box);
            EXPECT_EQ(text.rfind(L"该ID已于 ", 0), 0u) << text.size();
            EXPECT_NE(text.find(L"烧写过，确定要再次烧写？"), std::wstring::npos) << text.size();
            s.Screenshot(box, "picker-used-id");
            s.Answer(box, IDYES);
        }
        EXPECT_TRUE(s.WaitLog(std::wstring(kWritten) + L"AA01", round)) << s.Log();
        EXPECT_EQ(s.Text(1007, kPage1), L"AA01");
        EXPECT_TRUE(WaitFor([&] { return !s.Enabled(1008, kPage1) && s.Enabled(1000); }));
        s.Unplug();
    }
}

// The picker is a virtual list: a million IDs open and filter, and its
// cancel button writes nothing.
TEST(WinGui, PickerHoldsAMillionIdsAndCancelWritesNothing) {
    Station s("million");
    std::string list;
    list.reserve(10u << 20);
    char id[16];
    for (unsigned i = 0; i < 1000000; ++i) {
        std::snprintf(id, sizeof id, "C%06X\r\n", i);
        list += id;
    }
    const auto ids = s.WriteFile("million.ids", list);
    s.AddSettings("idfile=" + ids.string() + "\r\n");
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.Text(1007, kPage1), L"C000000");
    s.Plug();
    ASSERT_TRUE(WaitFor([&] { return s.Enabled(1008, kPage1); }));
    ASSERT_TRUE(s.Click(1008, kPage1));
    HWND picker = s.WaitPopup();
    ASSERT_NE(picker, nullptr);
    HWND rows = GetDlgItem(picker, 1026);
    EXPECT_EQ(SendMessageW(rows, LVM_GETITEMCOUNT, 0, 0), 1000000);
    SendMessageW(GetDlgItem(picker, 1025), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"c0f423"));
    EXPECT_EQ(SendMessageW(rows, LVM_GETITEMCOUNT, 0, 0), 16);
    SendMessageW(GetDlgItem(picker, 1025), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"c0f423f"));
    EXPECT_EQ(SendMessageW(rows, LVM_GETITEMCOUNT, 0, 0), 1);
    s.Answer(picker, IDCANCEL);
    EXPECT_TRUE(WaitFor([&] { return s.Popup() == nullptr; }));
    Sleep(300);
    EXPECT_EQ(s.LogCount(kWritten), 0u);
    EXPECT_TRUE(s.Enabled(1008, kPage1));  // nothing was locked or written
}

TEST(WinGui, ScanPageWritesTheTypedIdAndReadModeReadsItBack) {
    Station s("scan");
    s.AddSettings("tabmode=1\r\n");
    ASSERT_TRUE(s.Start());
    EXPECT_FALSE(s.Enabled(1012, kPage2));
    s.Plug();
    ASSERT_TRUE(WaitFor([&] { return s.Enabled(1012, kPage2); }));
    s.SetText(1011, kPage2, L"c0ffee");
    s.Screenshot(s.Main(), "scan-page");
    ASSERT_TRUE(s.Click(1012, kPage2));
    EXPECT_TRUE(s.WaitLog(std::wstring(kWritten) + L"C0FFEE")) << s.Log();
    EXPECT_EQ(s.Text(1011, kPage2), L"C0FFEE");
    const auto kept = s.Line().parent_path() / "kept.img";
    s.Unplug(kept);
    EXPECT_FALSE(s.Enabled(1012, kPage2));

    // Read mode: the first page, the tabs disabled, the ID read back.
    ASSERT_TRUE(s.Click(1002));
    EXPECT_TRUE(WaitFor([&] { return !s.Enabled(1003); }));
    EXPECT_TRUE(IsWindowVisible(GetParent(s.Control(1007, kPage1))));
    ASSERT_TRUE(MoveFileW(kept.wstring().c_str(), (s.Line() / "E.img").wstring().c_str()));
    EXPECT_TRUE(WaitFor([&] { return s.Text(1007, kPage1) == L"C0FFEE"; }));
    s.Screenshot(s.Main(), "read-mode");
}

// The column right of the template: the last result and the counts through a
// pass and a fail, the devices plugged and the fault set on the trainer's
// panel (the window runs on a simulated line).
TEST(WinGui, ResultPanelAndCountsFollowAPassAndAFail) {
    constexpr int kResult = 1030, kCounts = 1031, kProgress = 1032;
    constexpr int kBenchBlank = 1041, kBenchKept = 1042, kBenchUnplug = 1044;
    constexpr int kBenchFault = 1046, kBenchMessage = 1047;
    Station s("result");
    s.AddSettings("tabmode=1\r\n");
    ASSERT_TRUE(s.Start());
    // Started on the scan page, the list page is hidden under it.
    EXPECT_FALSE(IsWindowVisible(GetParent(s.Control(1004, kPage1))));
    EXPECT_EQ(s.Text(kResult), L"等待设备");
    EXPECT_EQ(s.Text(kCounts), L"已烧写 0  失败 0");
    EXPECT_FALSE(s.Enabled(kBenchKept));
    // Right of every template control: nothing of the template is covered.
    RECT log = {}, tabs = {}, close = {};
    GetWindowRect(s.Control(1010), &log);
    GetWindowRect(s.Control(1003), &tabs);
    GetWindowRect(s.Control(1000), &close);
    for (int id : {kResult, kCounts, kProgress, 1040}) {
        RECT r = {};
        ASSERT_TRUE(GetWindowRect(s.Control(id), &r)) << id;
        EXPECT_GE(r.left, std::max({log.right, tabs.right, close.right})) << id;
    }

    // Writes the ID on the scan page into the device the bench plugs; the
    // panel's text once it changed.
    auto writeOne = [&](const wchar_t* id) {
        ASSERT_TRUE(s.Click(kBenchBlank));
        ASSERT_TRUE(WaitFor([&] { return s.Enabled(1012, kPage2); })) << s.Log();
        s.SetText(1011, kPage2, id);
        ASSERT_TRUE(s.Click(1012, kPage2));
        ASSERT_TRUE(WaitFor([&] {
            if (HWND box = s.Popup()) s.Answer(box, IDOK);  // a failure may say so
            return s.Text(kResult).find(id) != std::wstring::npos;
        })) << s.Text(kResult);
    };
    writeOne(L"C0FFEE");
    EXPECT_EQ(s.Text(kResult), L"烧写成功\r\nID: C0FFEE");
    EXPECT_EQ(s.Text(kCounts), L"已烧写 1  失败 0");
    EXPECT_EQ(s.Text(kProgress), L"烧写 100%");
    s.Screenshot(s.Main(), "result-pass");

    // Unplugged by the bench, the device is kept to be plugged back.
    ASSERT_TRUE(s.Click(kBenchUnplug));
    EXPECT_TRUE(s.WaitLog(L"请插入新设备"));
    EXPECT_TRUE(WaitFor([&] { return s.Enabled(kBenchKept); }));

    // The next device does not confirm its write.
    HWND faults = s.Control(kBenchFault);
    SendMessageW(faults, CB_SETCURSEL, 6, 0);
    PostMessageW(s.Main(), WM_COMMAND, MAKEWPARAM(kBenchFault, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(faults));
    ASSERT_TRUE(WaitFor([&] { return s.Text(kBenchMessage) == L"故障设为：烧写完成未被确认"; }))
        << s.Text(kBenchMessage);
    writeOne(L"C0FFEF");
    EXPECT_EQ(s.Text(kResult), L"烧写失败\r\nID: C0FFEF");
    EXPECT_EQ(s.Text(kCounts), L"已烧写 1  失败 1");
    s.Screenshot(s.Main(), "result-fail");

    // The next device clears the panel, not the counts.
    ASSERT_TRUE(s.Click(kBenchUnplug));
    EXPECT_TRUE(s.WaitLog(L"请插入新设备", 2));
    ASSERT_TRUE(s.Click(kBenchBlank));
    EXPECT_TRUE(WaitFor([&] { return s.Text(kResult) == L"等待设备"; })) << s.Text(kResult);
    EXPECT_EQ(s.Text(kCounts), L"已烧写 1  失败 1");
}

// Gang mode from tagsmith.cfg: the bench plugs four devices at once, one of
// them refusing a block; the strip holds a row for each port.
TEST(WinGui, GangModeWritesFourDevicesAtOnceWithTheStrip) {
    constexpr int kCounts = 1031, kGangBox = 1033, kStrip = 1034, kBenchSeveral = 1048;
    Station s("gang");
    s.AddSettings("tabmode=2\r\nidprefix=AB\r\nidauto=1\r\ngang=1\r\n");
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(SendMessageW(s.Control(kGangBox), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(IsWindowVisible(s.Control(kStrip)));
    ASSERT_TRUE(s.Click(1012, kPage3));
    ASSERT_TRUE(WaitFor([&] { return s.Text(1012, kPage3) == L"停止"; }));
    EXPECT_FALSE(s.Enabled(kGangBox));
    std::ofstream(s.Line() / "F.fault", std::ios::binary) << "check_at=write:2\n";
    ASSERT_TRUE(s.Click(kBenchSeveral));
    EXPECT_TRUE(WaitFor([&] { return s.Text(kCounts) == L"已烧写 3  失败 1"; }, 60000))
        << s.Text(kCounts) << L"\n"
        << s.Log();
    EXPECT_EQ(SendMessageW(s.Control(kStrip), LVM_GETITEMCOUNT, 0, 0), 4);
    for (const wchar_t* port : {L"[E:]", L"[F:]", L"[G:]", L"[H:]"})
        EXPECT_NE(s.Log().find(port), std::wstring::npos) << port;
    s.Screenshot(s.Main(), "gang");
    // Stopped, the ports idle: the check box is the operator's again.
    ASSERT_TRUE(s.Click(1012, kPage3));
    EXPECT_TRUE(WaitFor([&] { return s.Enabled(kGangBox); }));
}

TEST(WinGui, IncrementPageCountsDownToTheZeroGuardAndACloseRequestSaves) {
    Station s("increment");
    s.AddSettings("tabmode=2\r\nmode=0\r\nidprefix=AB\r\nidauto=2\r\nidsuffix=CD\r\n");
    ASSERT_TRUE(s.Start());
    EXPECT_EQ(s.Text(1021, kPage3), L"2");
    ASSERT_TRUE(s.Click(1012, kPage3));
    ASSERT_TRUE(WaitFor([&] { return s.Text(1012, kPage3) == L"停止"; }));
    EXPECT_FALSE(s.Enabled(1020, kPage3));
    EXPECT_FALSE(s.Enabled(1000));
    s.Screenshot(s.Main(), "increment-page");
    for (const wchar_t* id : {L"AB2CD", L"AB1CD"}) {
        s.Plug();
        EXPECT_TRUE(s.WaitLog(std::wstring(kWritten) + id)) << s.Log();
        s.Unplug();
    }
    EXPECT_EQ(s.Text(1021, kPage3), L"0");
    s.Plug();
    HWND box = s.WaitPopup();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(s.BoxText(box), L"自变数据段不能留空或者为零……");
    s.Answer(box, IDOK);
    EXPECT_EQ(s.LogCount(std::wstring(kWritten) + L"AB0CD"), 0u);

    // A close request from outside ends the window even while it is locked,
    // with the settings saved as the close button saves them.
    PostMessageW(s.Main(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(s.WaitExit(10000));
    const std::string cfg = s.ReadConfig();
    EXPECT_NE(cfg.find("idauto=0"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("tabmode=2"), std::string::npos) << cfg;
    EXPECT_NE(cfg.find("mode=0"), std::string::npos) << cfg;
}

// The program a setup installed (scripts/test-setup.sh names it) starts on a
// line and ends on a close request.
TEST(WinSetup, InstalledProgramStarts) {
    wchar_t exe[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"TAGSMITH_INSTALLED", exe, MAX_PATH))
        GTEST_SKIP() << "no installed program named";
    wchar_t tmp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tmp);
    const std::wstring line = std::wstring(tmp) + L"tagsmith-setup-line";
    CreateDirectoryW(line.c_str(), nullptr);
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --simulate \"" + line + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    // Found once it shows, its initialisation done.
    HWND main = nullptr;
    EXPECT_TRUE(WaitFor([&] {
        main = FindWindowW(L"CTagsmithApp", nullptr);
        return main && IsWindowVisible(main);
    }));
    if (main) {
        wchar_t title[64] = {};
        GetWindowTextW(main, title, 64);
        EXPECT_STREQ(title, L"Tagforge V200");
        PostMessageW(main, WM_CLOSE, 0, 0);
    }
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
    TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}
