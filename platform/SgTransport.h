#pragma once
// SCSI pass-through on Linux: one command record becomes one SG_IO call on the
// drive's SCSI generic node (/dev/sgN). The generic node is used rather than
// the block node because the kernel lets vendor opcodes through SG_IO on a
// block node only for CAP_SYS_RAWIO, while the generic node checks nothing
// but its file permissions.
#include <scsi/sg.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ScsiCommand.h"

namespace ts {

// The SG_IO call: 0, or -1 with errno set, as ioctl(2). Tests put a hook here
// that inspects and answers the header instead of the kernel.
using SgIoctl = std::function<int(int fd, sg_io_hdr_t* hdr)>;

class SgTransport final : public ScsiTransport {
public:
    // Owns `fd` (closed on destruction; -1 for none). An empty `ioctl` calls
    // the kernel.
    explicit SgTransport(int fd, SgIoctl ioctl = {});
    ~SgTransport() override;
    SgTransport(const SgTransport&) = delete;
    SgTransport& operator=(const SgTransport&) = delete;

    // Data from the device reaches `data` only when the call succeeded with
    // good status: a command that timed out or failed may have filled part of
    // the kernel's buffer (a late answer), and none of it may pass for data.
    bool Send(ScsiCommand& command, int& lastError) override;

private:
    int fd_;
    SgIoctl ioctl_;
    std::vector<uint8_t> bounce_;  // where incoming data lands first
};

// open(2) flags for a desired-access and share-mode mask pair: read and write
// → O_RDWR, read → O_RDONLY, write → O_WRONLY; no sharing at all → O_EXCL.
int SgOpenFlags(uint32_t access, uint32_t shareMode);

// Opens a SCSI generic node and holds an exclusive advisory lock on it while
// it is open, so that two processes never work on one device at once. Null
// on failure with lastError = errno of the open; EBUSY when another open
// holds the lock; ENODEV for a node that is not a SCSI generic device.
std::unique_ptr<ScsiTransport> OpenSgNode(const std::string& node, uint32_t access,
                                          uint32_t shareMode, int& lastError);

}  // namespace ts
