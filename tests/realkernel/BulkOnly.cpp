#include "tests/realkernel/BulkOnly.h"

#include <algorithm>
#include <cstring>

namespace ts::rk {
namespace {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Commands whose data goes to the device. A host that sends them with a
// data phase towards itself would otherwise have the device store the zeros
// of an empty buffer.
bool TakesData(const uint8_t* cdb) {
    switch (cdb[0]) {
        case 0x0A:  // WRITE(6)
        case 0x2A:  // WRITE(10)
        case 0xAA:  // WRITE(12)
        case 0x8A:  // WRITE(16)
        case 0x15:  // MODE SELECT(6)
        case 0x55:  // MODE SELECT(10)
            return true;
        case 0xF3:  // the vendor command: its write sub-command
            return cdb[1] == 0x01;
        default:
            return false;
    }
}

}  // namespace

std::optional<Cbw> ParseCbw(std::span<const uint8_t> bytes) {
    if (bytes.size() != kCbwLength || Le32(bytes.data()) != kCbwSignature) return std::nullopt;
    Cbw c;
    c.tag = Le32(bytes.data() + 4);
    c.length = Le32(bytes.data() + 8);
    c.toHost = (bytes[12] & 0x80) != 0;
    c.lun = bytes[13] & 0x0F;
    c.cdbLength = bytes[14] & 0x1F;
    if (c.cdbLength == 0 || c.cdbLength > sizeof c.cdb) return std::nullopt;
    std::memcpy(c.cdb, bytes.data() + 15, c.cdbLength);
    return c;
}

BulkOnlyDevice::Outcome BulkOnlyDevice::Run(const Cbw& cbw, std::span<uint8_t> data) {
    Outcome out;
    data = data.first(std::min<size_t>(data.size(), cbw.length));
    auto finish = [&](uint8_t status, uint32_t residue) {
        out.status = status;
        out.residue = residue;
        PutLe32(out.csw.data(), kCswSignature);
        PutLe32(out.csw.data() + 4, cbw.tag);
        PutLe32(out.csw.data() + 8, residue);
        out.csw[12] = status;
        return out;
    };
    const bool requestSense = cbw.cdb[0] == 0x03;
    // The host asks for the sense of the command before; any other command
    // starts afresh.
    if (requestSense && senseLength_ > 0) {
        const size_t n = std::min({data.size(), senseLength_, size_t{cbw.cdb[4]}});
        std::fill(data.begin(), data.end(), uint8_t{0});
        std::memcpy(data.data(), sense_, n);
        senseLength_ = 0;
        if (!cbw.toHost && cbw.length > 0) return finish(kCswPhaseError, cbw.length);
        out.dataIn = cbw.toHost ? n : 0;
        return finish(kCswPassed, cbw.length - static_cast<uint32_t>(out.dataIn));
    }
    senseLength_ = 0;
    if (cbw.lun != 0) {
        static constexpr uint8_t kNoSuchLun[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x25};
        std::memcpy(sense_, kNoSuchLun, sizeof kNoSuchLun);
        senseLength_ = sizeof kNoSuchLun;
        return finish(kCswFailed, cbw.length);
    }
    // Data the host sends must be what the command takes, and the other way.
    if (cbw.length > 0 && cbw.toHost == TakesData(cbw.cdb))
        return finish(kCswPhaseError, cbw.length);
    if (cbw.toHost) std::fill(data.begin(), data.end(), uint8_t{0});
    const ScsiResult r = target_.Execute(std::span<const uint8_t>(cbw.cdb, cbw.cdbLength), data);
    if (r.toInitiator && !cbw.toHost && r.dataIn > 0) return finish(kCswPhaseError, cbw.length);
    out.dataIn = cbw.toHost && r.toInitiator ? std::min(r.dataIn, data.size()) : 0;
    // Sent data counts as taken only when the command went through.
    const size_t moved = cbw.toHost                ? out.dataIn
                         : r.status == kStatusGood ? std::min(r.dataOut, data.size())
                                                   : 0;
    const uint32_t residue = cbw.length - static_cast<uint32_t>(moved);
    if (r.status == kStatusGood) return finish(kCswPassed, residue);
    senseLength_ = std::min(r.senseLength, sizeof sense_);
    std::memcpy(sense_, r.sense, senseLength_);
    return finish(kCswFailed, residue);
}

}  // namespace ts::rk
