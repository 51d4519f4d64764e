#pragma once
// The block that carries one vendor command to the pass-through transport,
// laid out byte for byte as the 32-bit SCSI_PASS_THROUGH_DIRECT request the
// devices were built against, and the transport interface itself.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace ts {

#pragma pack(push, 1)
struct ScsiPassThroughDirect32 {
    uint16_t Length;              // 0
    uint8_t ScsiStatus;           // 2
    uint8_t PathId;               // 3
    uint8_t TargetId;             // 4
    uint8_t Lun;                  // 5
    uint8_t CdbLength;            // 6
    uint8_t SenseInfoLength;      // 7
    uint8_t DataIn;               // 8
    uint8_t Reserved[3];          // 9
    uint32_t DataTransferLength;  // 12
    uint32_t TimeOutValue;        // 16
    // A 32-bit pointer in the original layout. A 64-bit process cannot store
    // its buffer address here, so the field stays 0 and the transport gets
    // the buffer beside the block.
    uint32_t DataBuffer;       // 20
    uint32_t SenseInfoOffset;  // 24
    uint8_t Cdb[16];           // 28
};

struct PassThroughRequest {
    ScsiPassThroughDirect32 sptd;  // 0
    uint32_t filler;               // 44
    uint8_t sense[32];             // 48
};
#pragma pack(pop)

static_assert(sizeof(ScsiPassThroughDirect32) == 44);
static_assert(offsetof(ScsiPassThroughDirect32, DataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect32, Cdb) == 28);
static_assert(offsetof(PassThroughRequest, sense) == 48);
static_assert(sizeof(PassThroughRequest) == 80);

constexpr uint8_t kScsiIoctlDataOut = 0;
constexpr uint8_t kScsiIoctlDataIn = 1;
constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;

// One opened volume's pass-through channel (the platform handle of a
// DeviceHandle). Transport failure and device status are kept apart: Send
// returns false only when the call itself failed (lastError then says why);
// a device that answers with a check condition is a successful call whose
// block carries a non-zero ScsiStatus.
class PassThroughTransport {
public:
    virtual ~PassThroughTransport() = default;
    // `data` holds at least sptd.DataTransferLength bytes. On return the
    // block holds the status byte, the bytes moved and up to 24 sense bytes.
    virtual bool Send(PassThroughRequest& request, uint8_t* data, int& lastError) = 0;
};

// Opens a volume by the device path that DeviceOpen formed ("\\.\E:" for a
// letter drive, the device node for a drive listed by its node).
class VolumeOpener {
public:
    virtual ~VolumeOpener() = default;
    // Null on failure, with lastError set as the platform's open call set it.
    virtual std::unique_ptr<PassThroughTransport> OpenVolume(const char* path, uint32_t access,
                                                             uint32_t shareMode,
                                                             int& lastError) = 0;
};

}  // namespace ts
