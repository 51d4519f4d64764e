// Devices that refuse blocks while the pass-through call goes through, move
// fewer bytes than asked, or claim a size no image can have: the flows fail
// with their usual codes and lines instead of reporting data that the device
// never stored or delivered.
#include <gtest/gtest.h>

#include <algorithm>

#include "deviceops/FlowSupport.h"
#include "platform/LittleEndian.h"
#include "tests/deviceops/FlowFixture.h"

namespace ts::test {
namespace {

class DeviceRefusalTest : public FlowFixture {
protected:
    // A device of `sectors` that holds the ID "AB", written through the flow.
    std::shared_ptr<MemoryStorage> WrittenDevice(uint32_t sectors) {
        auto storage = line.Plug('E', sectors);
        OpenCurrent();
        page.automatic = true;
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), 0);
        page.automatic = false;
        line.Unplug('E');
        return storage;
    }
    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t p = 0; (p = text.find(what, p)) != std::string::npos; ++p) ++n;
        return n;
    }
    bool AllZero(const MemoryStorage& s) {
        return std::all_of(s.bytes.begin(), s.bytes.end(), [](uint8_t b) { return b == 0; });
    }
};

TEST_F(DeviceRefusalTest, RefusedOrShortReadsFailTheRead) {
    struct Case {
        const char* name;
        const char* faults;
        int code;
    };
    const Case cases[] = {
        {"block 0 refused", "check_at=read:1", 456},
        {"middle block refused", "check_at=read:5", 488},
        {"block 0 short", "short_at=read:1", 456},
        {"middle block short", "short_at=read:3", 488},
        // The handshake overstates the size: blocks past the real end are refused.
        {"reads past the real end", "size=2048", 488},
    };
    auto storage = WrittenDevice(1024);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Plug('E', storage, ParseSimFaults(c.faults, c.name));
        OpenCurrent();
        log.text.clear();
        std::u16string id = u"keep";
        EXPECT_EQ(core.ReadDeviceSN(id), c.code);
        EXPECT_EQ(id, u"keep");
        EXPECT_EQ(LogLines(),
                  std::vector<std::string>{"读取SN文件失败 Ln:" + std::to_string(c.code)});
        core.CloseCurrentDevice();
        line.Unplug('E');
    }
}

TEST_F(DeviceRefusalTest, TailBlockRefusedFailsWith498) {
    auto storage = WrittenDevice(2048);
    PutLe32(storage->bytes.data() + 1024, 40000);  // block 0 and a tail block
    line.Plug('E', storage, ParseSimFaults("check_at=read:2", "tail"));
    OpenCurrent();
    std::u16string id;
    EXPECT_EQ(core.ReadDeviceSN(id), 498);
    EXPECT_EQ(LogLines().back(), "读取SN文件失败 Ln:498");
}

// Writes and reads stop at the end the device reported: the block that
// crosses it (a size of no whole number of blocks) goes only up to it, and a
// device smaller than the largest image is read to its end, so the ID reads
// back and nothing is ever refused.
TEST_F(DeviceRefusalTest, TransfersStopAtTheDevicesEnd) {
    struct Case {
        uint32_t sectors;
        size_t writes, reads;
        const char* lastWrite;  // the crossing block's transfer length
    };
    const Case cases[] = {
        {256, 4, 4, "DataTransferLength=32768"},
        {300, 5, 5, "DataTransferLength=22528"},
        {2068, 33, 32, "DataTransferLength=10240"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sectors);
        DebugCapture debug;
        auto storage = WrittenDevice(c.sectors);
        EXPECT_EQ(Count(debug.Text(), "DeviceWrite:ScsiStatus= 0"), c.writes);
        const std::string text = debug.Text();
        const size_t last = text.rfind("DeviceWrite:");
        EXPECT_EQ(text.compare(last, text.find('\r', last) - last,
                               std::string("DeviceWrite:ScsiStatus= 0 ") + c.lastWrite),
                  0)
            << text.substr(last, 60);
        debug.Clear();
        line.Plug('E', storage);
        OpenCurrent();
        std::u16string id;
        EXPECT_EQ(core.ReadDeviceSN(id), 0);
        EXPECT_EQ(id, u"AB");
        EXPECT_EQ(Count(debug.Text(), "DeviceRead:ScsiStatus= 0"), c.reads);
        EXPECT_EQ(Count(debug.Text(), "ScsiStatus= 2"), 0u);
        core.CloseCurrentDevice();
        line.Unplug('E');
    }
}

TEST_F(DeviceRefusalTest, RefusedOrShortWritesFailTheWrite) {
    struct Case {
        const char* name;
        const char* faults;
    };
    const Case cases[] = {
        {"block 0 refused", "check_at=write:1"},
        {"middle block refused", "check_at=write:5"},
        {"last block refused", "check_at=write:32"},
        {"block short", "short_at=write:2"},
        // The handshake claims twice the device: the 33rd block lies past its end.
        {"write past the real end", "size=4096"},
    };
    page.automatic = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line.Plug('E', 2048, ParseSimFaults(c.faults, c.name));
        OpenCurrent();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
        EXPECT_EQ(LogLines(), std::vector<std::string>{"烧写失败, 请重新插设备烧写"});
        EXPECT_EQ(core.CurrentDevice(), nullptr);
        EXPECT_EQ(line.OpenVolumes(), 0);
        line.Unplug('E');
    }
}

// Block 0 carries the image length in 32 bits, so no device can hold more
// than 8388544 sectors (4 GiB less one block): a larger claim is refused
// before anything is built or sent. A claim that the FAT image cannot take
// is refused by the plug-in, also before sending; one it can take is sent
// until the device refuses the first block past its real end.
TEST_F(DeviceRefusalTest, OversizedHandshakeIsNeverWrittenThrough) {
    struct Case {
        const char* faults;
        const char* logLine;
        bool closed;  // the device closed by the flow
        bool sent;
    };
    const char* kFailed = "烧写失败, 请重新插设备烧写";
    const Case cases[] = {
        {"size=8388545", kFailed, true, false},
        {"size=4294967295", kFailed, true, false},
        {"size=8388544", "烧写失败，无法生成设备镜像", false, false},
        {"size=8000000", kFailed, true, true},
    };
    page.automatic = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        auto storage = line.Plug('E', 2048, ParseSimFaults(c.faults, "size"));
        OpenCurrent();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
        EXPECT_EQ(LogLines(), std::vector<std::string>{c.logLine});
        EXPECT_EQ(core.CurrentDevice() == nullptr, c.closed);
        EXPECT_EQ(!AllZero(*storage), c.sent);
        core.CloseCurrentDevice();
        std::filesystem::remove(app.Path() / "tmp.data");
        line.Unplug('E');
    }
}

}  // namespace
}  // namespace ts::test
