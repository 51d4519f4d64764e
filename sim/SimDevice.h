#pragma once
// A simulated device: the vendor firmware behind the pass-through channel,
// over a storage backend (an image file or memory).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ScsiCommand.h"
#include "sim/SimFaults.h"

namespace ts {

constexpr uint32_t kSimSector = 512;

// Sense data of a check condition (fixed format).
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kSenseHardwareError = 0x04;
constexpr uint8_t kSenseMediumError = 0x03;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscInternalFailure = 0x44;
constexpr uint8_t kAscWriteError = 0x0C;
constexpr uint8_t kAscUnrecoveredRead = 0x11;

// The bytes of a device. Offsets and lengths are checked by the caller
// against Sectors(); an I/O failure returns false with an errno value.
class SimStorage {
public:
    virtual ~SimStorage() = default;
    virtual uint64_t Sectors() const = 0;
    virtual bool Read(uint64_t offset, uint8_t* out, size_t n, int& err) = 0;
    virtual bool Write(uint64_t offset, const uint8_t* in, size_t n, int& err) = 0;
    // False (err set) once the device has gone away under an open volume.
    virtual bool Attached(int& err) {
        (void)err;
        return true;
    }
};

// Storage in memory; tests keep a pointer to look at the bytes.
class MemoryStorage : public SimStorage {
public:
    explicit MemoryStorage(uint32_t sectors) : bytes(size_t{sectors} * kSimSector) {}
    uint64_t Sectors() const override { return bytes.size() / kSimSector; }
    bool Read(uint64_t offset, uint8_t* out, size_t n, int& err) override;
    bool Write(uint64_t offset, const uint8_t* in, size_t n, int& err) override;

    std::vector<uint8_t> bytes;
    // The USB serial number the line reports for this device (empty: the
    // platform tells none, as the line's other devices).
    std::string usbSerial;
};

// An image file, served up to its last whole sector. Reads and writes go
// straight to the file (pread/pwrite). The device counts as removed once the
// path no longer names the file that was opened.
class FileStorage : public SimStorage {
public:
    // Null with err set when the file cannot be opened or is not a file.
    static std::unique_ptr<FileStorage> Open(const std::string& path, bool writable, int& err);
    ~FileStorage() override;
    FileStorage(const FileStorage&) = delete;
    FileStorage& operator=(const FileStorage&) = delete;

    uint64_t Sectors() const override { return sectors_; }
    bool Read(uint64_t offset, uint8_t* out, size_t n, int& err) override;
    bool Write(uint64_t offset, const uint8_t* in, size_t n, int& err) override;
    bool Attached(int& err) override;
    // Takes an exclusive advisory lock on the image for as long as this
    // storage is open, as a program holds a device it works on. False with
    // err = EBUSY when another open holds it.
    bool Lock(int& err);

private:
    FileStorage(int fd, std::string path, uint64_t sectors, std::string identity)
        : fd_(fd), path_(std::move(path)), sectors_(sectors), identity_(std::move(identity)) {}
    int fd_;
    std::string path_;
    uint64_t sectors_;
    std::string identity_;  // of the file that was opened
};

// The firmware. A vendor device answers the vendor commands; an ordinary
// disk (vendor == false) rejects them all with an invalid-opcode check
// condition. It is the simulated line's transport: a command record is a
// call into it.
class SimDevice : public ScsiTransport {
public:
    SimDevice(std::shared_ptr<SimStorage> storage, SimFaults faults, bool vendor = true,
              bool writable = true);
    bool Send(ScsiCommand& command, int& lastError) override;

private:
    bool Execute(ScsiCommand& cmd, SimKind kind, bool shortened, int& lastError);

    std::shared_ptr<SimStorage> storage_;
    SimFaults faults_;
    bool vendor_;
    bool writable_;
    uint32_t counts_[kSimKinds] = {};
};

}  // namespace ts
