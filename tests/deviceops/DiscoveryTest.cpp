// Discovery and dispatch on an in-memory line: which drive is dispatched,
// the log lines and their order, the buttons, the current device, and
// events that arrive in the middle of a scan.
#include <gtest/gtest.h>

#include <functional>

#include "deviceops/FlowSupport.h"
#include "platform/LittleEndian.h"
#include "sim/SimLine.h"
#include "tests/deviceops/FlowFixture.h"

namespace ts::test {
namespace {

class DiscoveryTest : public FlowFixture {};

TEST_F(DiscoveryTest, FirstAnsweringRemovableDriveIsDispatched) {
    core.SetWriteMode(true);
    page.next = u"AB";
    line.Plug('A', 2048);  // never opened, even though it would answer
    line.PlugDisk('B');    // opened, does not answer
    line.Plug('F', 2048);
    line.Plug('G', 2048);
    DebugCapture debug;
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"新设备检测成功，现在可以进行ID烧写操作了"});
    ASSERT_NE(core.CurrentDevice(), nullptr);
    EXPECT_STREQ(core.CurrentDevice()->path, "\\\\.\\F:");
    EXPECT_EQ(line.OpenVolumes(), 1) << "B was closed, G never opened";
    EXPECT_TRUE(page.enabled);
    EXPECT_TRUE(page.enabled);
    // Two handshakes: B and F.
    size_t n = 0;
    for (size_t p = 0; (p = debug.Text().find("HandShakePipeSend", p)) != std::string::npos; ++p)
        ++n;
    EXPECT_EQ(n, 2u);
}

TEST_F(DiscoveryTest, WriteModeAnnouncementsAndFollowUps) {
    struct Case {
        const char* name;
        std::u16string next;
        bool automatic;
        const char* logLine;
        bool buttons;
    };
    const Case cases[] = {
        {"manual page, no ID", u"", false, "新设备检测成功，当前无序列号可用", true},
        {"manual page, ID", u"AB", false, "新设备检测成功，现在可以进行ID烧写操作了", true},
        {"automatic page, no ID left", u"", true, "新设备检测成功，当前无序列号可用", false},
        {"automatic page, ID", u"P1S", true, "新设备检测成功，现在可以进行ID烧写操作了", false},
    };
    core.SetWriteMode(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case a new attachment: the last case's device went away.
        line.Unplug('E');
        line.Plug('E', 2048);
        page = FakePage{};
        page.next = c.next;
        page.automatic = c.automatic;
        log.text.clear();
        core.WindowProc(DeviceEvent::Arrival);
        EXPECT_EQ(LogLines(), std::vector<std::string>{c.logLine});
        EXPECT_EQ(page.readyCalls, 1);
        EXPECT_EQ(page.enabled, c.buttons);
        EXPECT_NE(core.CurrentDevice(), nullptr);
        EXPECT_EQ(line.OpenVolumes(), 1) << "the previous current device was closed";
    }
}

// Every page hears of a ready device (its write button comes on whichever
// tab is shown), except while one page writes by itself: then only that one
// does, and the selected page alone announces and shows IDs.
TEST_F(DiscoveryTest, SelectedPageAnnouncesAndAutomaticPageAloneWrites) {
    FakePage list, scan;
    list.next = u"L1";
    scan.next = u"S1";
    IdPage* const pages[] = {&list, &scan};
    core.SetPages(pages);
    core.SelectPage(1);
    core.SetWriteMode(true);
    line.Plug('E', 2048);
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"新设备检测成功，现在可以进行ID烧写操作了"});
    EXPECT_EQ(list.readyCalls, 1);
    EXPECT_EQ(scan.readyCalls, 1);
    EXPECT_TRUE(list.enabled && scan.enabled);

    line.Unplug('E');
    core.WindowProc(DeviceEvent::Removal);
    EXPECT_FALSE(list.enabled || scan.enabled);

    list.automatic = true;
    core.SelectPage(0);
    line.Plug('E', 2048);
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(list.readyCalls, 2);
    EXPECT_EQ(scan.readyCalls, 1);
    EXPECT_FALSE(scan.enabled);

    // No page selected: nothing to announce.
    core.SelectPage(-1);
    line.Unplug('E');
    line.Plug('E', 2048);
    log.text.clear();
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"新设备检测成功，当前无序列号可用"});
}

TEST_F(DiscoveryTest, EmptyIdFollowUpRunsBeforeTheDeviceBecomesCurrent) {
    line.Plug('E', 2048);
    core.SetWriteMode(true);
    page.automatic = true;
    DeviceHandle* seen = reinterpret_cast<DeviceHandle*>(1);
    page.onReady = [&] { seen = core.CurrentDevice(); };
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(seen, nullptr);
    EXPECT_NE(core.CurrentDevice(), nullptr);
}

TEST_F(DiscoveryTest, RemovalClosesRescansAndDisablesButtons) {
    line.Plug('E', 2048);
    core.SetWriteMode(true);
    page.next = u"AB";
    core.WindowProc(DeviceEvent::Arrival);
    log.text.clear();
    // An unrelated disk leaves; E stays attached, was handled already and is
    // not announced again.
    core.WindowProc(DeviceEvent::Removal);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备已退出......", "请插入新设备"}));
    EXPECT_FALSE(page.enabled);
    EXPECT_FALSE(page.enabled);
    EXPECT_EQ(core.CurrentDevice(), nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);

    line.Unplug('E');
    log.text.clear();
    core.WindowProc(DeviceEvent::Removal);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备已退出......", "请插入新设备"}));
    EXPECT_EQ(core.CurrentDevice(), nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);

    // With automatic writing on, the buttons are left alone.
    page.automatic = true;
    page.enabled = true;
    core.WindowProc(DeviceEvent::Removal);
    EXPECT_TRUE(page.enabled);
}

TEST_F(DiscoveryTest, ReadModeShowsTheIdAndClosesTheDevice) {
    line.Plug('E', 2048);
    OpenCurrent();
    page.automatic = true;
    ASSERT_EQ(core.WriteDeviceSN(u"ABC"), 0);
    page = FakePage{};
    core.SetWriteMode(false);
    log.text.clear();
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备检测成功，当前设备ID读取中 ... ...",
                                                    "设备ID读取成功", "设备ID为 :ABC"}));
    EXPECT_EQ(page.shown, u"ABC");
    EXPECT_EQ(core.CurrentDevice(), nullptr);
    EXPECT_EQ(line.OpenVolumes(), 0);

    line.Unplug('E');
    line.Plug('E', 2048);  // blank: the read fails
    log.text.clear();
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备检测成功，当前设备ID读取中 ... ...",
                                                    "读取SN文件失败 Ln:518",
                                                    "设备ID读取失败，请重新插拔设备读取"}));
    EXPECT_EQ(page.shown, u"读取中...");
    EXPECT_EQ(line.OpenVolumes(), 0);
}

// A drive that does not answer leaves the current device alone when that is
// still attached, with its own handshake answer; a current device whose
// drive has gone is closed by the scan.
TEST_F(DiscoveryTest, DriveFailingTheHandshakeLeavesAnAttachedCurrentDevice) {
    struct Case {
        const char* name;
        bool currentStays;
        int write;
    };
    const Case cases[] = {
        {"current device unplugged", false, 1},
        {"current device still attached", true, 0},
    };
    core.SetWriteMode(true);
    page.next = u"AB";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Plug('E', 2048);
        core.WindowProc(DeviceEvent::Arrival);
        ASSERT_NE(core.CurrentDevice(), nullptr);
        if (!c.currentStays) line.Unplug('E');
        line.PlugDisk('D');
        core.ScanDevices();
        EXPECT_EQ(core.CurrentDevice() != nullptr, c.currentStays);
        EXPECT_EQ(line.OpenVolumes(), c.currentStays ? 1 : 0) << "closed, not leaked";
        page.automatic = true;  // no question: the transfer alone tells
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), c.write);
        page.automatic = false;
        EXPECT_EQ(line.OpenVolumes(), 0);
        line.Unplug('D');
        line.Unplug('E');
    }
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
    core.SetWriteMode(true);
    page.next = u"AB";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimFaults f;
        f.handshakeText = c.answer;
        line.Plug('E', 2048, f);
        core.WindowProc(DeviceEvent::Arrival);
        EXPECT_EQ(core.CurrentDevice() != nullptr, c.dispatched);
        core.CloseCurrentDevice();
        line.Unplug('E');
    }
}

TEST_F(DiscoveryTest, NestedEventsDuringAScanNeitherLeakNorUseAClosedDevice) {
    core.SetWriteMode(true);
    page.next = u"AB";
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
    ASSERT_NE(core.CurrentDevice(), nullptr);
    EXPECT_STREQ(core.CurrentDevice()->path, "\\\\.\\E:");
    EXPECT_EQ(line.OpenVolumes(), 1) << "every replaced device was closed";
    // The surviving device works.
    EXPECT_EQ(core.WriteDeviceSN(u"AB"), 0);
    EXPECT_EQ(line.OpenVolumes(), 0);
}

// Several devices attached at once (a hub): every arrival dispatches the
// device that came, never again one that was handled and stayed attached,
// and other events dispatch nothing. Plugged in again, a device is new.
TEST_F(DiscoveryTest, EachDeviceIsDispatchedOncePerAttachment) {
    struct Case {
        const char* name;
        int writeMode;
        bool autoRun;
    };
    const Case cases[] = {
        {"write mode, manual buttons", 1, false},
        {"write mode, increment page armed", 1, true},
        {"read mode", 0, false},
    };
    // What each step dispatched, told by the size its handshake reported
    // (0: nothing).
    const std::vector<uint32_t> expected = {2048, 2049, 2050, 0, 0, 0, 2049};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        page = FakePage{};
        page.next = u"AB";
        page.automatic = c.autoRun;
        core.SetWriteMode(c.writeMode);
        std::shared_ptr<MemoryStorage> f;
        const std::function<void()> steps[] = {
            [&] { line.Plug('E', 2048), core.WindowProc(DeviceEvent::Arrival); },
            [&] { f = line.Plug('F', 2049), core.WindowProc(DeviceEvent::Arrival); },
            [&] { line.Plug('G', 2050), core.WindowProc(DeviceEvent::Arrival); },
            [&] { line.PlugDisk('D'), core.WindowProc(DeviceEvent::Arrival); },
            [&] { line.Unplug('D'), core.WindowProc(DeviceEvent::Removal); },
            [&] { line.Unplug('F'), core.WindowProc(DeviceEvent::Removal); },
            [&] { line.Plug('F', f), core.WindowProc(DeviceEvent::Arrival); },
        };
        std::vector<uint32_t> dispatched;
        for (const auto& step : steps) {
            log.text.clear();
            step();
            size_t n = 0;
            for (const std::string& l : LogLines())
                n += l.starts_with("新设备检测成功") || l.starts_with("设备检测成功");
            EXPECT_LE(n, 1u);
            dispatched.push_back(n ? GetLe32(core.HandShakeAnswer().data() + 16) : 0);
        }
        EXPECT_EQ(dispatched, expected);
        core.CloseCurrentDevice();
        for (char letter : {'E', 'F', 'G'}) line.Unplug(letter);
        core.WindowProc(DeviceEvent::Removal);
    }
}

// A device that another program holds open is left to it, with a line that
// says so; the scan goes on, and takes the device once it is free.
TEST_F(DiscoveryTest, DeviceHeldByAnotherProgramIsLeftToIt) {
    TempDir folder;
    std::string error;
    ASSERT_TRUE(SimPlug(folder.Path().string(), 'E', 2048, false, error)) << error;
    ASSERT_TRUE(SimPlug(folder.Path().string(), 'F', 2049, false, error)) << error;
    auto sim = MakeSimLine(folder.Path().string());
    core.SetDrives(sim.get());
    auto otherLine = MakeSimLine(folder.Path().string());
    DeviceControl other(otherLine.get());
    DeviceHandle* held = other.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    ASSERT_NE(held, nullptr);

    core.SetWriteMode(true);
    page.next = u"AB";
    DebugCapture debug;
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"设备 E:\\ 正被其他程序使用，无法打开",
                                                    "新设备检测成功，现在可以进行ID烧写操作了"}));
    EXPECT_NE(debug.Text().find("DeviceOpen Error = 16\n"), std::string::npos);
    ASSERT_NE(core.CurrentDevice(), nullptr);
    EXPECT_STREQ(core.CurrentDevice()->path, "\\\\.\\F:");

    other.DeviceClose(held);
    log.text.clear();
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"新设备检测成功，现在可以进行ID烧写操作了"});
    ASSERT_NE(core.CurrentDevice(), nullptr);
    EXPECT_STREQ(core.CurrentDevice()->path, "\\\\.\\E:");
    core.CloseCurrentDevice();
    core.SetDrives(&line);
}

TEST_F(DiscoveryTest, OtherEventsAndNoDrivesDoNothing) {
    core.SetWriteMode(true);
    core.WindowProc(DeviceEvent::Arrival);
    EXPECT_EQ(log.text, u"");
    EXPECT_EQ(core.CurrentDevice(), nullptr);
}

}  // namespace
}  // namespace ts::test
