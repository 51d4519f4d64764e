#pragma once
// One SCSI command as every transport receives it, whatever the operating
// system: the command bytes, the data phase and a timeout going down; the
// status byte, the bytes not moved and the sense data coming back. Each
// transport turns it into its own native request at its edge (SG_IO's
// header, a simulated firmware call), so no native structure travels up.
#include <cstdint>
#include <memory>

namespace ts {

enum class ScsiDirection : uint8_t { None, FromDevice, ToDevice };

struct ScsiCommand {
    // Asked by the caller.
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    ScsiDirection direction = ScsiDirection::None;
    uint8_t* data = nullptr;  // `length` bytes; may be null when length is 0
    uint32_t length = 0;
    uint32_t timeoutSeconds = 0;
    uint8_t senseCapacity = 0;  // sense bytes the caller takes, at most sizeof sense

    // Answered by the device when the call went through.
    uint8_t status = 0;
    uint32_t resid = 0;  // bytes of `length` that were not moved
    uint8_t sense[32] = {};
    uint8_t senseLength = 0;  // sense bytes written, at most senseCapacity
};

// One opened volume's command channel. Transport failure and device status
// are kept apart: Send returns false only when the call itself failed
// (lastError then holds an errno value); a device that answers with a check
// condition is a successful call with a non-zero status.
class ScsiTransport {
public:
    virtual ~ScsiTransport() = default;
    virtual bool Send(ScsiCommand& command, int& lastError) = 0;
};

// Opens a volume by its device path ("\\.\E:" for a letter drive, the device
// node for a drive listed by its node).
class VolumeOpener {
public:
    virtual ~VolumeOpener() = default;
    // Null on failure, with lastError set as the platform's open call set it.
    virtual std::unique_ptr<ScsiTransport> OpenVolume(const char* path, uint32_t access,
                                                      uint32_t shareMode, int& lastError) = 0;
};

}  // namespace ts
