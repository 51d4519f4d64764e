#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ts {
namespace {

FileKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::Regular;
    if (S_ISDIR(mode)) return FileKind::Folder;
    return FileKind::Special;
}

}  // namespace

FileKind KindOf(const std::string& path, int* err) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (err) *err = errno;
        return errno == ENOENT || errno == ENOTDIR ? FileKind::Missing : FileKind::Unreachable;
    }
    if (err) *err = 0;
    return KindOfMode(st.st_mode);
}

int OpenRegularFile(const std::string& path, FileKind* kind, int* err) {
    FileKind k = KindOf(path, err);
    if (kind) *kind = k;
    if (k != FileKind::Regular) return -1;
    // O_NONBLOCK: the file may have been swapped for a FIFO since the stat.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        if (err) *err = e;
        if (kind && (e == ENOENT || e == ENOTDIR)) *kind = FileKind::Missing;
        return -1;
    }
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        if (kind) *kind = known ? KindOfMode(st.st_mode) : FileKind::Unreachable;
        if (err) *err = known ? 0 : errno;
        ::close(fd);
        return -1;
    }
    // Plain blocking reads from here on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

const char* FileKindText(FileKind kind) {
    switch (kind) {
        case FileKind::Regular:
            return "a file";
        case FileKind::Missing:
            return "missing";
        case FileKind::Folder:
            return "a folder, not a file";
        case FileKind::Special:
            return "a FIFO, socket or device node, not a file";
        case FileKind::Unreachable:
            return "out of reach";
    }
    return "unknown";
}

}  // namespace ts
