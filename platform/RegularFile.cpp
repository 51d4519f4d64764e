#include "platform/RegularFile.h"

#include <cerrno>

#include "platform/Files.h"

namespace ts {
namespace {

FileKind KindOfStatus(const files::Status& st) {
    switch (st.kind) {
        case files::Kind::Regular:
            return FileKind::Regular;
        case files::Kind::Folder:
            return FileKind::Folder;
        case files::Kind::Missing:
            return FileKind::Missing;
        default:
            return FileKind::Special;
    }
}

}  // namespace

FileKind KindOf(const std::string& path, int* err) {
    files::Status st;
    if (!files::StatPath(path, true, &st)) {
        if (err) *err = errno;
        return errno == ENOENT || errno == ENOTDIR ? FileKind::Missing : FileKind::Unreachable;
    }
    if (err) *err = 0;
    return KindOfStatus(st);
}

int OpenRegularFile(const std::string& path, FileKind* kind, int* err) {
    FileKind k = KindOf(path, err);
    if (kind) *kind = k;
    if (k != FileKind::Regular) return -1;
    // Not blocking: the file may have been swapped for a FIFO since the stat.
    const int fd = files::Open(path, files::kRead | files::kNonBlock);
    if (fd < 0) {
        const int e = errno;
        if (err) *err = e;
        if (kind && (e == ENOENT || e == ENOTDIR)) *kind = FileKind::Missing;
        return -1;
    }
    files::Status st;
    const bool known = files::StatFd(fd, &st);
    if (!known || st.kind != files::Kind::Regular) {
        if (kind) *kind = known ? KindOfStatus(st) : FileKind::Unreachable;
        if (err) *err = known ? 0 : errno;
        files::Close(fd);
        return -1;
    }
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
