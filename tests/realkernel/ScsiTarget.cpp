#include "tests/realkernel/ScsiTarget.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/ScsiCommand.h"

namespace ts::rk {
namespace {

constexpr uint32_t kBlock = kSimSector;
constexpr uint8_t kVendorOpcode = 0xF3;
constexpr uint8_t kVendorWrite = 0x01;

// Sense keys and additional sense codes used here.
constexpr uint8_t kKeyNotReady = 0x02;
constexpr uint8_t kKeyMediumError = 0x03;
constexpr uint8_t kKeyIllegalRequest = 0x05;
constexpr uint8_t kKeyHardwareError = 0x04;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscInternalFailure = 0x44;
constexpr uint8_t kAscMediumNotPresent = 0x3A;
constexpr uint8_t kAscWriteError = 0x0C;
constexpr uint8_t kAscReadError = 0x11;

uint32_t Be16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
uint32_t Be24(const uint8_t* p) { return uint32_t{p[0]} << 16 | Be16(p + 1); }
uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | Be24(p + 1); }
uint64_t Be64(const uint8_t* p) { return uint64_t{Be32(p)} << 32 | Be32(p + 4); }

void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutBe64(uint8_t* p, uint64_t v) {
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

ScsiResult Check(uint8_t key, uint8_t asc) {
    ScsiResult r;
    r.status = kStatusCheckCondition;
    r.sense[0] = 0x70;  // current error, fixed format
    r.sense[2] = key;
    r.sense[7] = 10;  // additional length of an 18-byte sense
    r.sense[12] = asc;
    r.senseLength = 18;
    return r;
}

// An answer of `answer.size()` bytes cut to the room the initiator gave.
ScsiResult Answer(std::span<uint8_t> data, std::span<const uint8_t> answer) {
    ScsiResult r;
    r.toInitiator = true;
    std::fill(data.begin(), data.end(), uint8_t{0});
    r.dataIn = std::min(data.size(), answer.size());
    std::copy_n(answer.begin(), r.dataIn, data.begin());
    return r;
}

// Fixed-width, space-padded ASCII field of INQUIRY data.
void PutText(uint8_t* p, size_t width, std::string_view text) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), std::min(width, text.size()));
}

}  // namespace

size_t CdbLength(uint8_t opcode) {
    static constexpr uint8_t kByGroup[8] = {6, 10, 10, 12, 16, 12, 10, 10};
    return kByGroup[opcode >> 5];
}

ScsiTarget::ScsiTarget(std::shared_ptr<SimStorage> storage, SimFaults faults, bool vendor,
                       std::string serial)
    : storage_(storage),
      firmware_(std::move(storage), std::move(faults), vendor),
      vendor_(vendor),
      serial_(std::move(serial)) {}

bool ScsiTarget::Attached() {
    int err = 0;
    return storage_->Attached(err) && storage_->Sectors() > 0;
}

ScsiResult ScsiTarget::Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data) {
    if (cdb.empty() || cdb.size() < CdbLength(cdb[0]))
        return Check(kKeyIllegalRequest, kAscInvalidField);
    const uint8_t* c = cdb.data();
    switch (c[0]) {
        case kVendorOpcode:
            return Vendor(cdb, data);
        case 0x12:  // INQUIRY
            return Inquiry(cdb, data);
        case 0x00:  // TEST UNIT READY
            return Attached() ? ScsiResult{} : Check(kKeyNotReady, kAscMediumNotPresent);
        case 0x03: {  // REQUEST SENSE: nothing is kept between commands
            uint8_t sense[18] = {0x70, 0, 0, 0, 0, 0, 0, 10};
            return Answer(data, sense);
        }
        case 0x1A:  // MODE SENSE(6)
            return ModeSense(cdb, data, false);
        case 0x5A:  // MODE SENSE(10)
            return ModeSense(cdb, data, true);
        case 0x25: {  // READ CAPACITY(10)
            if (!Attached()) return Check(kKeyNotReady, kAscMediumNotPresent);
            uint8_t answer[8];
            PutBe32(answer,
                    static_cast<uint32_t>(std::min<uint64_t>(storage_->Sectors() - 1, UINT32_MAX)));
            PutBe32(answer + 4, kBlock);
            return Answer(data, answer);
        }
        case 0x9E: {  // SERVICE ACTION IN(16): READ CAPACITY(16) only
            if ((c[1] & 0x1F) != 0x10) return Check(kKeyIllegalRequest, kAscInvalidField);
            if (!Attached()) return Check(kKeyNotReady, kAscMediumNotPresent);
            uint8_t answer[32] = {};
            PutBe64(answer, storage_->Sectors() - 1);
            PutBe32(answer + 8, kBlock);
            return Answer(data.first(std::min<size_t>(data.size(), Be32(c + 10))), answer);
        }
        case 0x08:  // READ(6); a count of 0 means 256 blocks
        case 0x0A:  // WRITE(6)
            return Transfer(Be24(c + 1) & 0x1FFFFF, c[4] == 0 ? 256 : c[4], c[0] == 0x0A, data);
        case 0x28:  // READ(10)
        case 0x2A:  // WRITE(10)
            return Transfer(Be32(c + 2), Be16(c + 7), c[0] == 0x2A, data);
        case 0xA8:  // READ(12)
        case 0xAA:  // WRITE(12)
            return Transfer(Be32(c + 2), Be32(c + 6), c[0] == 0xAA, data);
        case 0x88:  // READ(16)
        case 0x8A:  // WRITE(16)
            return Transfer(Be64(c + 2), Be32(c + 10), c[0] == 0x8A, data);
        case 0x35:  // SYNCHRONIZE CACHE(10): nothing is cached
        case 0x91:  // SYNCHRONIZE CACHE(16)
        case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
        case 0x1B:  // START STOP UNIT
            return ScsiResult{};
        default:
            return Check(kKeyIllegalRequest, kAscInvalidOpcode);
    }
}

ScsiResult ScsiTarget::Vendor(std::span<const uint8_t> cdb, std::span<uint8_t> data) {
    // The transport carries no direction; the sub-command decides it, as the
    // firmware expects the write to be the only command sending data.
    ScsiCommand cmd;
    cmd.cdbLength = 10;
    cmd.senseCapacity = 24;
    cmd.direction = cdb[1] == kVendorWrite ? ScsiDirection::ToDevice : ScsiDirection::FromDevice;
    cmd.timeoutSeconds = 2;
    if (data.size() > UINT32_MAX) return Check(kKeyIllegalRequest, kAscInvalidField);
    cmd.length = static_cast<uint32_t>(data.size());
    cmd.data = data.data();
    std::memcpy(cmd.cdb, cdb.data(), 10);
    int err = 0;
    if (!firmware_.Send(cmd, err)) {
        // A real disk cannot fail the call itself: a pulled medium reads as
        // not present, anything else as the device's own failure.
        return err == ENODEV ? Check(kKeyNotReady, kAscMediumNotPresent)
                             : Check(kKeyHardwareError, kAscInternalFailure);
    }
    ScsiResult r;
    r.status = cmd.status;
    r.toInitiator = cmd.direction == ScsiDirection::FromDevice;
    const size_t moved =
        std::min<size_t>(cmd.length - std::min(cmd.resid, cmd.length), data.size());
    r.dataIn = r.toInitiator ? moved : 0;
    r.dataOut = r.toInitiator || r.status != kStatusGood ? 0 : moved;
    if (r.status != kStatusGood) {
        r.senseLength = std::min<size_t>(cmd.senseLength, sizeof cmd.sense);
        std::memcpy(r.sense, cmd.sense, r.senseLength);
    }
    return r;
}

ScsiResult ScsiTarget::Inquiry(std::span<const uint8_t> cdb, std::span<uint8_t> data) {
    const uint8_t* c = cdb.data();
    const bool evpd = c[1] & 0x01;
    if (!evpd) {
        if (c[2] != 0) return Check(kKeyIllegalRequest, kAscInvalidField);
        uint8_t answer[36] = {};
        answer[0] = 0x00;  // direct-access block device
        answer[1] = 0x80;  // removable medium, as a USB stick reports
        answer[2] = 0x04;  // SPC-2: no READ CAPACITY(16) first, no opcode reports
        answer[3] = 0x02;  // response data format
        answer[4] = sizeof answer - 5;
        PutText(answer + 8, 8, "TAGSMITH");
        PutText(answer + 16, 16, vendor_ ? "SIM DEVICE" : "SIM DISK");
        PutText(answer + 32, 4, "1.0");
        return Answer(data, answer);
    }
    std::vector<uint8_t> page(4, 0);
    page[1] = c[2];
    switch (c[2]) {
        case 0x00:  // supported pages
            page.insert(page.end(), {0x00, 0x80, 0x83});
            break;
        case 0x80:  // unit serial number
            page.insert(page.end(), serial_.begin(), serial_.end());
            break;
        case 0x83: {  // device identification: one vendor-specific ASCII name
            std::string id = "TAGSMITH" + serial_;
            page.insert(page.end(), {0x02, 0x00, 0x00, static_cast<uint8_t>(id.size())});
            page.insert(page.end(), id.begin(), id.end());
            break;
        }
        default:
            return Check(kKeyIllegalRequest, kAscInvalidField);
    }
    const size_t length = std::min<size_t>(page.size() - 4, 255);
    page.resize(length + 4);
    page[3] = static_cast<uint8_t>(length);
    return Answer(data, page);
}

ScsiResult ScsiTarget::ModeSense(std::span<const uint8_t> cdb, std::span<uint8_t> data, bool ten) {
    const uint8_t pageCode = cdb[2] & 0x3F;
    const uint8_t control = cdb[2] >> 6;
    // Only the caching page, write cache off, so that the kernel sends no
    // cache flushes of its own; 0x3F asks for every page.
    if (pageCode != 0x08 && pageCode != 0x3F) return Check(kKeyIllegalRequest, kAscInvalidField);
    uint8_t caching[20] = {0x08, 18};
    if (control == 1) std::memset(caching + 2, 0, sizeof caching - 2);  // changeable: none
    std::vector<uint8_t> answer(ten ? 8 : 4, 0);
    answer.insert(answer.end(), caching, caching + sizeof caching);
    if (ten) {
        answer[1] = static_cast<uint8_t>(answer.size() - 2);
    } else {
        answer[0] = static_cast<uint8_t>(answer.size() - 1);
    }
    // Medium type 0, not write-protected, no block descriptors.
    return Answer(data, answer);
}

ScsiResult ScsiTarget::Transfer(uint64_t lba, uint64_t blocks, bool write,
                                std::span<uint8_t> data) {
    if (!Attached()) return Check(kKeyNotReady, kAscMediumNotPresent);
    const uint64_t sectors = storage_->Sectors();
    if (lba > sectors || blocks > sectors - lba)
        return Check(kKeyIllegalRequest, kAscLbaOutOfRange);
    // The initiator sizes the data phase; a block count that does not match
    // it is a malformed command, not a reason to reach past the buffer.
    if (blocks * kBlock != data.size()) return Check(kKeyIllegalRequest, kAscInvalidField);
    ScsiResult r;
    r.toInitiator = !write;
    if (data.empty()) return r;
    int err = 0;
    const bool ok = write ? storage_->Write(lba * kBlock, data.data(), data.size(), err)
                          : storage_->Read(lba * kBlock, data.data(), data.size(), err);
    if (!ok) {
        if (err == ENODEV) return Check(kKeyNotReady, kAscMediumNotPresent);
        return Check(kKeyMediumError, write ? kAscWriteError : kAscReadError);
    }
    r.dataIn = write ? 0 : data.size();
    r.dataOut = write ? data.size() : 0;
    return r;
}

}  // namespace ts::rk
