#pragma once
// The machine's drives as device discovery sees them: the drive list (roots
// in the system's order), each drive's type, a way to open a volume, and the
// arrival/removal events. One implementation per backend: real drives
// (udev, SG_IO) and a simulated line (a folder).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ScsiCommand.h"

namespace ts {

constexpr unsigned kDriveUnknown = 0;
constexpr unsigned kDriveRemovable = 2;
constexpr unsigned kDriveFixed = 3;

enum class DeviceEvent { Arrival, Removal };

// Arrival and removal events. Fd() becomes readable when events may be
// pending; ReadEvents() never blocks and returns them in order.
class DeviceEventSource {
public:
    virtual ~DeviceEventSource() = default;
    virtual int Fd() const = 0;
    virtual std::vector<DeviceEvent> ReadEvents() = 0;
};

// What the platform tells about the device at a drive, for the journal.
// UTF-8; empty where unknown.
struct DriveDetails {
    std::string node;  // device node or drive
    std::string usbSerial;
    std::string usbVendor;
    std::string usbProduct;
    std::string port;  // the port on a simulated line
};

class DriveSystem : public VolumeOpener {
public:
    // Root paths in the system's order, as GetLogicalDriveStrings lists them
    // ("E:\" for a letter drive, the node "/dev/sdb" for a real drive).
    virtual std::vector<std::u16string> ListDrives() = 0;
    virtual unsigned GetDriveType(const std::u16string& root) = 0;
    // Tells one attachment of the device at `root` from the next: the same
    // text while it stays attached, another once it has been unplugged and
    // plugged in again. Empty when that cannot be told; discovery then takes
    // the drive for a new arrival at every scan.
    virtual std::string AttachmentId(const std::u16string& root) {
        (void)root;
        return {};
    }
    // The device at `root`; the default knows only the root itself.
    virtual DriveDetails Details(const std::u16string& root);
    // Null when events cannot be watched (reason on the debug output).
    virtual std::unique_ptr<DeviceEventSource> WatchEvents() = 0;
};

// The machine's own removable drives (libudev, SG_IO).
std::unique_ptr<DriveSystem> MakeSystemDrives();

}  // namespace ts
