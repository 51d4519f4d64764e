#pragma once
// A simulated station: a folder stands for the USB ports. In it, `E.img` is a
// device in programming mode at drive E: (its bytes are the device's
// storage), `E.disk` an ordinary removable disk, and `E.fault` the faults the
// device at E: shows (see docs/simulated-line.md). E.img wins over E.disk.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/DriveSystem.h"

namespace ts {

// Null (reason on the debug output) when `folder` is not a folder.
std::unique_ptr<DriveSystem> MakeSimLine(const std::string& folder);

// The drive letter of a device path "\\.\E:" (upper-cased), if it is one.
std::optional<char> SimLetterOfPath(const char* path);

// Plugs a blank device (`disk`: an ordinary disk) of `sectors` sectors into the
// folder's port `letter` (A-Z). The file is sparse and appears complete, in
// one rename. False with a message when the port already holds that kind of
// file or the file cannot be made.
bool SimPlug(const std::string& folder, char letter, uint64_t sectors, bool disk,
             std::string& error);

// Takes the device at `letter` out (E.img, else E.disk): deletes it, or moves
// it to `keepPath` when given (never over an existing file). False with a
// message when no device is there or it cannot be moved.
bool SimUnplug(const std::string& folder, char letter, const std::string* keepPath,
               std::string& error);

// Plugs the device image at `imagePath` (one that SimUnplug kept) back into
// the port `letter`: moved in under its port name, never over a device that
// is there. False with a message when it cannot be.
bool SimReplug(const std::string& folder, char letter, const std::string& imagePath,
               std::string& error);

// Sets the faults of the port `letter` (the `E.fault` file, replaced in one
// rename); empty `lines` removes the file. They apply at the next open.
bool SimSetFaults(const std::string& folder, char letter, const std::string& lines,
                  std::string& error);

}  // namespace ts
