#include "sim/SimLine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"
#include "sim/SimDevice.h"
#include "sim/SimFaults.h"

namespace ts {
namespace {

constexpr char kImageSuffix[] = ".img";
constexpr char kDiskSuffix[] = ".disk";
constexpr char kFaultSuffix[] = ".fault";

enum class Port { Empty, Image, Disk };

bool IsLetter(char c) { return c >= 'A' && c <= 'Z'; }

// "E.img" or "E.disk": the letter, else 0.
char DeviceFileLetter(const char* name) {
    if (!IsLetter(name[0]) || name[1] != '.') return 0;
    if (std::strcmp(name + 1, kImageSuffix) == 0 || std::strcmp(name + 1, kDiskSuffix) == 0)
        return name[0];
    return 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string PortFile(const std::string& dir, char letter, const char* suffix) {
    return dir + letter + suffix;
}

Port Probe(const std::string& dir, char letter) {
    if (IsRegularFile(PortFile(dir, letter, kImageSuffix))) return Port::Image;
    if (IsRegularFile(PortFile(dir, letter, kDiskSuffix))) return Port::Disk;
    return Port::Empty;
}

void Debug(const std::string& text) { OutputDebugStringA((text + "\n").c_str()); }

// Renames without replacing an existing file. Where the file system cannot
// do that in one step, a hard link does it (the watcher reports both).
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

// The identity of the file at `path` (of a link itself unless `follow`):
// device and inode, with the file handle where the file system gives one (it
// holds the inode's generation, so a freed inode number that the next file
// gets still counts as another file) and the birth time. Empty when it is
// not there.
std::string FileIdentity(const std::string& path, bool follow) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME,
                &st) != 0)
        return {};
    std::string id = std::to_string(st.stx_dev_major) + "." + std::to_string(st.stx_dev_minor) +
                     "." + std::to_string(st.stx_ino);
    if (st.stx_mask & STATX_BTIME)
        id +=
            "@" + std::to_string(st.stx_btime.tv_sec) + "." + std::to_string(st.stx_btime.tv_nsec);
    std::vector<unsigned char> buf(sizeof(file_handle) + MAX_HANDLE_SZ);
    auto* handle = reinterpret_cast<file_handle*>(buf.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountId,
                            follow ? AT_SYMLINK_FOLLOW : 0) == 0) {
        static const char kHex[] = "0123456789abcdef";
        const unsigned char* bytes = buf.data() + offsetof(file_handle, f_handle);
        id += "#";
        for (unsigned i = 0; i < handle->handle_bytes && i < MAX_HANDLE_SZ; ++i) {
            id += kHex[bytes[i] >> 4];
            id += kHex[bytes[i] & 15];
        }
    }
    return id;
}

class FolderEvents : public DeviceEventSource {
public:
    FolderEvents(int fd, std::string dir) : fd_(fd), dir_(std::move(dir)) {}
    ~FolderEvents() override { ::close(fd_); }
    FolderEvents(const FolderEvents&) = delete;
    FolderEvents& operator=(const FolderEvents&) = delete;

    int Fd() const override { return fd_; }

    std::vector<DeviceEvent> ReadEvents() override {
        std::vector<DeviceEvent> events;
        alignas(inotify_event) char buf[8192];
        for (;;) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            size_t pos = 0;
            while (pos + sizeof(inotify_event) <= static_cast<size_t>(n)) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + pos);
                size_t next = pos + sizeof(inotify_event) + ev->len;
                if (next > static_cast<size_t>(n)) break;
                Handle(*ev, events);
                pos = next;
            }
        }
        return events;
    }

private:
    void Handle(const inotify_event& ev, std::vector<DeviceEvent>& events) {
        if (ev.mask & IN_Q_OVERFLOW) {
            // Events were lost: have the owner rescan.
            events.push_back(DeviceEvent::Arrival);
            return;
        }
        if (ev.len == 0 || (ev.mask & IN_ISDIR)) return;
        std::string name(ev.name, strnlen(ev.name, ev.len));
        if (!DeviceFileLetter(name.c_str())) return;
        if (ev.mask & IN_CREATE) {
            // A file being written is reported when it is closed; a link to
            // a finished file (symbolic or hard) is complete at once.
            struct stat st;
            std::string path = dir_ + name;
            if (::lstat(path.c_str(), &st) == 0 && (S_ISLNK(st.st_mode) || st.st_nlink > 1)) {
                events.push_back(DeviceEvent::Arrival);
            } else {
                pending_.insert(name);
            }
        } else if (ev.mask & IN_CLOSE_WRITE) {
            if (pending_.erase(name)) events.push_back(DeviceEvent::Arrival);
        } else if (ev.mask & IN_MOVED_TO) {
            pending_.erase(name);
            events.push_back(DeviceEvent::Arrival);
        } else if (ev.mask & (IN_DELETE | IN_MOVED_FROM)) {
            // A file that never became complete never arrived.
            if (!pending_.erase(name)) events.push_back(DeviceEvent::Removal);
        }
    }

    int fd_;
    std::string dir_;
    std::set<std::string> pending_;
};

class FolderLine : public DriveSystem {
public:
    explicit FolderLine(std::string dir) : dir_(std::move(dir)) {}

    std::vector<std::u16string> ListDrives() override {
        bool present[26] = {};
        if (DIR* d = ::opendir(dir_.c_str())) {
            while (dirent* e = ::readdir(d)) {
                char letter = DeviceFileLetter(e->d_name);
                if (letter && IsRegularFile(dir_ + e->d_name)) present[letter - 'A'] = true;
            }
            ::closedir(d);
        } else {
            Debug("SimLine: cannot list " + dir_ + ": " + std::strerror(errno));
        }
        std::vector<std::u16string> roots;
        for (int i = 0; i < 26; ++i) {
            if (present[i]) roots.push_back({static_cast<char16_t>(u'A' + i), u':', u'\\'});
        }
        return roots;
    }

    unsigned GetDriveType(const std::u16string& root) override {
        bool wellFormed = (root.size() == 2 || (root.size() == 3 && root[2] == u'\\')) &&
                          root[0] >= u'A' && root[0] <= u'Z' && root[1] == u':';
        if (!wellFormed) return kDriveUnknown;
        char letter = static_cast<char>(root[0]);
        return Probe(dir_, letter) == Port::Empty ? kDriveUnknown : kDriveRemovable;
    }

    std::unique_ptr<ScsiTransport> OpenVolume(const char* path, uint32_t access, uint32_t,
                                              int& lastError) override {
        auto letter = SimLetterOfPath(path);
        Port port = letter ? Probe(dir_, *letter) : Port::Empty;
        if (port == Port::Empty) {
            lastError = ENOENT;
            return nullptr;
        }
        SimFaults faults = LoadSimFaults(PortFile(dir_, *letter, kFaultSuffix));
        if (faults.openFails) {
            lastError = faults.openErrno;
            return nullptr;
        }
        bool writable = (access & kGenericWrite) != 0;
        auto file = PortFile(dir_, *letter, port == Port::Image ? kImageSuffix : kDiskSuffix);
        std::unique_ptr<FileStorage> storage = FileStorage::Open(file, writable, lastError);
        // One program at a time works on a device, as with real drives.
        if (!storage || !storage->Lock(lastError)) return nullptr;
        return std::make_unique<SimDevice>(std::move(storage), std::move(faults),
                                           port == Port::Image, writable);
    }

    // The port file's identity, and that of the file it links to: a device
    // plugged in again is a new file (or a new link) even under the same
    // name.
    DriveDetails Details(const std::u16string& root) override {
        DriveDetails d = DriveSystem::Details(root);
        if (GetDriveType(root) == kDriveRemovable)
            d.port = std::string(1, static_cast<char>(root[0]));
        return d;
    }

    std::string AttachmentId(const std::u16string& root) override {
        if (GetDriveType(root) != kDriveRemovable) return {};
        const char letter = static_cast<char>(root[0]);
        const Port port = Probe(dir_, letter);
        if (port == Port::Empty) return {};
        const std::string file =
            PortFile(dir_, letter, port == Port::Image ? kImageSuffix : kDiskSuffix);
        const std::string link = FileIdentity(file, false);
        const std::string target = FileIdentity(file, true);
        if (link.empty() || target.empty()) return {};
        return (port == Port::Image ? "img " : "disk ") + link + " " + target;
    }

    std::unique_ptr<DeviceEventSource> WatchEvents() override {
        int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            Debug(std::string("SimLine: inotify_init1: ") + std::strerror(errno));
            return nullptr;
        }
        uint32_t mask =
            IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
        if (::inotify_add_watch(fd, dir_.c_str(), mask) < 0) {
            Debug("SimLine: cannot watch " + dir_ + ": " + std::strerror(errno));
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<FolderEvents>(fd, dir_);
    }

private:
    std::string dir_;  // ends in '/'
};

}  // namespace

std::optional<char> SimLetterOfPath(const char* path) {
    if (!path || std::strlen(path) != 6 || std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':')
        return std::nullopt;
    char c = path[4];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!IsLetter(c)) return std::nullopt;
    return c;
}

std::unique_ptr<DriveSystem> MakeSimLine(const std::string& folder) {
    struct stat st;
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Debug("SimLine: not a folder: " + folder);
        return nullptr;
    }
    return std::make_unique<FolderLine>(folder.back() == '/' ? folder : folder + "/");
}

bool SimPlug(const std::string& folder, char letter, uint64_t sectors, bool disk,
             std::string& error) {
    if (!IsLetter(letter)) {
        error = "drive letter must be A-Z";
        return false;
    }
    if (sectors == 0 || sectors > UINT32_MAX) {
        error = "sector count must be 1 to 4294967295";
        return false;
    }
    std::string dir = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    std::string name = std::string(1, letter) + (disk ? kDiskSuffix : kImageSuffix);
    std::string target = dir + name;
    std::string temp = dir + "." + name + ".new-" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    int err = 0;
    if (::ftruncate(fd, static_cast<off_t>(sectors * kSimSector)) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0) err = RenameNoReplace(temp, target);
    if (err != 0) {
        ::unlink(temp.c_str());
        error = err == EEXIST ? target + " already exists"
                              : "cannot create " + target + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool SimUnplug(const std::string& folder, char letter, const std::string* keepPath,
               std::string& error) {
    if (!IsLetter(letter)) {
        error = "drive letter must be A-Z";
        return false;
    }
    std::string dir = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    Port port = Probe(dir, letter);
    if (port == Port::Empty) {
        error = std::string("no device at ") + letter + ":";
        return false;
    }
    std::string file = PortFile(dir, letter, port == Port::Image ? kImageSuffix : kDiskSuffix);
    if (!keepPath) {
        if (::unlink(file.c_str()) != 0) {
            error = "cannot remove " + file + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    int err = RenameNoReplace(file, *keepPath);
    if (err == EXDEV) {
        // Another file system: copy (never over an existing file), then remove.
        std::error_code ec;
        std::filesystem::copy_file(file, *keepPath, std::filesystem::copy_options::none, ec);
        err = ec ? ec.value() : 0;
        if (!err && ::unlink(file.c_str()) != 0) err = errno;
    }
    if (err != 0) {
        error = err == EEXIST
                    ? *keepPath + " already exists"
                    : "cannot move " + file + " to " + *keepPath + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool SimReplug(const std::string& folder, char letter, const std::string& imagePath,
               std::string& error) {
    if (!IsLetter(letter)) {
        error = "drive letter must be A-Z";
        return false;
    }
    std::string dir = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    if (!IsRegularFile(imagePath)) {
        error = "no device image at " + imagePath;
        return false;
    }
    const std::string target = PortFile(dir, letter, kImageSuffix);
    const int err = RenameNoReplace(imagePath, target);
    if (err != 0) {
        error = err == EEXIST
                    ? target + " already exists"
                    : "cannot move " + imagePath + " to " + target + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool SimSetFaults(const std::string& folder, char letter, const std::string& lines,
                  std::string& error) {
    if (!IsLetter(letter)) {
        error = "drive letter must be A-Z";
        return false;
    }
    std::string dir = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    const std::string target = PortFile(dir, letter, kFaultSuffix);
    if (lines.empty()) {
        if (::unlink(target.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove " + target + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    const std::string temp = target + ".new-" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    int err = 0;
    for (size_t at = 0; at < lines.size() && err == 0;) {
        const ssize_t n = ::write(fd, lines.data() + at, lines.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = n < 0 ? errno : EIO;
        else
            at += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        error = "cannot write " + target + ": " + std::strerror(err);
        return false;
    }
    return true;
}

}  // namespace ts
