#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"
#include "platform/SgTransport.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

// What the kernel would answer, and what the hook saw of the header.
struct Answer {
    int rc = 0;
    int error = 0;
    unsigned char status = 0;
    unsigned short host = 0;
    unsigned short driver = 0;
    int resid = 0;
    unsigned char senseWritten = 0;  // sb_len_wr as reported
    std::string data = {};           // what reached the data buffer, whatever the outcome
};

struct Capture {
    int calls = 0;
    int fd = 0;
    sg_io_hdr_t hdr{};
    std::vector<uint8_t> cdb;
};

SgIoctl Hook(Capture& cap, Answer answer) {
    return [&cap, answer](int fd, sg_io_hdr_t* hdr) {
        ++cap.calls;
        cap.fd = fd;
        cap.hdr = *hdr;
        cap.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
        // The kernel never writes more sense than asked for.
        const size_t n = std::min<size_t>(answer.senseWritten, hdr->mx_sb_len);
        for (size_t i = 0; i < n; ++i) hdr->sbp[i] = static_cast<unsigned char>(0x70 + i);
        if (hdr->dxfer_direction == SG_DXFER_FROM_DEV)
            std::memcpy(hdr->dxferp, answer.data.data(),
                        std::min<size_t>(answer.data.size(), hdr->dxfer_len));
        hdr->sb_len_wr = answer.senseWritten;
        hdr->status = answer.status;
        hdr->host_status = answer.host;
        hdr->driver_status = answer.driver;
        hdr->resid = answer.resid;
        errno = answer.error;
        return answer.rc;
    };
}

struct CommandCase {
    const char* name;
    uint8_t sub;
    uint8_t dataIn;
    uint32_t length;
    uint32_t param1;
    uint32_t param2;
    int direction;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class SgCommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(SgCommandTest, BlockBecomesHeader) {
    const auto& c = GetParam();
    PassThroughRequest req;
    DeviceControl::BuildRequest(req, c.sub, c.dataIn, c.length, c.param1, c.param2);
    std::vector<uint8_t> data(std::max<uint32_t>(c.length, 1));
    Capture cap;
    SgTransport t(-1, Hook(cap, {}));
    int err = 0;
    ASSERT_TRUE(SendPassThrough(t, req, data.data(), err));
    ASSERT_EQ(cap.calls, 1);
    EXPECT_EQ(cap.hdr.interface_id, 'S');
    EXPECT_EQ(cap.hdr.cmd_len, 10);
    EXPECT_EQ(cap.cdb, std::vector<uint8_t>(req.sptd.Cdb, req.sptd.Cdb + 10));
    EXPECT_EQ(cap.hdr.dxfer_direction, c.direction);
    EXPECT_EQ(cap.hdr.dxfer_len, c.length);
    if (c.length == 0) {
        EXPECT_EQ(cap.hdr.dxferp, nullptr);
    } else if (c.direction == SG_DXFER_TO_DEV) {
        EXPECT_EQ(cap.hdr.dxferp, static_cast<void*>(data.data()));
    } else {
        EXPECT_NE(cap.hdr.dxferp, nullptr);  // the transport's own buffer first
    }
    EXPECT_EQ(cap.hdr.timeout, 2000u);
    EXPECT_EQ(cap.hdr.mx_sb_len, 24);
    EXPECT_NE(cap.hdr.sbp, nullptr);  // its bytes reaching the block: SgAnswerTest
    EXPECT_EQ(req.sptd.DataTransferLength, c.length);
    EXPECT_EQ(req.sptd.ScsiStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SgCommandTest,
    ::testing::Values(CommandCase{"HandShake", 0x00, kScsiIoctlDataIn, 32, 0, 32,
                                  SG_DXFER_FROM_DEV},
                      CommandCase{"Read", 0x03, kScsiIoctlDataIn, 32768, 64, 64, SG_DXFER_FROM_DEV},
                      CommandCase{"Write", 0x01, kScsiIoctlDataOut, 1024, 0, 2, SG_DXFER_TO_DEV},
                      CommandCase{"Finish", 0x02, kScsiIoctlDataIn, 32, 0, 32, SG_DXFER_FROM_DEV},
                      CommandCase{"FinishNoData", 0x02, kScsiIoctlDataIn, 0, 0, 0, SG_DXFER_NONE},
                      CommandCase{"WriteNoData", 0x01, kScsiIoctlDataOut, 0, 0, 0, SG_DXFER_NONE}),
    [](const auto& info) { return std::string(info.param.name); });

struct AnswerCase {
    const char* name;
    Answer answer;
    bool ok;
    int error;            // lastError when not ok
    uint8_t status;       // ScsiStatus after the call
    uint32_t moved;       // DataTransferLength after the call (request was 32)
    uint8_t senseLength;  // sense bytes in the block after the call
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class SgAnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(SgAnswerTest, HeaderBecomesResult) {
    const auto& c = GetParam();
    PassThroughRequest req;
    DeviceControl::BuildRequest(req, 0x00, kScsiIoctlDataIn, 32, 0, 32);
    uint8_t data[32] = {};
    Capture cap;
    SgTransport t(-1, Hook(cap, c.answer));
    int err = -1;
    EXPECT_EQ(SendPassThrough(t, req, data, err), c.ok);
    EXPECT_EQ(cap.calls, 1);  // never retried
    if (!c.ok) {
        EXPECT_EQ(err, c.error);
    }
    EXPECT_EQ(req.sptd.ScsiStatus, c.status);
    EXPECT_EQ(req.sptd.DataTransferLength, c.moved);
    if (c.ok) {
        EXPECT_EQ(req.sptd.SenseInfoLength, c.senseLength);
    }
    for (size_t i = 0; i < sizeof req.sense; ++i) {
        const uint8_t want = i < c.senseLength ? static_cast<uint8_t>(0x70 + i) : 0;
        EXPECT_EQ(req.sense[i], want) << "sense byte " << i;
    }
}

// Host and driver codes as the kernel reports them.
constexpr unsigned short kDidNoConnect = 0x01, kDidTimeOut = 0x03, kDidError = 0x07;
constexpr unsigned short kDriverError = 0x04, kDriverTimeout = 0x06, kDriverSense = 0x08;

INSTANTIATE_TEST_SUITE_P(
    Answers, SgAnswerTest,
    ::testing::Values(
        AnswerCase{"Good", {}, true, 0, 0, 32, 0},
        AnswerCase{"ShortTransfer", {.resid = 12}, true, 0, 0, 20, 0},
        AnswerCase{"NothingMoved", {.resid = 32}, true, 0, 0, 0, 0},
        AnswerCase{"ResidAboveLength", {.resid = 4096}, true, 0, 0, 0, 0},
        AnswerCase{"NegativeResid", {.resid = -5}, true, 0, 0, 32, 0},
        AnswerCase{"CheckCondition",
                   {.status = 0x02, .driver = kDriverSense, .resid = 32, .senseWritten = 18},
                   true,
                   0,
                   0x02,
                   0,
                   18},
        AnswerCase{"SenseWithSuggestBits",
                   {.status = 0x02, .driver = 0x10 | kDriverSense, .senseWritten = 24},
                   true,
                   0,
                   0x02,
                   32,
                   24},
        AnswerCase{
            "SenseLengthOverstated", {.status = 0x02, .senseWritten = 200}, true, 0, 0x02, 32, 24},
        AnswerCase{"Busy", {.status = 0x08}, true, 0, 0x08, 32, 0},
        AnswerCase{"HostTimeout", {.host = kDidTimeOut, .resid = 32}, false, ETIMEDOUT, 0, 32, 0},
        AnswerCase{"HostNoConnect", {.host = kDidNoConnect}, false, EIO, 0, 32, 0},
        AnswerCase{"HostError", {.status = 0x02, .host = kDidError}, false, EIO, 0, 32, 0},
        AnswerCase{"DriverTimeout", {.driver = kDriverTimeout}, false, ETIMEDOUT, 0, 32, 0},
        AnswerCase{"DriverError", {.driver = kDriverError}, false, EIO, 0, 32, 0},
        AnswerCase{"DeviceGone", {.rc = -1, .error = ENODEV}, false, ENODEV, 0, 32, 0},
        AnswerCase{"Interrupted", {.rc = -1, .error = EINTR}, false, EINTR, 0, 32, 0},
        AnswerCase{"FailedWithoutErrno", {.rc = -1, .error = 0}, false, EIO, 0, 32, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A USB stick pulled mid-command fails the call with the host code of a
// transport error, as a bus reset does; the debug output tells them apart.
TEST(SgTransport, TransportFailureNamesTheKernelsCodes) {
    DebugCapture debug;
    Capture cap;
    SgTransport t(-1, Hook(cap, {.host = kDidError}));
    uint8_t buf[32];
    ScsiCommand cmd;
    cmd.cdbLength = 10;
    cmd.direction = ScsiDirection::FromDevice;
    cmd.data = buf;
    cmd.length = sizeof buf;
    int err = 0;
    EXPECT_FALSE(t.Send(cmd, err));
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(debug.Text(), "SG_IO host_status=0x07 driver_status=0x00\n");
}

TEST(SgTransport, RefusesBlocksItCannotSend) {
    struct Case {
        const char* name;
        uint8_t cdbLength;
        uint8_t dataIn;
        bool nullData;
    };
    const Case cases[] = {
        {"no command bytes", 0, kScsiIoctlDataIn, false},
        {"command longer than the field", 17, kScsiIoctlDataIn, false},
        {"unknown direction", 10, 2, false},
        {"data phase without a buffer", 10, kScsiIoctlDataIn, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PassThroughRequest req;
        DeviceControl::BuildRequest(req, 0x03, c.dataIn, 512, 0, 1);
        req.sptd.CdbLength = c.cdbLength;
        uint8_t data[512];
        Capture cap;
        SgTransport t(-1, Hook(cap, {}));
        int err = 0;
        EXPECT_FALSE(SendPassThrough(t, req, c.nullData ? nullptr : data, err));
        EXPECT_EQ(err, EINVAL);
        EXPECT_EQ(cap.calls, 0);
    }
}

TEST(SgTransport, LongTimeoutSaturates) {
    PassThroughRequest req;
    DeviceControl::BuildRequest(req, 0x00, kScsiIoctlDataIn, 32, 0, 32);
    req.sptd.TimeOutValue = UINT32_MAX;
    uint8_t data[32];
    Capture cap;
    SgTransport t(7, Hook(cap, {}));
    int err = 0;
    ASSERT_TRUE(SendPassThrough(t, req, data, err));
    EXPECT_EQ(cap.hdr.timeout, UINT_MAX);
    EXPECT_EQ(cap.fd, 7);
}

// Only a call that went through with good status hands the device's bytes
// over, and only those it moved; after a timeout the kernel's buffer may
// already hold a late answer.
TEST(SgTransport, DeviceDataReachesTheCallerOnlyFromAGoodCall) {
    const std::string late = std::string("usb_dataok\0", 11) + std::string(21, 'D');
    struct Case {
        const char* name;
        Answer answer;
        size_t delivered;  // leading bytes of `late` that reach the caller
    };
    const Case cases[] = {
        {"good", {.data = late}, 32},
        {"short transfer", {.resid = 22, .data = late}, 10},
        {"host timeout", {.host = kDidTimeOut, .data = late}, 0},
        {"driver timeout", {.driver = kDriverTimeout, .data = late}, 0},
        {"call fails after the data came", {.rc = -1, .error = ETIMEDOUT, .data = late}, 0},
        {"interrupted", {.rc = -1, .error = EINTR, .data = late}, 0},
        {"device gone", {.host = kDidNoConnect, .data = late}, 0},
        {"check condition", {.status = 0x02, .driver = kDriverSense, .data = late}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PassThroughRequest req;
        DeviceControl::BuildRequest(req, 0x02, kScsiIoctlDataIn, 32, 0, 32);
        uint8_t data[32];
        std::memset(data, 0xEE, sizeof data);
        Capture cap;
        SgTransport t(-1, Hook(cap, c.answer));
        int err = 0;
        SendPassThrough(t, req, data, err);
        for (size_t i = 0; i < sizeof data; ++i) {
            const uint8_t want = i < c.delivered ? static_cast<uint8_t>(late[i]) : 0xEE;
            ASSERT_EQ(data[i], want) << "byte " << i;
        }
    }
}

// The finish that the write flow judges: a late "usb_dataok" after a timeout
// leaves the zeroed answer as it was, so the write is not confirmed.
TEST(SgTransport, LateFinishAnswerIsNotSeenByTheChannel) {
    struct Opener : VolumeOpener {
        Answer answer;
        Capture cap;
        std::unique_ptr<ScsiTransport> OpenVolume(const char*, uint32_t, uint32_t, int&) override {
            return std::make_unique<SgTransport>(-1, Hook(cap, answer));
        }
    };
    const std::string ok("usb_dataok\0", 11);
    struct Case {
        const char* name;
        Answer answer;
        bool confirmed;
    };
    const Case cases[] = {
        {"in time", {.data = ok}, true},
        {"after the timeout", {.host = kDidTimeOut, .data = ok}, false},
        {"call timed out", {.rc = -1, .error = ETIMEDOUT, .data = ok}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Opener opener;
        opener.answer = c.answer;
        DeviceControl ctl(&opener);
        DeviceHandle* dev = ctl.DeviceOpen("/dev/sdb", kGenericRead | kGenericWrite, 3);
        ASSERT_NE(dev, nullptr);
        uint8_t answer[32] = {};
        EXPECT_EQ(ctl.DeviceFinish(dev, answer, sizeof answer), 0);
        EXPECT_EQ(std::strcmp(reinterpret_cast<char*>(answer), "usb_dataok") == 0, c.confirmed);
        EXPECT_EQ(ctl.DeviceClose(dev), 0);
    }
}

// The whole channel over the transport: the status line shows what SG_IO
// reported, and a device that answers a finish with a check condition fails it.
TEST(SgTransport, ChannelSeesStatusAndTransportFailures) {
    struct Opener : VolumeOpener {
        Answer answer;
        Capture cap;
        std::unique_ptr<ScsiTransport> OpenVolume(const char*, uint32_t, uint32_t, int&) override {
            return std::make_unique<SgTransport>(-1, Hook(cap, answer));
        }
    };
    struct Case {
        const char* name;
        Answer answer;
        int finish;
        int read;
        int error;  // after the read
    };
    const Case cases[] = {
        {"good", {}, 0, 0, 0},
        {"check condition",
         {.status = 0x02, .driver = kDriverSense, .senseWritten = 18},
         650,
         801,
         EIO},
        {"short transfer", {.resid = 256}, 0, 801, EIO},
        {"timeout", {.host = kDidTimeOut}, 0, 801, ETIMEDOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Opener opener;
        opener.answer = c.answer;
        DeviceControl ctl(&opener);
        DeviceHandle* dev = ctl.DeviceOpen("/dev/sdb", kGenericRead | kGenericWrite, 3);
        ASSERT_NE(dev, nullptr);
        uint8_t buf[512] = {};
        EXPECT_EQ(ctl.DeviceFinish(dev, buf, 32), c.finish);
        SetLastError(0);
        EXPECT_EQ(ctl.DeviceRead(dev, 0, buf, 512), c.read);
        if (c.read) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(ctl.DeviceClose(dev), 0);
    }
}

TEST(SgOpen, AccessAndShareMapToOpenFlags) {
    struct Case {
        uint32_t access;
        uint32_t share;
        int flags;
    };
    const Case cases[] = {
        {kGenericRead | kGenericWrite, 3, O_RDWR},
        {kGenericRead, 3, O_RDONLY},
        {kGenericWrite, 3, O_WRONLY},
        {0x10000000u, 3, O_RDWR},  // GENERIC_ALL
        {0, 3, O_RDONLY},
        {kGenericRead | kGenericWrite, 1, O_RDWR},
        {kGenericRead | kGenericWrite, 0, O_RDWR | O_EXCL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SgOpenFlags(c.access, c.share), c.flags)
            << std::hex << "access 0x" << c.access << " share " << c.share;
    }
}

TEST(SgOpen, FailuresLeaveTheOpenError) {
    test::TempDir dir;
    test::WriteFile(dir.Path() / "plain", "not a device");
    const std::string missing = (dir.Path() / "sg9").string();
    const std::string plain = (dir.Path() / "plain").string();
    int err = 0;
    EXPECT_EQ(OpenSgNode(missing, kGenericRead | kGenericWrite, 3, err), nullptr);
    EXPECT_EQ(err, ENOENT);
    err = 0;
    EXPECT_EQ(OpenSgNode(plain, kGenericRead | kGenericWrite, 3, err), nullptr);
    EXPECT_EQ(err, ENODEV);  // opens, but is no SCSI generic device
    err = 0;
    EXPECT_EQ(OpenSgNode("/dev/null", kGenericRead | kGenericWrite, 3, err), nullptr);
    EXPECT_EQ(err, ENODEV);
}

// A node that another process holds is refused at once, before anything is
// asked of it, and is free again once that process lets go.
TEST(SgOpen, NodeHeldByAnotherProcessIsBusy) {
    test::TempDir dir;
    const std::string node = (dir.Path() / "sg0").string();
    test::WriteFile(node, "not a device");
    int toChild[2], toParent[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(toParent), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(node.c_str(), O_RDWR);
        const char ready = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        if (::write(toParent[1], &ready, 1) != 1) _exit(1);
        char go;
        _exit(::read(toChild[0], &go, 1) == 1 ? 0 : 1);  // holds the lock until told
    }
    char ready = 0;
    ASSERT_EQ(::read(toParent[0], &ready, 1), 1);
    ASSERT_EQ(ready, 'y');
    int err = 0;
    EXPECT_EQ(OpenSgNode(node, kGenericRead | kGenericWrite, 3, err), nullptr);
    EXPECT_EQ(err, EBUSY);
    ASSERT_EQ(::write(toChild[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    err = 0;
    EXPECT_EQ(OpenSgNode(node, kGenericRead | kGenericWrite, 3, err), nullptr);
    EXPECT_EQ(err, ENODEV) << "free again: now refused only as no generic node";
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

TEST(SgOpen, PermissionDeniedIsEacces) {
    test::TempDir dir;
    const auto node = dir.Path() / "sg0";
    test::WriteFile(node, "");
    ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
    // Root passes every permission check: try as an unprivileged user.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(2);
        int err = 0;
        auto t = OpenSgNode(node.string(), kGenericRead | kGenericWrite, 3, err);
        _exit(!t && err == EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ts
