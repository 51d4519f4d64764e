#include "Storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ts::volkit {

std::unique_ptr<FileStorage> FileStorage::Open(const std::string& path) {
    bool writable = true;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        writable = false;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = e;
        return nullptr;
    }
    return std::unique_ptr<FileStorage>(
        new FileStorage(fd, static_cast<uint64_t>(st.st_size), writable));
}

FileStorage::~FileStorage() { close(fd_); }

int64_t FileStorage::ReadAt(uint64_t off, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd_, p + done, n - done, static_cast<off_t>(off + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

bool FileStorage::WriteAt(uint64_t off, const void* buf, size_t n) {
    if (!writable_) {
        errno = EROFS;
        return false;
    }
    const auto* p = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = pwrite(fd_, p + done, n - done, static_cast<off_t>(off + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(r);
    }
    if (off + n > size_) size_ = off + n;
    return true;
}

bool FileStorage::Resize(uint64_t n) {
    if (!writable_) {
        errno = EROFS;
        return false;
    }
    if (ftruncate(fd_, static_cast<off_t>(n)) != 0) return false;
    size_ = n;
    return true;
}

int64_t MemoryStorage::ReadAt(uint64_t off, void* buf, size_t n) {
    if (off >= bytes_.size()) return 0;
    size_t k = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - off));
    std::memcpy(buf, bytes_.data() + off, k);
    return static_cast<int64_t>(k);
}

bool MemoryStorage::WriteAt(uint64_t off, const void* buf, size_t n) {
    if (off > limit_ || n > limit_ - off) {
        errno = ENOSPC;
        return false;
    }
    if (off + n > bytes_.size()) bytes_.resize(off + n);
    std::memcpy(bytes_.data() + off, buf, n);
    return true;
}

bool MemoryStorage::Resize(uint64_t n) {
    if (n > limit_) {
        errno = ENOSPC;
        return false;
    }
    bytes_.resize(n);
    return true;
}

}  // namespace ts::volkit
