#pragma once
// The command ring of a kernel TCMU device (target_core_user) as its uio node
// maps it: a mailbox, a ring of command entries the kernel fills, and a data
// area the entries' iovecs point into (as offsets from the mapping's start).
// Everything the kernel wrote is checked against the mapping before use.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "tests/realkernel/ScsiTarget.h"

namespace ts::rk {

// Byte offsets of the kernel's structures (linux/target_core_user.h, whose
// inline functions do not compile as C++; TcmuLayout.c checks these). Only
// the outer entry is packed: the request's 64-bit fields are aligned.
namespace tcmu {
constexpr size_t kMbVersion = 0, kMbFlags = 2, kMbCmdrOff = 4, kMbCmdrSize = 8, kMbCmdHead = 12,
                 kMbCmdTail = 64, kMailboxSize = 128;
constexpr size_t kHdrLenOp = 0, kHdrUflags = 7;
constexpr size_t kReqIovCnt = 8, kReqIovBidiCnt = 12, kReqIovDifCnt = 16, kReqCdbOff = 24,
                 kReqIov = 48, kIovSize = 16;
constexpr size_t kRspStatus = 8, kRspReadLen = 12, kRspSense = 16, kEntrySize = 112;
constexpr uint32_t kOpPad = 0, kOpCmd = 1, kOpTmr = 2, kOpMask = 7;
constexpr uint8_t kUflagUnknownOp = 0x1, kUflagReadLen = 0x2;
constexpr uint16_t kMailboxVersion = 2, kCapReadLen = 1 << 1;
}  // namespace tcmu

class TcmuRing {
public:
    using Handler =
        std::function<ScsiResult(std::span<const uint8_t> cdb, std::span<uint8_t> data)>;

    TcmuRing(uint8_t* map, size_t size) : map_(map), size_(size) {}

    // The mailbox names a ring that lies inside the mapping.
    bool Valid() const;

    // Answers every entry between the tail and the head and moves the tail
    // past them. Returns the number of entries consumed, or -1 when the ring
    // itself is malformed (nothing after the bad entry is touched).
    long Process(const Handler& handler);

private:
    uint32_t Load32(size_t offset) const;
    void Store32(size_t offset, uint32_t v);
    void Command(size_t entry, size_t length, const Handler& handler);

    uint8_t* map_;
    size_t size_;
};

}  // namespace ts::rk
