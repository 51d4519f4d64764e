#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "platform/Files.h"

namespace ts::files {
namespace {

int NativeFlags(unsigned flags) {
    int f = O_CLOEXEC | O_NOCTTY;
    if ((flags & kReadWrite) == kReadWrite)
        f |= O_RDWR;
    else if (flags & kWrite)
        f |= O_WRONLY;
    else
        f |= O_RDONLY;
    if (flags & kCreate) f |= O_CREAT;
    if (flags & kExclusive) f |= O_EXCL;
    if (flags & kTruncate) f |= O_TRUNC;
    if (flags & kNoFollow) f |= O_NOFOLLOW;
    if (flags & kNonBlock) f |= O_NONBLOCK;
    return f;
}

Kind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return Kind::Regular;
    if (S_ISDIR(mode)) return Kind::Folder;
    if (S_ISLNK(mode)) return Kind::Link;
    return Kind::Special;
}

void Fill(const struct stat& st, Status* out) {
    out->kind = KindOfMode(st.st_mode);
    out->size = static_cast<uint64_t>(st.st_size);
    out->mtime = st.st_mtime;
    out->mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    out->identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    out->links = st.st_nlink;
    out->stream = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
}

void MakeBlocking(int fd, unsigned flags) {
    if (fd >= 0 && (flags & kNonBlock)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

class PosixFolder final : public Folder {
public:
    explicit PosixFolder(int fd) : fd_(fd) {}
    ~PosixFolder() override { ::close(fd_); }
    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    bool Stat(Status* out) override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return false;
        Fill(st, out);
        return true;
    }

    bool List(std::vector<std::string>* names) override {
        // A descriptor of its own for the listing, so that closing it leaves fd_ open.
        const int listFd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listFd < 0) return false;
        DIR* dir = ::fdopendir(listFd);
        if (!dir) {
            const int err = errno;
            ::close(listFd);
            errno = err;
            return false;
        }
        names->clear();
        errno = 0;
        while (struct dirent* de = ::readdir(dir)) {
            std::string n = de->d_name;
            if (n != "." && n != "..") names->push_back(std::move(n));
        }
        const int err = errno;
        ::closedir(dir);
        errno = err;
        return err == 0;
    }

    bool StatChild(const std::string& name, Status* out) override {
        struct stat st {};
        if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            out->kind = Kind::Missing;
            return false;
        }
        Fill(st, out);
        return true;
    }

    std::unique_ptr<Folder> OpenChild(const std::string& name) override {
        const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::make_unique<PosixFolder>(fd);
    }

    int OpenChildFile(const std::string& name) override {
        const int fd =
            ::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        MakeBlocking(fd, kNonBlock);
        return fd;
    }

    int CreateChildFile(const std::string& name) override {
        return ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0666);
    }

    int MakeChild(const std::string& name) override {
        return ::mkdirat(fd_, name.c_str(), 0777) == 0 ? 0 : errno;
    }

    int RemoveChildFile(const std::string& name) override {
        return ::unlinkat(fd_, name.c_str(), 0) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

}  // namespace

int Open(const std::string& path, unsigned flags) {
    const int fd = ::open(path.c_str(), NativeFlags(flags), 0666);
    MakeBlocking(fd, flags);
    return fd;
}

int Close(int fd) { return ::close(fd); }

long long Read(int fd, void* buf, size_t n) {
    for (;;) {
        const ssize_t r = ::read(fd, buf, n);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

long long Write(int fd, const void* buf, size_t n) {
    for (;;) {
        const ssize_t r = ::write(fd, buf, n);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

long long ReadAt(int fd, void* buf, size_t n, uint64_t offset) {
    for (;;) {
        const ssize_t r = ::pread(fd, buf, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

long long WriteAt(int fd, const void* buf, size_t n, uint64_t offset) {
    for (;;) {
        const ssize_t r = ::pwrite(fd, buf, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

bool WriteAll(int fd, const void* buf, size_t n) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        const long long w = Write(fd, p, n);
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::FILE* OpenStream(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

bool Sync(int fd) { return ::fsync(fd) == 0; }

bool Truncate(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool StatPath(const std::string& path, bool follow, Status* out) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
        out->kind = Kind::Missing;
        return false;
    }
    Fill(st, out);
    return true;
}

bool StatFd(int fd, Status* out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    Fill(st, out);
    return true;
}

bool TryLock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }

int Remove(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno; }

int RemoveFolder(const std::string& path) { return ::rmdir(path.c_str()) == 0 ? 0 : errno; }

int Rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
    // The file system cannot rename without replacing: a hard link fails
    // just as cleanly when the name is taken.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

int SyncFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
    DIR* d = ::opendir(path.c_str());
    if (!d) return false;
    names->clear();
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names->push_back(std::move(n));
    }
    const int err = errno;
    ::closedir(d);
    errno = err;
    return err == 0;
}

long ProcessId() { return static_cast<long>(::getpid()); }

std::unique_ptr<Folder> Folder::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixFolder>(fd);
}

}  // namespace ts::files

namespace ts::files {

int ReplaceWhole(const std::string& path, std::string_view bytes) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string base = dir + (slash == std::string::npos ? "/." : ".") + name + ".tmp-" +
                             std::to_string(::getpid());
    struct stat old {};
    const bool hadOld = ::stat(path.c_str(), &old) == 0;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = base + "-" + std::to_string(attempt);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return errno;
    if (hadOld) {
        // Keep the original's owner and mode; the owner may be out of reach,
        // which is not worth failing a save for.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        }
        ::fchmod(fd, old.st_mode & 07777);
    }
    int err = 0;
    if (!WriteAll(fd, bytes.data(), bytes.size()) || ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return err;
    }
    // Make the rename itself durable.
    SyncFolder(dir);
    return 0;
}

std::string ResolveLink(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            std::string r(real);
            std::free(real);
            return r;
        }
    }
    return path;
}

bool MayWrite(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

// Device and inode, with the file handle where the file system gives one (it
// holds the inode's generation, so a freed inode number that the next file
// gets still counts as another file) and the birth time.
std::string LastingIdentity(const std::string& path, bool follow) {
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

}  // namespace ts::files
