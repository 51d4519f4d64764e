#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/Codepage.h"
#include "platform/UdevDrives.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;

TEST(StationDrive, WhichDisksCount) {
    struct Case {
        BlockDiskInfo disk;
        bool counts;
    };
    const Case cases[] = {
        {{"sdb", "1", "0", true}, true},
        {{"sdb", "1\n", "0", false}, true},  // removable card reader on an internal bus
        {{"sdc", "0", "0", true}, true},     // USB disk with a fixed medium
        {{"sda", "0", "0", false}, false},   // the system's own disk
        {{"vda", "0", "", false}, false},
        {{"loop0", "0", "", false}, false},
        {{"sr0", "1", "5", true}, false},  // USB DVD drive
        {{"sr1", "1", "4", false}, false},
        {{"sdd", "", "", false}, false},  // attribute unreadable
        {{"sde", " 1 ", "0\n", false}, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsStationDrive(c.disk), c.counts)
            << c.disk.sysname << " removable '" << c.disk.removable << "' usb " << c.disk.usbParent;
    }
}

TEST(KernelOrder, SortsAsTheKernelNamesDisks) {
    const std::vector<std::string> order = {
        "mmcblk2", "mmcblk10", "sda", "sdb", "sdz", "sdaa", "sdab", "sdaz", "sdba", "sdzz", "sdaaa",
    };
    std::vector<std::string> shuffled = order;
    std::mt19937 rng(1234);
    for (int round = 0; round < 5; ++round) {
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        std::sort(shuffled.begin(), shuffled.end(),
                  [](const std::string& a, const std::string& b) { return KernelNameLess(a, b); });
        EXPECT_EQ(shuffled, order);
    }
}

TEST(KernelOrder, PairsAcrossFamilies) {
    struct Case {
        const char* a;
        const char* b;
        bool less;
    };
    const Case cases[] = {
        {"sdb", "sdaa", true},         {"sdaa", "sdb", false},  {"sda", "sda", false},
        {"vdb", "vdaa", true},         {"xvdb", "xvdaa", true}, {"sdb", "sdb1", true},
        {"nvme0n2", "nvme0n10", true}, {"sd01", "sd1", true},   {"sd1", "sd01", false},
    };
    for (const auto& c : cases) EXPECT_EQ(KernelNameLess(c.a, c.b), c.less) << c.a << " < " << c.b;
}

TEST(NodeName, OnlyPlainNamesUnderDev) {
    struct Case {
        const char* node;
        const char* name;
    };
    const Case cases[] = {
        {"/dev/sdb", "sdb"}, {"/dev/sdaa", "sdaa"},
        {"/dev/", ""},       {"/dev/../etc", ""},
        {"/dev/..", ""},     {"/dev/.", ""},
        {"/dev/a/b", ""},    {"sdb", ""},
        {"E:\\", ""},        {"", ""},
        {"/devsdb", ""},     {"/dev//sdb", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(BlockNameFromNode(c.node), c.name) << c.node;
}

// A sysfs tree in a temp folder, laid out as the kernel lays it out.
class FakeSysfs : public ::testing::Test {
protected:
    void AddDisk(const std::string& name) {
        fs::create_directories(Sys() / "class/block" / name / "device");
    }
    void AddSg(const std::string& disk, const std::string& sg) {
        fs::create_directories(Sys() / "class/block" / disk / "device/scsi_generic" / sg);
    }
    void AddOldSgLink(const std::string& disk, const std::string& sg) {
        fs::create_directories(Sys() / "class/block" / disk / "device" / ("scsi_generic:" + sg));
    }
    fs::path Sys() const { return root.Path() / "sys"; }
    fs::path Dev() const { return root.Path() / "dev"; }
    UdevPaths Paths() const {
        return {Sys().string(), Dev().string(), (root.Path() / "no-udevd").string()};
    }
    test::TempDir root;
};

TEST_F(FakeSysfs, FindsTheGenericNodeOfADisk) {
    AddDisk("sdb");
    AddSg("sdb", "sg2");
    AddDisk("sdc");
    AddOldSgLink("sdc", "sg3");
    AddDisk("sdd");  // no sg module
    AddDisk("sde");
    AddSg("sde", "sgx");  // not a generic node name
    AddOldSgLink("sde", "sg../../x");
    struct Case {
        const char* block;
        const char* sg;
    };
    const Case cases[] = {
        {"sdb", "sg2"}, {"sdc", "sg3"}, {"sdd", ""}, {"sde", ""},
        {"sdz", ""},    {"..", ""},     {"", ""},    {"sdb/../sdb", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(FindSgName(Sys().string(), c.block), c.sg) << c.block;
}

TEST_F(FakeSysfs, OpenVolumeReportsWhyItFailed) {
    AddDisk("sdb");
    AddSg("sdb", "sg2");
    AddDisk("sdc");
    AddSg("sdc", "sg3");
    AddDisk("sdd");
    fs::create_directories(Dev());
    test::WriteFile(Dev() / "sg2", "not a device");
    struct Case {
        const char* path;
        int error;
    };
    const Case cases[] = {
        {"/dev/sdb", ENODEV},  // the node is no SCSI generic device
        {"/dev/sdc", ENOENT},  // sysfs knows sg3, /dev has no node
        {"/dev/sdd", ENODEV},  // no generic node: sg not loaded
        {"/dev/sdq", ENOENT}, {"/dev/../sdb", ENOENT}, {"E:", ENOENT},
    };
    auto drives = MakeUdevDrives(Paths());
    for (const auto& c : cases) {
        int err = 0;
        EXPECT_EQ(drives->OpenVolume(c.path, kGenericRead | kGenericWrite, 3, err), nullptr)
            << c.path;
        EXPECT_EQ(err, c.error) << c.path;
    }
    EXPECT_EQ(drives->OpenVolume(nullptr, kGenericRead, 3, *std::make_unique<int>()), nullptr);

    // Device discovery sees the same error through the channel.
    DeviceControl ctl(drives.get());
    SetLastError(0);
    EXPECT_EQ(ctl.DeviceOpen("/dev/sdd", kGenericRead | kGenericWrite, 3), nullptr);
    EXPECT_EQ(GetLastError(), ENODEV);
}

// The disk sequence number tells one attachment from the next; without it
// the identity of the disk's sysfs folder, which is made anew at each one.
TEST_F(FakeSysfs, AttachmentOfADisk) {
    AddDisk("sdb");
    test::WriteFile(Sys() / "class/block/sdb/diskseq", "17\n");
    AddDisk("sdc");  // an older kernel: no diskseq
    AddDisk("sdd");
    test::WriteFile(Sys() / "class/block/sdd/diskseq", "garbage");
    EXPECT_EQ(DiskAttachmentId(Sys().string(), "sdb"), "seq:17");
    const std::string folder = DiskAttachmentId(Sys().string(), "sdc");
    EXPECT_TRUE(folder.starts_with("sys:")) << folder;
    EXPECT_TRUE(DiskAttachmentId(Sys().string(), "sdd").starts_with("sys:"));
    for (const char* bad : {"sdq", "..", "", "sdb/../sdb"})
        EXPECT_EQ(DiskAttachmentId(Sys().string(), bad), "") << bad;

    auto drives = MakeUdevDrives(Paths());
    EXPECT_EQ(drives->AttachmentId(u"/dev/sdb"), "seq:17");
    EXPECT_EQ(drives->AttachmentId(u"sdb"), "");
}

std::string Message(std::initializer_list<std::string> fields) {
    std::string m;
    for (const auto& f : fields) m += f + '\0';
    return m;
}

TEST(Uevent, ParsesKernelMessages) {
    const std::string addDisk =
        Message({"add@/devices/pci0000:00/usb1/1-1/host6/target6:0:0/"
                 "6:0:0:0/block/sdb",
                 "ACTION=add", "DEVPATH=/devices/.../block/sdb", "SUBSYSTEM=block", "MAJOR=8",
                 "MINOR=16", "DEVNAME=sdb", "DEVTYPE=disk", "SEQNUM=4242"});
    struct Case {
        const char* name;
        std::string message;
        std::optional<DeviceEvent> event;
    };
    const Case cases[] = {
        {"disk added", addDisk, DeviceEvent::Arrival},
        {"disk removed",
         Message(
             {"remove@/devices/x/block/sdb", "ACTION=remove", "SUBSYSTEM=block", "DEVTYPE=disk"}),
         DeviceEvent::Removal},
        {"last field unterminated", addDisk.substr(0, addDisk.size() - 1 - 11) + "DEVTYPE=disk",
         DeviceEvent::Arrival},
        {"action from the header only",
         Message({"remove@/devices/x/block/sdc", "SUBSYSTEM=block", "DEVTYPE=disk"}),
         DeviceEvent::Removal},
        {"partition added",
         Message({"add@/devices/x/block/sdb/sdb1", "ACTION=add", "SUBSYSTEM=block",
                  "DEVTYPE=partition"}),
         std::nullopt},
        {"media change",
         Message({"change@/devices/x/block/sdb", "ACTION=change", "SUBSYSTEM=block", "DEVTYPE=disk",
                  "DISK_MEDIA_CHANGE=1"}),
         std::nullopt},
        {"usb device added",
         Message({"add@/devices/x/usb1/1-1", "ACTION=add", "SUBSYSTEM=usb", "DEVTYPE=usb_device"}),
         std::nullopt},
        {"udevd's own format",
         Message({"libudev", "ACTION=add", "SUBSYSTEM=block", "DEVTYPE=disk"}), std::nullopt},
        {"no action before @", Message({"@/devices/x", "SUBSYSTEM=block", "DEVTYPE=disk"}),
         std::nullopt},
        {"header only", Message({"add@/devices/x/block/sdb"}), std::nullopt},
        {"truncated keys", Message({"add@/x", "SUBSYSTEM", "DEVTYPE", "ACTION"}), std::nullopt},
        {"empty", "", std::nullopt},
        {"zero bytes only", std::string(64, '\0'), std::nullopt},
        {"no terminator at all", "add@/devices/x/block/sdb", std::nullopt},
        {"binary", std::string("\xff\x01@\x80SUBSYSTEM=block\0DEVTYPE=disk\0", 32), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseUevent(c.message.data(), c.message.size()), c.event) << c.name;
    }
    EXPECT_EQ(ParseUevent(nullptr, 10), std::nullopt);
    // Only the given length is read, never past it.
    EXPECT_EQ(ParseUevent(addDisk.data(), 20), std::nullopt);
}

TEST(Uevent, ClassifiesUdevEvents) {
    EXPECT_EQ(ClassifyUevent("add", "block", "disk"), DeviceEvent::Arrival);
    EXPECT_EQ(ClassifyUevent("remove", "block", "disk"), DeviceEvent::Removal);
    EXPECT_EQ(ClassifyUevent("add", "block", "partition"), std::nullopt);
    EXPECT_EQ(ClassifyUevent("bind", "block", "disk"), std::nullopt);
    EXPECT_EQ(ClassifyUevent("add", "scsi_generic", ""), std::nullopt);
}

// On whatever machine runs the tests: listing never fails and lists only nodes
// that it calls removable.
TEST(SystemDrives, ListingOnThisMachine) {
    auto drives = MakeSystemDrives();
    ASSERT_NE(drives, nullptr);
    for (const auto& d : drives->ListDrives()) {
        EXPECT_TRUE(U8(d).starts_with("/dev/")) << U8(d);
        EXPECT_EQ(drives->GetDriveType(d), kDriveRemovable) << U8(d);
    }
    EXPECT_EQ(drives->GetDriveType(u"E:\\"), kDriveUnknown);
    EXPECT_EQ(drives->GetDriveType(u"/dev/no-such-disk"), kDriveUnknown);
    if (fs::exists("/sys/class/block/loop0")) {
        EXPECT_EQ(drives->GetDriveType(u"/dev/loop0"), kDriveFixed);
    }
}

// Both event sources (udevd's, and the kernel's where udevd is missing)
// hand out a non-blocking descriptor and return at once when nothing waits.
TEST_F(FakeSysfs, EventSourcesNeverBlock) {
    test::WriteFile(root.Path() / "control", "");
    for (const auto& control : {root.Path() / "control", root.Path() / "no-udevd"}) {
        SCOPED_TRACE(control.string());
        UdevPaths paths = Paths();
        paths.udevControl = control.string();
        auto events = MakeUdevDrives(paths)->WatchEvents();
        if (!events) continue;  // no netlink here: nothing to check
        ASSERT_GE(events->Fd(), 0);
        EXPECT_TRUE(::fcntl(events->Fd(), F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(events->ReadEvents().empty());
    }
}

// A local process can address the uevent socket too; only the kernel's own
// messages may start a scan.
TEST_F(FakeSysfs, KernelEventsIgnoreOtherSenders) {
    auto events = MakeUdevDrives(Paths())->WatchEvents();
    if (!events) GTEST_SKIP() << "no uevent socket here";
    sockaddr_nl self{};
    socklen_t len = sizeof self;
    ASSERT_EQ(::getsockname(events->Fd(), reinterpret_cast<sockaddr*>(&self), &len), 0);
    ASSERT_EQ(self.nl_family, AF_NETLINK);

    const int sender = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ASSERT_GE(sender, 0);
    const std::string forged =
        Message({"add@/devices/x/block/sdb", "ACTION=add", "SUBSYSTEM=block", "DEVTYPE=disk"});
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = self.nl_pid;
    const ssize_t sent = ::sendto(sender, forged.data(), forged.size(), 0,
                                  reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int sendError = errno;
    ::close(sender);
    if (sent < 0) GTEST_SKIP() << "cannot address the socket here (errno " << sendError << ")";
    EXPECT_TRUE(events->ReadEvents().empty());
}

}  // namespace
}  // namespace ts
