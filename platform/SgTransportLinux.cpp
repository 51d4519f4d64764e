#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/DebugOut.h"
#include "platform/SgTransport.h"

namespace ts {
namespace {

constexpr uint32_t kAccessRead = 0x80000000u;   // GENERIC_READ
constexpr uint32_t kAccessWrite = 0x40000000u;  // GENERIC_WRITE
constexpr uint32_t kAccessAll = 0x10000000u;    // GENERIC_ALL
constexpr uint32_t kShareReadWrite = 3;

// Host and driver codes of sg_io_hdr (the kernel's DID_* and DRIVER_*).
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverMask = 0x0f;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

int KernelSgIo(int fd, sg_io_hdr_t* hdr) { return ::ioctl(fd, SG_IO, hdr); }

// Fills the header from the command. False (with the reason) for a command
// that cannot be sent as it stands.
bool ToSgHeader(ScsiCommand& cmd, sg_io_hdr_t& hdr, int& lastError) {
    const uint32_t length = cmd.length;
    if (cmd.cdbLength == 0 || cmd.cdbLength > sizeof cmd.cdb || (length > 0 && !cmd.data) ||
        (length > 0 && cmd.direction == ScsiDirection::None)) {
        lastError = EINVAL;
        return false;
    }
    hdr = sg_io_hdr_t{};
    hdr.interface_id = 'S';
    hdr.cmd_len = cmd.cdbLength;
    hdr.cmdp = cmd.cdb;
    if (length == 0)
        hdr.dxfer_direction = SG_DXFER_NONE;
    else if (cmd.direction == ScsiDirection::FromDevice)
        hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    else
        hdr.dxfer_direction = SG_DXFER_TO_DEV;
    hdr.dxfer_len = length;
    hdr.dxferp = length > 0 ? cmd.data : nullptr;
    hdr.timeout =
        static_cast<unsigned>(std::min<uint64_t>(uint64_t{cmd.timeoutSeconds} * 1000, UINT_MAX));
    hdr.mx_sb_len =
        static_cast<unsigned char>(std::min<size_t>(cmd.senseCapacity, sizeof cmd.sense));
    hdr.sbp = cmd.sense;
    return true;
}

// A host or driver code that means the command never completed on the device
// (timeout, device gone, bus reset, ...). A check condition is not one.
int TransportError(const sg_io_hdr_t& hdr) {
    if (hdr.host_status != 0) return hdr.host_status == kDidTimeOut ? ETIMEDOUT : EIO;
    const unsigned driver = hdr.driver_status & kDriverMask;
    if (driver == 0 || driver == kDriverSense) return 0;
    return driver == kDriverTimeout ? ETIMEDOUT : EIO;
}

}  // namespace

SgTransport::SgTransport(int fd, SgIoctl ioctl)
    : fd_(fd), ioctl_(ioctl ? std::move(ioctl) : SgIoctl(KernelSgIo)) {}

SgTransport::~SgTransport() {
    if (fd_ >= 0) ::close(fd_);
}

bool SgTransport::Send(ScsiCommand& command, int& lastError) {
    sg_io_hdr_t hdr;
    if (!ToSgHeader(command, hdr, lastError)) return false;
    const bool incoming = hdr.dxfer_direction == SG_DXFER_FROM_DEV;
    if (incoming) {
        bounce_.resize(hdr.dxfer_len);
        hdr.dxferp = bounce_.data();
    }
    errno = 0;
    // No retry on EINTR: the command may already have reached the device.
    if (ioctl_(fd_, &hdr) < 0) {
        lastError = errno != 0 ? errno : EIO;
        return false;
    }
    if (int err = TransportError(hdr)) {
        // Which of the kernel's codes it was (a timeout, a reset, a pulled
        // device) is lost in the error number; the debug output keeps it.
        char line[96];
        std::snprintf(line, sizeof line, "SG_IO host_status=0x%02x driver_status=0x%02x\n",
                      hdr.host_status, hdr.driver_status);
        OutputDebugStringA(line);
        lastError = err;
        return false;
    }
    const uint32_t length = command.length;
    command.resid = hdr.resid <= 0 ? 0 : std::min<uint32_t>(hdr.resid, length);
    command.status = hdr.status;
    command.senseLength = std::min(hdr.sb_len_wr, hdr.mx_sb_len);
    // A refused command delivers nothing; otherwise only the bytes moved.
    if (incoming && hdr.status == 0)
        std::memcpy(command.data, bounce_.data(), length - command.resid);
    return true;
}

int SgOpenFlags(uint32_t access, uint32_t shareMode) {
    const bool all = (access & kAccessAll) != 0;
    const bool read = all || (access & kAccessRead) != 0;
    const bool write = all || (access & kAccessWrite) != 0;
    int flags = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    if ((shareMode & kShareReadWrite) == 0) flags |= O_EXCL;
    return flags;
}

std::unique_ptr<ScsiTransport> OpenSgNode(const std::string& node, uint32_t access,
                                          uint32_t shareMode, int& lastError) {
    // O_NONBLOCK keeps an exclusively held node from blocking the open.
    const int fd = ::open(node.c_str(), SgOpenFlags(access, shareMode) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastError = errno;
        return nullptr;
    }
    // Taken before anything else is asked of the node; released with the fd.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        lastError = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return nullptr;
    }
    int version = 0;
    if (::ioctl(fd, SG_GET_VERSION_NUM, &version) < 0) {
        ::close(fd);
        lastError = ENODEV;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        lastError = errno;
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SgTransport>(fd);
}

}  // namespace ts
