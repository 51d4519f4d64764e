#pragma once
// The block that carries one vendor command, laid out byte for byte as the
// 32-bit SCSI_PASS_THROUGH_DIRECT request the devices were built against. It
// is the command channel's own record; transports receive the neutral
// ScsiCommand made from it.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/ScsiCommand.h"

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

// Sends one block through a transport: the block becomes the neutral command
// record on the way down and takes the answer back (status byte, bytes
// moved, sense data at its SenseInfoOffset when that lies inside the block).
// `data` holds at least sptd.DataTransferLength bytes. False when the call
// itself failed, with lastError saying why; the block is then left as it was.
bool SendPassThrough(ScsiTransport& transport, PassThroughRequest& request, uint8_t* data,
                     int& lastError);

}  // namespace ts
