// The Windows pass-through transport, driven through its call seam: the
// neutral command becomes the native request, and the driver's answer (status
// byte, bytes moved, sense data, failure) comes back as on Linux.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <vector>

#include "platform/WinDrives.h"

namespace ts {
namespace {

struct Answer {
    BOOL ok = TRUE;
    DWORD error = 0;
    UCHAR status = 0;
    ULONG moved = 0;        // DataTransferLength as the driver leaves it
    UCHAR senseLength = 0;  // SenseInfoLength as the driver leaves it
};

struct Case {
    const char* name;
    ScsiDirection direction;
    uint32_t length;
    uint8_t senseCapacity;
    Answer answer;
    // Expected.
    bool sent;
    int lastError;
    uint8_t status;
    uint32_t resid;
    uint8_t senseLength;
    bool dataArrives;  // the device's bytes reach the caller's buffer
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SptdCaseTest : public testing::TestWithParam<Case> {};

TEST_P(SptdCaseTest, RequestAndAnswer) {
    const Case& c = GetParam();
    SptdWithSense seen{};
    std::vector<uint8_t> sentData;
    SptdIoctl hook = [&](HANDLE, SptdWithSense* r, DWORD* error) {
        seen = *r;
        if (r->sptd.DataBuffer && r->sptd.DataTransferLength) {
            auto* p = static_cast<uint8_t*>(r->sptd.DataBuffer);
            sentData.assign(p, p + r->sptd.DataTransferLength);
            if (r->sptd.DataIn == SCSI_IOCTL_DATA_IN)
                std::memset(p, 0xA5, r->sptd.DataTransferLength);
        }
        if (!c.answer.ok) {
            *error = c.answer.error;
            return FALSE;
        }
        r->sptd.ScsiStatus = c.answer.status;
        r->sptd.DataTransferLength = c.answer.moved;
        r->sptd.SenseInfoLength = c.answer.senseLength;
        for (size_t i = 0; i < sizeof r->sense; ++i) r->sense[i] = static_cast<UCHAR>(0x70 + i);
        return TRUE;
    };
    SptdTransport transport(INVALID_HANDLE_VALUE, hook);

    std::vector<uint8_t> data(c.length, 0x11);
    ScsiCommand cmd;
    cmd.cdb[0] = 0xF1;
    cmd.cdb[9] = 0x42;
    cmd.cdbLength = 10;
    cmd.direction = c.direction;
    cmd.data = data.empty() ? nullptr : data.data();
    cmd.length = c.length;
    cmd.timeoutSeconds = 7;
    cmd.senseCapacity = c.senseCapacity;
    int lastError = 0;
    ASSERT_EQ(transport.Send(cmd, lastError), c.sent);

    EXPECT_EQ(seen.sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(seen.sptd.CdbLength, 10);
    EXPECT_EQ(seen.sptd.Cdb[0], 0xF1);
    EXPECT_EQ(seen.sptd.Cdb[9], 0x42);
    EXPECT_EQ(seen.sptd.TimeOutValue, 7u);
    EXPECT_EQ(seen.sptd.SenseInfoOffset, offsetof(SptdWithSense, sense));
    EXPECT_EQ(seen.sptd.SenseInfoLength, std::min<uint8_t>(c.senseCapacity, 32));
    const UCHAR dataIn = c.direction == ScsiDirection::FromDevice ? SCSI_IOCTL_DATA_IN
                         : c.direction == ScsiDirection::ToDevice ? SCSI_IOCTL_DATA_OUT
                                                                  : SCSI_IOCTL_DATA_UNSPECIFIED;
    EXPECT_EQ(seen.sptd.DataIn, dataIn);
    if (c.direction == ScsiDirection::ToDevice) {
        EXPECT_EQ(sentData, std::vector<uint8_t>(c.length, 0x11));
    }

    if (!c.sent) {
        EXPECT_EQ(lastError, c.lastError);
        EXPECT_EQ(data, std::vector<uint8_t>(c.length, 0x11));
        return;
    }
    EXPECT_EQ(cmd.status, c.status);
    EXPECT_EQ(cmd.resid, c.resid);
    EXPECT_EQ(cmd.senseLength, c.senseLength);
    for (uint8_t i = 0; i < cmd.senseLength; ++i) EXPECT_EQ(cmd.sense[i], 0x70 + i);
    const uint32_t arrived = c.length - c.resid;
    for (uint32_t i = 0; i < c.length; ++i)
        ASSERT_EQ(data[i], c.dataArrives && i < arrived ? 0xA5 : 0x11) << "byte " << i;
}

const Case kCases[] = {
    {"ReadWhole", ScsiDirection::FromDevice, 512, 24, {TRUE, 0, 0, 512, 0}, true, 0, 0, 0, 0, true},
    {"ReadShort",
     ScsiDirection::FromDevice,
     512,
     24,
     {TRUE, 0, 0, 200, 0},
     true,
     0,
     0,
     312,
     0,
     true},
    {"CheckConditionKeepsDataOut",
     ScsiDirection::FromDevice,
     64,
     24,
     {TRUE, 0, 2, 64, 18},
     true,
     0,
     2,
     0,
     18,
     false},
    {"SenseCutToCapacity",
     ScsiDirection::FromDevice,
     16,
     8,
     {TRUE, 0, 2, 0, 18},
     true,
     0,
     2,
     16,
     8,
     false},
    {"DriverOverstatesMoved",
     ScsiDirection::FromDevice,
     32,
     24,
     {TRUE, 0, 0, 4096, 0},
     true,
     0,
     0,
     0,
     0,
     true},
    {"Write", ScsiDirection::ToDevice, 128, 24, {TRUE, 0, 0, 128, 0}, true, 0, 0, 0, 0, false},
    {"NoData", ScsiDirection::None, 0, 24, {TRUE, 0, 0, 0, 0}, true, 0, 0, 0, 0, false},
    {"DriveGoneMidTransfer",
     ScsiDirection::FromDevice,
     64,
     24,
     {FALSE, ERROR_DEVICE_NOT_CONNECTED},
     false,
     ENODEV,
     0,
     0,
     0,
     false},
    {"AccessDenied",
     ScsiDirection::FromDevice,
     64,
     24,
     {FALSE, ERROR_ACCESS_DENIED},
     false,
     EACCES,
     0,
     0,
     0,
     false},
    {"Timeout",
     ScsiDirection::ToDevice,
     64,
     24,
     {FALSE, ERROR_SEM_TIMEOUT},
     false,
     ETIMEDOUT,
     0,
     0,
     0,
     false},
};

INSTANTIATE_TEST_SUITE_P(Answers, SptdCaseTest, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WinDrives, DriveStringsSplitInOrder) {
    const wchar_t text[] = L"A:\\\0C:\\\0E:\\\0\0garbage";
    const auto roots = SplitDriveStrings(text, sizeof text / sizeof text[0] - 1);
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots[0], u"A:\\");
    EXPECT_EQ(roots[1], u"C:\\");
    EXPECT_EQ(roots[2], u"E:\\");
    // A buffer without its closing empty string ends at its length.
    const wchar_t cut[] = {L'F', L':', L'\\'};
    EXPECT_EQ(SplitDriveStrings(cut, 3), std::vector<std::u16string>{u"F:\\"});
    EXPECT_TRUE(SplitDriveStrings(text, 0).empty());
}

TEST(WinDrives, DeviceChangeMessages) {
    DEV_BROADCAST_HDR volume{sizeof volume, DBT_DEVTYP_VOLUME, 0};
    DEV_BROADCAST_HDR iface{sizeof iface, DBT_DEVTYP_DEVICEINTERFACE, 0};
    DEV_BROADCAST_HDR port{sizeof port, DBT_DEVTYP_PORT, 0};
    struct {
        WPARAM event;
        const DEV_BROADCAST_HDR* header;
        std::optional<DeviceEvent> want;
    } cases[] = {
        {DBT_DEVICEARRIVAL, &volume, DeviceEvent::Arrival},
        {DBT_DEVICEARRIVAL, &iface, DeviceEvent::Arrival},
        {DBT_DEVICEREMOVECOMPLETE, &volume, DeviceEvent::Removal},
        {DBT_DEVICEREMOVECOMPLETE, &iface, DeviceEvent::Removal},
        {DBT_DEVICEQUERYREMOVE, &volume, std::nullopt},
        {DBT_DEVICEARRIVAL, &port, std::nullopt},
        {DBT_DEVICEARRIVAL, nullptr, std::nullopt},
        {DBT_DEVNODES_CHANGED, nullptr, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(DeviceChangeEvent(c.event, c.header), c.want);
}

TEST(WinDrives, MissingVolumeFailsToOpen) {
    int lastError = 0;
    EXPECT_EQ(OpenWinVolume("\\\\.\\Q:", 0xC0000000u, 3, lastError), nullptr);
    EXPECT_NE(lastError, 0);
}

}  // namespace
}  // namespace ts
