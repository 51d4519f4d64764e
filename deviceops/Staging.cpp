#include "deviceops/Staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Codepage.h"

namespace ts::flow {
namespace {

// Trailing dots and spaces are not part of a FAT name.
std::u16string_view Trimmed(std::u16string_view name) {
    while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
    return name;
}

bool FatCanHold(std::u16string_view name) {
    name = Trimmed(name);
    if (name.empty() || name.size() > 255) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (c < 0x20) return false;
        if (c < 0x80 && std::strchr("\"*:<>?|", static_cast<char>(c))) return false;
        // Long names are UTF-16: a surrogate must be one half of a pair.
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool IsLinkAt(int dirFd, const std::string& name) {
    struct stat st {};
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Opens the folder `name` in dirFd without following a link.
Staged OpenFolder(int dirFd, const std::string& name, bool create, Fd* out) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            out->Reset(fd);
            return Staged::kOk;
        }
        const int err = errno;
        if (IsLinkAt(dirFd, name)) return Staged::kLink;
        if (err != ENOENT) return Staged::kFailed;
        if (!create) return Staged::kNoFolder;
        if (::mkdirat(dirFd, name.c_str(), 0777) != 0 && errno != EEXIST) return Staged::kFailed;
    }
    return Staged::kFailed;
}

Staged ReplaceFile(int dirFd, const std::string& name, const std::function<bool(int)>& fill) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return Staged::kLink;
        if (S_ISDIR(st.st_mode) || ::unlinkat(dirFd, name.c_str(), 0) != 0) return Staged::kFailed;
    } else if (errno != ENOENT) {
        return Staged::kFailed;
    }
    // O_EXCL: whatever was put there since is never opened, let alone followed.
    int fd =
        ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return IsLinkAt(dirFd, name) ? Staged::kLink : Staged::kFailed;
    bool ok = fill(fd);
    if (::close(fd) != 0) ok = false;
    return ok ? Staged::kOk : Staged::kFailed;
}

}  // namespace

StagePath ParseConfigPath(std::u16string_view value, bool ansi) {
    StagePath out;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find_first_of(u"\\/", start);
        if (end == std::u16string_view::npos) end = value.size();
        std::u16string_view part = value.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            out.status = StagePath::kOutside;
            return out;
        }
        if (!FatCanHold(part) || (ansi && AnsiToWide(WideToAnsi(part)) != part)) {
            out.status = StagePath::kBadName;
            return out;
        }
        out.parts.emplace_back(part);
    }
    return out;
}

std::u16string ImageKey(const std::vector<std::u16string>& parts) {
    std::u16string key;
    for (const auto& p : parts) {
        key += u'\\';
        for (char16_t c : Trimmed(p))
            key += (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
    }
    return key;
}

StageOutcome StageFile(const std::string& appDir, const std::vector<std::u16string>& parts,
                       bool makeFolders, const std::function<bool(int fd)>& fill) {
    StageOutcome out;
    out.where = appDir + "prvdata";
    // The application folder itself may be reached through links (that is
    // the installation's choice); below it, nothing is followed.
    Fd app(::open(appDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (app.Get() < 0) return out;
    Fd dir;
    out.result = OpenFolder(app.Get(), "prvdata", true, &dir);
    if (out.result != Staged::kOk) return out;
    if (parts.empty()) {
        out.result = Staged::kFailed;  // the staging folder itself is no file
        return out;
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const std::string name = WideToUtf8(parts[i]);
        out.where += "/" + name;
        Fd next;
        out.result = OpenFolder(dir.Get(), name, makeFolders, &next);
        if (out.result != Staged::kOk) return out;
        dir.Reset(next.Release());
    }
    const std::string name = WideToUtf8(parts.back());
    out.where += "/" + name;
    out.result = ReplaceFile(dir.Get(), name, fill);
    return out;
}

}  // namespace ts::flow
