#include "Storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/Files.h"

namespace ts::volkit {

std::unique_ptr<FileStorage> FileStorage::Open(const std::string& path) {
    bool writable = true;
    int fd = files::Open(path, files::kReadWrite | files::kCreate);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        writable = false;
        fd = files::Open(path, files::kRead);
    }
    if (fd < 0) return nullptr;
    files::Status st;
    if (!files::StatFd(fd, &st) || st.kind != files::Kind::Regular) {
        int e = st.kind == files::Kind::Folder ? EISDIR : EINVAL;
        files::Close(fd);
        errno = e;
        return nullptr;
    }
    return std::unique_ptr<FileStorage>(new FileStorage(fd, st.size, writable));
}

FileStorage::~FileStorage() { files::Close(fd_); }

int64_t FileStorage::ReadAt(uint64_t off, void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        const long long r = files::ReadAt(fd_, p + done, n - done, off + done);
        if (r < 0) return -1;
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
    if (n == 0) return true;  // writing nothing does not grow the file
    const auto* p = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        const long long r = files::WriteAt(fd_, p + done, n - done, off + done);
        if (r < 0) return false;
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
    if (!files::Truncate(fd_, n)) return false;
    size_ = n;
    return true;
}

int64_t MemoryStorage::ReadAt(uint64_t off, void* buf, size_t n) {
    if (n == 0 || off >= bytes_.size()) return 0;
    size_t k = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - off));
    std::memcpy(buf, bytes_.data() + off, k);
    return static_cast<int64_t>(k);
}

bool MemoryStorage::WriteAt(uint64_t off, const void* buf, size_t n) {
    if (off > limit_ || n > limit_ - off) {
        errno = ENOSPC;
        return false;
    }
    if (n == 0) return true;  // as a file: writing nothing does not grow it
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

BufferedStorage::BufferedStorage(Storage& inner, size_t limit)
    : inner_(inner), limit_(limit), size_(inner.Size()), zeroFrom_(inner.Size()) {}

void BufferedStorage::Forget() {
    pages_.clear();
    dirtyPages_ = 0;
    size_ = inner_.Size();
    zeroFrom_ = std::numeric_limits<uint64_t>::max();  // nothing is known any more
}

bool BufferedStorage::ReadBelow(uint64_t off, uint8_t* buf, size_t n) {
    size_t wanted = 0;
    if (off < zeroFrom_) wanted = static_cast<size_t>(std::min<uint64_t>(n, zeroFrom_ - off));
    int64_t got = wanted ? inner_.ReadAt(off, buf, wanted) : 0;
    if (got < 0) return false;
    std::memset(buf + got, 0, n - static_cast<size_t>(got));
    return true;
}

int64_t BufferedStorage::ReadAt(uint64_t off, void* buf, size_t n) {
    if (off >= size_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - off));
    auto* out = static_cast<uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        const uint64_t at = off + done;
        const uint64_t index = at / kPage;
        const size_t inPage = static_cast<size_t>(at % kPage);
        auto it = pages_.lower_bound(index);
        if (it != pages_.end() && it->first == index) {
            const size_t k = std::min(n - done, kPage - inPage);
            std::memcpy(out + done, it->second.bytes.get() + inPage, k);
            done += k;
            continue;
        }
        // Up to the next buffered page in one read below.
        uint64_t stop = off + n;
        if (it != pages_.end()) stop = std::min(stop, it->first * kPage);
        const size_t k = static_cast<size_t>(stop - at);
        if (!ReadBelow(at, out + done, k)) return -1;
        done += k;
    }
    return static_cast<int64_t>(n);
}

bool BufferedStorage::WriteAt(uint64_t off, const void* buf, size_t n) {
    if (!Writable()) {
        errno = EROFS;
        return false;
    }
    if (n > std::numeric_limits<uint64_t>::max() - off) {
        errno = EFBIG;
        return false;
    }
    if (n == 0) return true;
    const auto* in = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    while (done < n) {
        const uint64_t at = off + done;
        const uint64_t index = at / kPage;
        const size_t inPage = static_cast<size_t>(at % kPage);
        const size_t k = std::min(n - done, kPage - inPage);
        auto [it, added] = pages_.try_emplace(index);
        Page& page = it->second;
        if (added) {
            page.bytes = std::make_unique<uint8_t[]>(kPage);
            // A page only partly overwritten keeps the rest of what it held.
            if (k < kPage && index * kPage < size_ &&
                !ReadBelow(index * kPage, page.bytes.get(), kPage)) {
                pages_.erase(it);
                return false;
            }
        }
        std::memcpy(page.bytes.get() + inPage, in + done, k);
        if (!page.dirty) {
            page.dirty = true;
            ++dirtyPages_;
        }
        done += k;
    }
    size_ = std::max(size_, off + n);
    return dirtyPages_ * kPage <= limit_ || Commit();
}

bool BufferedStorage::Resize(uint64_t n) {
    if (!Commit()) return false;
    const uint64_t before = inner_.Size();
    if (!inner_.Resize(n)) {
        const int e = errno;
        Forget();
        errno = e;
        return false;
    }
    // Bytes past the cut are gone, and growing adds zeros.
    pages_.clear();
    size_ = n;
    zeroFrom_ = std::min({zeroFrom_, before, n});
    return true;
}

bool BufferedStorage::Commit() {
    std::vector<uint8_t> run;
    for (auto it = pages_.begin(); it != pages_.end();) {
        if (!it->second.dirty) {
            ++it;
            continue;
        }
        // A run of adjacent changed pages, cut at the end of the data.
        const uint64_t first = it->first;
        uint64_t next = first;
        auto end = it;
        while (end != pages_.end() && end->first == next && end->second.dirty) {
            ++end;
            ++next;
        }
        const uint64_t from = first * kPage;
        const size_t len = static_cast<size_t>(std::min<uint64_t>(next * kPage, size_) - from);
        const uint8_t* data = it->second.bytes.get();
        if (next - first > 1) {
            run.resize(len);
            size_t at = 0;
            for (auto p = it; p != end; ++p, at += kPage)
                std::memcpy(run.data() + at, p->second.bytes.get(), std::min(kPage, len - at));
            data = run.data();
        }
        if (!inner_.WriteAt(from, data, len)) {
            const int e = errno;
            Forget();
            errno = e ? e : EIO;
            return false;
        }
        for (auto p = it; p != end; ++p) p->second.dirty = false;
        if (from + len > zeroFrom_) zeroFrom_ = from + len;
        it = end;
    }
    dirtyPages_ = 0;
    // Unchanged pages are kept for reading only while they are few.
    if (pages_.size() * kPage > limit_) pages_.clear();
    return true;
}

}  // namespace ts::volkit
