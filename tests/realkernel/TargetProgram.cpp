#include "tests/realkernel/TargetProgram.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace ts::rk {

unsigned TargetOptions::DelayOf(std::span<const uint8_t> cdb) const {
    return cdb.size() > 1 && cdb[0] == 0xF3 && cdb[1] < kSimKinds ? delays[cdb[1]] : 0;
}

bool ParseTargetOptions(int argc, char** argv, const char* placeOption, TargetOptions* out) {
    TargetOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == placeOption && more) {
            o.place = argv[++i];
        } else if (a == "--image" && more) {
            o.image = argv[++i];
        } else if (a == "--faults" && more) {
            o.faultsPath = argv[++i];
        } else if (a == "--serial" && more) {
            o.serial = argv[++i];
        } else if (a == "--disk") {
            o.disk = true;
        } else if (a == "--delay" && more) {
            const std::string v = argv[++i];
            const auto colon = v.find(':');
            static const char* kKinds[kSimKinds] = {"handshake", "write", "finish", "read"};
            size_t kind = kSimKinds;
            for (size_t k = 0; k < kSimKinds; ++k)
                if (v.compare(0, colon, kKinds[k]) == 0) kind = k;
            unsigned ms = 0;
            const char* end = v.data() + v.size();
            if (colon == std::string::npos || kind == kSimKinds ||
                std::from_chars(v.data() + colon + 1, end, ms).ptr != end)
                return false;
            o.delays[kind] = ms;
        } else {
            return false;
        }
    }
    if (o.place.empty() || o.image.empty()) return false;
    *out = std::move(o);
    return true;
}

std::unique_ptr<ScsiTarget> OpenTarget(const TargetOptions& o, const char* program) {
    int err = 0;
    std::shared_ptr<SimStorage> storage = FileStorage::Open(o.image, true, err);
    if (!storage) {
        std::fprintf(stderr, "%s: %s: %s\n", program, o.image.c_str(), std::strerror(err));
        return nullptr;
    }
    SimFaults faults = o.faultsPath.empty() ? SimFaults{} : LoadSimFaults(o.faultsPath);
    return std::make_unique<ScsiTarget>(storage, std::move(faults), !o.disk, o.serial);
}

}  // namespace ts::rk
