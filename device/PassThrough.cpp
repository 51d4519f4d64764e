#include "device/PassThrough.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ts {

bool SendPassThrough(ScsiTransport& transport, PassThroughRequest& request, uint8_t* data,
                     int& lastError) {
    auto& s = request.sptd;
    if (s.CdbLength > sizeof s.Cdb ||
        (s.DataIn != kScsiIoctlDataIn && s.DataIn != kScsiIoctlDataOut)) {
        lastError = EINVAL;
        return false;
    }
    ScsiCommand cmd;
    std::memcpy(cmd.cdb, s.Cdb, sizeof cmd.cdb);
    cmd.cdbLength = s.CdbLength;
    // The direction is the command's, even for an empty data phase: a device
    // may judge a command by it.
    cmd.direction =
        s.DataIn == kScsiIoctlDataIn ? ScsiDirection::FromDevice : ScsiDirection::ToDevice;
    cmd.data = data;
    cmd.length = s.DataTransferLength;
    cmd.timeoutSeconds = s.TimeOutValue;
    cmd.senseCapacity = static_cast<uint8_t>(std::min<size_t>(s.SenseInfoLength, sizeof cmd.sense));
    if (!transport.Send(cmd, lastError)) return false;

    s.ScsiStatus = cmd.status;
    s.DataTransferLength = cmd.length - std::min(cmd.resid, cmd.length);
    // Sense bytes land at the block's own offset, and only where all of them
    // fit behind the request header.
    const size_t n = std::min(cmd.senseLength, cmd.senseCapacity);
    const size_t offset = s.SenseInfoOffset;
    const bool fits = offset >= sizeof(ScsiPassThroughDirect32) && offset <= sizeof request &&
                      n <= sizeof request - offset;
    if (fits && n > 0) std::memcpy(reinterpret_cast<uint8_t*>(&request) + offset, cmd.sense, n);
    s.SenseInfoLength = static_cast<uint8_t>(fits ? n : 0);
    return true;
}

}  // namespace ts
