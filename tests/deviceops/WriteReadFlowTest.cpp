// The write-ID and read-ID flows on simulated devices with the real plug-in.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "deviceops/FlowSupport.h"
#include "platform/LittleEndian.h"
#include "tests/deviceops/FlowFixture.h"

namespace ts::test {
namespace {

std::string Mtype(const std::vector<uint8_t>& storage, const TempDir& dir, const char* path) {
    auto img = dir.Path() / "dump.img";
    WriteFile(img, std::string(storage.begin(), storage.end()));
    std::string out;
    int rc = RunCommand(
        "MTOOLS_SKIP_CHECK=1 mtype -i '" + img.string() + "' ::" + path + " 2>/dev/null", &out);
    return rc == 0 ? out : "<mtype failed>";
}

class WriteReadFlowTest : public FlowFixture {};

// Taking a device by hand: one that cannot be opened or does not answer is
// closed again and leaves the current device as it was; one that answers
// replaces it and the one it replaces is closed.
TEST_F(WriteReadFlowTest, AdoptedDeviceReplacesTheCurrentOneOnlyWhenItAnswers) {
    struct Case {
        const char* name;
        bool plugged;
        SimFaults faults;
        bool adopted;
    };
    SimFaults openFails;
    openFails.openFails = true;
    SimFaults silent;
    silent.failAll[static_cast<size_t>(SimKind::Handshake)] = true;
    const Case cases[] = {
        {"no device on the drive", false, {}, false},
        {"the drive does not open", true, openFails, false},
        {"no answer to the handshake", true, silent, false},
        {"an answering device", true, {}, true},
    };
    line.Plug('E', 2048);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenCurrent('E');
        DeviceHandle* const before = core.CurrentDevice();
        if (c.plugged) line.Plug('F', 4096, c.faults);
        EXPECT_EQ(core.AdoptDevice("F:\\"), c.adopted);
        if (c.adopted) {
            ASSERT_NE(core.CurrentDevice(), nullptr);
            EXPECT_STREQ(core.CurrentDevice()->path, "\\\\.\\F:");
            EXPECT_EQ(GetLe32(core.HandShakeAnswer().data() + 16), 4096u);
        } else {
            EXPECT_EQ(core.CurrentDevice(), before);
            EXPECT_EQ(GetLe32(core.HandShakeAnswer().data() + 16), 2048u);
        }
        EXPECT_EQ(line.OpenVolumes(), 1) << "only the current device stays open";
        core.CloseCurrentDevice();
        if (c.plugged) line.Unplug('F');
    }
}

TEST_F(WriteReadFlowTest, ConfirmedWriteLeavesTheImageOnTheDeviceAndReadsBack) {
    auto storage = line.Plug('E', 2048);
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u"1A2B"), 0);

    EXPECT_EQ(core.CurrentDevice(), nullptr) << "closed after a confirmed write";
    EXPECT_EQ(line.OpenVolumes(), 0);
    ASSERT_FALSE(LogLines().empty());
    EXPECT_EQ(LogLines().back(), "烧写成功 ID: 1A2B\n");
    EXPECT_FALSE(Exists("tmp.data"));
    // Never written before: the existing-ID check failed quietly, no question.
    EXPECT_TRUE(boxes.shown.empty());

    EXPECT_EQ(GetLe32(storage->bytes.data() + 2048), 1048576u);
    // The device's bytes, read by standard tools (the stamp at 2048 aside).
    std::vector<uint8_t> image = storage->bytes;
    PutLe32(image.data() + 2048, 0);
    EXPECT_EQ(Mtype(image, app, "/sn/id.txt"), std::string("1A2B\0", 5));
    const std::string ulpk = ReadFile(app.Path() / "ulpkData.bin");
    EXPECT_EQ(Mtype(image, app, "/ulpkData.bin"), ulpk);
    EXPECT_EQ(Mtype(image, app, "/sn/ulpkData.bak"), ulpk);

    OpenCurrent();
    std::u16string id;
    EXPECT_EQ(core.ReadDeviceSN(id), 0);
    EXPECT_EQ(id, u"1A2B");
    EXPECT_FALSE(Exists("tmp.data"));
    EXPECT_FALSE(Exists("sn.txt"));
    EXPECT_NE(core.CurrentDevice(), nullptr) << "the read borrows the device";
}

TEST_F(WriteReadFlowTest, ReadFetchesAsTheLengthFieldSays) {
    auto storage = line.Plug('E', 2048);
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u"ABC"), 0);
    struct Case {
        uint32_t length;
        int reads;
        size_t pauses;
        uint32_t lastSector;
    };
    const Case cases[] = {
        {0, 32, 31, 1984},       {100, 2, 0, 64},         {40000, 2, 0, 64},
        {1048576, 32, 31, 1984}, {2000000, 32, 31, 1984},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        PutLe32(storage->bytes.data() + 1024, c.length);
        OpenCurrent();
        clock.sleeps.clear();
        DebugCapture debug;
        std::u16string id;
        EXPECT_EQ(core.ReadDeviceSN(id), 0);
        EXPECT_EQ(id, u"ABC");
        std::string text = debug.Text();
        int reads = 0;
        for (size_t p = 0; (p = text.find("DeviceRead:ScsiStatus= 0 DataTransferLength=32768",
                                          p)) != std::string::npos;
             ++p)
            ++reads;
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(clock.sleeps.size(), c.pauses);
        for (uint32_t ms : clock.sleeps) EXPECT_EQ(ms, 100u);
        core.CloseCurrentDevice();
    }
}

TEST_F(WriteReadFlowTest, IdFileContentRules) {
    // The ID is the bytes up to the first NUL, at most 260, from CP936.
    struct Case {
        std::string bytes;
        std::u16string id;
    };
    const Case cases[] = {
        {std::string("ABC\0XYZ", 7), u"ABC"},
        {std::string(300, 'F'), std::u16string(260, u'F')},
        {"", u""},
        {"\xD6\xD0\xCE\xC4", u"中文"},
    };
    for (const Case& c : cases) {
        auto storage = line.Plug('F', 2048);
        // Build the device image through the plug-in from a staged tree.
        TempDir tree;
        std::filesystem::create_directories(tree.Path() / "sn");
        WriteFile(tree.Path() / "sn" / "id.txt", c.bytes);
        std::string img = (app.Path() / "build.img").string();
        std::filesystem::remove(img);
        VolHandle h = core.VolkitTable()->VolOpen(img.c_str());
        ASSERT_EQ(core.VolkitTable()->VolFormat(h, 2, 2048, "MIDINFO"), 0);
        ASSERT_EQ(core.VolkitTable()->VolImportDir(h, tree.Path().c_str(), "\\"), 0);
        core.VolkitTable()->VolClose(h);
        std::string bytes = ReadFile(img);
        std::memcpy(storage->bytes.data(), bytes.data(), bytes.size());
        OpenCurrent('F');
        std::u16string id = u"unchanged";
        EXPECT_EQ(core.ReadDeviceSN(id), 0);
        EXPECT_EQ(id, c.id);
        core.CloseCurrentDevice();
        line.Unplug('F');
    }
}

TEST_F(WriteReadFlowTest, ValidationAndTheOverwriteQuestion) {
    line.Plug('E', 2048);
    struct Case {
        std::u16string id;
        bool automatic;
        int code;
        const char* logLine;
        bool box;
    };
    const std::u16string bad = u"非法的ID值！\r\n请确保ID值是16进制的数值！";
    const std::u16string tooLong = u"ID值过长，无法进行烧写!!!\r\n请确保ID值不要超过1024个字符!!!!";
    const Case cases[] = {
        {u"1a2b", false, 822, nullptr, true},
        {u"1a2b", true, 822, nullptr, false},
        {std::u16string(1025, u'A'), false, 829, nullptr, true},
        {std::u16string(1024, u'A') + u"g", false, 822, nullptr, true},
        {std::u16string(1025, u'A'), true, 829, nullptr, false},
        {u"0x", false, 822, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.id.substr(0, 8)));
        OpenCurrent();
        page.automatic = c.automatic;
        boxes.shown.clear();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(c.id), c.code);
        const std::u16string& expected = c.code == 822 ? bad : tooLong;
        EXPECT_EQ(log.text, u"\r\n" + expected);
        ASSERT_EQ(boxes.shown.size(), c.box ? 1u : 0u);
        if (c.box) {
            EXPECT_EQ(boxes.shown[0].text, expected);
            EXPECT_EQ(boxes.shown[0].icon, MsgIcon::Error);
            EXPECT_EQ(boxes.shown[0].caption, kAppTitle);
        }
        EXPECT_NE(core.CurrentDevice(), nullptr) << "validation failures keep the device";
        core.CloseCurrentDevice();
    }
    page.automatic = false;

    // A device that holds an ID: Yes writes, No closes and returns 0.
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u"0x1A2B"), 0);
    OpenCurrent();
    boxes.answers = {MsgAnswer::No};
    boxes.shown.clear();
    EXPECT_EQ(core.WriteDeviceSN(u"1A2B"), 0);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, u"设备已经烧录了 ID:0x1A2B，是否重新烧写\n");
    EXPECT_EQ(boxes.shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(boxes.shown[0].icon, MsgIcon::Question);
    EXPECT_EQ(core.CurrentDevice(), nullptr);
    OpenCurrent();
    boxes.answers = {MsgAnswer::Yes};
    EXPECT_EQ(core.WriteDeviceSN(u"FFFF"), 0);
    OpenCurrent();
    std::u16string id;
    EXPECT_EQ(core.ReadDeviceSN(id), 0);
    EXPECT_EQ(id, u"FFFF");
    // Automatic writing overwrites without asking.
    page.automatic = true;
    boxes.shown.clear();
    EXPECT_EQ(core.WriteDeviceSN(u"EEEE"), 0);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WriteReadFlowTest, EmptyIdIsWrittenAsOneNul) {
    auto storage = line.Plug('E', 2048);
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u""), 0);
    std::vector<uint8_t> image = storage->bytes;
    PutLe32(image.data() + 2048, 0);
    EXPECT_EQ(Mtype(image, app, "/sn/id.txt"), std::string(1, '\0'));
}

TEST_F(WriteReadFlowTest, FinishAnswers) {
    struct Case {
        const char* name;
        SimFaults faults;
        int code;
    };
    SimFaults ok, extra, noNul, status;
    extra.finishText = "usb_dataokX";
    noNul.finishText = "usb_dataok";
    noNul.finishNoNul = true;
    status.status[static_cast<size_t>(SimKind::Finish)] = 2;
    const Case cases[] = {
        {"usb_dataok", ok, 0},
        {"usb_dataokX", extra, 1},
        {"no NUL", noNul, 1},
        {"status 2", status, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Plug('E', 2048, c.faults);
        OpenCurrent();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), c.code);
        EXPECT_EQ(core.CurrentDevice(), nullptr);
        EXPECT_EQ(LogLines().back(),
                  c.code == 0 ? "烧写成功 ID: AB\n" : "烧写失败, 请重新插设备烧写");
        line.Unplug('E');
    }
}

}  // namespace
}  // namespace ts::test
