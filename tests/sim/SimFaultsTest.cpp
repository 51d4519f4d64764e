// Every fault key, parsed from text and shown through the command channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"
#include "sim/MemoryLine.h"
#include "sim/SimFaults.h"

namespace ts {
namespace {

struct Rig {
    explicit Rig(const std::string& faultText) {
        storage = line.Plug('E', 2048, ParseSimFaults(faultText, "test"));
    }
    DeviceHandle* Open() { return ctl.DeviceOpen("E:\\", kGenericRead | kGenericWrite, 3); }
    MemoryLine line;
    DeviceControl ctl{&line};
    std::shared_ptr<MemoryStorage> storage;
};

TEST(SimFaultsTest, OpenFaults) {
    struct Case {
        const char* text;
        int err;  // 0: opens
    };
    const Case cases[] = {
        {"open=fail", EACCES},     {"open_errno=16", 16}, {"open=fail\nopen_errno=2", 2},
        {"open=fail\nopen=ok", 0}, {"# open=fail", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        SetLastError(0);
        DeviceHandle* dev = rig.Open();
        if (c.err) {
            EXPECT_EQ(dev, nullptr);
            EXPECT_EQ(GetLastError(), c.err);
        } else {
            ASSERT_NE(dev, nullptr);
            rig.ctl.DeviceClose(dev);
        }
    }
}

// Commands are run in order: H handshake, R read, W write, F finish.
TEST(SimFaultsTest, FailingCallsCountedPerKindSinceOpen) {
    struct Case {
        const char* text;
        const char* ops;
        std::vector<int> codes;
        int lastError;  // after the last failing command
    };
    const Case cases[] = {
        {"fail_at=read:3", "RRRR", {0, 0, 801, 0}, EIO},
        {"fail_at=read:*, write:2", "RWRW", {801, 0, 801, 724}, EIO},
        {"fail_at=write:1\nfail_errno=28", "WW", {724, 0}, 28},
        {"fail_at=handshake:1,handshake:3", "HHH", {337, 0, 337}, EIO},
        {"fail_at=read:2\nfail_at=write:1", "RRW", {0, 801, 724}, EIO},
        // Finish judges by the status byte, which a failed call leaves 0.
        {"fail_at=finish:*", "F", {0}, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        DeviceHandle* dev = rig.Open();
        ASSERT_NE(dev, nullptr);
        ASSERT_EQ(std::strlen(c.ops), c.codes.size());
        for (size_t i = 0; c.ops[i]; ++i) {
            uint8_t buf[512] = {};
            int code = -1;
            switch (c.ops[i]) {
                case 'H':
                    code = rig.ctl.HandShake(dev, buf, 32);
                    break;
                case 'R':
                    code = rig.ctl.DeviceRead(dev, 0, buf, 512);
                    break;
                case 'W':
                    code = rig.ctl.DeviceWrite(dev, 0, buf, 512);
                    break;
                case 'F':
                    code = rig.ctl.DeviceFinish(dev, buf, 32);
                    break;
            }
            EXPECT_EQ(code, c.codes[i]) << "command " << i;
            if (c.ops[i] == 'F') {
                EXPECT_EQ(buf[0], 0) << "a failed call answers nothing";
            }
        }
        EXPECT_EQ(GetLastError(), c.lastError);
        rig.ctl.DeviceClose(dev);
    }
}

// Picked commands go through the call, but the device refuses them or moves
// only part of the data; the channel fails reads and writes either way.
TEST(SimFaultsTest, RefusedAndShortTransfersCountedPerKind) {
    struct Case {
        const char* text;
        const char* ops;
        std::vector<int> codes;
    };
    const Case cases[] = {
        {"check_at=read:2", "RRR", {0, 801, 0}},
        {"check_at=write:*", "WW", {724, 724}},
        {"check_at=write:1, read:1", "WR", {724, 801}},
        {"check_at=finish:2", "FF", {0, 650}},
        {"short_at=read:1", "RR", {801, 0}},
        {"short_at=write:2\nshort_at=write:3", "WWWW", {0, 724, 724, 0}},
        // Finish and handshake are judged by their answers (below).
        {"short_at=finish:*", "F", {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        DeviceHandle* dev = rig.Open();
        ASSERT_NE(dev, nullptr);
        ASSERT_EQ(std::strlen(c.ops), c.codes.size());
        for (size_t i = 0; c.ops[i]; ++i) {
            std::vector<uint8_t> buf(32768, 0x42);
            int code = -1;
            if (c.ops[i] == 'R') code = rig.ctl.DeviceRead(dev, 0, buf.data(), 32768);
            if (c.ops[i] == 'W') code = rig.ctl.DeviceWrite(dev, 0, buf.data(), 32768);
            if (c.ops[i] == 'F') code = rig.ctl.DeviceFinish(dev, buf.data(), 32);
            EXPECT_EQ(code, c.codes[i]) << "command " << i;
        }
        rig.ctl.DeviceClose(dev);
    }
}

// What a refused or shortened command leaves: sense data and nothing moved,
// or exactly the first half moved.
TEST(SimFaultsTest, RefusedAndShortTransfersMoveWhatTheySay) {
    struct Case {
        const char* text;
        uint8_t sub;
        uint32_t length;
        uint8_t status, senseKey, asc;
        uint32_t moved;
    };
    const Case cases[] = {
        {"check_at=read:1", 3, 32768, 2, 0x03, 0x11, 0},
        {"check_at=write:1", 1, 32768, 2, 0x03, 0x0C, 0},
        {"check_at=finish:1", 2, 32, 2, 0x04, 0x44, 0},
        {"short_at=read:1", 3, 32768, 0, 0, 0, 16384},
        {"short_at=write:1", 1, 32768, 0, 0, 0, 16384},
        {"short_at=read:1", 3, 1536, 0, 0, 0, 512},  // whole sectors only
        {"short_at=handshake:1", 0, 32, 0, 0, 0, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " sub " + std::to_string(c.sub));
        Rig rig(c.text);
        std::fill(rig.storage->bytes.begin(), rig.storage->bytes.end(), 0x11);
        DeviceHandle* dev = rig.Open();
        ASSERT_NE(dev, nullptr);
        const bool out = c.sub == 1;
        PassThroughRequest req;
        const uint32_t count = c.sub == 1 || c.sub == 3 ? c.length / 512 : c.length;
        DeviceControl::BuildRequest(req, c.sub, out ? kScsiIoctlDataOut : kScsiIoctlDataIn,
                                    c.length, 0, count);
        std::vector<uint8_t> buf(c.length, 0x22);
        int err = 0;
        ASSERT_TRUE(SendPassThrough(*dev->volume, req, buf.data(), err))
            << "the call itself succeeds";
        EXPECT_EQ(req.sptd.ScsiStatus, c.status);
        EXPECT_EQ(req.sptd.DataTransferLength, c.moved);
        if (c.status) {
            EXPECT_EQ(req.sense[2], c.senseKey);
            EXPECT_EQ(req.sense[12], c.asc);
        }
        // Reads and answers fill the buffer only as far as moved; writes
        // store only as far as moved.
        const std::vector<uint8_t>& changed = out ? rig.storage->bytes : buf;
        const uint8_t before = out ? 0x11 : 0x22;
        for (size_t i = 0; i < c.length; ++i)
            ASSERT_EQ(changed[i] != before, i < c.moved) << "byte " << i;
        rig.ctl.DeviceClose(dev);
    }
}

TEST(SimFaultsTest, CountingRestartsWithEachOpen) {
    Rig rig("fail_at=read:2");
    for (int round = 0; round < 2; ++round) {
        DeviceHandle* dev = rig.Open();
        ASSERT_NE(dev, nullptr);
        uint8_t buf[512];
        EXPECT_EQ(rig.ctl.DeviceRead(dev, 0, buf, 512), 0);
        EXPECT_EQ(rig.ctl.DeviceRead(dev, 0, buf, 512), 801);
        EXPECT_EQ(rig.ctl.DeviceRead(dev, 0, buf, 512), 0);
        rig.ctl.DeviceClose(dev);
    }
}

TEST(SimFaultsTest, StatusBytesWithSense) {
    struct Case {
        const char* text;
        int finishCode;
        uint8_t readStatus;
    };
    const Case cases[] = {
        {"status=finish:2", 650, 0},
        {"status=read:8", 0, 8},
        {"status=finish:2,read:2", 650, 2},
        {"status=finish:0", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        rig.storage->bytes[0] = 0x77;
        DeviceHandle* dev = rig.Open();
        ASSERT_NE(dev, nullptr);
        uint8_t buf[512] = {};
        EXPECT_EQ(rig.ctl.DeviceFinish(dev, buf, 32), c.finishCode);
        std::memset(buf, 0, sizeof buf);
        PassThroughRequest req;
        DeviceControl::BuildRequest(req, 3, kScsiIoctlDataIn, 512, 0, 1);
        int err = 0;
        ASSERT_TRUE(SendPassThrough(*dev->volume, req, buf, err));
        EXPECT_EQ(req.sptd.ScsiStatus, c.readStatus);
        if (c.readStatus) {
            EXPECT_EQ(req.sense[0], 0x70);
            EXPECT_EQ(req.sense[2], 0x04);
            EXPECT_EQ(req.sense[12], 0x44);
            EXPECT_EQ(req.sptd.DataTransferLength, 0u);
            EXPECT_EQ(buf[0], 0) << "no data with a bad status";
        } else {
            EXPECT_EQ(buf[0], 0x77);
        }
        rig.ctl.DeviceClose(dev);
    }
}

std::vector<uint8_t> Bytes(const std::string& s, size_t n) {
    std::vector<uint8_t> v(n, 0);
    std::memcpy(v.data(), s.data(), std::min(n, s.size()));
    return v;
}

TEST(SimFaultsTest, AnswerTexts) {
    auto handshake = [](const std::string& text, uint32_t sectors) {
        auto v = Bytes(text, 32);
        v[16] = static_cast<uint8_t>(sectors);
        v[17] = static_cast<uint8_t>(sectors >> 8);
        v[18] = static_cast<uint8_t>(sectors >> 16);
        v[19] = static_cast<uint8_t>(sectors >> 24);
        return v;
    };
    struct Case {
        const char* text;
        bool finish;  // else the handshake
        std::vector<uint8_t> answer;
    };
    const Case cases[] = {
        {"", false, handshake("usbhandshake", 2048)},
        {"handshake=garbled", false, handshake("usbhandshakX", 2048)},
        {"handshake_text=usbhandshake\\x01", false, handshake("usbhandshake\x01", 2048)},
        {"handshake_text=hello\\\\", false, handshake("hello\\", 2048)},
        // A text reaching the size field leaves it out.
        {"handshake_text=usbhandshake-long-answer", false, Bytes("usbhandshake-long-answer", 32)},
        {"size=99", false, handshake("usbhandshake", 99)},
        {"size=4294967295", false, handshake("usbhandshake", 0xFFFFFFFF)},
        {"", true, Bytes("usb_dataok", 32)},
        {"finish=garbled", true, Bytes("usb_dataoX", 32)},
        {"finish_text=usb_dataokX", true, Bytes("usb_dataokX", 32)},
        {"finish_text_nonul", true, Bytes("usb_dataokXXXXXXXXXXXXXXXXXXXXXX", 32)},
        {"finish=nonul", true, Bytes("usb_dataokXXXXXXXXXXXXXXXXXXXXXX", 32)},
        {"finish_text_nonul=ok", true, Bytes("okXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX", 32)},
        {"finish=garbled\nfinish=ok", true, Bytes("usb_dataok", 32)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Rig rig(c.text);
        DeviceHandle* dev = rig.Open();
        ASSERT_NE(dev, nullptr);
        std::vector<uint8_t> buf(32, 0xAA);
        if (c.finish) {
            EXPECT_EQ(rig.ctl.DeviceFinish(dev, buf.data(), 32), 0);
        } else {
            EXPECT_EQ(rig.ctl.HandShake(dev, buf.data(), 32), 0);
        }
        EXPECT_EQ(buf, c.answer);
        rig.ctl.DeviceClose(dev);
    }
}

TEST(SimFaultsTest, ReportedSizeDoesNotMoveTheRealEnd) {
    Rig rig("size=4");
    DeviceHandle* dev = rig.Open();
    std::vector<uint8_t> buf(512, 0x31);
    EXPECT_EQ(rig.ctl.DeviceWrite(dev, 100, buf.data(), 512), 0);
    EXPECT_EQ(rig.storage->bytes[100 * 512], 0x31);
    rig.ctl.DeviceClose(dev);
}

// Each command of a kind waits its latency before the device answers; the
// other kinds answer at once, and a later line overrides a kind's value.
TEST(SimFaultsTest, LatencyPerCommandKind) {
    const char* text = "latency=write:5,read:40\nlatency=write:0,handshake:30";
    const std::array<uint32_t, kSimKinds> want = {30, 0, 0, 40};  // by sub-command
    EXPECT_EQ(ParseSimFaults(text, "t").latencyMs, want);
    Rig rig(text);
    DeviceHandle* dev = rig.Open();
    ASSERT_NE(dev, nullptr);
    uint8_t buf[512] = {};
    auto timed = [](const std::function<int()>& op) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(op(), 0);
        return std::chrono::steady_clock::now() - t0;
    };
    using std::chrono::milliseconds;
    EXPECT_GE(timed([&] { return rig.ctl.HandShake(dev, buf, 32); }), milliseconds(30));
    EXPECT_GE(timed([&] { return rig.ctl.DeviceRead(dev, 0, buf, 512); }), milliseconds(40));
    rig.ctl.DeviceClose(dev);
}

TEST(SimFaultsTest, BadLinesAreSkippedWithADebugLine) {
    const char* bad[] = {
        "bogus",
        "colour=blue",
        "open=maybe",
        "open_errno=-3",
        "open_errno=12x",
        "fail_at=read",
        "fail_at=read:0",
        "fail_at=erase:1",
        "fail_at=read:1,",
        "fail_at=",
        "check_at=read:0",
        "check_at=write",
        "short_at=",
        "short_at=erase:*",
        "status=read:300",
        "status=read",
        "size=-1",
        "size=4294967296",
        "handshake=maybe",
        "handshake_text=bad\\q",
        "handshake_text=\\x4",
        "finish=",
        "latency=write",
        "latency=write:*",
        "latency=write:5,erase:5",
        "latency=read:60001",
        "=value",
    };
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        DebugCapture debug;
        SimFaults f =
            ParseSimFaults(std::string("size=7\n") + line + "\nfail_errno=9\n", "E.fault");
        EXPECT_EQ(debug.Text(), std::string("SimFaults: E.fault:2 ignored: ") + line + "\n");
        // The good lines around it still count; the bad one changed nothing.
        EXPECT_EQ(f.reportedSectors, 7u);
        EXPECT_EQ(f.failErrno, 9);
        EXPECT_FALSE(f.openFails);
        for (size_t k = 0; k < kSimKinds; ++k) {
            EXPECT_TRUE(f.failAt[k].empty());
            EXPECT_FALSE(f.failAll[k]);
            EXPECT_TRUE(f.checkAt.at[k].empty());
            EXPECT_FALSE(f.checkAt.all[k]);
            EXPECT_TRUE(f.shortAt.at[k].empty());
            EXPECT_FALSE(f.shortAt.all[k]);
            EXPECT_FALSE(f.status[k]);
            EXPECT_EQ(f.latencyMs[k], 0u);
        }
        EXPECT_FALSE(f.handshakeText);
        EXPECT_FALSE(f.finishText);
    }
}

TEST(SimFaultsTest, CommentsBlankLinesAndLineEnds) {
    DebugCapture debug;
    SimFaults f = ParseSimFaults("# a comment\r\n\r\n  size = 12  \r\n\t\nhandshake=garbled", "x");
    EXPECT_EQ(debug.Text(), "");
    EXPECT_EQ(f.reportedSectors, 12u);
    EXPECT_EQ(f.handshakeText, "usbhandshakX");
}

TEST(SimFaultsTest, ArbitraryBytesNeverCrash) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 131 + 7) % 256));
    DebugCapture debug;
    ParseSimFaults(junk, "junk");
    ParseSimFaults(std::string(100000, '='), "eq");
    ParseSimFaults("handshake_text=" + std::string(1000, 'a'), "long");
    EXPECT_NE(debug.Text().find("long:1 ignored"), std::string::npos) << "over-long text refused";
}

}  // namespace
}  // namespace ts
