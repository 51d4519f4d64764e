#pragma once
// USB mass storage's Bulk-Only Transport on the device's side: a command
// block wrapper (CBW) from the host, its data phase, and the status wrapper
// (CSW) with the real status and residue. The SCSI commands themselves go to
// the same ScsiTarget that serves the TCMU disk; what the transport adds is
// the sense data kept for the host's REQUEST SENSE (a CSW carries no sense)
// and the checks a device makes of the host's data phase.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tests/realkernel/ScsiTarget.h"

namespace ts::rk {

constexpr size_t kCbwLength = 31;
constexpr size_t kCswLength = 13;

// CSW status values.
constexpr uint8_t kCswPassed = 0;
constexpr uint8_t kCswFailed = 1;
constexpr uint8_t kCswPhaseError = 2;

struct Cbw {
    uint32_t tag = 0;
    uint32_t length = 0;  // the data phase the host expects
    bool toHost = false;  // direction of the data phase (bmCBWFlags bit 7)
    uint8_t lun = 0;
    uint8_t cdbLength = 0;
    uint8_t cdb[16] = {};
};

// A valid, meaningful CBW: 31 bytes, its signature, a command length of 1 to
// 16. Nothing else is a command.
std::optional<Cbw> ParseCbw(std::span<const uint8_t> bytes);

class BulkOnlyDevice {
public:
    explicit BulkOnlyDevice(ScsiTarget& target) : target_(target) {}

    struct Outcome {
        size_t dataIn = 0;  // bytes of `data` to send to the host (toHost only)
        std::array<uint8_t, kCswLength> csw{};
        uint8_t status = kCswPassed;
        uint32_t residue = 0;
    };

    // One command. `data` is the host's whole data phase: what it sent when
    // the data went to the device, room for the answer otherwise.
    Outcome Run(const Cbw& cbw, std::span<uint8_t> data);

    // A Bulk-Only Mass Storage Reset: the kept sense goes with the command.
    void Reset() { senseLength_ = 0; }

private:
    ScsiTarget& target_;
    uint8_t sense_[kMaxSenseBytes] = {};
    size_t senseLength_ = 0;
};

}  // namespace ts::rk
