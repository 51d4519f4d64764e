// Arbitrary request blocks and fault files against the simulated firmware:
// nothing may be read or written outside the block, the data buffer or the
// storage.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "device/PassThrough.h"
#include "sim/SimDevice.h"
#include "sim/SimFaults.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ts;
    if (size < sizeof(PassThroughRequest)) return 0;
    PassThroughRequest req;
    std::memcpy(&req, data, sizeof req);
    std::string_view faultText(reinterpret_cast<const char*>(data) + sizeof req, size - sizeof req);
    SimFaults faults = ParseSimFaults(faultText, "fuzz");
    faults.failAll = {};  // keep the firmware reachable
    auto storage = std::make_shared<MemoryStorage>(64);
    SimDevice dev(storage, faults, (req.filler & 1) == 0, (req.filler & 2) == 0);
    // The caller's promise: the buffer holds DataTransferLength bytes.
    req.sptd.DataTransferLength %= 40000;
    std::vector<uint8_t> buffer(req.sptd.DataTransferLength);
    int err = 0;
    SendPassThrough(dev, req, buffer.empty() ? nullptr : buffer.data(), err);
    SendPassThrough(dev, req, buffer.empty() ? nullptr : buffer.data(), err);
    return 0;
}
