// The folder line: its drive list, opening images, faults files, and the
// arrival/removal events seen through inotify.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "sim/SimLine.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class SimLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        line = MakeSimLine(dir.Path().string());
        ASSERT_TRUE(line);
        ctl.SetOpener(line.get());
    }
    fs::path P(const std::string& name) const { return dir.Path() / name; }
    void Plug(char letter, uint64_t sectors = 2048, bool disk = false) {
        std::string error;
        ASSERT_TRUE(SimPlug(dir.Path().string(), letter, sectors, disk, error)) << error;
    }
    DeviceHandle* Open(char letter, uint32_t access = kGenericRead | kGenericWrite) {
        char root[] = {letter, ':', '\\', 0};
        return ctl.DeviceOpen(root, access, kFileShareReadWrite);
    }
    // Handshake: the answer's size field, or -1 when it did not answer.
    long long Handshake(char letter) {
        DeviceHandle* dev = Open(letter);
        if (!dev) return -2;
        uint8_t buf[32] = {};
        long long r = -1;
        if (ctl.HandShake(dev, buf, 32) == 0 && std::memcmp(buf, "usbhandshake", 13) == 0)
            r = buf[16] | buf[17] << 8 | buf[18] << 16 | static_cast<long long>(buf[19]) << 24;
        ctl.DeviceClose(dev);
        return r;
    }

    DebugCapture debug;
    TempDir dir;
    std::unique_ptr<DriveSystem> line;
    DeviceControl ctl{nullptr};
};

TEST_F(SimLineTest, DriveListAndTypes) {
    for (const char* name : {"F.img", "C.disk", "E.img", "E.disk", "Z.disk", "e.img", "G.txt",
                             "H.img.bak", "AB.img", ".J.img.new-1", "K.fault", "Kimg"})
        WriteFile(P(name), std::string(512, '\0'));
    fs::create_directory(P("I.img"));
    std::vector<std::u16string> expected = {u"C:\\", u"E:\\", u"F:\\", u"Z:\\"};
    EXPECT_EQ(line->ListDrives(), expected);
    struct Case {
        std::u16string root;
        unsigned type;
    };
    const Case cases[] = {
        {u"C:\\", 2}, {u"E:\\", 2}, {u"Z:\\", 2}, {u"E:", 2}, {u"G:\\", 0},  {u"I:\\", 0},
        {u"K:\\", 0}, {u"e:\\", 0}, {u"E", 0},    {u"", 0},   {u"E:\\x", 0}, {u"::\\", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(line->GetDriveType(c.root), c.type) << U8(c.root);
}

TEST_F(SimLineTest, ImageWinsOverDiskAndDiskAnswersNothing) {
    Plug('E', 100, true);
    Plug('F', 300, true);
    Plug('E', 4096);
    EXPECT_EQ(Handshake('E'), 4096);
    EXPECT_EQ(Handshake('F'), -1);
    EXPECT_EQ(line->ListDrives(), (std::vector<std::u16string>{u"E:\\", u"F:\\"}));
}

TEST_F(SimLineTest, WritesPersistInTheFile) {
    Plug('E', 2048);
    DeviceHandle* dev = Open('E');
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> block(32768);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13 + 1);
    EXPECT_EQ(ctl.DeviceWrite(dev, 64, block.data(), 32768), 0);
    EXPECT_EQ(ctl.DeviceClose(dev), 0);

    std::string bytes = ReadFile(P("E.img"));
    ASSERT_EQ(bytes.size(), 2048u * 512);
    EXPECT_EQ(std::memcmp(bytes.data() + 64 * 512, block.data(), block.size()), 0);
    EXPECT_EQ(bytes.find_first_not_of('\0'), 64u * 512);

    // A fresh line on the same folder reads the bytes back.
    auto again = MakeSimLine(dir.Path().string());
    DeviceControl ctl2(again.get());
    DeviceHandle* dev2 = ctl2.DeviceOpen("E:\\", kGenericRead, 3);
    std::vector<uint8_t> back(32768);
    EXPECT_EQ(ctl2.DeviceRead(dev2, 64, back.data(), 32768), 0);
    EXPECT_EQ(back, block);
    ctl2.DeviceClose(dev2);
}

TEST_F(SimLineTest, PartialLastSectorIsNotServed) {
    WriteFile(P("E.img"), std::string(1000, 'x'));
    EXPECT_EQ(Handshake('E'), 1);
    DeviceHandle* dev = Open('E');
    uint8_t buf[1024] = {};
    EXPECT_EQ(ctl.DeviceRead(dev, 0, buf, 512), 0);
    EXPECT_EQ(buf[511], 'x');
    EXPECT_EQ(ctl.DeviceRead(dev, 1, buf + 512, 512), kReadCallFailed);
    EXPECT_NE(debug.Text().find("DeviceRead:ScsiStatus= 2 DataTransferLength=0"),
              std::string::npos);
    EXPECT_EQ(ctl.DeviceWrite(dev, 0, buf, 1024), kWriteCallFailed);
    ctl.DeviceClose(dev);
    EXPECT_EQ(ReadFile(P("E.img")), std::string(1000, 'x')) << "refused write stored nothing";
}

TEST_F(SimLineTest, ReadOnlyOpenRefusesWrites) {
    Plug('E', 8);
    DeviceHandle* dev = Open('E', kGenericRead);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[512];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(ctl.DeviceWrite(dev, 0, buf, 512), kWriteCallFailed);
    ctl.DeviceClose(dev);
    EXPECT_EQ(ReadFile(P("E.img")), std::string(8 * 512, '\0'));
}

TEST_F(SimLineTest, OpenFailures) {
    Plug('E', 8);
    Plug('G', 8);
    WriteFile(P("G.fault"), "# the port is broken\nopen=fail\n");
    Plug('H', 8, true);
    WriteFile(P("H.fault"), "open_errno=16\n");
    fs::create_directory(P("I.img"));
    struct Case {
        const char* path;
        int err;
    };
    const Case cases[] = {
        {"\\\\.\\G:", EACCES}, {"\\\\.\\H:", 16},      {"\\\\.\\F:", ENOENT},
        {"\\\\.\\I:", ENOENT}, {"\\\\.\\EE:", ENOENT}, {"\\\\.\\", ENOENT},
        {"", ENOENT},          {"/dev/sdb", ENOENT},   {"\\\\.\\1:", ENOENT},
    };
    for (const auto& c : cases) {
        int err = 0;
        EXPECT_EQ(line->OpenVolume(c.path, kGenericRead | kGenericWrite, 3, err), nullptr)
            << c.path;
        EXPECT_EQ(err, c.err) << c.path;
    }
    int err = 0;
    EXPECT_NE(line->OpenVolume("\\\\.\\e:", kGenericRead, 3, err), nullptr)
        << "drive letters are case-blind";
    // The faults file is read at each open.
    fs::remove(P("G.fault"));
    EXPECT_EQ(Handshake('G'), 8);
    WriteFile(P("E.fault"), "handshake=garbled\n");
    EXPECT_EQ(Handshake('E'), -1);
}

TEST_F(SimLineTest, UnreadableImageReportsErrno) {
    if (geteuid() == 0) GTEST_SKIP() << "root opens any file";
    Plug('E', 8);
    ::chmod(P("E.img").c_str(), 0);
    EXPECT_EQ(Open('E'), nullptr);
    EXPECT_EQ(GetLastError(), EACCES);
}

TEST_F(SimLineTest, DeviceTakenOutUnderAnOpenVolumeFails) {
    fs::path keep = dir.Path().parent_path() / (dir.Path().filename().string() + "-kept.img");
    struct Case {
        const char* name;
        bool keep;
    };
    for (const Case& c : {Case{"deleted", false}, Case{"moved out", true}}) {
        SCOPED_TRACE(c.name);
        Plug('E', 8);
        DeviceHandle* dev = Open('E');
        ASSERT_NE(dev, nullptr);
        std::string error;
        std::string keepPath = keep.string();
        ASSERT_TRUE(SimUnplug(dir.Path().string(), 'E', c.keep ? &keepPath : nullptr, error));
        uint8_t buf[512];
        EXPECT_EQ(ctl.DeviceRead(dev, 0, buf, 512), kReadCallFailed);
        EXPECT_EQ(GetLastError(), ENODEV);
        ctl.DeviceClose(dev);
    }
    EXPECT_EQ(fs::file_size(keep), 8u * 512);
    fs::remove(keep);
}

// An image cut short under an open volume: the read that runs into the cut
// fails, and hands over none of the bytes it got before it.
TEST_F(SimLineTest, ReadFailingPartWayHandsOverNothing) {
    WriteFile(P("E.img"), std::string(2048 * 512, 'Z'));
    DeviceHandle* dev = Open('E');
    ASSERT_NE(dev, nullptr);
    fs::resize_file(P("E.img"), 64 * 512 + 1000);
    std::vector<uint8_t> buf(32768, 0x77);
    EXPECT_EQ(ctl.DeviceRead(dev, 64, buf.data(), 32768), kReadCallFailed);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 'Z'), 0);
    ctl.DeviceClose(dev);
}

// One program at a time works on a device: a second open while it is open
// elsewhere fails at once with EBUSY; other ports and a later open are free.
TEST_F(SimLineTest, OpenDeviceIsHeldExclusively) {
    Plug('E');
    Plug('F', 8, true);
    DeviceHandle* first = Open('E');
    ASSERT_NE(first, nullptr);
    auto other = MakeSimLine(dir.Path().string());
    DeviceControl ctl2(other.get());
    SetLastError(0);
    EXPECT_EQ(ctl2.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3), nullptr);
    EXPECT_EQ(GetLastError(), EBUSY);
    EXPECT_EQ(ctl2.DeviceOpen("E:\\", kGenericRead, 3), nullptr) << "reading too";
    DeviceHandle* disk = ctl2.DeviceOpen("F:\\", kGenericRead | kGenericWrite, 3);
    EXPECT_NE(disk, nullptr);
    ctl2.DeviceClose(disk);
    ctl.DeviceClose(first);
    DeviceHandle* second = ctl2.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    EXPECT_NE(second, nullptr);
    ctl2.DeviceClose(second);
}

// An attachment stays the same while the device is used and changes when a
// device is plugged in again at the port.
TEST_F(SimLineTest, AttachmentIdFollowsPlugging) {
    EXPECT_EQ(line->AttachmentId(u"E:\\"), "") << "empty port";
    Plug('E');
    const std::string plugged = line->AttachmentId(u"E:\\");
    EXPECT_NE(plugged, "");
    DeviceHandle* dev = Open('E');
    std::vector<uint8_t> block(32768, 0x5A);
    EXPECT_EQ(ctl.DeviceWrite(dev, 0, block.data(), 32768), 0);
    ctl.DeviceClose(dev);
    EXPECT_EQ(line->AttachmentId(u"E:\\"), plugged) << "written, still the same attachment";

    std::string error;
    ASSERT_TRUE(SimUnplug(dir.Path().string(), 'E', nullptr, error)) << error;
    Plug('E');
    const std::string replugged = line->AttachmentId(u"E:\\");
    EXPECT_NE(replugged, plugged);

    // A link to an image: a new link to the same image is a new attachment.
    TempDir images;
    WriteFile(images.Path() / "a.img", std::string(64 * 512, '\0'));
    fs::create_symlink(images.Path() / "a.img", P("G.img"));
    const std::string linked = line->AttachmentId(u"G:\\");
    EXPECT_NE(linked, "");
    fs::remove(P("G.img"));
    fs::create_symlink(images.Path() / "a.img", P("G.img"));
    EXPECT_NE(line->AttachmentId(u"G:\\"), linked);
    EXPECT_EQ(line->AttachmentId(u"G:"), line->AttachmentId(u"G:\\"));
    EXPECT_EQ(line->AttachmentId(u"Q:\\"), "");
}

TEST(SimLineMakeTest, FolderMustExist) {
    DebugCapture debug;
    TempDir dir;
    WriteFile(dir.Path() / "file", "x");
    EXPECT_EQ(MakeSimLine((dir.Path() / "missing").string()), nullptr);
    EXPECT_EQ(MakeSimLine((dir.Path() / "file").string()), nullptr);
    EXPECT_EQ(MakeSimLine(""), nullptr);
    EXPECT_NE(MakeSimLine(dir.Dir()), nullptr);
}

TEST(SimLetterOfPathTest, OnlyTheDevicePathForm) {
    struct Case {
        const char* path;
        char letter;  // 0: not a device path
    };
    const Case cases[] = {
        {"\\\\.\\E:", 'E'},
        {"\\\\.\\a:", 'A'},
        {"\\\\.\\Z:", 'Z'},
        {"\\\\.\\E:\\", 0},
        {"\\\\.\\E", 0},
        {"\\\\.\\", 0},
        {"", 0},
        {"E:", 0},
        {"\\\\?\\E:", 0},
        {"\\\\.\\@:", 0},
        {nullptr, 0},
    };
    for (const auto& c : cases) {
        auto got = SimLetterOfPath(c.path);
        EXPECT_EQ(got.value_or(0), c.letter) << (c.path ? c.path : "(null)");
    }
}

TEST(SimPlugTest, PlugAndUnplugRules) {
    TempDir dir;
    std::string d = dir.Path().string();
    std::string error;
    EXPECT_TRUE(SimPlug(d, 'E', 2048, false, error));
    EXPECT_EQ(fs::file_size(dir.Path() / "E.img"), 1048576u);
    struct stat st;
    ASSERT_EQ(::stat((dir.Path() / "E.img").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1048576) << "sparse";
    // Refused: already there, bad letter, bad size. Nothing is left behind.
    EXPECT_FALSE(SimPlug(d, 'E', 16, false, error));
    EXPECT_NE(error.find("already exists"), std::string::npos);
    EXPECT_EQ(fs::file_size(dir.Path() / "E.img"), 1048576u);
    EXPECT_FALSE(SimPlug(d, 'e', 16, false, error));
    EXPECT_FALSE(SimPlug(d, 'F', 0, false, error));
    EXPECT_FALSE(SimPlug(d, 'F', 1ull << 32, false, error));
    EXPECT_FALSE(SimPlug(d + "/missing", 'F', 8, false, error));
    EXPECT_TRUE(SimPlug(d, 'E', 16, true, error)) << "a disk beside the image";
    size_t files = 0;
    for (auto& e : fs::directory_iterator(dir.Path())) files += !e.path().empty();
    EXPECT_EQ(files, 2u) << "no temporary files left";

    // Unplug takes the visible device: the image, then the disk.
    EXPECT_TRUE(SimUnplug(d, 'E', nullptr, error));
    EXPECT_FALSE(fs::exists(dir.Path() / "E.img"));
    EXPECT_TRUE(fs::exists(dir.Path() / "E.disk"));
    std::string keep = (dir.Path() / "kept").string();
    WriteFile(keep, "precious");
    EXPECT_FALSE(SimUnplug(d, 'E', &keep, error)) << "never over an existing file";
    EXPECT_EQ(ReadFile(keep), "precious");
    EXPECT_TRUE(fs::exists(dir.Path() / "E.disk"));
    EXPECT_TRUE(SimUnplug(d, 'E', nullptr, error));
    EXPECT_FALSE(SimUnplug(d, 'E', nullptr, error));
    EXPECT_NE(error.find("no device at E:"), std::string::npos);
}

// inotify queues a file's events when the change is made, so after an
// action they are all pending; poll only guards against a missing wake-up.
std::vector<DeviceEvent> PendingEvents(DeviceEventSource& src) {
    pollfd p{src.Fd(), POLLIN, 0};
    ::poll(&p, 1, 1000);
    return src.ReadEvents();
}

class SimLineEventsTest : public SimLineTest {
protected:
    void SetUp() override {
        SimLineTest::SetUp();
        events = line->WatchEvents();
        ASSERT_TRUE(events);
    }
    // The events of `action`: a marker device plugged after it must come
    // last, so nothing is missed and nothing extra is allowed.
    std::vector<DeviceEvent> EventsOf(const std::function<void()>& action) {
        action();
        Plug('Y', 1);
        auto got = PendingEvents(*events);
        EXPECT_FALSE(got.empty());
        if (!got.empty()) {
            EXPECT_EQ(got.back(), DeviceEvent::Arrival) << "the marker";
            got.pop_back();
        }
        fs::remove(P("Y.img"));
        EXPECT_EQ(PendingEvents(*events), std::vector<DeviceEvent>{DeviceEvent::Removal});
        return got;
    }

    std::unique_ptr<DeviceEventSource> events;
};

TEST_F(SimLineEventsTest, PlugAndUnplugEvents) {
    using E = std::vector<DeviceEvent>;
    const E arrival{DeviceEvent::Arrival};
    const E removal{DeviceEvent::Removal};
    const E none{};
    std::string d = dir.Path().string();
    std::string error;
    fs::path outside = dir.Path().parent_path() / (dir.Path().filename().string() + "-out");
    struct Case {
        const char* name;
        std::function<void()> action;
        E expected;
    };
    const Case cases[] = {
        {"sim new", [&] { SimPlug(d, 'E', 2048, false, error); }, arrival},
        {"using the device is no event",
         [&] {
             DeviceHandle* dev = Open('E');
             uint8_t buf[512] = {1};
             ctl.DeviceWrite(dev, 0, buf, 512);
             ctl.DeviceClose(dev);
         },
         none},
        {"unplug", [&] { SimUnplug(d, 'E', nullptr, error); }, removal},
        {"sim disk", [&] { SimPlug(d, 'F', 8, true, error); }, arrival},
        {"moved out of the folder", [&] { fs::rename(P("F.disk"), outside); }, removal},
        {"moved in", [&] { fs::rename(outside, P("G.img")); }, arrival},
        {"renamed to another name", [&] { fs::rename(P("G.img"), P("G.old")); }, removal},
        {"written in place: one arrival once closed",
         [&] { WriteFile(P("H.img"), std::string(4096, '\0')); }, arrival},
        {"faults file and other names",
         [&] {
             WriteFile(P("H.fault"), "open=fail\n");
             WriteFile(P("notes.txt"), "x");
             WriteFile(P("h.img"), "x");
             fs::create_directory(P("J.img"));
         },
         none},
        {"symbolic link", [&] { fs::create_symlink(P("G.old"), P("K.img")); }, arrival},
        {"deleted", [&] { fs::remove(P("H.img")); }, removal},
        {"two at once",
         [&] {
             SimPlug(d, 'L', 8, false, error);
             SimPlug(d, 'M', 8, true, error);
         },
         E{DeviceEvent::Arrival, DeviceEvent::Arrival}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(EventsOf(c.action), c.expected);
    }
}

TEST_F(SimLineEventsTest, FdIsNonBlockingAndDrained) {
    EXPECT_TRUE(events->ReadEvents().empty()) << "nothing pending: returns at once";
    Plug('E');
    EXPECT_EQ(PendingEvents(*events), std::vector<DeviceEvent>{DeviceEvent::Arrival});
    pollfd p{events->Fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "drained";
}

}  // namespace
}  // namespace ts
