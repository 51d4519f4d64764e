#include "sim/SimDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "device/VendorProtocol.h"
#include "platform/Files.h"

namespace ts {
namespace {

constexpr size_t kFixedSenseLength = 18;
constexpr size_t kMaxSense = 24;

// A check condition: status byte, fixed-format sense data as far as the
// caller takes it, nothing moved.
void CheckCondition(ScsiCommand& cmd, uint8_t status, uint8_t key, uint8_t asc) {
    cmd.status = status;
    cmd.resid = cmd.length;
    const size_t n = std::min<size_t>({cmd.senseCapacity, kMaxSense, sizeof cmd.sense});
    uint8_t sense[kMaxSense] = {};
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = kFixedSenseLength - 8;
    sense[12] = asc;
    std::memcpy(cmd.sense, sense, n);
    cmd.senseLength = static_cast<uint8_t>(n);
}

// The answer of the handshake or finish command: `text` from byte 0, the
// rest zero (or 'X' with `pad`), cut to the requested length.
void FillAnswer(uint8_t* data, uint32_t length, const std::string& text, bool pad) {
    if (length == 0) return;
    std::memset(data, pad ? 'X' : 0, length);
    std::memcpy(data, text.data(), std::min<size_t>(text.size(), length));
}

}  // namespace

bool MemoryStorage::Read(uint64_t offset, uint8_t* out, size_t n, int& err) {
    if (offset > bytes.size() || n > bytes.size() - offset) {
        err = EIO;
        return false;
    }
    std::memcpy(out, bytes.data() + offset, n);
    return true;
}

bool MemoryStorage::Write(uint64_t offset, const uint8_t* in, size_t n, int& err) {
    if (offset > bytes.size() || n > bytes.size() - offset) {
        err = EIO;
        return false;
    }
    std::memcpy(bytes.data() + offset, in, n);
    return true;
}

std::unique_ptr<FileStorage> FileStorage::Open(const std::string& path, bool writable, int& err) {
    int fd = files::Open(path, writable ? files::kReadWrite : files::kRead);
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    files::Status st;
    if (!files::StatFd(fd, &st) || st.kind != files::Kind::Regular) {
        err = st.kind == files::Kind::Folder ? EISDIR : ENODEV;
        files::Close(fd);
        return nullptr;
    }
    uint64_t sectors = st.size / kSimSector;
    return std::unique_ptr<FileStorage>(new FileStorage(fd, path, sectors, st.identity));
}

FileStorage::~FileStorage() { files::Close(fd_); }

bool FileStorage::Read(uint64_t offset, uint8_t* out, size_t n, int& err) {
    size_t done = 0;
    while (done < n) {
        const long long got = files::ReadAt(fd_, out + done, n - done, offset + done);
        if (got <= 0) {
            err = got < 0 ? errno : EIO;  // 0: the file shrank under the device
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool FileStorage::Write(uint64_t offset, const uint8_t* in, size_t n, int& err) {
    size_t done = 0;
    while (done < n) {
        const long long put = files::WriteAt(fd_, in + done, n - done, offset + done);
        if (put <= 0) {
            err = put < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

bool FileStorage::Lock(int& err) {
    if (files::TryLock(fd_)) return true;
    err = errno == EWOULDBLOCK ? EBUSY : errno;
    return false;
}

bool FileStorage::Attached(int& err) {
    files::Status st;
    if (!files::StatPath(path_, true, &st) || st.identity != identity_) {
        err = ENODEV;
        return false;
    }
    return true;
}

SimDevice::SimDevice(std::shared_ptr<SimStorage> storage, SimFaults faults, bool vendor,
                     bool writable)
    : storage_(std::move(storage)),
      faults_(std::move(faults)),
      vendor_(vendor),
      writable_(writable) {}

bool SimDevice::Send(ScsiCommand& cmd, int& lastError) {
    if (cmd.cdbLength > sizeof cmd.cdb || (!cmd.data && cmd.length > 0)) {
        lastError = !cmd.data && cmd.length > 0 ? EFAULT : EINVAL;
        return false;
    }
    int err = 0;
    if (!storage_->Attached(err)) {
        lastError = err;
        return false;
    }
    vendor::Command command;
    const bool ours = vendor::DecodeCommand(cmd.cdb, command);
    const uint8_t sub = command.subCommand;
    bool known = ours && sub < kSimKinds;
    auto kind = static_cast<SimKind>(known ? sub : 0);
    if (known) {
        if (const uint32_t ms = faults_.latencyMs[sub]; ms != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        uint32_t& count = counts_[sub];
        if (count < std::numeric_limits<uint32_t>::max()) ++count;
        if (faults_.FailsCall(kind, count)) {
            lastError = faults_.failErrno;
            return false;
        }
    }
    cmd.status = 0;
    cmd.resid = 0;
    cmd.senseLength = 0;
    // Only the first 10 bytes of the command block reach the device.
    if (cmd.cdbLength < vendor::kCdbLength) {
        CheckCondition(cmd, 2, kSenseIllegalRequest, kAscInvalidField);
        return true;
    }
    if (!ours || !vendor_) {
        CheckCondition(cmd, 2, kSenseIllegalRequest, kAscInvalidOpcode);
        return true;
    }
    if (!known) {
        CheckCondition(cmd, 2, kSenseIllegalRequest, kAscInvalidField);
        return true;
    }
    if (auto status = faults_.status[sub]; status && *status != 0) {
        CheckCondition(cmd, *status, kSenseHardwareError, kAscInternalFailure);
        return true;
    }
    const uint32_t ordinal = counts_[sub];
    if (faults_.checkAt.Picks(kind, ordinal)) {
        if (kind == SimKind::Read)
            CheckCondition(cmd, 2, kSenseMediumError, kAscUnrecoveredRead);
        else if (kind == SimKind::Write)
            CheckCondition(cmd, 2, kSenseMediumError, kAscWriteError);
        else
            CheckCondition(cmd, 2, kSenseHardwareError, kAscInternalFailure);
        return true;
    }
    return Execute(cmd, kind, faults_.shortAt.Picks(kind, ordinal), lastError);
}

bool SimDevice::Execute(ScsiCommand& cmd, SimKind kind, bool shortened, int& lastError) {
    vendor::Command command;
    vendor::DecodeCommand(cmd.cdb, command);
    uint8_t* data = cmd.data;
    const uint32_t length = cmd.length;
    const uint32_t param2 = command.param2;
    const bool wantIn = kind != SimKind::Write;
    if (cmd.direction != (wantIn ? ScsiDirection::FromDevice : ScsiDirection::ToDevice)) {
        CheckCondition(cmd, 2, kSenseIllegalRequest, kAscInvalidField);
        return true;
    }
    switch (kind) {
        case SimKind::Handshake: {
            if (length != param2) break;
            uint64_t sectors = faults_.reportedSectors
                                   ? *faults_.reportedSectors
                                   : std::min<uint64_t>(storage_->Sectors(), UINT32_MAX);
            const std::string text = faults_.handshakeText.value_or(vendor::kHandShakeText);
            std::vector<uint8_t> answer(length);
            FillAnswer(answer.data(), length, text, false);
            if (text.size() < vendor::kHandShakeSectorsAt)
                vendor::PutHandShakeSectors(answer.data(), length, static_cast<uint32_t>(sectors));
            const uint32_t moved = shortened ? length / 2 : length;
            cmd.resid = length - moved;
            if (moved > 0) std::memcpy(data, answer.data(), moved);
            return true;
        }
        case SimKind::Finish: {
            if (length != param2) break;
            std::vector<uint8_t> answer(length);
            FillAnswer(answer.data(), length, faults_.finishText.value_or(vendor::kFinishText),
                       faults_.finishNoNul);
            const uint32_t moved = shortened ? length / 2 : length;
            cmd.resid = length - moved;
            if (moved > 0) std::memcpy(data, answer.data(), moved);
            return true;
        }
        case SimKind::Read:
        case SimKind::Write: {
            if (uint64_t{length} != uint64_t{param2} * kSimSector) break;
            uint64_t start = command.param1;
            if (start + param2 > storage_->Sectors()) {
                CheckCondition(cmd, 2, kSenseIllegalRequest, kAscLbaOutOfRange);
                return true;
            }
            if (length == 0) return true;
            const uint32_t moved = shortened ? length / 2 / kSimSector * kSimSector : length;
            int err = 0;
            bool ok;
            if (kind == SimKind::Read) {
                ok = moved == 0 || storage_->Read(start * kSimSector, data, moved, err);
                // A read that failed part-way hands over none of what it got.
                if (!ok) std::memset(data, 0, moved);
            } else if (!writable_) {
                ok = false;
                err = EACCES;
            } else if (faults_.discardWrites) {
                ok = true;
            } else {
                ok = moved == 0 || storage_->Write(start * kSimSector, data, moved, err);
            }
            if (!ok) {
                lastError = err;
                return false;
            }
            cmd.resid = length - moved;
            return true;
        }
    }
    // The transfer length does not match what the command block asks for.
    CheckCondition(cmd, 2, kSenseIllegalRequest, kAscInvalidField);
    return true;
}

}  // namespace ts
