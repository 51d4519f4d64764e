// Discovery and dispatch on an in-memory line: which drive is dispatched,
// the log lines and their order, the buttons, the current device, and
// events that arrive in the middle of a scan.
#include <gtest/gtest.h>

#include "tests/deviceops/FlowFixture.h"

namespace ts::test {
namespace {

class DiscoveryTest : public FlowFixture {};

TEST_F(DiscoveryTest, FirstAnsweringRemovableDriveIsDispatched) {
    core.m_bWriteMode = 1;
    pages.scanId = u"AB";
    line.Plug('A', 2048);  // never opened, even though it would answer
    line.PlugDisk('B');    // opened, does not answer
    line.Plug('F', 2048);
    line.Plug('G', 2048);
    DebugCapture debug;
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"新设备检测成功，现在可以进行ID烧写操作了"});
    ASSERT_NE(core.m_pCurDevice, nullptr);
    EXPECT_STREQ(core.m_pCurDevice->path, "\\\\.\\F:");
    EXPECT_EQ(line.OpenVolumes(), 1) << "B was closed, G never opened";
    EXPECT_TRUE(pages.manualEnabled);
    EXPECT_TRUE(pages.writeEnabled);
    // Two handshakes: B and F.
    size_t n = 0;
    for (size_t p = 0; (p = debug.Text().find("HandShakePipeSend", p)) != std::string::npos; ++p)
        ++n;
    EXPECT_EQ(n, 2u);
}

TEST_F(DiscoveryTest, WriteModeAnnouncementsAndFollowUps) {
    struct Case {
        const char* name;
        int tab;
        std::u16string scanId;
        bool autoWriting, autoRun;
        const char* logLine;
        int autoCalls, runCalls;
        bool buttons;
    };
    const Case cases[] = {
        {"scan page, empty box", 1, u"", false, false, "新设备检测成功，当前无序列号可用", 0, 0,
         true},
        {"scan page, ID", 1, u"AB", false, false, "新设备检测成功，现在可以进行ID烧写操作了", 0, 0,
         true},
        {"list exhausted, auto", 0, u"", true, false, "新设备检测成功，当前无序列号可用", 1, 0,
         false},
        {"increment page armed", 2, u"", false, true, "新设备检测成功，现在可以进行ID烧写操作了", 0,
         1, false},
    };
    line.Plug('E', 2048);
    core.m_bWriteMode = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pages = FakePages{};
        pages.tab = c.tab;
        pages.scanId = c.scanId;
        pages.autoWriting = c.autoWriting;
        pages.autoRun = c.autoRun;
        pages.prefix = u"P";
        pages.counter = u"1";
        pages.suffix = u"S";
        log.text.clear();
        core.WindowProc(DeviceEvent::Arrival);
        EXPECT_EQ(LogLines(), std::vector<std::string>{c.logLine});
        EXPECT_EQ(pages.writeNextIdAutoCalls, c.autoCalls);
        EXPECT_EQ(pages.writeNextIdCalls, c.runCalls);
        EXPECT_EQ(pages.manualEnabled, c.buttons);
        EXPECT_EQ(pages.writeEnabled, c.buttons);
        EXPECT_NE(core.m_pCurDevice, nullptr);
        EXPECT_EQ(line.OpenVolumes(), 1) << "the previous current device was closed";
    }
}

TEST_F(DiscoveryTest, EmptyIdFollowUpRunsBeforeTheDeviceBecomesCurrent) {
    line.Plug('E', 2048);
    core.m_bWriteMode = 1;
    pages.tab = 0;
    pages.autoWriting = true;
    DeviceHandle* seen = reinterpret_cast<DeviceHandle*>(1);
    pages.onWriteNextIdAuto = [&] { seen = core.m_pCurDevice; };
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(seen, nullptr);
    EXPECT_NE(core.m_pCurDevice, nullptr);
}

TEST_F(DiscoveryTest, RemovalClosesRescansAndDisablesButtons) {
    line.Plug('E', 2048);
    core.m_bWriteMode = 1;
    pages.scanId = u"AB";
    core.WindowProc(DeviceEvent::Arrival);
    log.text.clear();
    // An unrelated disk leaves; E stays attached and is found again.
    core.WindowProc(DeviceEvent::Removal);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备已退出......", "请插入新设备",
                                                    "新设备检测成功，现在可以进行ID烧写操作了"}));
    EXPECT_FALSE(pages.manualEnabled) << "the removal handling disables them after the rescan";
    EXPECT_FALSE(pages.writeEnabled);
    EXPECT_EQ(line.OpenVolumes(), 1);

    line.Unplug('E');
    log.text.clear();
    core.WindowProc(DeviceEvent::Removal);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备已退出......", "请插入新设备"}));
    EXPECT_EQ(core.m_pCurDevice, nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);

    // With automatic writing on, the buttons are left alone.
    pages.autoRun = true;
    pages.writeEnabled = pages.manualEnabled = true;
    core.WindowProc(DeviceEvent::Removal);
    EXPECT_TRUE(pages.writeEnabled);
}

TEST_F(DiscoveryTest, ReadModeShowsTheIdAndClosesTheDevice) {
    line.Plug('E', 2048);
    OpenCurrent();
    pages.autoWriting = true;
    ASSERT_EQ(core.WriteDeviceSN(u"ABC"), 0);
    pages = FakePages{};
    pages.tab = 0;
    core.m_bWriteMode = 0;
    log.text.clear();
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备检测成功，当前设备ID读取中 ... ...",
                                                    "设备ID读取成功", "设备ID为 :ABC"}));
    EXPECT_EQ(pages.currentIdText, u"ABC");
    EXPECT_EQ(core.m_pCurDevice, nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);

    line.Unplug('E');
    line.Plug('E', 2048);  // blank: the read fails
    log.text.clear();
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备检测成功，当前设备ID读取中 ... ...",
                                                    "读取SN文件失败 Ln:518",
                                                    "设备ID读取失败，请重新插拔设备读取"}));
    EXPECT_EQ(pages.currentIdText, u"读取中...");
    EXPECT_EQ(line.OpenVolumes(), 0);
}

TEST_F(DiscoveryTest, DriveFailingTheHandshakeClosesTheCurrentDevice) {
    line.Plug('E', 2048);
    core.m_bWriteMode = 1;
    pages.scanId = u"AB";
    core.WindowProc(DeviceEvent::Arrival);
    ASSERT_NE(core.m_pCurDevice, nullptr);
    line.Unplug('E');
    line.PlugDisk('D');
    core.ScanDevices();
    // The handshake buffer now holds D's answer: nothing may pair it with E.
    EXPECT_EQ(core.m_pCurDevice, nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0) << "closed, not leaked";
    EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
}

TEST_F(DiscoveryTest, HandshakeMatchesOnTheFirstThirteenBytesOnly) {
    struct Case {
        const char* name;
        std::string answer;
        bool dispatched;
    };
    const Case cases[] = {
        {"text, zero, anything after", std::string("usbhandshake\0\xFF\xFE\x01", 16), true},
        {"non-zero at offset 12", "usbhandshakeX", false},
        {"other text", "usbhandshakX", false},
    };
    core.m_bWriteMode = 1;
    pages.scanId = u"AB";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimFaults f;
        f.handshakeText = c.answer;
        line.Plug('E', 2048, f);
        core.WindowProc(DeviceEvent::Arrival);
        EXPECT_EQ(core.m_pCurDevice != nullptr, c.dispatched);
        core.CloseCurrentDevice();
        line.Unplug('E');
    }
}

TEST_F(DiscoveryTest, NestedEventsDuringAScanNeitherLeakNorUseAClosedDevice) {
    core.m_bWriteMode = 1;
    pages.scanId = u"AB";
    line.Plug('E', 2048);
    line.Plug('F', 2048);
    // While the outer scan is about to handshake E, an arrival and a
    // removal are handled: each runs a whole nested scan and dispatch.
    int drains = 0;
    core.SetDrainHook([&] {
        if (drains++ > 0) return;
        core.WindowProc(DeviceEvent::Arrival);
        core.WindowProc(DeviceEvent::Removal);
    });
    core.WindowProc(DeviceEvent::Arrival);
    core.SetDrainHook(nullptr);
    ASSERT_NE(core.m_pCurDevice, nullptr);
    EXPECT_STREQ(core.m_pCurDevice->path, "\\\\.\\E:");
    EXPECT_EQ(line.OpenVolumes(), 1) << "every replaced device was closed";
    // The surviving device works.
    EXPECT_EQ(core.WriteDeviceSN(u"AB"), 0);
    EXPECT_EQ(line.OpenVolumes(), 0);
}

TEST_F(DiscoveryTest, OtherEventsAndNoDrivesDoNothing) {
    core.m_bWriteMode = 1;
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(log.text, u"");
    EXPECT_EQ(core.m_pCurDevice, nullptr);
}

}  // namespace
}  // namespace ts::test
