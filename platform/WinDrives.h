#pragma once
// The machine's own drives on Windows: drive letters from
// GetLogicalDriveStringsW, volumes opened as \\.\X: and driven with
// IOCTL_SCSI_PASS_THROUGH_DIRECT, arrival and removal from WM_DEVICECHANGE
// messages to a message-only window. Only the Windows build has it.
#include <windows.h>
// After windows.h, which they need.
#include <dbt.h>
#include <ntddscsi.h>
#include <winioctl.h>
// The drive interface's own name; the system's macro would rename it here.
#undef GetDriveType

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/DriveSystem.h"

namespace ts {

// The native request with room for the sense data behind it.
struct SptdWithSense {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};

// The DeviceIoControl call with IOCTL_SCSI_PASS_THROUGH_DIRECT: TRUE, or
// FALSE with the error code in `error`. Tests put a hook here that inspects
// and answers the request instead of the driver.
using SptdIoctl = std::function<BOOL(HANDLE volume, SptdWithSense* request, DWORD* error)>;

class SptdTransport final : public ScsiTransport {
public:
    // Owns `volume` (closed on destruction). An empty `ioctl` calls the driver.
    explicit SptdTransport(HANDLE volume, SptdIoctl ioctl = {});
    ~SptdTransport() override;
    SptdTransport(const SptdTransport&) = delete;
    SptdTransport& operator=(const SptdTransport&) = delete;

    // Data from the device reaches `data` only when the call succeeded with
    // good status, as on Linux: a failed or timed-out command may have
    // filled part of the buffer, and none of it may pass for data.
    bool Send(ScsiCommand& command, int& lastError) override;

private:
    HANDLE volume_;
    SptdIoctl ioctl_;
    std::vector<uint8_t> bounce_;
};

// The volume `path` ("\\.\E:") opened with CreateFileW for the given desired
// access and share mode; null with lastError set (an errno value).
std::unique_ptr<ScsiTransport> OpenWinVolume(const char* path, uint32_t access, uint32_t shareMode,
                                             int& lastError);

// The roots in a GetLogicalDriveStringsW answer ("C:\", "E:\", ...), in its
// order; stops at the empty string or the end of the buffer.
std::vector<std::u16string> SplitDriveStrings(const wchar_t* text, size_t length);

// A WM_DEVICECHANGE message as a drive event: a volume's arrival or removal
// complete; nothing for any other message.
std::optional<DeviceEvent> DeviceChangeEvent(WPARAM event, const DEV_BROADCAST_HDR* header);

}  // namespace ts
