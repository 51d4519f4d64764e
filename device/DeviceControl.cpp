#include "device/DeviceControl.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "device/VendorProtocol.h"
#include "platform/DebugOut.h"

namespace ts {
namespace {

thread_local int t_lastError = 0;

using vendor::kSector;

// Only the low 16 bits of the sector count reach the device (10-byte CDB).
constexpr uint64_t kMaxTransfer = uint64_t{0xFFFF} * kSector;

uint64_t RaiseToSector(uint32_t length) {
    return (static_cast<uint64_t>(length) + kSector - 1) / kSector * kSector;
}

// Bounded formatter into a 260-byte buffer, then the debugger output.
__attribute__((format(printf, 1, 2))) void DebugLine(const char* format, ...) {
    char line[260];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    OutputDebugStringA(line);
}

void StatusLine(const char* name, const PassThroughRequest& req) {
    DebugLine("%s:ScsiStatus= %d DataTransferLength=%d\r\n", name,
              static_cast<int>(req.sptd.ScsiStatus), static_cast<int>(req.sptd.DataTransferLength));
}

// A transfer the command block cannot express is never sent: its count
// would reach the device cut to 16 bits (or wrapped to 0).
bool Refuse(int error) {
    t_lastError = error;
    return false;
}

// A device that answers a data transfer with a status other than good, or
// moves fewer bytes than asked, did not store or deliver the data: the
// transfer failed even though the call itself went through.
bool DeviceRefused(const PassThroughRequest& req, uint64_t asked) {
    if (req.sptd.ScsiStatus == 0 && req.sptd.DataTransferLength >= asked) return false;
    t_lastError = EIO;
    return true;
}

}  // namespace

int GetLastError() { return t_lastError; }
void SetLastError(int value) { t_lastError = value; }

DeviceHandle* DeviceControl::DeviceOpen(const char* drive, uint32_t access, uint32_t shareMode) {
    if (!drive) return nullptr;
    auto* dev = new (std::nothrow) DeviceHandle{};
    if (!dev) return nullptr;
    if (drive[0] == '/') {
        // A drive listed by its device node (real drives on Linux).
        if (std::strlen(drive) >= sizeof dev->path) {
            delete dev;
            SetLastError(ENAMETOOLONG);
            return nullptr;
        }
        std::snprintf(dev->path, sizeof dev->path, "%s", drive);
    } else {
        std::snprintf(dev->path, sizeof dev->path, "\\\\.\\%c:", drive[0]);
    }
    dev->access = access;
    dev->shareMode = shareMode;
    int err = ENODEV;
    std::unique_ptr<ScsiTransport> volume;
    if (opener_) volume = opener_->OpenVolume(dev->path, access, shareMode, err);
    if (!volume) {
        std::memset(dev, 0, sizeof *dev);
        delete dev;
        SetLastError(err);
        return nullptr;
    }
    dev->volume = volume.release();
    return dev;
}

int DeviceControl::DeviceClose(DeviceHandle* device) {
    if (!device) return kCloseNoDevice;
    delete device->volume;
    std::memset(device, 0, sizeof *device);
    delete device;
    return 0;
}

void DeviceControl::BuildRequest(PassThroughRequest& req, uint8_t subCommand, uint8_t direction,
                                 uint32_t transferLength, uint32_t param1, uint32_t param2) {
    std::memset(&req, 0, sizeof req);
    auto& s = req.sptd;
    s.Length = sizeof(ScsiPassThroughDirect32);
    s.PathId = 0;
    s.TargetId = 1;
    s.Lun = 0;
    s.CdbLength = vendor::kCdbLength;
    s.SenseInfoLength = 24;
    s.DataIn = direction;
    s.DataTransferLength = transferLength;
    s.TimeOutValue = 2;
    s.DataBuffer = 0;
    s.SenseInfoOffset = offsetof(PassThroughRequest, sense);
    uint8_t cdb[16];
    vendor::EncodeCommand(cdb, subCommand, param1, param2);
    std::memcpy(s.Cdb, cdb, sizeof cdb);
}

bool DeviceControl::Send(DeviceHandle* device, PassThroughRequest& req, uint8_t* data) {
    int err = 0;
    bool ok;
    if (!device->volume) {
        ok = false;
        err = EBADF;
    } else if (!data && req.sptd.DataTransferLength > 0) {
        // The finish command may be sent with a null buffer; the platform
        // refuses such a call instead of writing through the null pointer.
        ok = false;
        err = EFAULT;
    } else {
        ok = SendPassThrough(*device->volume, req, data, err);
    }
    if (!ok) SetLastError(err);
    return ok;
}

int DeviceControl::HandShakePipeSend(DeviceHandle* device, uint8_t* buffer, uint32_t length) {
    if (!device) return kHandShakeNoDevice;
    if (length == 0) return 0;
    if (!buffer) return kHandShakeNoBuffer;
    PassThroughRequest req;
    BuildRequest(req, vendor::kSubHandShake, kScsiIoctlDataIn, length, 0, length);
    bool ok = Send(device, req, buffer);
    StatusLine("HandShakePipeSend", req);
    return ok ? 0 : kHandShakeCallFailed;
}

int DeviceControl::HandShake(DeviceHandle* device, uint8_t* buffer, uint32_t length) {
    int code = HandShakePipeSend(device, buffer, length);
    if (code != 0) DebugLine("Hand Shake Failed %s Ln:%d\r\n", "DeviceControl", 829);
    return code;
}

int DeviceControl::DeviceRead(DeviceHandle* device, uint32_t startSector, uint8_t* buffer,
                              uint32_t length) {
    if (!device) return kReadNoDevice;
    if (length == 0) return 0;
    if (!buffer) return kReadNoBuffer;
    const uint64_t raised = RaiseToSector(length);
    PassThroughRequest req;
    BuildRequest(req, vendor::kSubRead, kScsiIoctlDataIn, static_cast<uint32_t>(raised),
                 startSector, static_cast<uint32_t>(raised / kSector));
    bool ok = raised <= kMaxTransfer ? Send(device, req, buffer) : Refuse(EINVAL);
    StatusLine("DeviceRead", req);
    if (!ok) {
        DebugLine("DeviceRead DeviceIoControl return Error GetLastError = %d\r\n", GetLastError());
        return kReadCallFailed;
    }
    return DeviceRefused(req, raised) ? kReadCallFailed : 0;
}

int DeviceControl::DeviceWrite(DeviceHandle* device, uint32_t startSector, uint8_t* buffer,
                               uint32_t length) {
    if (!device) return kWriteNoDevice;
    if (length == 0) return 0;
    if (!buffer) return kWriteNoBuffer;
    const uint64_t raised = RaiseToSector(length);
    PassThroughRequest req;
    BuildRequest(req, vendor::kSubWrite, kScsiIoctlDataOut, static_cast<uint32_t>(raised),
                 startSector, static_cast<uint32_t>(raised / kSector));
    bool ok = raised <= kMaxTransfer ? Send(device, req, buffer) : Refuse(EINVAL);
    StatusLine("DeviceWrite", req);
    return ok && !DeviceRefused(req, raised) ? 0 : kWriteCallFailed;
}

int DeviceControl::DeviceFinish(DeviceHandle* device, uint8_t* buffer, uint32_t length) {
    if (!device) return kFinishNoDevice;
    PassThroughRequest req;
    BuildRequest(req, vendor::kSubFinish, kScsiIoctlDataIn, length, 0, length);
    Send(device, req, buffer);
    StatusLine("DeviceFinish", req);
    // Judged by the status byte alone; a failed call leaves it 0 and the
    // caller's comparison of the answer text catches that.
    return req.sptd.ScsiStatus == 0 ? 0 : kFinishBadStatus;
}

}  // namespace ts
