#include <fcntl.h>
#include <libudev.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "platform/SgTransport.h"
#include "platform/UdevDrives.h"

namespace ts {
namespace {

namespace fs = std::filesystem;

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }

bool AllOf(std::string_view s, bool (*pred)(char)) {
    return !s.empty() && std::all_of(s.begin(), s.end(), pred);
}

// A single path component that names something inside a folder.
bool IsPlainName(std::string_view s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string_view::npos &&
           s.find('\0') == std::string_view::npos;
}

bool IsSgName(std::string_view s) { return s.starts_with("sg") && AllOf(s.substr(2), IsDigit); }

// Families whose disks are numbered with letters: a … z, aa … az, ba … .
// Longest first, so that "xvda" is not taken for a "vd" disk.
constexpr std::string_view kLetterFamilies[] = {"xvd", "sd", "vd", "hd"};

std::string_view LetterIndex(std::string_view name, std::string_view& family) {
    for (auto f : kLetterFamilies) {
        if (name.starts_with(f) && AllOf(name.substr(f.size()), IsLower)) {
            family = f;
            return name.substr(f.size());
        }
    }
    return {};
}

// Character order, except that runs of digits compare by value.
bool NaturalLess(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && IsDigit(a[ie])) ++ie;
            while (je < b.size() && IsDigit(b[je])) ++je;
            auto da = a.substr(i, ie - i), db = b.substr(j, je - j);
            da.remove_prefix(std::min(da.find_first_not_of('0'), da.size()));
            db.remove_prefix(std::min(db.find_first_not_of('0'), db.size()));
            if (da.size() != db.size()) return da.size() < db.size();
            if (da != db) return da < db;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

void DebugLineW(const char* format, int value) {
    char line[260];
    std::snprintf(line, sizeof line, format, value);
    OutputDebugStringW(Utf8ToWide(line));
}

template <typename T, T* (*Unref)(T*)>
struct Unrefer {
    void operator()(T* p) const { Unref(p); }
};
using UdevPtr = std::unique_ptr<udev, Unrefer<udev, udev_unref>>;
using DevicePtr = std::unique_ptr<udev_device, Unrefer<udev_device, udev_device_unref>>;
using EnumPtr = std::unique_ptr<udev_enumerate, Unrefer<udev_enumerate, udev_enumerate_unref>>;
using MonitorPtr = std::unique_ptr<udev_monitor, Unrefer<udev_monitor, udev_monitor_unref>>;

std::string_view Str(const char* s) { return s ? std::string_view(s) : std::string_view(); }

BlockDiskInfo InfoOf(udev_device* dev) {
    BlockDiskInfo info;
    info.sysname = Str(udev_device_get_sysname(dev));
    info.removable = Str(udev_device_get_sysattr_value(dev, "removable"));
    info.scsiType = Str(udev_device_get_sysattr_value(dev, "device/type"));
    info.usbParent =
        udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device") != nullptr;
    return info;
}

bool SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Events as udevd passes them on, after its rules (and so the node's
// permissions) have been applied.
class UdevEventSource final : public DeviceEventSource {
public:
    UdevEventSource(UdevPtr udev, MonitorPtr monitor)
        : udev_(std::move(udev)), monitor_(std::move(monitor)) {}
    int Fd() const override { return udev_monitor_get_fd(monitor_.get()); }

    std::vector<DeviceEvent> ReadEvents() override {
        std::vector<DeviceEvent> events;
        bool overrun = false;
        for (;;) {
            errno = 0;
            DevicePtr dev(udev_monitor_receive_device(monitor_.get()));
            if (!dev) {
                // Events were dropped: a rescan finds whatever arrived.
                if (errno == ENOBUFS && !overrun) {
                    overrun = true;
                    events.push_back(DeviceEvent::Arrival);
                    continue;
                }
                break;
            }
            if (auto ev = ClassifyUevent(Str(udev_device_get_action(dev.get())),
                                         Str(udev_device_get_subsystem(dev.get())),
                                         Str(udev_device_get_devtype(dev.get())))) {
                events.push_back(*ev);
            }
        }
        return events;
    }

private:
    UdevPtr udev_;
    MonitorPtr monitor_;
};

// The kernel's own uevents, for machines without udevd (containers).
class KernelEventSource final : public DeviceEventSource {
public:
    explicit KernelEventSource(int fd) : fd_(fd) {}
    ~KernelEventSource() override { ::close(fd_); }
    KernelEventSource(const KernelEventSource&) = delete;
    KernelEventSource& operator=(const KernelEventSource&) = delete;
    int Fd() const override { return fd_; }

    std::vector<DeviceEvent> ReadEvents() override {
        std::vector<DeviceEvent> events;
        bool overrun = false;
        char buf[8192];
        for (;;) {
            sockaddr_nl from{};
            iovec iov{buf, sizeof buf};
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == ENOBUFS && !overrun) {
                    overrun = true;
                    events.push_back(DeviceEvent::Arrival);
                    continue;
                }
                break;
            }
            // Only whole messages from the kernel itself (sender port 0).
            if ((msg.msg_flags & MSG_TRUNC) || msg.msg_namelen != sizeof from || from.nl_pid != 0)
                continue;
            if (auto ev = ParseUevent(buf, static_cast<size_t>(n))) events.push_back(*ev);
        }
        return events;
    }

    static std::unique_ptr<DeviceEventSource> Open(int& error) {
        const int fd =
            ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = 1;  // the kernel's group
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
            error = errno;
            ::close(fd);
            return nullptr;
        }
        const int size = 1 << 20;  // a hub's worth of events between two reads
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        return std::make_unique<KernelEventSource>(fd);
    }

private:
    int fd_;
};

class UdevDriveSystem final : public DriveSystem {
public:
    explicit UdevDriveSystem(UdevPaths paths) : paths_(std::move(paths)), udev_(udev_new()) {
        if (!udev_) DebugLineW("udev is not available (error %d): no drives are listed\n", errno);
    }

    std::vector<std::u16string> ListDrives() override {
        struct Found {
            std::string sysname, node;
        };
        std::vector<Found> found;
        if (!udev_) return {};
        EnumPtr en(udev_enumerate_new(udev_.get()));
        if (!en || udev_enumerate_add_match_subsystem(en.get(), "block") < 0 ||
            udev_enumerate_scan_devices(en.get()) < 0) {
            return {};
        }
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
            DevicePtr dev(
                udev_device_new_from_syspath(udev_.get(), udev_list_entry_get_name(entry)));
            if (!dev || Str(udev_device_get_devtype(dev.get())) != "disk") continue;
            BlockDiskInfo info = InfoOf(dev.get());
            if (!IsPlainName(info.sysname) || !IsStationDrive(info)) continue;
            const char* node = udev_device_get_devnode(dev.get());
            found.push_back({info.sysname, node ? node : "/dev/" + info.sysname});
        }
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
            return KernelNameLess(a.sysname, b.sysname);
        });
        std::vector<std::u16string> drives;
        for (const auto& f : found) drives.push_back(Utf8ToWide(f.node));
        return drives;
    }

    unsigned GetDriveType(const std::u16string& root) override {
        const std::string name = BlockNameFromNode(WideToUtf8(root));
        if (name.empty() || !udev_) return kDriveUnknown;
        DevicePtr dev(udev_device_new_from_subsystem_sysname(udev_.get(), "block", name.c_str()));
        if (!dev) return kDriveUnknown;
        if (Str(udev_device_get_devtype(dev.get())) == "disk" && IsStationDrive(InfoOf(dev.get())))
            return kDriveRemovable;
        return kDriveFixed;
    }

    std::string AttachmentId(const std::u16string& root) override {
        const std::string name = BlockNameFromNode(WideToUtf8(root));
        return name.empty() ? std::string() : DiskAttachmentId(paths_.sys, name);
    }

    DriveDetails Details(const std::u16string& root) override {
        DriveDetails d = DriveSystem::Details(root);
        const std::string name = BlockNameFromNode(d.node);
        if (name.empty() || !udev_) return d;
        DevicePtr dev(udev_device_new_from_subsystem_sysname(udev_.get(), "block", name.c_str()));
        if (!dev) return d;
        // The parent is owned by `dev`.
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device");
        if (!usb) return d;
        d.usbSerial = Str(udev_device_get_sysattr_value(usb, "serial"));
        d.usbVendor = Str(udev_device_get_sysattr_value(usb, "idVendor"));
        d.usbProduct = Str(udev_device_get_sysattr_value(usb, "idProduct"));
        return d;
    }

    std::unique_ptr<ScsiTransport> OpenVolume(const char* path, uint32_t access, uint32_t shareMode,
                                              int& lastError) override {
        const std::string name = BlockNameFromNode(path ? path : "");
        if (name.empty()) {
            lastError = ENOENT;
            return nullptr;
        }
        const std::string sg = FindSgName(paths_.sys, name);
        if (sg.empty()) {
            std::error_code ec;
            lastError = fs::exists(paths_.sys + "/class/block/" + name, ec) ? ENODEV : ENOENT;
            return nullptr;
        }
        return OpenSgNode(paths_.dev + "/" + sg, access, shareMode, lastError);
    }

    std::unique_ptr<DeviceEventSource> WatchEvents() override {
        if (udev_ && ::access(paths_.udevControl.c_str(), F_OK) == 0) {
            MonitorPtr mon(udev_monitor_new_from_netlink(udev_.get(), "udev"));
            if (mon &&
                udev_monitor_filter_add_match_subsystem_devtype(mon.get(), "block", "disk") >= 0 &&
                udev_monitor_enable_receiving(mon.get()) >= 0 &&
                SetNonBlocking(udev_monitor_get_fd(mon.get()))) {
                return std::make_unique<UdevEventSource>(UdevPtr(udev_ref(udev_.get())),
                                                         std::move(mon));
            }
            DebugLineW("udev monitor unavailable (error %d): using kernel events\n", errno);
        }
        int error = 0;
        if (auto source = KernelEventSource::Open(error)) return source;
        DebugLineW("WatchEvents: device events cannot be watched (error %d)\n", error);
        return nullptr;
    }

private:
    UdevPaths paths_;
    UdevPtr udev_;
};

}  // namespace

bool IsStationDrive(const BlockDiskInfo& disk) {
    const auto type = Trim(disk.scsiType);
    if (type == "4" || type == "5") return false;  // write-once and CD/DVD drives
    return Trim(disk.removable) == "1" || disk.usbParent;
}

bool KernelNameLess(std::string_view a, std::string_view b) {
    std::string_view fa, fb;
    const auto ia = LetterIndex(a, fa), ib = LetterIndex(b, fb);
    if (!fa.empty() && fa == fb) {
        if (ia.size() != ib.size()) return ia.size() < ib.size();
        return ia < ib;
    }
    return NaturalLess(a, b);
}

std::string BlockNameFromNode(std::string_view node) {
    constexpr std::string_view kDev = "/dev/";
    if (!node.starts_with(kDev)) return {};
    node.remove_prefix(kDev.size());
    return IsPlainName(node) ? std::string(node) : std::string();
}

std::string FindSgName(const std::string& sysRoot, std::string_view blockName) {
    if (!IsPlainName(blockName)) return {};
    const fs::path device = fs::path(sysRoot) / "class/block" / blockName / "device";
    std::error_code ec;
    // Current kernels: device/scsi_generic/sgN.
    for (fs::directory_iterator it(device / "scsi_generic", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsSgName(name)) return name;
    }
    // Kernels with deprecated sysfs layout: device/scsi_generic:sgN.
    constexpr std::string_view kLink = "scsi_generic:";
    ec.clear();
    for (fs::directory_iterator it(device, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(kLink) && IsSgName(name.substr(kLink.size())))
            return name.substr(kLink.size());
    }
    return {};
}

std::string DiskAttachmentId(const std::string& sysRoot, std::string_view blockName) {
    if (!IsPlainName(blockName)) return {};
    const std::string dir = sysRoot + "/class/block/" + std::string(blockName);
    if (FILE* f = std::fopen((dir + "/diskseq").c_str(), "re")) {
        char text[32] = {};
        const size_t n = std::fread(text, 1, sizeof text - 1, f);
        std::fclose(f);
        const std::string_view seq = Trim(std::string_view(text, n));
        if (AllOf(seq, IsDigit)) return "seq:" + std::string(seq);
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return {};
    return "sys:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::optional<DeviceEvent> ClassifyUevent(std::string_view action, std::string_view subsystem,
                                          std::string_view devtype) {
    if (subsystem != "block" || devtype != "disk") return std::nullopt;
    if (action == "add") return DeviceEvent::Arrival;
    if (action == "remove") return DeviceEvent::Removal;
    return std::nullopt;
}

std::optional<DeviceEvent> ParseUevent(const char* message, size_t length) {
    if (!message) return std::nullopt;
    std::string_view rest(message, length);
    auto next = [&rest]() {
        const size_t end = rest.find('\0');
        std::string_view field = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        return field;
    };
    // "action@devpath"; udevd's own messages begin differently.
    const std::string_view header = next();
    const size_t at = header.find('@');
    if (at == std::string_view::npos || at == 0) return std::nullopt;
    std::string_view action = header.substr(0, at), subsystem, devtype;
    while (!rest.empty()) {
        const std::string_view field = next();
        if (field.starts_with("ACTION="))
            action = field.substr(7);
        else if (field.starts_with("SUBSYSTEM="))
            subsystem = field.substr(10);
        else if (field.starts_with("DEVTYPE="))
            devtype = field.substr(8);
    }
    return ClassifyUevent(action, subsystem, devtype);
}

std::unique_ptr<DriveSystem> MakeUdevDrives(UdevPaths paths) {
    return std::make_unique<UdevDriveSystem>(std::move(paths));
}

}  // namespace ts
