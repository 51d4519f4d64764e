#include "tests/realkernel/TcmuRing.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ts::rk {

using namespace tcmu;

namespace {

uint64_t Get64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t Get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

uint32_t TcmuRing::Load32(size_t offset) const {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(map_ + offset), __ATOMIC_ACQUIRE);
}

void TcmuRing::Store32(size_t offset, uint32_t v) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(map_ + offset), v, __ATOMIC_RELEASE);
}

bool TcmuRing::Valid() const {
    if (!map_ || size_ < kMailboxSize) return false;
    const uint32_t off = Get32(map_ + kMbCmdrOff), ringSize = Get32(map_ + kMbCmdrSize);
    uint16_t version;
    std::memcpy(&version, map_ + kMbVersion, sizeof version);
    return version == kMailboxVersion && off >= kMailboxSize && off % 8 == 0 &&
           ringSize >= kEntrySize && ringSize % 8 == 0 && off <= size_ && ringSize <= size_ - off;
}

long TcmuRing::Process(const Handler& handler) {
    if (!Valid()) return -1;
    const size_t ring = Get32(map_ + kMbCmdrOff), ringSize = Get32(map_ + kMbCmdrSize);
    const uint32_t head = Load32(kMbCmdHead);
    uint32_t tail = Get32(map_ + kMbCmdTail);
    if (head >= ringSize || tail >= ringSize || head % 8 != 0 || tail % 8 != 0) return -1;
    long done = 0;
    while (tail != head) {
        // An entry's header never straddles the end: the kernel pads first.
        const size_t entry = ring + tail;
        if (ringSize - tail < 8) return -1;
        const uint32_t lenOp = Get32(map_ + entry + kHdrLenOp);
        const uint32_t op = lenOp & kOpMask, length = lenOp & ~kOpMask;
        if (length == 0 || length > ringSize - tail) return -1;
        if (op == kOpCmd) {
            if (length < kEntrySize) return -1;
            Command(entry, length, handler);
        } else if (op != kOpPad && op != kOpTmr) {
            map_[entry + kHdrUflags] |= kUflagUnknownOp;
        }
        tail = static_cast<uint32_t>((tail + length) % ringSize);
        ++done;
    }
    Store32(kMbCmdTail, tail);
    return done;
}

void TcmuRing::Command(size_t entry, size_t length, const Handler& handler) {
    uint8_t* e = map_ + entry;
    // The reply overlays the request (status, length and sense lie over the
    // iovec counts, the CDB offset and the iovecs): take everything first.
    struct Span {
        uint64_t offset, length;
    };
    std::vector<Span> iov;
    uint8_t cdb[16] = {};
    size_t cdbLength = 0;
    bool sound = false;
    const uint64_t count = Get32(e + kReqIovCnt);
    const uint64_t all = count + Get32(e + kReqIovBidiCnt) + Get32(e + kReqIovDifCnt);
    if (all <= (length - kReqIov) / kIovSize) {
        sound = true;
        uint64_t total = 0;
        for (uint64_t i = 0; i < count && sound; ++i) {
            const uint8_t* v = e + kReqIov + i * kIovSize;
            const Span s{Get64(v), Get64(v + 8)};
            sound = s.offset <= size_ && s.length <= size_ - s.offset && s.length <= size_ - total;
            total += s.length;
            iov.push_back(s);
        }
        const uint64_t cdbOff = Get64(e + kReqCdbOff);
        const uint64_t start = entry + kReqIov + all * kIovSize, end = entry + length;
        if (sound && cdbOff >= start && cdbOff < end) {
            cdbLength = std::min<size_t>(CdbLength(map_[cdbOff]), sizeof cdb);
            sound = cdbLength <= end - cdbOff;
            if (sound) std::memcpy(cdb, map_ + cdbOff, cdbLength);
        } else {
            sound = false;
        }
    }

    ScsiResult r;
    std::vector<uint8_t> data;
    if (sound) {
        for (const Span& s : iov)
            data.insert(data.end(), map_ + s.offset, map_ + s.offset + s.length);
        r = handler(std::span<const uint8_t>(cdb, cdbLength), data);
    } else {
        // Hardware error, internal target failure: the entry cannot be read.
        r.status = kStatusCheckCondition;
        r.sense[0] = 0x70;
        r.sense[2] = 0x04;
        r.sense[7] = 10;
        r.sense[12] = 0x44;
        r.senseLength = 18;
    }

    if (r.toInitiator) {
        size_t left = std::min(r.dataIn, data.size()), at = 0;
        for (const Span& s : iov) {
            const size_t n = std::min<size_t>(left, s.length);
            std::memcpy(map_ + s.offset, data.data() + at, n);
            at += n;
            left -= n;
        }
    }
    uint16_t flags;
    std::memcpy(&flags, map_ + kMbFlags, sizeof flags);
    if (r.toInitiator && (flags & kCapReadLen) && r.status == kStatusGood && r.dataIn > 0 &&
        r.dataIn < data.size()) {
        const uint32_t readLen = static_cast<uint32_t>(r.dataIn);
        std::memcpy(e + kRspReadLen, &readLen, sizeof readLen);
        e[kHdrUflags] |= kUflagReadLen;
    }
    e[kRspStatus] = r.status;
    std::memset(e + kRspSense, 0, kMaxSenseBytes);
    std::memcpy(e + kRspSense, r.sense, std::min(r.senseLength, kMaxSenseBytes));
}

}  // namespace ts::rk
