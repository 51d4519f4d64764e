// Faults at every step of discovery and the two flows, the block layout of
// odd image sizes, and the mended faults: no plug-in, paths that leave the
// staging folder, files that cannot be made, a failed seek.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "deviceops/FlowSupport.h"
#include "platform/LittleEndian.h"
#include "tests/deviceops/FlowFixture.h"

namespace ts::test {
namespace {

namespace fs = std::filesystem;

class FlowFaultTest : public FlowFixture {
protected:
    void SetConfig(const std::string& text) { WriteFile(app.Path() / "tagsmith.cfg", text); }
};

SimFaults FailAt(SimKind kind, uint32_t n) {
    SimFaults f;
    f.failAt[static_cast<size_t>(kind)].push_back(n);
    return f;
}

TEST_F(FlowFaultTest, ReadFaults) {
    struct Case {
        const char* name;
        uint32_t length;  // image length field at 1024
        SimFaults faults;
        int code;
        const char* debugLine;
        size_t pauses;
    };
    const Case cases[] = {
        {"block 0", 0, FailAt(SimKind::Read, 1), 456, "Read Error 801\n", 0},
        {"middle block", 0, FailAt(SimKind::Read, 5), 488,
         "Read Error . Index = 4 , Sec Pos = 256 , Error Line 801\n", 4},
        {"tail block", 40000, FailAt(SimKind::Read, 2), 498, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto storage = line.Plug('E', 2048, c.faults);
        PutLe32(storage->bytes.data() + 1024, c.length);
        OpenCurrent();
        log.text.clear();
        clock.sleeps.clear();
        DebugCapture debug;
        std::u16string id = u"keep";
        EXPECT_EQ(core.ReadDeviceSN(id), c.code);
        EXPECT_EQ(id, u"keep");
        EXPECT_EQ(LogLines(),
                  std::vector<std::string>{"读取SN文件失败 Ln:" + std::to_string(c.code)});
        if (c.debugLine) {
            EXPECT_NE(debug.Text().find(c.debugLine), std::string::npos) << debug.Text();
        }
        EXPECT_EQ(clock.sleeps.size(), c.pauses);
        EXPECT_NE(core.CurrentDevice(), nullptr) << "the read never closes the device";
        EXPECT_TRUE(Exists("tmp.data")) << "left for inspection";
        core.CloseCurrentDevice();
        line.Unplug('E');
    }
}

TEST_F(FlowFaultTest, NeverWrittenDeviceReadsAs518AndIsThenWrittenWithoutQuestion) {
    line.Plug('E', 2048);
    OpenCurrent();
    std::u16string id;
    EXPECT_EQ(core.ReadDeviceSN(id), 518);
    EXPECT_EQ(LogLines().back(), "读取SN文件失败 Ln:518");
    EXPECT_EQ(core.WriteDeviceSN(u"12"), 0);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(FlowFaultTest, WriteFaults) {
    struct Case {
        const char* name;
        uint32_t sectors;
        SimFaults faults;
    };
    const Case cases[] = {
        {"block 0", 2048, FailAt(SimKind::Write, 1)},
        {"middle block", 2048, FailAt(SimKind::Write, 5)},
        // 2068 sectors: 32 full blocks and a rest, so the 33rd write is the tail.
        {"tail block", 2068, FailAt(SimKind::Write, 33)},
        {"finish call", 2048, FailAt(SimKind::Finish, 1)},
    };
    page.automatic = true;  // no existing-ID read: only the transfer runs
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Plug('E', c.sectors, c.faults);
        OpenCurrent();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
        EXPECT_EQ(LogLines(), std::vector<std::string>{"烧写失败, 请重新插设备烧写"});
        EXPECT_EQ(core.CurrentDevice(), nullptr);
        EXPECT_EQ(line.OpenVolumes(), 0);
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_EQ(Exists("tmp.data"), std::string(c.name) != "finish call")
            << "a transfer that fails part-way leaves the image";
        line.Unplug('E');
    }
}

TEST_F(FlowFaultTest, DiscoveryFaults) {
    SimFaults openFails;
    openFails.openFails = true;
    SimFaults garbled;
    garbled.handshakeText = "usbhandshakX";
    struct Case {
        const char* name;
        SimFaults faults;
        const char* debugLine;
    };
    const Case cases[] = {
        {"open", openFails, "DeviceOpen Error = 13\n"},
        {"handshake call", FailAt(SimKind::Handshake, 1), "Hand Shake Failed DeviceControl Ln:829"},
        {"garbled answer", garbled, nullptr},
    };
    core.SetWriteMode(true);
    page.next = u"AB";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Plug('E', 2048, c.faults);
        DebugCapture debug;
        log.text.clear();
        core.WindowProc(DeviceEvent::Arrival);
        EXPECT_EQ(log.text, u"") << "nothing is logged";
        EXPECT_EQ(core.CurrentDevice(), nullptr);
        EXPECT_EQ(line.OpenVolumes(), 0);
        if (c.debugLine) {
            EXPECT_NE(debug.Text().find(c.debugLine), std::string::npos) << debug.Text();
        }
        line.Unplug('E');
    }
}

// A plug-in table that makes tmp.data of a chosen length, to see how the
// write flow cuts any image into blocks.
struct FakeVolkit {
    static inline std::string path;
    static inline std::string content;
    static inline int reads = 0;
    static inline bool skipImport = false;
    static VolHandle Open(const char* p) {
        path = p;
        return 1;
    }
    static int32_t Format(VolHandle, int32_t, uint32_t, const char*) { return 0; }
    static int32_t Import(VolHandle, const char*, const char*) {
        if (!skipImport) WriteFile(path, content);
        return 0;
    }
    static int32_t Close(VolHandle) { return 0; }
    static VolHandle CreateFile(VolHandle, const char*, uint32_t, uint32_t, void*, uint32_t,
                                uint32_t, VolHandle) {
        return 7;
    }
    static uint32_t Seek(VolHandle, VolHandle, int32_t, int32_t*, uint32_t) { return 0xFFFFFFFFu; }
    static int32_t Write(VolHandle, VolHandle, const void*, uint32_t) { return -1; }
    static int32_t Read(VolHandle, VolHandle, void*, uint32_t) {
        ++reads;
        return -1;
    }
    static int32_t CloseFile(VolHandle, VolHandle) { return 0; }
    static constexpr VolkitApi kApi = {Open, Format, CreateFile, Seek, Write,
                                       Read, Import, CloseFile,  Close};
};

TEST_F(FlowFaultTest, ImagesAreCutIntoBlocks) {
    struct Case {
        size_t length;
        uint32_t stamp;
    };
    const Case cases[] = {{40000, 65536}, {20000, 32768}, {1048576, 1048576}};
    core.SetVolkitTable(&FakeVolkit::kApi);
    page.automatic = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::string content(c.length, '\0');
        for (size_t i = 0; i < c.length; ++i) content[i] = static_cast<char>(i * 13 + 1);
        FakeVolkit::content = content;
        auto storage = line.Plug('E', 4096);
        OpenCurrent();
        ASSERT_EQ(core.WriteDeviceSN(u"AB"), 0);
        const uint8_t* dev = storage->bytes.data();
        std::string block0(content.substr(0, 32768));
        block0.resize(32768, '\0');
        PutLe32(reinterpret_cast<uint8_t*>(block0.data()) + 2048, c.stamp);
        EXPECT_EQ(std::memcmp(dev, block0.data(), 32768), 0);
        if (c.length == 40000) {
            // The tail block: the rest, then what the buffer held before.
            std::string tail = content.substr(32768) + block0.substr(40000 - 32768);
            EXPECT_EQ(std::memcmp(dev + 32768, tail.data(), 32768), 0);
            EXPECT_EQ(dev[65536], 0) << "nothing beyond the tail block";
        } else if (c.length == 20000) {
            EXPECT_EQ(std::memcmp(dev + 32768, block0.data(), 32768), 0)
                << "a short image goes twice: block 0 and the same buffer at sector 64";
        } else {
            EXPECT_EQ(std::memcmp(dev + 32768, content.data() + 32768, c.length - 32768), 0);
            EXPECT_EQ(dev[c.length], 0);
        }
        line.Unplug('E');
    }
}

TEST_F(FlowFaultTest, ImageThatCannotBeReadBack) {
    // The plug-in "builds" nothing: the step that reads the image back fails.
    core.SetVolkitTable(&FakeVolkit::kApi);
    FakeVolkit::skipImport = true;
    line.Plug('E', 2048);
    page.automatic = true;  // the box shows in every mode
    OpenCurrent();
    log.text.clear();
    EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
    FakeVolkit::skipImport = false;
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, u"烧写失败，无法读取数据，请重新将设备拔出\n");
    EXPECT_EQ(boxes.shown[0].icon, MsgIcon::None);
    EXPECT_EQ(log.text, u"") << "nothing is logged";
    EXPECT_NE(core.CurrentDevice(), nullptr) << "the device stays open";
}

TEST_F(FlowFaultTest, FullDiskWhileFetchingIsNotTakenForAnEmptyDevice) {
    line.Plug('E', 2048);
    OpenCurrent();
    page.automatic = true;
    ASSERT_EQ(core.WriteDeviceSN(u"AB"), 0);
    OpenCurrent();
    // The disk fills after the first block of the image.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 40000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::u16string id = u"keep";
    log.text.clear();
    const int rc = core.ReadDeviceSN(id);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(rc, 447);
    EXPECT_EQ(id, u"keep");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, u"读取失败，无法创建文件，请将设备拔出再重新连接电脑");
    EXPECT_EQ(log.text, u"");
}

TEST_F(FlowFaultTest, SnTxtThatIsNotAFileIsNotReadAsAnEmptyId) {
    line.Plug('E', 2048);
    OpenCurrent();
    page.automatic = true;
    ASSERT_EQ(core.WriteDeviceSN(u"AB"), 0);
    fs::create_directories(app.Path() / "sn.txt" / "blocker");
    OpenCurrent();
    std::u16string id = u"keep";
    EXPECT_EQ(core.ReadDeviceSN(id), 527);
    EXPECT_EQ(id, u"keep");
    EXPECT_EQ(LogLines().back(), "读取SN文件失败 Ln:527");
}

// Answers the overwrite question only after the device was swapped by
// events handled while the box was open.
class SwappingBoxer : public MessageBoxer {
public:
    std::function<void()> during;
    MsgAnswer Show(const MessageRequest& r) override {
        if (r.buttons == MsgButtons::YesNo && during) during();
        return r.buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
    }
};

TEST_F(FlowFaultTest, DeviceSwappedDuringTheOverwriteQuestionIsNotWritten) {
    auto first = line.Plug('E', 2048);
    OpenCurrent();
    page.automatic = true;
    ASSERT_EQ(core.WriteDeviceSN(u"AAAA"), 0);
    page.automatic = false;
    OpenCurrent();

    std::shared_ptr<MemoryStorage> second;
    SwappingBoxer swapping;
    swapping.during = [&] {
        line.Unplug('E');
        core.WindowProc(DeviceEvent::Removal);
        second = line.Plug('F', 2048);
        core.SetWriteMode(true);
        page.next = u"BBBB";
        core.WindowProc(DeviceEvent::Arrival);
    };
    core.SetMessageBoxer(&swapping);
    log.text.clear();
    EXPECT_EQ(core.WriteDeviceSN(u"CCCC"), 1);
    core.SetMessageBoxer(&boxes);
    EXPECT_EQ(LogLines().back(), "烧写失败, 请重新插设备烧写");
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(std::all_of(second->bytes.begin(), second->bytes.end(), [](uint8_t b) {
        return b == 0;
    })) << "the device that arrived meanwhile was not written unasked";
    EXPECT_NE(core.CurrentDevice(), nullptr) << "it stays current for its own write";
}

TEST_F(FlowFaultTest, FailedSeekIsNotTakenAsASize) {
    core.SetVolkitTable(&FakeVolkit::kApi);
    FakeVolkit::reads = 0;
    EXPECT_EQ(core.DownLoadFSFile(1, (app.Path() / "sn.txt").string()), 575);
    EXPECT_EQ(FakeVolkit::reads, 0);
    EXPECT_FALSE(Exists("sn.txt"));
}

TEST_F(FlowFaultTest, WithoutPluginTheFlowsFailCleanly) {
    line.Plug('E', 2048);
    core.SetVolkitTable(nullptr);
    OpenCurrent();
    std::u16string id;
    EXPECT_EQ(core.ReadDeviceSN(id), 518);
    EXPECT_EQ(LogLines().back(), "读取SN文件失败 Ln:518");
    page.automatic = true;
    EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
    EXPECT_EQ(LogLines().back(), "烧写失败，未加载文件系统插件 (Volkit)");
    EXPECT_NE(core.CurrentDevice(), nullptr);
}

TEST_F(FlowFaultTest, ConfigurationPathsStayInsideTheStagingFolder) {
    auto storage = line.Plug('E', 2048);
    page.automatic = true;
    struct Case {
        const char* config;
        int code;
        const char* logStart;
    };
    const Case cases[] = {
        {"[Option]\r\nSNPath=\\..\\..\\evil.txt\r\n", 1, "配置错误：SNPath"},
        {"[Option]\r\nSNPath=\\sn\\id.txt\r\nulpk0=\\..\\evil.bin\r\nulpk1=\\ok.bin\r\n", 0,
         "配置错误：ulpk0"},
        {"[Option]\r\nSNPath=\r\n", 1, "烧写失败，无法创建ID文件"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        SetConfig(c.config);
        OpenCurrent();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), c.code);
        auto lines = LogLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind(c.logStart, 0), 0u) << lines[0];
        EXPECT_FALSE(fs::exists(app.Path().parent_path() / "evil.txt"));
        EXPECT_FALSE(fs::exists(app.Path() / "evil.bin"));
        core.CloseCurrentDevice();
    }
    EXPECT_TRUE(fs::exists(app.Path() / "prvdata" / "ok.bin"));
}

TEST_F(FlowFaultTest, TmpDataThatCannotBeMade) {
    line.Plug('E', 2048);
    fs::create_directories(app.Path() / "tmp.data" / "blocker");
    OpenCurrent();
    std::u16string id;
    EXPECT_EQ(core.ReadDeviceSN(id), 447);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, u"读取失败，无法创建文件，请将设备拔出再重新连接电脑");
    EXPECT_EQ(boxes.shown[0].icon, MsgIcon::None);
    EXPECT_EQ(log.text, u"") << "no log line for 447";

    page.automatic = true;
    EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
    EXPECT_EQ(LogLines().back(), "烧写失败，无法生成设备镜像");
    EXPECT_NE(core.CurrentDevice(), nullptr) << "nothing was sent";
}

TEST(EnsureDirectoryPathTest, CreatesEachMissingLevel) {
    TempDir dir;
    const std::string base = dir.Path().string();
    EXPECT_EQ(TagsmithCore::EnsureDirectoryPath(base + "/a/b/"), 1);
    EXPECT_TRUE(fs::is_directory(base + "/a/b"));
    EXPECT_EQ(TagsmithCore::EnsureDirectoryPath(base + "/a/b"), 1) << "exists";
    EXPECT_EQ(TagsmithCore::EnsureDirectoryPath("x"), 0) << "shorter than 2";
    EXPECT_EQ(TagsmithCore::EnsureDirectoryPath("nosuchfolder"), 0) << "no separator";
    EXPECT_EQ(TagsmithCore::EnsureDirectoryPath("/zz"), 0);
    EXPECT_FALSE(fs::exists("/zz"));
}

}  // namespace
}  // namespace ts::test
