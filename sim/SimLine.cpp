#include "sim/SimLine.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/DeviceControl.h"
#include "platform/DebugOut.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"
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
    files::Status st;
    return files::StatPath(path, true, &st) && st.kind == files::Kind::Regular;
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

// Copies `from` to a new file `to` (never over an existing one); 0 or errno.
int CopyNew(const std::string& from, const std::string& to) {
    const int in = files::Open(from, files::kRead);
    if (in < 0) return errno;
    const int out = files::Open(to, files::kWrite | files::kCreate | files::kExclusive);
    if (out < 0) {
        const int e = errno;
        files::Close(in);
        return e;
    }
    std::vector<char> buf(65536);
    int err = 0;
    for (;;) {
        const long long n = files::Read(in, buf.data(), buf.size());
        if (n < 0) err = errno;
        if (n <= 0) break;
        if (!files::WriteAll(out, buf.data(), static_cast<size_t>(n))) {
            err = errno;
            break;
        }
    }
    files::Close(in);
    if (files::Close(out) != 0 && err == 0) err = errno;
    if (err != 0) files::Remove(to);
    return err;
}

// Device files coming and going in the line's folder.
class FolderEvents : public DeviceEventSource {
public:
    explicit FolderEvents(std::unique_ptr<FolderWatch> watch) : watch_(std::move(watch)) {}

    int Fd() const override { return watch_->Get(); }

    std::vector<DeviceEvent> ReadEvents() override {
        std::vector<DeviceEvent> events;
        for (const FolderChange& c : watch_->Read()) {
            if (c.kind == FolderChange::Overflow) {
                // Events were lost: have the owner rescan.
                events.push_back(DeviceEvent::Arrival);
            } else if (DeviceFileLetter(c.name.c_str())) {
                events.push_back(c.kind == FolderChange::Added ? DeviceEvent::Arrival
                                                               : DeviceEvent::Removal);
            }
        }
        return events;
    }

private:
    std::unique_ptr<FolderWatch> watch_;
};

class FolderLine : public DriveSystem {
public:
    explicit FolderLine(std::string dir) : dir_(std::move(dir)) {}

    std::vector<std::u16string> ListDrives() override {
        bool present[26] = {};
        std::vector<std::string> names;
        if (files::ListFolder(dir_, &names)) {
            for (const std::string& n : names) {
                char letter = DeviceFileLetter(n.c_str());
                if (letter && IsRegularFile(dir_ + n)) present[letter - 'A'] = true;
            }
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
        const std::string link = files::LastingIdentity(file, false);
        const std::string target = files::LastingIdentity(file, true);
        if (link.empty() || target.empty()) return {};
        return (port == Port::Image ? "img " : "disk ") + link + " " + target;
    }

    std::unique_ptr<DeviceEventSource> WatchEvents() override {
        std::string error;
        std::unique_ptr<FolderWatch> watch = WatchFolder(dir_, &error);
        if (!watch) {
            Debug("SimLine: " + error);
            return nullptr;
        }
        return std::make_unique<FolderEvents>(std::move(watch));
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
    files::Status st;
    if (folder.empty() || !files::StatPath(folder, true, &st) || st.kind != files::Kind::Folder) {
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
    std::string temp = dir + "." + name + ".new-" + std::to_string(files::ProcessId());
    int fd = files::Open(temp, files::kWrite | files::kCreate | files::kExclusive);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    int err = 0;
    if (!files::Truncate(fd, sectors * kSimSector)) err = errno;
    if (files::Close(fd) != 0 && err == 0) err = errno;
    if (err == 0) err = files::RenameNoReplace(temp, target);
    if (err != 0) {
        files::Remove(temp);
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
        if (const int e = files::Remove(file)) {
            error = "cannot remove " + file + ": " + std::strerror(e);
            return false;
        }
        return true;
    }
    int err = files::RenameNoReplace(file, *keepPath);
    if (err == EXDEV) {
        // Another file system: copy (never over an existing file), then remove.
        err = CopyNew(file, *keepPath);
        if (!err) err = files::Remove(file);
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
    const int err = files::RenameNoReplace(imagePath, target);
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
        const int e = files::Remove(target);
        if (e != 0 && e != ENOENT) {
            error = "cannot remove " + target + ": " + std::strerror(e);
            return false;
        }
        return true;
    }
    const std::string temp = target + ".new-" + std::to_string(files::ProcessId());
    int fd = files::Open(temp, files::kWrite | files::kCreate | files::kTruncate);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    int err = 0;
    if (!files::WriteAll(fd, lines.data(), lines.size())) err = errno;
    if (files::Close(fd) != 0 && err == 0) err = errno;
    if (err == 0) err = files::Rename(temp, target);
    if (err != 0) {
        files::Remove(temp);
        error = "cannot write " + target + ": " + std::strerror(err);
        return false;
    }
    return true;
}

}  // namespace ts
