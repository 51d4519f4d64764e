// The simulated firmware, driven through the command channel with real
// request blocks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"
#include "sim/MemoryLine.h"
#include "sim/SimDevice.h"

namespace ts {
namespace {

constexpr uint32_t kSectors = 2048;
constexpr uint8_t kGuard = 0xAA;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 512);
    return v;
}

class SimDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage = line.Plug('E', kSectors);
        ASSERT_TRUE(storage);
        dev = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, kFileShareReadWrite);
        ASSERT_NE(dev, nullptr);
    }
    void TearDown() override { ctl.DeviceClose(dev); }

    DebugCapture debug;
    MemoryLine line;
    DeviceControl ctl{&line};
    std::shared_ptr<MemoryStorage> storage;
    DeviceHandle* dev = nullptr;
};

TEST_F(SimDeviceTest, HandshakeAnswerCutToRequestedLength) {
    struct Case {
        uint32_t length;
        std::vector<uint8_t> expected;  // the answer; bytes beyond it stay untouched
    };
    std::vector<uint8_t> full32(32, 0);
    std::memcpy(full32.data(), "usbhandshake", 12);
    full32[16] = 0x00;
    full32[17] = 0x08;  // 2048 sectors
    std::vector<uint8_t> full64 = full32;
    full64.resize(64, 0);
    const Case cases[] = {
        {32, full32},
        {64, full64},
        {8, std::vector<uint8_t>(full32.begin(), full32.begin() + 8)},
        {18, std::vector<uint8_t>(full32.begin(), full32.begin() + 18)},
        {13, std::vector<uint8_t>(full32.begin(), full32.begin() + 13)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> buf(c.length + 16, kGuard);
        EXPECT_EQ(ctl.HandShake(dev, buf.data(), c.length), 0);
        EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + c.length), c.expected);
        for (size_t i = c.length; i < buf.size(); ++i) ASSERT_EQ(buf[i], kGuard) << i;
        EXPECT_NE(debug.Text().find("DataTransferLength=" + std::to_string(c.length)),
                  std::string::npos);
        debug.Clear();
    }
}

TEST_F(SimDeviceTest, ReadWriteRoundTripsAtSeveralSectors) {
    struct Case {
        uint32_t sector;
        uint32_t length;
    };
    const Case cases[] = {
        {0, 512}, {1, 1000}, {63, 32768}, {64, 32768}, {kSectors - 64, 32768}, {kSectors - 1, 512},
        {700, 1}};
    uint8_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sector);
        std::fill(storage->bytes.begin(), storage->bytes.end(), 0x5C);
        uint32_t raised = (c.length + 511) / 512 * 512;
        auto data = Pattern(raised, seed++);
        EXPECT_EQ(ctl.DeviceWrite(dev, c.sector, data.data(), c.length), 0);
        // The bytes land exactly where the sector says and nowhere else.
        std::vector<uint8_t> expected(storage->bytes.size(), 0x5C);
        std::copy(data.begin(), data.end(), expected.begin() + size_t{c.sector} * 512);
        EXPECT_TRUE(storage->bytes == expected);
        std::vector<uint8_t> back(raised, 0);
        EXPECT_EQ(ctl.DeviceRead(dev, c.sector, back.data(), c.length), 0);
        EXPECT_EQ(back, data);
    }
}

TEST_F(SimDeviceTest, FinishAnswersDataOk) {
    uint8_t buf[40];
    std::memset(buf, kGuard, sizeof buf);
    EXPECT_EQ(ctl.DeviceFinish(dev, buf, 32), 0);
    uint8_t expected[32] = "usb_dataok";
    EXPECT_EQ(std::memcmp(buf, expected, 32), 0);
    EXPECT_EQ(buf[32], kGuard);
    // A finish without an answer buffer still succeeds.
    EXPECT_EQ(ctl.DeviceFinish(dev, nullptr, 0), 0);
}

// Raw request blocks that a well-behaved caller never sends.
TEST_F(SimDeviceTest, BadRequestsEndInCheckConditionWithSense) {
    struct Case {
        const char* name;
        uint8_t opcode, sub, dataIn;
        uint32_t start, param2, transfer;
        uint8_t asc;
    };
    const Case cases[] = {
        {"read past the end", 0xF3, 3, 1, kSectors, 1, 512, 0x21},
        {"write across the end", 0xF3, 1, 0, kSectors - 1, 2, 1024, 0x21},
        {"start sector near 2^32 does not wrap", 0xF3, 3, 1, 0xFFFFFFFF, 64, 32768, 0x21},
        {"unknown sub-command", 0xF3, 4, 1, 0, 32, 32, 0x24},
        {"sub-command 0xFF", 0xF3, 0xFF, 1, 0, 32, 32, 0x24},
        {"other opcode", 0x28, 3, 1, 0, 1, 512, 0x20},
        {"read with data out", 0xF3, 3, 0, 0, 1, 512, 0x24},
        {"write with data in", 0xF3, 1, 1, 0, 1, 512, 0x24},
        {"handshake with data out", 0xF3, 0, 0, 0, 32, 32, 0x24},
        {"read length not count*512", 0xF3, 3, 1, 0, 1, 1000, 0x24},
        {"read longer than the 16-bit count", 0xF3, 3, 1, 0, 0x10001, 0x10001 * 512u, 0x24},
        {"handshake length not the block's", 0xF3, 0, 1, 0, 16, 32, 0x24},
        {"finish length not the block's", 0xF3, 2, 1, 0, 0, 32, 0x24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buf(c.transfer + 64, kGuard);
        std::fill(storage->bytes.begin(), storage->bytes.end(), 0x11);
        PassThroughRequest req;
        DeviceControl::BuildRequest(req, c.sub, c.dataIn, c.transfer, c.start, c.param2);
        req.sptd.Cdb[0] = c.opcode;
        int err = 0;
        ASSERT_TRUE(SendPassThrough(*dev->volume, req, buf.data(), err))
            << "the call itself succeeds";
        EXPECT_EQ(req.sptd.ScsiStatus, 2);
        EXPECT_EQ(req.sptd.DataTransferLength, 0u);
        EXPECT_EQ(req.sense[0], 0x70);
        EXPECT_EQ(req.sense[2], 0x05);
        EXPECT_EQ(req.sense[7], 10);
        EXPECT_EQ(req.sense[12], c.asc);
        for (size_t i = 24; i < sizeof req.sense; ++i) EXPECT_EQ(req.sense[i], 0) << i;
        EXPECT_EQ(std::count(buf.begin(), buf.end(), kGuard), static_cast<long>(buf.size()))
            << "nothing moved";
        EXPECT_EQ(std::count(storage->bytes.begin(), storage->bytes.end(), 0x11),
                  static_cast<long>(storage->bytes.size()))
            << "nothing stored";
    }
}

TEST_F(SimDeviceTest, CommandChannelFailsTransfersPastTheEnd) {
    uint8_t buf[512] = {};
    // The call goes through; the check condition fails the transfer.
    EXPECT_EQ(ctl.DeviceRead(dev, kSectors, buf, 512), kReadCallFailed);
    EXPECT_NE(debug.Text().find("DeviceRead:ScsiStatus= 2 DataTransferLength=0"),
              std::string::npos);
    EXPECT_EQ(ctl.DeviceWrite(dev, kSectors, buf, 512), kWriteCallFailed);
    EXPECT_NE(debug.Text().find("DeviceWrite:ScsiStatus= 2 DataTransferLength=0"),
              std::string::npos);
}

TEST_F(SimDeviceTest, SenseNeverWrittenOutsideTheBlock) {
    struct Case {
        uint32_t offset;
        uint8_t length;
        size_t written;  // sense bytes expected at the offset
    };
    const Case cases[] = {
        {48, 24, 24},         {48, 8, 8},  {48, 0, 0},
        {48, 255, 24},        {70, 24, 0},  // would run past the 80-byte block
        {0, 24, 0},                         // would overwrite the request header
        {0xFFFFFFF0u, 24, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        PassThroughRequest req;
        DeviceControl::BuildRequest(req, 9, kScsiIoctlDataIn, 0, 0, 0);
        req.sptd.SenseInfoOffset = c.offset;
        req.sptd.SenseInfoLength = c.length;
        PassThroughRequest before = req;
        int err = 0;
        ASSERT_TRUE(SendPassThrough(*dev->volume, req, nullptr, err));
        EXPECT_EQ(req.sptd.ScsiStatus, 2);
        if (c.written) {
            EXPECT_EQ(req.sense[0], 0x70);
        }
        const auto* a = reinterpret_cast<const uint8_t*>(&before);
        const auto* b = reinterpret_cast<const uint8_t*>(&req);
        for (size_t i = sizeof(ScsiPassThroughDirect32); i < sizeof req; ++i) {
            bool inSense = i >= 48 && i < 48 + c.written;
            if (!inSense) {
                EXPECT_EQ(a[i], b[i]) << i;
            }
        }
    }
}

TEST_F(SimDeviceTest, CallFailsForImpossibleBlocks) {
    struct Case {
        const char* name;
        uint8_t cdbLength;
        bool nullData;
        int err;
    };
    const Case cases[] = {{"command block longer than 16", 17, false, EINVAL},
                          {"data length without buffer", 10, true, EFAULT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PassThroughRequest req;
        DeviceControl::BuildRequest(req, 3, kScsiIoctlDataIn, 512, 0, 1);
        req.sptd.CdbLength = c.cdbLength;
        uint8_t buf[512];
        int err = 0;
        EXPECT_FALSE(SendPassThrough(*dev->volume, req, c.nullData ? nullptr : buf, err));
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(req.sptd.ScsiStatus, 0);
    }
}

TEST(SimDiskTest, OrdinaryDiskRejectsEveryVendorCommand) {
    DebugCapture debug;
    MemoryLine line;
    ASSERT_TRUE(line.PlugDisk('F'));
    DeviceControl ctl(&line);
    DeviceHandle* dev = ctl.DeviceOpen("F:\\", kGenericRead | kGenericWrite, 3);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[512] = {};
    EXPECT_EQ(ctl.HandShake(dev, buf, 32), 0) << "the call succeeds";
    EXPECT_EQ(std::count(buf, buf + 512, 0), 512) << "but nothing is answered";
    EXPECT_EQ(ctl.DeviceRead(dev, 0, buf, 512), kReadCallFailed);
    EXPECT_EQ(ctl.DeviceWrite(dev, 0, buf, 512), kWriteCallFailed);
    EXPECT_EQ(ctl.DeviceFinish(dev, buf, 32), 650);
    EXPECT_EQ(debug.Text(),
              "HandShakePipeSend:ScsiStatus= 2 DataTransferLength=0\r\n"
              "DeviceRead:ScsiStatus= 2 DataTransferLength=0\r\n"
              "DeviceWrite:ScsiStatus= 2 DataTransferLength=0\r\n"
              "DeviceFinish:ScsiStatus= 2 DataTransferLength=0\r\n");
    PassThroughRequest req;
    DeviceControl::BuildRequest(req, 0, kScsiIoctlDataIn, 32, 0, 32);
    int err = 0;
    ASSERT_TRUE(SendPassThrough(*dev->volume, req, buf, err));
    EXPECT_EQ(req.sense[12], 0x20);
    ctl.DeviceClose(dev);
}

TEST(SimDeviceReadOnlyTest, WriteThroughReadOnlyVolumeFailsTheCall) {
    MemoryLine line;
    auto storage = line.Plug('E', 16);
    DeviceControl ctl(&line);
    DeviceHandle* dev = ctl.DeviceOpen("E:\\", kGenericRead, 3);
    ASSERT_NE(dev, nullptr);
    uint8_t buf[512];
    std::memset(buf, 0x42, sizeof buf);
    EXPECT_EQ(ctl.DeviceWrite(dev, 0, buf, 512), kWriteCallFailed);
    EXPECT_EQ(GetLastError(), EACCES);
    EXPECT_EQ(std::count(storage->bytes.begin(), storage->bytes.end(), 0),
              static_cast<long>(storage->bytes.size()));
    EXPECT_EQ(ctl.DeviceRead(dev, 0, buf, 512), 0);
    ctl.DeviceClose(dev);
}

}  // namespace
}  // namespace ts
