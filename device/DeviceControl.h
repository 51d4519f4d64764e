#pragma once
// The device command channel: opens a device volume and exchanges the four
// vendor commands over SCSI pass-through.
#include <cstdint>
#include <memory>

#include "device/PassThrough.h"

namespace ts {

struct DeviceHandle {
    ScsiTransport* volume;  // owned; released by DeviceClose
    char path[16];
    uint32_t access;
    uint32_t shareMode;
};

// Result codes; the numbers are part of the product's output.
enum DeviceResult : int {
    kHandShakeNoDevice = 289,
    kHandShakeNoBuffer = 295,
    kHandShakeCallFailed = 337,
    kCloseNoDevice = 586,
    kFinishNoDevice = 608,
    kFinishBadStatus = 650,
    kWriteNoDevice = 676,
    kWriteNoBuffer = 682,
    kWriteCallFailed = 724,  // also: the device refused the data
    kReadNoDevice = 747,
    kReadNoBuffer = 753,
    kReadCallFailed = 801,  // also: the device refused the transfer
};

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kFileShareReadWrite = 3;

// Thread-local last-error value, as the platform's GetLastError.
int GetLastError();
void SetLastError(int value);

class DeviceControl {
public:
    // `opener` decides how volumes are reached (SG_IO, a simulated line);
    // it must outlive every handle opened through this channel.
    explicit DeviceControl(VolumeOpener* opener = nullptr) : opener_(opener) {}
    void SetOpener(VolumeOpener* opener) { opener_ = opener; }

    DeviceHandle* DeviceOpen(const char* drive, uint32_t access, uint32_t shareMode);
    int DeviceClose(DeviceHandle* device);
    int HandShakePipeSend(DeviceHandle* device, uint8_t* buffer, uint32_t length);
    int HandShake(DeviceHandle* device, uint8_t* buffer, uint32_t length);
    int DeviceRead(DeviceHandle* device, uint32_t startSector, uint8_t* buffer, uint32_t length);
    int DeviceWrite(DeviceHandle* device, uint32_t startSector, uint8_t* buffer, uint32_t length);
    int DeviceFinish(DeviceHandle* device, uint8_t* buffer, uint32_t length);

    // Builds the request block for one command (exposed for tests).
    static void BuildRequest(PassThroughRequest& req, uint8_t subCommand, uint8_t direction,
                             uint32_t transferLength, uint32_t param1, uint32_t param2);

private:
    bool Send(DeviceHandle* device, PassThroughRequest& req, uint8_t* data);
    VolumeOpener* opener_;
};

}  // namespace ts
