#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"

namespace ts {
namespace {

// Records every command it is handed and answers as configured.
struct FakeDevice {
    std::vector<ScsiCommand> sent;
    bool callOk = true;
    int error = 0;
    uint8_t status = 0;
    uint32_t moved = UINT32_MAX;  // UINT32_MAX: all requested bytes
};

class FakeTransport : public ScsiTransport {
public:
    explicit FakeTransport(FakeDevice* d) : d_(d) {}
    bool Send(ScsiCommand& cmd, int& lastError) override {
        d_->sent.push_back(cmd);
        if (!d_->callOk) {
            lastError = d_->error;
            return false;
        }
        cmd.status = d_->status;
        if (d_->moved != UINT32_MAX) cmd.resid = cmd.length - std::min(d_->moved, cmd.length);
        return true;
    }

private:
    FakeDevice* d_;
};

class FakeOpener : public VolumeOpener {
public:
    FakeDevice dev;
    std::vector<std::string> opened;
    int openError = 0;
    std::unique_ptr<ScsiTransport> OpenVolume(const char* path, uint32_t, uint32_t,
                                              int& lastError) override {
        opened.push_back(path);
        if (openError) {
            lastError = openError;
            return nullptr;
        }
        return std::make_unique<FakeTransport>(&dev);
    }
};

class DeviceControlTest : public ::testing::Test {
protected:
    FakeOpener opener;
    DeviceControl ctl{&opener};
    DebugCapture debug;
    uint8_t buf[65536] = {};
};

std::vector<uint8_t> Cdb10(const ScsiCommand& r) { return std::vector<uint8_t>(r.cdb, r.cdb + 10); }

TEST_F(DeviceControlTest, WorkedCommandBlocksAndRequestLayout) {
    struct Case {
        const char* name;
        int (*run)(DeviceControl&, DeviceHandle*, uint8_t*);
        std::vector<uint8_t> cdb;
        uint8_t dataIn;
        uint32_t transfer;
        const char* line;
    };
    const Case cases[] = {
        {"handshake 32",
         [](DeviceControl& c, DeviceHandle* d, uint8_t* b) { return c.HandShake(d, b, 32); },
         {0xF3, 0, 0, 0, 0, 0, 0, 0, 0x20, 0},
         1,
         32,
         "HandShakePipeSend:ScsiStatus= 0 DataTransferLength=32\r\n"},
        {"read 32768 at 64",
         [](DeviceControl& c, DeviceHandle* d, uint8_t* b) {
             return c.DeviceRead(d, 64, b, 32768);
         },
         {0xF3, 3, 0, 0, 0x40, 0, 0, 0, 0x40, 0},
         1,
         32768,
         "DeviceRead:ScsiStatus= 0 DataTransferLength=32768\r\n"},
        {"write 1000 at 0",
         [](DeviceControl& c, DeviceHandle* d, uint8_t* b) { return c.DeviceWrite(d, 0, b, 1000); },
         {0xF3, 1, 0, 0, 0, 0, 0, 0, 2, 0},
         0,
         1024,
         "DeviceWrite:ScsiStatus= 0 DataTransferLength=1024\r\n"},
        {"finish 32",
         [](DeviceControl& c, DeviceHandle* d, uint8_t* b) { return c.DeviceFinish(d, b, 32); },
         {0xF3, 2, 0, 0, 0, 0, 0, 0, 0x20, 0},
         1,
         32,
         "DeviceFinish:ScsiStatus= 0 DataTransferLength=32\r\n"},
        {"read 1 byte",
         [](DeviceControl& c, DeviceHandle* d, uint8_t* b) { return c.DeviceRead(d, 0, b, 1); },
         {0xF3, 3, 0, 0, 0, 0, 0, 0, 1, 0},
         1,
         512,
         "DeviceRead:ScsiStatus= 0 DataTransferLength=512\r\n"},
        {"write 512 not raised",
         [](DeviceControl& c, DeviceHandle* d, uint8_t* b) { return c.DeviceWrite(d, 7, b, 512); },
         {0xF3, 1, 0, 0, 7, 0, 0, 0, 1, 0},
         0,
         512,
         "DeviceWrite:ScsiStatus= 0 DataTransferLength=512\r\n"},
        {"write 513 raised",
         [](DeviceControl& c, DeviceHandle* d, uint8_t* b) {
             return c.DeviceWrite(d, 0x01020304, b, 513);
         },
         {0xF3, 1, 0, 0, 4, 3, 2, 1, 2, 0},
         0,
         1024,
         "DeviceWrite:ScsiStatus= 0 DataTransferLength=1024\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        opener.dev.sent.clear();
        debug.Clear();
        DeviceHandle* d = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, kFileShareReadWrite);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(c.run(ctl, d, buf), 0);
        ASSERT_EQ(opener.dev.sent.size(), 1u);
        const auto& r = opener.dev.sent[0];
        EXPECT_EQ(Cdb10(r), c.cdb);
        for (int i = 10; i < 16; ++i) EXPECT_EQ(r.cdb[i], 0) << i;
        EXPECT_EQ(r.cdbLength, 10);
        EXPECT_EQ(r.senseCapacity, 24);
        EXPECT_EQ(r.timeoutSeconds, 2u);
        EXPECT_EQ(r.direction, c.dataIn ? ScsiDirection::FromDevice : ScsiDirection::ToDevice);
        EXPECT_EQ(r.length, c.transfer);
        EXPECT_EQ(r.data, buf);
        EXPECT_EQ(debug.Text(), c.line);
        EXPECT_EQ(ctl.DeviceClose(d), 0);

        // The block the command was made from, laid out as the devices expect.
        PassThroughRequest block;
        DeviceControl::BuildRequest(block, c.cdb[1], c.dataIn, c.transfer, 0, 0);
        EXPECT_EQ(block.sptd.Length, 44);
        EXPECT_EQ(block.sptd.TargetId, 1);
        EXPECT_EQ(block.sptd.PathId, 0);
        EXPECT_EQ(block.sptd.Lun, 0);
        EXPECT_EQ(block.sptd.CdbLength, 10);
        EXPECT_EQ(block.sptd.SenseInfoLength, 24);
        EXPECT_EQ(block.sptd.SenseInfoOffset, 48u);
        EXPECT_EQ(block.sptd.TimeOutValue, 2u);
        EXPECT_EQ(block.sptd.DataIn, c.dataIn);
        EXPECT_EQ(block.sptd.DataTransferLength, c.transfer);
        EXPECT_EQ(block.filler, 0u);
    }
}

TEST_F(DeviceControlTest, ResultCodes) {
    DeviceHandle* d = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    ASSERT_NE(d, nullptr);
    struct Case {
        const char* name;
        int expected;
        int got;
    };
    const Case nulls[] = {
        {"close null", 586, ctl.DeviceClose(nullptr)},
        {"handshake null device, zero length", 289, ctl.HandShakePipeSend(nullptr, buf, 0)},
        {"handshake null buffer", 295, ctl.HandShakePipeSend(d, nullptr, 32)},
        {"handshake zero length", 0, ctl.HandShakePipeSend(d, nullptr, 0)},
        {"finish null device", 608, ctl.DeviceFinish(nullptr, buf, 32)},
        {"write null device", 676, ctl.DeviceWrite(nullptr, 0, buf, 512)},
        {"write null buffer", 682, ctl.DeviceWrite(d, 0, nullptr, 512)},
        {"write zero length", 0, ctl.DeviceWrite(d, 0, nullptr, 0)},
        {"read null device", 747, ctl.DeviceRead(nullptr, 0, buf, 512)},
        {"read null buffer", 753, ctl.DeviceRead(d, 0, nullptr, 512)},
        {"read zero length", 0, ctl.DeviceRead(d, 0, nullptr, 0)},
    };
    for (const auto& c : nulls) EXPECT_EQ(c.got, c.expected) << c.name;
    EXPECT_TRUE(opener.dev.sent.empty()) << "argument failures send nothing";
    EXPECT_EQ(debug.Text(), "") << "argument failures write no line";

    // The call itself fails.
    opener.dev.callOk = false;
    opener.dev.error = EIO;
    EXPECT_EQ(ctl.HandShakePipeSend(d, buf, 32), 337);
    EXPECT_EQ(ctl.DeviceWrite(d, 0, buf, 512), 724);
    EXPECT_EQ(ctl.DeviceRead(d, 0, buf, 512), 801);
    EXPECT_EQ(ctl.DeviceFinish(d, buf, 32), 0) << "finish judges by status byte only";

    // The call succeeds with a check condition: the handshake is judged by
    // its answer text, the data transfers fail as the device refused them.
    opener.dev.callOk = true;
    opener.dev.status = 2;
    EXPECT_EQ(ctl.HandShakePipeSend(d, buf, 32), 0);
    EXPECT_EQ(ctl.DeviceWrite(d, 0, buf, 512), 724);
    EXPECT_EQ(ctl.DeviceRead(d, 0, buf, 512), 801);
    EXPECT_EQ(ctl.DeviceFinish(d, buf, 32), 650);
    EXPECT_EQ(ctl.DeviceClose(d), 0);
}

// A device that refuses a block (status not good) or moves fewer bytes than
// asked has not stored or delivered it, though the call went through.
TEST_F(DeviceControlTest, DeviceRefusalFailsReadsAndWrites) {
    struct Case {
        const char* name;
        uint8_t status;
        uint32_t moved;  // UINT32_MAX: everything asked
        int read, write;
    };
    const Case cases[] = {
        {"good", 0, UINT32_MAX, 0, 0},
        {"check condition, nothing moved", 2, 0, 801, 724},
        {"check condition, length left as asked", 2, UINT32_MAX, 801, 724},
        {"busy", 8, UINT32_MAX, 801, 724},
        {"one sector short", 0, 32768 - 512, 801, 724},
        {"nothing moved", 0, 0, 801, 724},
    };
    DeviceHandle* d = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    ASSERT_NE(d, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        opener.dev.status = c.status;
        opener.dev.moved = c.moved;
        SetLastError(0);
        EXPECT_EQ(ctl.DeviceRead(d, 64, buf, 32768), c.read);
        EXPECT_EQ(GetLastError(), c.read ? EIO : 0);
        EXPECT_EQ(ctl.DeviceWrite(d, 64, buf, 32768), c.write);
    }
    // A raised length counts: 1000 bytes asked are 1024 moved.
    opener.dev.status = 0;
    opener.dev.moved = 1000;
    EXPECT_EQ(ctl.DeviceWrite(d, 0, buf, 1000), 724);
    opener.dev.moved = 1024;
    EXPECT_EQ(ctl.DeviceWrite(d, 0, buf, 1000), 0);
    EXPECT_EQ(ctl.DeviceClose(d), 0);
}

TEST_F(DeviceControlTest, FailureDebugLines) {
    DeviceHandle* d = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    opener.dev.callOk = false;
    opener.dev.error = 5;
    opener.dev.moved = 0;

    ctl.DeviceRead(d, 0, buf, 512);
    EXPECT_EQ(debug.Text(),
              "DeviceRead:ScsiStatus= 0 DataTransferLength=512\r\n"
              "DeviceRead DeviceIoControl return Error GetLastError = 5\r\n");
    debug.Clear();
    ctl.DeviceWrite(d, 0, buf, 512);
    EXPECT_EQ(debug.Text(), "DeviceWrite:ScsiStatus= 0 DataTransferLength=512\r\n");
    debug.Clear();
    EXPECT_EQ(ctl.HandShake(d, buf, 32), 337);
    EXPECT_EQ(debug.Text(),
              "HandShakePipeSend:ScsiStatus= 0 DataTransferLength=32\r\n"
              "Hand Shake Failed DeviceControl Ln:829\r\n");
    debug.Clear();
    EXPECT_EQ(ctl.HandShake(nullptr, buf, 32), 289);
    EXPECT_EQ(debug.Text(), "Hand Shake Failed DeviceControl Ln:829\r\n");
    ctl.DeviceClose(d);
}

TEST_F(DeviceControlTest, StatusPrintedAsUnsignedByteAndMovedLength) {
    DeviceHandle* d = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    opener.dev.status = 0xFF;
    opener.dev.moved = 100;
    EXPECT_EQ(ctl.DeviceFinish(d, buf, 200), 650);
    EXPECT_EQ(debug.Text(), "DeviceFinish:ScsiStatus= 255 DataTransferLength=100\r\n");
    ctl.DeviceClose(d);
}

TEST_F(DeviceControlTest, FinishWithNullBufferFailsTheCallNotTheProcess) {
    DeviceHandle* d = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    EXPECT_EQ(ctl.DeviceFinish(d, nullptr, 32), 0);
    EXPECT_TRUE(opener.dev.sent.empty());
    EXPECT_EQ(GetLastError(), EFAULT);
    opener.dev.sent.clear();
    EXPECT_EQ(ctl.DeviceFinish(d, nullptr, 0), 0);
    EXPECT_EQ(opener.dev.sent.size(), 1u) << "zero-length finish is sent";
    ctl.DeviceClose(d);
}

TEST_F(DeviceControlTest, TransfersBeyondWhatTheBlockCanCarryAreRefused) {
    DeviceHandle* d = ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3);
    // 65535 sectors is the most the 16 bits that reach the device can count.
    EXPECT_EQ(ctl.DeviceRead(d, 0, buf, 0xFFFFu * 512 + 1), 801);
    EXPECT_EQ(ctl.DeviceWrite(d, 0, buf, 0xFFFFFFFFu), 724) << "raising would wrap to 0";
    EXPECT_EQ(GetLastError(), EINVAL);
    EXPECT_TRUE(opener.dev.sent.empty());
    ctl.DeviceClose(d);
}

TEST_F(DeviceControlTest, OpenFormsPathAndKeepsLastError) {
    DeviceHandle* d = ctl.DeviceOpen("F:\\", 0xC0000000u, 3);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->path, "\\\\.\\F:");
    EXPECT_EQ(d->access, 0xC0000000u);
    EXPECT_EQ(d->shareMode, 3u);
    ctl.DeviceClose(d);

    d = ctl.DeviceOpen("/dev/sdb", 0xC0000000u, 3);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->path, "/dev/sdb");
    ctl.DeviceClose(d);

    EXPECT_EQ(ctl.DeviceOpen(nullptr, 0, 0), nullptr);
    opener.openError = EACCES;
    SetLastError(0);
    EXPECT_EQ(ctl.DeviceOpen("G:\\", 0xC0000000u, 3), nullptr);
    EXPECT_EQ(GetLastError(), EACCES);
    EXPECT_EQ(ctl.DeviceOpen("/dev/disk/by-id/usb-very-long-name", 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ENAMETOOLONG);
}

}  // namespace
}  // namespace ts
