// The window controller that every desktop window draws, without a window:
// a recording view stands in for the toolkit. Its rules (close, quit, focus,
// the pause for the ledger's server), the last result through real writes
// on an in-memory line, the start-up check and the trainer's panel.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/BenchModel.h"
#include "app/LastResult.h"
#include "app/StartUp.h"
#include "app/WindowController.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

using test::TempDir;

// Records what the controller asks of a window.
struct RecordingView : WindowView {
    int focus = 0;
    int ends = 0;
    bool endedAccepted = false;
    int dismissed = 0;
    bool busy = false;
    bool held = false;
    std::vector<ResultState> shownStates;
    // Runs inside a pause, as the operator's events would.
    std::function<void()> duringPause;

    std::function<const LastResult&()> result;

    void ShowControls() override {}
    void ShowResult() override {
        if (result) shownStates.push_back(result().Current());
    }
    void FocusScanBox() override { ++focus; }
    void ShowBusy(bool b) override { busy = b; }
    bool RunPicker(CDlgListID&) override { return false; }
    void DismissModals() override { ++dismissed; }
    void EndRun(bool accepted) override {
        ++ends;
        endedAccepted = accepted;
    }
    void PumpRepaint() override {}
    void SleepRepainting(uint32_t) override {}
    void WaitHandling(uint32_t, const std::function<bool()>& goOn) override {
        if (duringPause && goOn()) duringPause();
    }
    void Drain() override {}
    void HoldDeviceEvents(bool hold) override { held = hold; }

    // Tasks posted from any thread, run by the test's (the window's) thread.
    std::mutex postedLock;
    std::deque<std::function<void()>> posted;
    void Post(std::function<void()> task) override {
        std::lock_guard lock(postedLock);
        posted.push_back(std::move(task));
    }
    // Runs what was posted until `done` holds; false after 20 s.
    bool RunPostedUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::deque<std::function<void()>> tasks;
            {
                std::lock_guard lock(postedLock);
                tasks.swap(posted);
            }
            for (auto& t : tasks) t();
            if (tasks.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
};

class ControllerTest : public ::testing::Test {
protected:
    TempDir app;
    RecordingView view;
    MemoryLine* line = nullptr;
    std::unique_ptr<WindowController> c;
    MemoryLogView log;
    ScriptedMessageBoxer boxes;

    void SetUp() override {
        test::InstallApp(app.Path(), {"modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
        auto owned = std::make_unique<MemoryLine>();
        line = owned.get();
        c = std::make_unique<WindowController>(view, std::move(owned));
        view.result = [this]() -> const LastResult& { return c->Result(); };
        ASSERT_EQ(c->Open(app.Dir(), log, boxes), StationOpen::Ok);
    }
    void TearDown() override {
        c->Finish();
        c.reset();
    }
    MainDialog& Model() { return c->Model(); }
    bool LogHas(const std::u16string& s) { return log.text.find(s) != std::u16string::npos; }
    // A device at E (blank, or with `faults`) arrives; the scan page writes `id`.
    void WriteOnScanPage(const std::u16string& id, SimFaults faults = {}) {
        line->Unplug('E');
        line->Plug('E', 2048, faults);
        c->OnDeviceEvent(DeviceEvent::Arrival);
        ASSERT_TRUE(Model().m_page2.writeButtonEnabled);
        Model().m_page2.SetScanId(id);
        WindowController::Handling handling(*c);
        Model().m_page2.OnBnClickedWrite();
    }
    // Arms the increment page: the controls are locked, a page writes by itself.
    void ArmIncrementPage() {
        c->OnTabSelChange(2);
        Model().m_page3.SetPrefix(u"AB");
        Model().m_page3.SetCounter(u"1");
        Model().m_page3.OnBnClickedWrite();
        ASSERT_FALSE(Model().closeEnabled);
    }
};

// ----------------------------------------------------------- close and quit ---

TEST_F(ControllerTest, TheCloseButtonEndsOnlyAnUnlockedWindow) {
    Model().EnableMainControls(false);
    c->OnCloseButton();
    EXPECT_FALSE(c->OnSystemClose());  // the title-bar close and Alt+F4
    EXPECT_EQ(view.ends, 0);
    Model().EnableMainControls(true);
    c->OnCloseButton();
    EXPECT_EQ(view.ends, 1);
    EXPECT_TRUE(view.endedAccepted);
}

TEST_F(ControllerTest, AQuitEndsALockedWindowOnceNoHandlerRuns) {
    ArmIncrementPage();
    c->BeginHandler();
    c->RequestQuit();
    EXPECT_EQ(view.dismissed, 1);  // open boxes answer as their Esc would
    EXPECT_EQ(view.ends, 0);       // the handler's flow returns first
    // Nothing new starts meanwhile: no device flow, no picker.
    line->Plug('E', 2048);
    c->OnDeviceEvent(DeviceEvent::Arrival);
    EXPECT_FALSE(LogHas(u"新设备检测成功"));
    CDlgListID picker;
    EXPECT_FALSE(Model().runPicker(picker));
    c->EndHandler();
    EXPECT_EQ(view.ends, 1);
    EXPECT_FALSE(view.endedAccepted);
    c->RequestQuit();
    EXPECT_EQ(view.ends, 1);
    // The end saves the settings once.
    c->Finish();
    EXPECT_NE(test::ReadFile(app.Path() / "tagsmith.cfg").find("tabmode=2"), std::string::npos);
}

// A pause for the ledger's server lets the operator close the locked window;
// device events wait, the result says so, and what it showed comes back.
TEST_F(ControllerTest, APauseHoldsDeviceEventsAndAllowsTheClose) {
    ArmIncrementPage();
    c->Result().WriteEnded(1, u"AB0");
    bool checked = false;
    view.duringPause = [&] {
        checked = true;
        EXPECT_TRUE(view.held);
        EXPECT_TRUE(c->Result().Paused());
        EXPECT_EQ(c->Result().Current(), ResultState::Waiting);
        EXPECT_TRUE(c->SystemCloseAllowed());
    };
    EXPECT_TRUE(Model().core.PauseAutomatic(1500));
    EXPECT_TRUE(checked);
    EXPECT_FALSE(view.held);
    EXPECT_FALSE(c->Result().Paused());
    EXPECT_EQ(c->Result().Current(), ResultState::Failed);
    EXPECT_EQ(c->Result().ShownId(), u"AB0");
    EXPECT_FALSE(c->SystemCloseAllowed());

    // Closing ends the pause, and no pause starts again.
    view.duringPause = [&] { EXPECT_TRUE(c->OnSystemClose()); };
    EXPECT_FALSE(Model().core.PauseAutomatic(1500));
    EXPECT_EQ(view.ends, 1);
    view.duringPause = [&] { ADD_FAILURE() << "paused while ending"; };
    EXPECT_FALSE(Model().core.PauseAutomatic(1500));
}

TEST_F(ControllerTest, AStoppedAutomaticModeEndsThePause) {
    ArmIncrementPage();
    view.duringPause = [&] { Model().m_page3.OnBnClickedWrite(); };  // "停止"
    EXPECT_FALSE(Model().core.PauseAutomatic(1500));
    EXPECT_EQ(view.ends, 0);
    EXPECT_TRUE(Model().closeEnabled);
}

// ------------------------------------------------------------------- focus ---

TEST_F(ControllerTest, TheScanBoxTakesTheKeyboardWhenADeviceIsReadyOnTheScanPage) {
    c->OnTabSelChange(1);
    EXPECT_EQ(view.focus, 1);
    line->Plug('E', 2048);
    c->OnDeviceEvent(DeviceEvent::Arrival);
    EXPECT_EQ(view.focus, 2);
    line->Unplug('E');
    c->OnDeviceEvent(DeviceEvent::Removal);  // no device: no focus
    EXPECT_EQ(view.focus, 2);
    c->OnReadMode();  // read mode shows the list page
    line->Plug('E', 2048);
    c->OnDeviceEvent(DeviceEvent::Arrival);
    EXPECT_EQ(view.focus, 2);
}

// ---------------------------------------------------- the last result panel ---

TEST_F(ControllerTest, ThePanelAndCountsFollowAPassAndAFail) {
    c->OnTabSelChange(1);
    WriteOnScanPage(u"BEEF01");
    const LastResult& r = c->Result();
    EXPECT_EQ(r.Current(), ResultState::Passed);
    EXPECT_EQ(r.Port().headline, u"烧写成功");
    EXPECT_EQ(r.ShownId(), u"BEEF01");
    EXPECT_EQ(r.Port().ProgressText(), u"烧写 100%");
    EXPECT_EQ(r.Counts().Text(), u"已烧写 1  失败 0");
    // The view saw the flow under way, and the busy cursor came and went.
    EXPECT_NE(std::find(view.shownStates.begin(), view.shownStates.end(), ResultState::Writing),
              view.shownStates.end());
    EXPECT_FALSE(view.busy);

    SimFaults unconfirmed;
    unconfirmed.finishText = "garbled";
    WriteOnScanPage(u"BEEF02", unconfirmed);
    EXPECT_EQ(r.Current(), ResultState::Failed);
    EXPECT_EQ(r.Port().headline, u"烧写失败");
    EXPECT_EQ(r.ShownId(), u"BEEF02");
    EXPECT_EQ(r.Counts().Text(), u"已烧写 1  失败 1");

    // The next device clears the panel, not the counts.
    line->Unplug('E');
    c->OnDeviceEvent(DeviceEvent::Removal);
    line->Plug('E', 2048);
    c->OnDeviceEvent(DeviceEvent::Arrival);
    EXPECT_EQ(r.Current(), ResultState::Idle);
    EXPECT_EQ(r.Port().headline, u"等待设备");
    EXPECT_TRUE(r.ShownId().empty());
    EXPECT_TRUE(r.Port().ProgressText().empty());
    EXPECT_EQ(r.FailedCount(), 1u);
}

// ---------------------------------------------------------------- gang mode ---

TEST_F(ControllerTest, GangModeShowsEachPortThroughAPassAFailAndAPull) {
    const std::thread::id windowThread = std::this_thread::get_id();
    bool drawnElsewhere = false;
    view.result = [&]() -> const LastResult& {
        drawnElsewhere = drawnElsewhere || std::this_thread::get_id() != windowThread;
        return c->Result();
    };
    auto port = [&](char letter) -> const PortResult* {
        for (const PortResult& p : c->Result().Ports())
            if (p.drive == std::u16string(1, letter) + u":") return &p;
        return nullptr;
    };
    auto stateOf = [&](char letter) {
        const PortResult* p = port(letter);
        return p ? p->state : ResultState::Idle;
    };
    ASSERT_TRUE(c->OnGangMode(true));
    // E is healthy, F refuses its second block.
    line->Plug('E', 2048);
    line->Plug('F', 2048, ParseSimFaults("check_at=write:2", "test"));
    ArmIncrementPage();
    EXPECT_FALSE(c->OnGangMode(false));  // not while automatic writing runs
    c->OnDeviceEvent(DeviceEvent::Arrival);
    ASSERT_TRUE(c->GangRunning());
    ASSERT_TRUE(view.RunPostedUntil(
        [&] { return c->Result().Counts().written + c->Result().Counts().failed == 2; }));
    ASSERT_TRUE(view.RunPostedUntil([&] {
        return stateOf('E') == ResultState::Passed && stateOf('F') == ResultState::Failed;
    }));
    EXPECT_EQ(port('E')->headline, u"烧写成功");
    EXPECT_EQ(port('F')->headline, u"烧写失败");
    EXPECT_NE(port('E')->id, port('F')->id);
    EXPECT_FALSE(port('E')->TimeText().empty());
    EXPECT_EQ(c->Result().WrittenCount(), 1u);
    EXPECT_EQ(c->Result().FailedCount(), 1u);
    // The workers' lines reached the window's log, each with its port.
    ASSERT_TRUE(view.RunPostedUntil([&] { return LogHas(u"[E") && LogHas(u"[F"); }));

    // A slow device at F, pulled in the middle of its write.
    line->Unplug('F');
    line->Plug('F', 2048, ParseSimFaults("latency=write:500", "test"));
    c->OnDeviceEvent(DeviceEvent::Arrival);
    ASSERT_TRUE(view.RunPostedUntil([&] { return stateOf('F') == ResultState::Writing; }));
    line->Unplug('F');
    c->OnDeviceEvent(DeviceEvent::Removal);
    ASSERT_TRUE(view.RunPostedUntil([&] { return port('F')->headline == u"设备已拔出"; }));
    EXPECT_EQ(stateOf('F'), ResultState::Failed);
    EXPECT_EQ(stateOf('E'), ResultState::Passed);
    ASSERT_TRUE(view.RunPostedUntil([&] { return c->Result().FailedCount() == 2; }));
    EXPECT_EQ(c->Result().WrittenCount(), 1u);

    // Stopping automatic writing ends the gang once its ports are idle; the
    // strip keeps what they showed.
    Model().m_page3.OnBnClickedWrite();
    ASSERT_TRUE(view.RunPostedUntil([&] { return !c->GangRunning(); }));
    EXPECT_EQ(stateOf('E'), ResultState::Passed);
    EXPECT_TRUE(c->OnGangMode(false));
    EXPECT_FALSE(drawnElsewhere);
}

TEST(LastResultTest, WhatEachEndOfAWriteShowsAndCounts) {
    struct Case {
        const char* name;
        bool sentAll;
        int result;
        bool passedOver;
        ResultState state;
        const char16_t* headline;
        uint64_t written, failed;
    };
    const Case cases[] = {
        {"written", true, 0, false, ResultState::Passed, u"烧写成功", 1, 0},
        {"failed", false, 1, false, ResultState::Failed, u"烧写失败", 0, 1},
        {"failed after sending", true, 457, false, ResultState::Failed, u"烧写失败", 0, 1},
        // The operator kept the ID the device held: success without a transfer.
        {"kept", false, 0, false, ResultState::NotWritten, u"未烧写", 0, 0},
        // Taken meanwhile by another run: the panel still says it is writing.
        {"passed over", false, 1, true, ResultState::Writing, u"烧写中...", 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        LastResult r;
        r.WriteStarts();
        r.BlockDone(FlowKind::Read, 1, 2);  // the write's own check reads first
        EXPECT_EQ(r.Current(), ResultState::Writing);
        r.ReadEnded(0, u"OLD");
        EXPECT_EQ(r.Current(), ResultState::Writing);
        if (k.sentAll) r.BlockDone(FlowKind::Write, 9, 8);  // never past the end
        r.WriteEnded(k.result, u"AB12", k.passedOver);
        EXPECT_EQ(r.Current(), k.state);
        EXPECT_EQ(r.Port().headline, k.headline);
        EXPECT_EQ(r.WrittenCount(), k.written);
        EXPECT_EQ(r.FailedCount(), k.failed);
    }
}

TEST(LastResultTest, ReadsShowTheirIdAndLongIdsKeepBothEnds) {
    LastResult r;
    r.BlockDone(FlowKind::Read, 0, 0);  // nothing to report
    EXPECT_EQ(r.Current(), ResultState::Idle);
    r.BlockDone(FlowKind::Read, 1, 3);
    EXPECT_EQ(r.Current(), ResultState::Reading);
    EXPECT_EQ(r.Port().ProgressText(), u"读取 33%");
    r.ReadEnded(0, u"C0FFEE");
    EXPECT_EQ(r.Port().headline, u"读取成功");
    EXPECT_EQ(r.ShownId(), u"C0FFEE");
    r.ReadEnded(498, u"");
    EXPECT_EQ(r.Port().headline, u"读取失败");
    EXPECT_EQ(r.Counts().Text(), u"已烧写 0  失败 0");  // reads count nothing

    EXPECT_EQ(ShortId(u"0123456789ABCDEF"), u"0123456789ABCDEF");
    EXPECT_EQ(ShortId(std::u16string(1024, u'A') + u"123456Z"), u"AAAAAAA\u2026123456Z");
}

// -------------------------------------------------------------- start-up ---

TEST(StartUpTest, Arguments) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::optional<std::string> sim;
        bool debug;
    };
    const Case cases[] = {
        {{}, true, std::nullopt, false},
        {{"--simulate", "line", "--debug"}, true, "line", true},
        {{"--debug", "--simulate", "a b"}, true, "a b", true},
        {{"--simulate"}, false, std::nullopt, false},
        {{"--verbose"}, false, std::nullopt, false},
        {{"line"}, false, std::nullopt, false},
    };
    for (const Case& k : cases) {
        StartArgs a;
        const bool ok = ParseStartArgs(k.args, &a);
        EXPECT_EQ(ok, k.ok) << testing::PrintToString(k.args);
        if (!ok) continue;
        EXPECT_EQ(a.simDir, k.sim);
        EXPECT_EQ(a.debug, k.debug);
    }
}

TEST(StartUpTest, TheApplicationFolderCheckNamesWhatStopsAStart) {
    AppFolderLock lock;
    AppFolderCheck check = CheckAppFolder(std::nullopt, lock, true);
    EXPECT_EQ(check.problem, AppFolderCheck::Problem::FolderUnknown);
    EXPECT_NE(StartProblemText(check).find(u"无法确定程序所在的目录"), std::u16string::npos);

    TempDir dir;
    check = CheckAppFolder(dir.Dir(), lock, true);
    EXPECT_TRUE(check.Ok());
    EXPECT_TRUE(StartProblemText(check).empty());

    // Another process (here: another lock) on the same folder.
    AppFolderLock second;
    check = CheckAppFolder(dir.Dir(), second, true);
    EXPECT_EQ(check.problem, AppFolderCheck::Problem::Busy);
    EXPECT_EQ(StartProblemText(check),
              u"程序目录 " + Utf8ToWide(dir.Dir()) + u" 正被另一个进程使用，程序无法启动！");

    TempDir other;
    std::filesystem::create_directory(other.Path() / "tagsmith.cfg");
    AppFolderLock third;
    check = CheckAppFolder(other.Dir(), third, false);
    EXPECT_EQ(check.problem, AppFolderCheck::Problem::ConfigNotFile);
    EXPECT_EQ(check.configKind, FileKind::Folder);
    EXPECT_EQ(StartProblemText(check), u"配置文件 " + Utf8ToWide(other.Dir() + "tagsmith.cfg") +
                                           u" 不是普通文件，程序无法启动！");
}

// ------------------------------------------------------- the trainer's panel ---

TEST(BenchModelTest, ActionsReachTheLineAndSayWhatTheyDid) {
    std::vector<std::string> calls;
    bool fail = false;
    BenchModel::Line line;
    line.plug = [&](const std::string& folder, char letter, uint64_t sectors, bool disk,
                    std::string& error) {
        calls.push_back(folder + letter + (disk ? " disk " : " new ") + std::to_string(sectors));
        error = "port taken";
        return !fail;
    };
    line.setFaults = [&](const std::string&, char, const std::string& lines, std::string&) {
        calls.push_back("faults " + lines);
        return true;
    };
    BenchModel bench("line", 'E', line);
    EXPECT_EQ(bench.Title(), u"培训台 (模拟 E:)");
    EXPECT_TRUE(bench.Message().empty());  // the start clears old faults quietly
    EXPECT_FALSE(bench.KeptAvailable());
    bench.PlugBlank();
    EXPECT_EQ(bench.Message(), u"已插入空白设备");
    fail = true;
    bench.PlugDisk();
    EXPECT_EQ(bench.Message(), u"操作失败：port taken");
    bench.SetFault(5);
    EXPECT_EQ(bench.FaultIndex(), 5);
    EXPECT_EQ(bench.Message(), u"故障设为：写入数据块被拒绝");
    bench.SetFault(99);  // no such fault: nothing happens
    EXPECT_EQ(bench.FaultIndex(), 5);
    const std::vector<std::string> expected = {"faults ", "lineE new 2048", "lineE disk 2048",
                                               "faults check_at=write:2\n"};
    EXPECT_EQ(calls, expected);
}

TEST(BenchModelTest, SeveralDevicesGoInAndOutTogether) {
    std::vector<std::string> calls;
    char refused = 0;
    BenchModel::Line line;
    line.plug = [&](const std::string&, char letter, uint64_t, bool, std::string& error) {
        calls.push_back(std::string("plug ") + letter);
        error = "port taken";
        return letter != refused;
    };
    line.unplug = [&](const std::string&, char letter, const std::string* keep, std::string&) {
        calls.push_back(std::string("unplug ") + letter + (keep ? " kept" : ""));
        return letter != 'G';  // nothing at G
    };
    BenchModel bench("line", 'E', line);
    bench.PlugSeveral();
    EXPECT_EQ(bench.Message(), u"已插入 4 个空白设备");
    bench.UnplugSeveral();
    EXPECT_EQ(bench.Message(), u"已拔出 3 个设备");
    // A refused port stops the rest and says why; those before it stay.
    refused = 'F';
    bench.PlugSeveral();
    EXPECT_EQ(bench.Message(), u"操作失败：port taken");
    const std::vector<std::string> expected = {"plug E",   "plug F",   "plug G",   "plug H",
                                               "unplug E", "unplug F", "unplug G", "unplug H",
                                               "plug E",   "plug F"};
    EXPECT_EQ(calls, expected);
}

}  // namespace
}  // namespace ts
