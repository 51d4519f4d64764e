#pragma once
// The machine's own drives on Linux: removable disks listed through libudev,
// opened through their SCSI generic node, and their arrival and removal
// watched through udev (or the kernel's own uevents where no udev daemon
// runs). The text handling is kept apart from the system calls so that it
// can be checked on canned text and a fake sysfs tree.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DriveSystem.h"

namespace ts {

// What decides whether a block disk is offered to device discovery.
struct BlockDiskInfo {
    std::string sysname;     // "sdb"
    std::string removable;   // the sysfs attribute "removable" as read
    std::string scsiType;    // the SCSI peripheral type ("device/type"), empty if none
    bool usbParent = false;  // attached through USB
};

// A disk counts when it says it is removable or sits behind USB (USB disks
// with a fixed medium report removable 0), and is not an optical drive.
bool IsStationDrive(const BlockDiskInfo& disk);

// The order in which the kernel hands out names: sda … sdz, sdaa …; digits
// compare by value (mmcblk2 before mmcblk10).
bool KernelNameLess(std::string_view a, std::string_view b);

// "/dev/sdb" → "sdb"; empty unless the text is a plain name under /dev.
std::string BlockNameFromNode(std::string_view node);

// The SCSI generic name ("sg2") of a block disk, found below `sysRoot`
// (normally "/sys"); empty when it has none (sg not loaded, not SCSI).
std::string FindSgName(const std::string& sysRoot, std::string_view blockName);

// What tells one attachment of a block disk from the next, read below
// `sysRoot`: the kernel's disk sequence number ("diskseq", never reused while
// the machine runs), else the identity of the disk's sysfs folder (made anew
// at each attachment). Empty when the disk is not there.
std::string DiskAttachmentId(const std::string& sysRoot, std::string_view blockName);

// A disk's "add" is an arrival and its "remove" a removal; partitions and
// everything else are no event.
std::optional<DeviceEvent> ClassifyUevent(std::string_view action, std::string_view subsystem,
                                          std::string_view devtype);

// One kernel uevent message ("add@/devices/…" then KEY=VALUE fields, each
// ending in a zero byte) as received from the netlink socket.
std::optional<DeviceEvent> ParseUevent(const char* message, size_t length);

struct UdevPaths {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string udevControl = "/run/udev/control";  // present while udevd runs
};

std::unique_ptr<DriveSystem> MakeUdevDrives(UdevPaths paths = {});

}  // namespace ts
