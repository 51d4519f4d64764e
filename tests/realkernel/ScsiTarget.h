#pragma once
// A removable SCSI disk as a kernel sees it over a real SCSI stack: the
// standard commands that sd, sg and the block layer send, answered from the
// device's storage, and the vendor command handed unchanged to the simulated
// firmware that also serves the simulated line.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "sim/SimDevice.h"

namespace ts::rk {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr size_t kMaxSenseBytes = 96;

struct ScsiResult {
    uint8_t status = kStatusGood;
    uint8_t sense[kMaxSenseBytes] = {};
    size_t senseLength = 0;
    // The data phase went to the initiator; `dataIn` bytes of it are valid.
    bool toInitiator = false;
    size_t dataIn = 0;
    // Of data sent to the target, the bytes it took (a transport that can
    // tell the initiator, as a USB CSW's residue does, reports the rest).
    size_t dataOut = 0;
};

class ScsiTarget {
public:
    // `vendor` false makes an ordinary disk: the firmware then refuses the
    // vendor command as such a disk does.
    ScsiTarget(std::shared_ptr<SimStorage> storage, SimFaults faults, bool vendor,
               std::string serial);

    // One command. `data` is the whole data phase as the initiator sized it:
    // what it sent for a write, room for the answer for a read.
    ScsiResult Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data);

private:
    ScsiResult Vendor(std::span<const uint8_t> cdb, std::span<uint8_t> data);
    ScsiResult Inquiry(std::span<const uint8_t> cdb, std::span<uint8_t> data);
    ScsiResult ModeSense(std::span<const uint8_t> cdb, std::span<uint8_t> data, bool ten);
    ScsiResult Transfer(uint64_t lba, uint64_t blocks, bool write, std::span<uint8_t> data);
    bool Attached();

    std::shared_ptr<SimStorage> storage_;
    SimDevice firmware_;
    bool vendor_;
    std::string serial_;
};

// The length of a command block as the kernel lays it out, by the opcode's
// group (vendor groups 6 and 7 carry 10 bytes).
size_t CdbLength(uint8_t opcode);

}  // namespace ts::rk
