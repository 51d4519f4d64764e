#pragma once
// The file and folder steps the layers above take, on UTF-8 paths and
// numeric file descriptors, without the system's own headers. Descriptors
// are always binary (no line-end translation) and not inherited by child
// processes. Failures return -1 (or false) with errno set, or an errno value
// where the function returns one.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A damaged file system, a quota: Linux has its own errno values for them.
#ifndef EUCLEAN
#define EUCLEAN 117
#endif
#ifndef EDQUOT
#define EDQUOT 122
#endif

namespace ts::files {

// The characters that end a folder's name in a path.
#ifdef _WIN32
inline constexpr char kPathSeparators[] = "/\\";
#else
inline constexpr char kPathSeparators[] = "/";
#endif

enum OpenFlag : unsigned {
    kRead = 1u,
    kWrite = 2u,
    kReadWrite = kRead | kWrite,
    kCreate = 4u,     // make the file when missing
    kExclusive = 8u,  // with kCreate: fail with EEXIST when it exists
    kTruncate = 16u,
    kNoFollow = 32u,  // a link at the path itself is refused (ELOOP)
    kNonBlock = 64u,  // never wait on a FIFO (the descriptor is made blocking once open)
};

// A descriptor of the file at `path`, or -1 with errno set.
int Open(const std::string& path, unsigned flags);
int Close(int fd);
// As read(2) and write(2): bytes moved, 0 at the end, -1 with errno set.
// Interrupted calls are repeated.
long long Read(int fd, void* buf, size_t n);
long long Write(int fd, const void* buf, size_t n);
// At an offset, leaving the file position of other readers alone.
long long ReadAt(int fd, void* buf, size_t n, uint64_t offset);
long long WriteAt(int fd, const void* buf, size_t n, uint64_t offset);
// Writes all of `n` bytes; false with errno set.
bool WriteAll(int fd, const void* buf, size_t n);
// A C stream ("rb", "wb", ...) on the file at `path`, binary; null with errno.
std::FILE* OpenStream(const std::string& path, const char* mode);
bool Sync(int fd);
bool Truncate(int fd, uint64_t size);

enum class Kind { Missing, Regular, Folder, Link, Special, Unknown };

struct Status {
    Kind kind = Kind::Missing;
    uint64_t size = 0;
    int64_t mtime = 0;     // seconds since 1970
    int64_t mtimeNs = 0;   // the same in nanoseconds, as finely as the system keeps it
    std::string identity;  // the same text for two names of one file
    uint64_t links = 1;    // the file's name count
    bool stream = false;   // Special: a FIFO or character device (written as a stream)
};

// What stands at `path` (a link itself when !follow); false with errno set.
bool StatPath(const std::string& path, bool follow, Status* out);
bool StatFd(int fd, Status* out);

// An exclusive lock on the whole file, taken without waiting: false with
// errno EWOULDBLOCK when another open description holds it. It goes with
// the descriptor.
bool TryLock(int fd);

// 0 or an errno value.
int Remove(const std::string& path);
int MakeFolder(const std::string& path);
int RemoveFolder(const std::string& path);
// Replaces an existing target in one step.
int Rename(const std::string& from, const std::string& to);
// Fails with EEXIST when `to` exists; `from` is left then.
int RenameNoReplace(const std::string& from, const std::string& to);
// Flushes a folder's entries (new names) to the disk where the system can.
int SyncFolder(const std::string& path);

// Puts `bytes` in place of the file at `path` in one step: written to a
// temporary file beside it (keeping the old file's owner and mode where the
// system has them), flushed to the disk and renamed over it, so that a crash
// or a full disk never leaves a part. 0 or an errno value, `path` untouched.
int ReplaceWhole(const std::string& path, std::string_view bytes);
// The file a link at `path` names (the path itself when it is no link), so
// that a replaced file keeps its link.
std::string ResolveLink(const std::string& path);
// The file may be written by this process (it is not marked read-only);
// false with errno set.
bool MayWrite(const std::string& path);

// The identity of the file at `path` (of a link itself unless `follow`),
// never the same for a later file that reuses the name or the slot (inode
// numbers are reused); empty when nothing is there.
std::string LastingIdentity(const std::string& path, bool follow);

// The names in a folder, without "." and ".."; false with errno set.
bool ListFolder(const std::string& path, std::vector<std::string>* names);

// This process's number, for temporary names.
long ProcessId();

// An opened folder. Names are taken relative to it and links below it are
// never followed, so that nothing planted there reaches files elsewhere.
class Folder {
public:
    virtual ~Folder() = default;
    // The folder at `path`, links followed; null with errno set.
    static std::unique_ptr<Folder> Open(const std::string& path);

    virtual bool Stat(Status* out) = 0;
    virtual bool List(std::vector<std::string>* names) = 0;
    // The entry itself, a link not followed.
    virtual bool StatChild(const std::string& name, Status* out) = 0;
    // A folder inside it; null with errno set (ELOOP for a link).
    virtual std::unique_ptr<Folder> OpenChild(const std::string& name) = 0;
    // A file inside it, read-only, never through a link nor waiting on a FIFO.
    virtual int OpenChildFile(const std::string& name) = 0;
    // A new file (kExclusive): fails when anything stands at the name.
    virtual int CreateChildFile(const std::string& name) = 0;
    // 0 or an errno value.
    virtual int MakeChild(const std::string& name) = 0;
    virtual int RemoveChildFile(const std::string& name) = 0;
};

}  // namespace ts::files
