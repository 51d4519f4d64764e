// The in-memory line: plug/unplug by letter, events on an eventfd, and no
// leaks over many cycles.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"
#include "sim/MemoryLine.h"

namespace ts {
namespace {

size_t OpenFds() {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
    return n;
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(MemoryLineTest, PlugUnplugListAndEvents) {
    MemoryLine line;
    auto a = line.WatchEvents();
    auto b = line.WatchEvents();
    ASSERT_TRUE(a && b);
    EXPECT_FALSE(Readable(a->Fd()));
    EXPECT_TRUE(line.Plug('F', 16));
    EXPECT_TRUE(line.PlugDisk('C'));
    EXPECT_TRUE(line.Plug('Z', 1));
    struct Refused {
        const char* name;
        bool ok;
    };
    const Refused refused[] = {
        {"letter taken", line.Plug('F', 16) != nullptr},
        {"disk on a taken letter", line.PlugDisk('C')},
        {"lower case", line.Plug('e', 16) != nullptr},
        {"not a letter", line.Plug('1', 16) != nullptr},
        {"null storage", line.Plug('G', std::shared_ptr<MemoryStorage>())},
        {"unplug empty letter", line.Unplug('G')},
        {"unplug bad letter", line.Unplug('@')},
        {"faults for empty letter", line.SetFaults('G', {})},
    };
    for (const auto& r : refused) EXPECT_FALSE(r.ok) << r.name;
    EXPECT_EQ(line.ListDrives(), (std::vector<std::u16string>{u"C:\\", u"F:\\", u"Z:\\"}));
    EXPECT_EQ(line.GetDriveType(u"F:\\"), kDriveRemovable);
    EXPECT_EQ(line.GetDriveType(u"G:\\"), kDriveUnknown);
    EXPECT_EQ(line.GetDriveType(u"f:\\"), kDriveUnknown);
    EXPECT_TRUE(line.Unplug('F'));
    using E = std::vector<DeviceEvent>;
    const E expected{DeviceEvent::Arrival, DeviceEvent::Arrival, DeviceEvent::Arrival,
                     DeviceEvent::Removal};
    EXPECT_TRUE(Readable(a->Fd()));
    EXPECT_EQ(a->ReadEvents(), expected);
    EXPECT_FALSE(Readable(a->Fd())) << "drained";
    EXPECT_EQ(a->ReadEvents(), E{});
    EXPECT_EQ(b->ReadEvents(), expected) << "every watcher sees every event";
    b.reset();
    EXPECT_TRUE(line.Unplug('Z'));
    EXPECT_EQ(a->ReadEvents(), E{DeviceEvent::Removal}) << "a dropped watcher harms nobody";
}

TEST(MemoryLineTest, ReplugKeepsTheBytesAndPulledDeviceFails) {
    DebugCapture debug;
    MemoryLine line;
    DeviceControl ctl(&line);
    auto storage = line.Plug('E', 64);
    DeviceHandle* dev = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[512];
    std::memset(buf, 0x3C, sizeof buf);
    EXPECT_EQ(ctl.DeviceWrite(dev, 5, buf, 512), 0);
    EXPECT_EQ(line.OpenVolumes(), 1);
    EXPECT_TRUE(line.Unplug('E'));
    EXPECT_EQ(ctl.DeviceRead(dev, 5, buf, 512), kReadCallFailed);
    EXPECT_EQ(GetLastError(), ENODEV);
    EXPECT_EQ(line.Storage('E'), nullptr);

    // Plugged again (even at once, while the old volume is still open), the
    // device has its bytes; the old volume stays dead.
    ASSERT_TRUE(line.Plug('E', storage));
    EXPECT_EQ(ctl.DeviceRead(dev, 5, buf, 512), kReadCallFailed);
    ctl.DeviceClose(dev);
    EXPECT_EQ(line.OpenVolumes(), 0);
    dev = ctl.DeviceOpen("E:\\", kGenericRead, 3);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(ctl.DeviceRead(dev, 5, buf, 512), 0);
    EXPECT_EQ(buf[0], 0x3C);
    ctl.DeviceClose(dev);
}

TEST(MemoryLineTest, FaultsApplyToLaterOpens) {
    MemoryLine line;
    DeviceControl ctl(&line);
    SimFaults f;
    f.openFails = true;
    f.openErrno = EBUSY;
    line.Plug('E', 8, f);
    EXPECT_EQ(ctl.DeviceOpen("E:\\", kGenericRead, 3), nullptr);
    EXPECT_EQ(GetLastError(), EBUSY);
    ASSERT_TRUE(line.SetFaults('E', {}));
    DeviceHandle* dev = ctl.DeviceOpen("E:\\", kGenericRead, 3);
    EXPECT_NE(dev, nullptr);
    ctl.DeviceClose(dev);
}

TEST(MemoryLineTest, VolumeOutlivingTheLineFailsSafely) {
    DeviceControl ctl;
    DeviceHandle* dev;
    {
        MemoryLine line;
        ctl.SetOpener(&line);
        line.Plug('E', 8);
        dev = ctl.DeviceOpen("E:\\", kGenericRead, 3);
        ASSERT_NE(dev, nullptr);
    }
    uint8_t buf[32];
    EXPECT_EQ(ctl.HandShake(dev, buf, 32), kHandShakeCallFailed);
    EXPECT_EQ(ctl.DeviceClose(dev), 0);
}

TEST(MemoryLineTest, ManyCyclesLeakNothing) {
    MemoryLine line;
    DeviceControl ctl(&line);
    auto events = line.WatchEvents();
    const size_t fdsBefore = OpenFds();
    for (int i = 0; i < 2000; ++i) {
        char letter = static_cast<char>('A' + i % 26);
        ASSERT_TRUE(line.Plug(letter, 64));
        DeviceHandle* dev = ctl.DeviceOpen(std::string(1, letter).c_str(), kGenericRead, 3);
        ASSERT_NE(dev, nullptr);
        uint8_t buf[32] = {};
        ASSERT_EQ(ctl.HandShake(dev, buf, 32), 0);
        ctl.DeviceClose(dev);
        ASSERT_TRUE(line.Unplug(letter));
        if (i % 100 == 99) {
            auto w = line.WatchEvents();  // watchers come and go too
            ASSERT_EQ(events->ReadEvents().size(), 200u);
        }
    }
    EXPECT_EQ(OpenFds(), fdsBefore);
    EXPECT_EQ(line.OpenVolumes(), 0);
}

TEST(MemoryLineTest, PlugFromAnotherThread) {
    MemoryLine line;
    auto events = line.WatchEvents();
    std::thread t([&] {
        for (int i = 0; i < 500; ++i) {
            line.Plug('E', 1);
            line.Unplug('E');
        }
    });
    size_t seen = 0;
    while (seen < 1000) {
        pollfd p{events->Fd(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) break;
        seen += events->ReadEvents().size();
    }
    t.join();
    seen += events->ReadEvents().size();
    EXPECT_EQ(seen, 1000u);
}

}  // namespace
}  // namespace ts
