#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <climits>

#include "platform/Files.h"
#include "platform/WinText.h"

namespace ts {
namespace win {

int ErrnoOf(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_PRIVILEGE_NOT_HELD:
            return EACCES;
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_READY:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
            return ENODEV;
        case ERROR_BUSY:
        case ERROR_DRIVE_LOCKED:
            return EBUSY;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return ENOSYS;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        case ERROR_SEM_TIMEOUT:
            return ETIMEDOUT;
        default:
            return EIO;
    }
}

HANDLE HandleOf(int fd) {
    const intptr_t h = _get_osfhandle(fd);
    if (h == -1) errno = EBADF;
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace win

namespace files {
namespace {

using win::ErrnoOf;
using win::HandleOf;
using win::Wide;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int FailWith(DWORD code) {
    errno = ErrnoOf(code);
    return -1;
}

// 100-nanosecond ticks since 1601.
uint64_t Ticks(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

int64_t UnixTime(const FILETIME& t) {
    return static_cast<int64_t>(Ticks(t) / 10000000u) - 11644473600LL;
}

// Fills `out` from an open handle; `noFollow`: a reparse point is a link.
bool FillFrom(HANDLE h, bool noFollow, Status* out) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        const DWORD type = GetFileType(h);
        if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
            *out = Status{};
            out->kind = Kind::Special;
            out->stream = true;
            return true;
        }
        errno = ErrnoOf(GetLastError());
        return false;
    }
    if (noFollow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        out->kind = Kind::Link;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        out->kind = Kind::Folder;
    else if (GetFileType(h) == FILE_TYPE_DISK)
        out->kind = Kind::Regular;
    else
        out->kind = Kind::Special;
    out->size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    out->mtime = UnixTime(info.ftLastWriteTime);
    out->mtimeNs = (static_cast<int64_t>(Ticks(info.ftLastWriteTime)) - 116444736000000000LL) * 100;
    out->identity = std::to_string(info.dwVolumeSerialNumber) + ":" +
                    std::to_string((uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
    out->links = info.nNumberOfLinks;
    return true;
}

// A handle for looking at what stands at `path`.
HANDLE OpenForStatus(const std::wstring& path, bool follow, DWORD access = 0,
                     DWORD share = kShareAll) {
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                       nullptr);
}

DWORD Clamp(size_t n) { return n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n); }

long long Transfer(int fd, void* buf, size_t n, const uint64_t* offset, bool write) {
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED ov{};
    if (offset) {
        ov.Offset = static_cast<DWORD>(*offset);
        ov.OffsetHigh = static_cast<DWORD>(*offset >> 32);
    }
    DWORD moved = 0;
    const BOOL ok = write ? WriteFile(h, buf, Clamp(n), &moved, offset ? &ov : nullptr)
                          : ReadFile(h, buf, Clamp(n), &moved, offset ? &ov : nullptr);
    if (!ok) {
        const DWORD e = GetLastError();
        if (!write && (e == ERROR_HANDLE_EOF || e == ERROR_BROKEN_PIPE)) return 0;
        return FailWith(e);
    }
    return moved;
}

class WinFolder final : public Folder {
public:
    WinFolder(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
    ~WinFolder() override { CloseHandle(h_); }
    WinFolder(const WinFolder&) = delete;
    WinFolder& operator=(const WinFolder&) = delete;

    bool Stat(Status* out) override { return FillFrom(h_, false, out); }
    bool List(std::vector<std::string>* names) override { return ListFolder(path_, names); }
    bool StatChild(const std::string& name, Status* out) override {
        return StatPath(path_ + name, false, out);
    }

    std::unique_ptr<Folder> OpenChild(const std::string& name) override;

    int OpenChildFile(const std::string& name) override {
        return files::Open(path_ + name, kRead | kNoFollow | kNonBlock);
    }
    int CreateChildFile(const std::string& name) override {
        return files::Open(path_ + name, kWrite | kCreate | kExclusive | kNoFollow);
    }
    int MakeChild(const std::string& name) override { return MakeFolder(path_ + name); }
    int RemoveChildFile(const std::string& name) override { return Remove(path_ + name); }

private:
    HANDLE h_;
    std::string path_;  // ends in '/'
};

std::unique_ptr<Folder> OpenFolderAt(const std::string& path, bool follow) {
    // Held without delete sharing: the folder cannot be renamed or swapped
    // for another while it is open.
    HANDLE h =
        OpenForStatus(Wide(path), follow, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (h == INVALID_HANDLE_VALUE) {
        FailWith(GetLastError());
        return nullptr;
    }
    Status st;
    if (!FillFrom(h, !follow, &st) || st.kind != Kind::Folder) {
        const int err = st.kind == Kind::Link ? ELOOP : (errno ? errno : ENOTDIR);
        CloseHandle(h);
        errno = st.kind == Kind::Folder ? err : (st.kind == Kind::Link ? ELOOP : ENOTDIR);
        return nullptr;
    }
    std::string p = path;
    if (p.empty() || (p.back() != '/' && p.back() != '\\')) p += '/';
    return std::make_unique<WinFolder>(h, std::move(p));
}

std::unique_ptr<Folder> WinFolder::OpenChild(const std::string& name) {
    return OpenFolderAt(path_ + name, false);
}

}  // namespace

int Open(const std::string& path, unsigned flags) {
    DWORD access = 0;
    if (flags & kRead) access |= GENERIC_READ;
    if (flags & kWrite) access |= GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & kCreate) && (flags & kExclusive))
        disposition = CREATE_NEW;
    else if ((flags & kCreate) && (flags & kTruncate))
        disposition = CREATE_ALWAYS;
    else if (flags & kCreate)
        disposition = OPEN_ALWAYS;
    else if (flags & kTruncate)
        disposition = TRUNCATE_EXISTING;
    const DWORD attrs =
        FILE_ATTRIBUTE_NORMAL | ((flags & kNoFollow) ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const std::wstring wide = Wide(path);
    HANDLE h = CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition, attrs, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_ACCESS_DENIED) {
            Status st;
            if (StatPath(path, true, &st) && st.kind == Kind::Folder) {
                errno = EISDIR;
                return -1;
            }
        }
        return FailWith(e);
    }
    if (flags & kNoFollow) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(h, &info) &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            CloseHandle(h);
            errno = ELOOP;
            return -1;
        }
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
                                   _O_BINARY | ((flags & kWrite) ? 0 : _O_RDONLY));
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

int Close(int fd) { return _close(fd); }

long long Read(int fd, void* buf, size_t n) { return Transfer(fd, buf, n, nullptr, false); }

long long Write(int fd, const void* buf, size_t n) {
    return Transfer(fd, const_cast<void*>(buf), n, nullptr, true);
}

long long ReadAt(int fd, void* buf, size_t n, uint64_t offset) {
    return Transfer(fd, buf, n, &offset, false);
}

long long WriteAt(int fd, const void* buf, size_t n, uint64_t offset) {
    return Transfer(fd, const_cast<void*>(buf), n, &offset, true);
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
    std::string m = mode;
    const size_t x = m.find('x');
    if (x != std::string::npos) {
        // The C library here has no exclusive mode: create the file first.
        m.erase(x, 1);
        const bool both = m.find('+') != std::string::npos;
        const int fd = Open(path, (both ? kReadWrite : kWrite) | kCreate | kExclusive);
        if (fd < 0) return nullptr;
        if (m.find('b') == std::string::npos) m += 'b';
        std::FILE* f = _fdopen(fd, m.c_str());
        if (!f) _close(fd);
        return f;
    }
    if (m.find('b') == std::string::npos) m += 'b';
    m += 'N';  // not inherited by child processes
    return _wfopen(Wide(path).c_str(), Wide(m).c_str());
}

bool Sync(int fd) {
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (FlushFileBuffers(h)) return true;
    errno = ErrnoOf(GetLastError());
    return false;
}

bool Truncate(int fd, uint64_t size) {
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (SetFileInformationByHandle(h, FileEndOfFileInfo, &info, sizeof info)) return true;
    errno = ErrnoOf(GetLastError());
    return false;
}

bool StatPath(const std::string& path, bool follow, Status* out) {
    HANDLE h = OpenForStatus(Wide(path), follow);
    if (h == INVALID_HANDLE_VALUE) {
        *out = Status{};
        out->kind = Kind::Missing;
        FailWith(GetLastError());
        return false;
    }
    const bool ok = FillFrom(h, !follow, out);
    CloseHandle(h);
    return ok;
}

bool StatFd(int fd, Status* out) {
    HANDLE h = HandleOf(fd);
    return h != INVALID_HANDLE_VALUE && FillFrom(h, false, out);
}

bool TryLock(int fd) {
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE) return false;
    // One byte far beyond any data: Windows locks keep other handles from
    // the bytes they cover, and this one must only exclude other lockers.
    OVERLAPPED ov{};
    ov.Offset = 0xFFFFFFFEu;
    ov.OffsetHigh = 0x7FFFFFFFu;
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov))
        return true;
    const DWORD e = GetLastError();
    errno = (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) ? EWOULDBLOCK : ErrnoOf(e);
    return false;
}

int Remove(const std::string& path) {
    return DeleteFileW(Wide(path).c_str()) ? 0 : ErrnoOf(GetLastError());
}

int MakeFolder(const std::string& path) {
    return CreateDirectoryW(Wide(path).c_str(), nullptr) ? 0 : ErrnoOf(GetLastError());
}

int RemoveFolder(const std::string& path) {
    return RemoveDirectoryW(Wide(path).c_str()) ? 0 : ErrnoOf(GetLastError());
}

int Rename(const std::string& from, const std::string& to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : ErrnoOf(GetLastError());
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)
               ? 0
               : ErrnoOf(GetLastError());
}

int SyncFolder(const std::string&) {
    // Folder entries cannot be flushed on their own here; MOVEFILE_WRITE_THROUGH
    // already waited for the renames that publish files.
    return 0;
}

bool ListFolder(const std::string& path, std::vector<std::string>* names) {
    std::string pattern = path;
    if (pattern.empty() || (pattern.back() != '/' && pattern.back() != '\\')) pattern += '/';
    pattern += '*';
    WIN32_FIND_DATAW data{};
    HANDLE h = FindFirstFileExW(Wide(pattern).c_str(), FindExInfoBasic, &data,
                                FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
        FailWith(GetLastError());
        return false;
    }
    names->clear();
    do {
        std::string n = win::Utf8(data.cFileName);
        if (n != "." && n != "..") names->push_back(std::move(n));
    } while (FindNextFileW(h, &data));
    const DWORD e = GetLastError();
    FindClose(h);
    if (e != ERROR_NO_MORE_FILES) return FailWith(e) == 0;
    return true;
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

std::unique_ptr<Folder> Folder::Open(const std::string& path) { return OpenFolderAt(path, true); }

}  // namespace files
}  // namespace ts

namespace ts::files {

int ReplaceWhole(const std::string& path, std::string_view bytes) {
    const size_t slash = path.find_last_of("/\\");
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string base = dir + "." + name + ".tmp-" + std::to_string(ProcessId());
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = base + "-" + std::to_string(attempt);
        fd = Open(tmp, kWrite | kCreate | kExclusive);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return errno;
    int err = 0;
    if (!WriteAll(fd, bytes.data(), bytes.size()) || !Sync(fd)) err = errno;
    if (Close(fd) != 0 && err == 0) err = errno;
    if (err == 0) {
        // ReplaceFile keeps the old file's attributes and security; a file
        // that is not there yet is simply renamed into place. Where
        // ReplaceFile fails with the new file still whole beside the old
        // (some implementations need a temporary name of their own), the
        // rename replaces it in one step all the same.
        const std::wstring to = win::Wide(path), from = win::Wide(tmp);
        if (!ReplaceFileW(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                          nullptr, nullptr)) {
            const DWORD e = GetLastError();
            const bool stillThere = GetFileAttributesW(from.c_str()) != INVALID_FILE_ATTRIBUTES;
            if (!stillThere || !MoveFileExW(from.c_str(), to.c_str(),
                                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                err = win::ErrnoOf(stillThere ? GetLastError() : e);
        }
    }
    if (err != 0) Remove(tmp);
    return err;
}

std::string ResolveLink(const std::string& path) {
    Status st;
    if (!StatPath(path, false, &st) || st.kind != Kind::Link) return path;
    HANDLE h = CreateFileW(win::Wide(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return path;
    wchar_t buf[32768];
    const DWORD n = GetFinalPathNameByHandleW(h, buf, 32768, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= 32768) return path;
    return win::Utf8(std::wstring_view(buf, n));
}

// The volume and file index: a file index is not handed to another file
// while the volume lives.
std::string LastingIdentity(const std::string& path, bool follow) {
    Status st;
    return StatPath(path, follow, &st) ? st.identity : std::string();
}

bool MayWrite(const std::string& path) {
    const DWORD attrs = GetFileAttributesW(win::Wide(path).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        errno = win::ErrnoOf(GetLastError());
        return false;
    }
    if (attrs & FILE_ATTRIBUTE_READONLY) {
        errno = EACCES;
        return false;
    }
    return true;
}

}  // namespace ts::files
