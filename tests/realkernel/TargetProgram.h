#pragma once
// What both device programs (the TCMU handler and the USB function) take on
// their command line besides where they serve, and the target they make of
// it: the image behind the device and how its firmware misbehaves.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "sim/SimFaults.h"
#include "tests/realkernel/ScsiTarget.h"

namespace ts::rk {

struct TargetOptions {
    std::string place;  // the program's own --uio or --ffs value
    std::string image, faultsPath, serial = "0001";
    bool disk = false;
    unsigned delays[kSimKinds] = {};  // per vendor command, milliseconds

    // The delay for one command block: 0 unless it is a delayed vendor command.
    unsigned DelayOf(std::span<const uint8_t> cdb) const;
};

// The usage line's options after the program's own.
inline constexpr char kTargetUsage[] =
    "--image FILE [--disk] [--faults FILE]\n"
    "        [--delay handshake|write|finish|read:MS]... [--serial TEXT]";

// False on an unknown option, a missing value or a malformed delay, or when
// `placeOption` or --image is missing.
bool ParseTargetOptions(int argc, char** argv, const char* placeOption, TargetOptions* out);

// The target over the image, or null once `program` said why on stderr.
std::unique_ptr<ScsiTarget> OpenTarget(const TargetOptions& o, const char* program);

}  // namespace ts::rk
