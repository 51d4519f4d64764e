#include "VolkitCore.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "FatVolume.h"
#include "Storage.h"

namespace ts::volkit {
namespace {

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;
constexpr size_t kMaxPath = 32768;

struct Image {
    std::unique_ptr<FileStorage> file;
    std::unique_ptr<BufferedStorage> storage;  // over `file`; every call commits it
    std::unique_ptr<FatVolume> volume;         // mounted at first use, or by VolFormat
};

struct OpenFile {
    VolHandle image;
    FileCursor cursor;
};

struct Registry {
    std::mutex mu;
    std::map<VolHandle, Image> images;
    std::map<VolHandle, OpenFile> files;
    VolHandle next = 1;

    VolHandle Issue() {
        for (;;) {
            VolHandle h = next;
            next = next == INT32_MAX ? 1 : next + 1;
            if (!images.count(h) && !files.count(h)) return h;
        }
    }
    void CloseFilesOf(VolHandle image) {
        for (auto it = files.begin(); it != files.end();) {
            it = it->second.image == image ? files.erase(it) : std::next(it);
        }
    }
};

// Never destroyed: a caller may still close handles while the process ends.
Registry& Reg() {
    static Registry* r = new Registry;
    return *r;
}

int Fail(int err) {
    errno = err;
    return -1;
}

// Hands a call's buffered writes to the image file before the call returns,
// so that a write that fails makes that call fail. `result` is the call's
// own result; a failed commit turns success into -1 with errno set.
template <typename T>
T Committed(Image& img, T result) {
    const int e = errno;
    const bool written = img.storage->Commit();
    if (written || result < 0) {
        errno = e;  // a call that failed already keeps its own reason
        return result;
    }
    return static_cast<T>(Fail(errno ? errno : EIO));
}

Image* FindImage(Registry& r, VolHandle h) {
    auto it = r.images.find(h);
    return it == r.images.end() ? nullptr : &it->second;
}

// The image's volume, mounting it on first use; null with errno set.
FatVolume* VolumeOf(Image& img) {
    if (!img.volume) {
        if (int e = FatVolume::Mount(*img.storage, &img.volume)) {
            errno = e;
            return nullptr;
        }
    }
    return img.volume.get();
}

OpenFile* FindFile(Registry& r, VolHandle image, VolHandle file) {
    auto it = r.files.find(file);
    if (it == r.files.end() || it->second.image != image || !r.images.count(image)) return nullptr;
    return &it->second;
}

VolHandle VolOpen(const char* path) {
    if (!path || !*path) return Fail(EINVAL);
    size_t len = strnlen(path, kMaxPath);
    if (len == kMaxPath) return Fail(ENAMETOOLONG);
    auto storage = FileStorage::Open(std::string(path, len));
    if (!storage) return -1;
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    VolHandle h = r.Issue();
    Image& img = r.images[h];
    img.file = std::move(storage);
    img.storage = std::make_unique<BufferedStorage>(*img.file);
    return h;
}

int32_t VolFormat(VolHandle image, int32_t fatCount, uint32_t sectors, const char* label) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    Image* img = FindImage(r, image);
    if (!img) return Fail(EBADF);
    if (fatCount < 1 || fatCount > 2) return Fail(EINVAL);
    std::unique_ptr<FatVolume> vol;
    if (int e = FatVolume::Format(*img->storage, static_cast<uint32_t>(fatCount), sectors, label,
                                  &vol)) {
        return Committed(*img, Fail(e));
    }
    // Files opened on the old contents would point into the new volume.
    r.CloseFilesOf(image);
    img->volume = std::move(vol);
    return Committed(*img, 0);
}

VolHandle VolCreateFile(VolHandle image, const char* path, uint32_t access, uint32_t /*share*/,
                        void* /*security*/, uint32_t creation, uint32_t /*attributes*/,
                        VolHandle /*templateFile*/) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    Image* img = FindImage(r, image);
    if (!img) return Fail(EBADF);
    if (!path) return Fail(EINVAL);
    size_t len = strnlen(path, kMaxPath);
    if (len == kMaxPath) return Fail(ENAMETOOLONG);
    FatVolume* vol = VolumeOf(*img);
    if (!vol) return -1;
    bool read = access & (kGenericRead | kGenericAll);
    bool write = access & (kGenericWrite | kGenericAll);
    OpenFile f{image, {}};
    if (int e = vol->Open(std::string_view(path, len), creation, read, write, &f.cursor))
        return Committed(*img, Fail(e));
    if (Committed(*img, 0) != 0) return -1;
    VolHandle h = r.Issue();
    r.files.emplace(h, std::move(f));
    return h;
}

uint32_t VolSetFilePointer(VolHandle image, VolHandle file, int32_t distance, int32_t* distanceHigh,
                           uint32_t origin) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    OpenFile* f = FindFile(r, image, file);
    if (!f) {
        errno = EBADF;
        return kSeekFailed;
    }
    // With a high part the distance is a 64-bit value split in two halves;
    // without one it is a signed 32-bit value.
    int64_t move = distance;
    if (distanceHigh) {
        move = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
            static_cast<uint32_t>(distance));
    }
    int64_t base;
    switch (origin) {
        case 0:
            base = 0;
            break;
        case 1:
            base = f->cursor.pos;
            break;
        case 2:
            base = f->cursor.node->size;
            break;
        default:
            errno = EINVAL;
            return kSeekFailed;
    }
    // The new position must stay within 0 .. 2^32-1, the sizes FAT can hold.
    if ((move < 0 && -(move + 1) >= base) || (move > 0 && move > int64_t{UINT32_MAX} - base)) {
        errno = EINVAL;
        return kSeekFailed;
    }
    int64_t pos = base + move;
    f->cursor.pos = static_cast<uint32_t>(pos);
    if (distanceHigh) *distanceHigh = 0;
    if (pos == kSeekFailed) errno = 0;  // a real position that looks like the failure value
    return static_cast<uint32_t>(pos);
}

int32_t VolWriteFile(VolHandle image, VolHandle file, const void* buffer, uint32_t count) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    OpenFile* f = FindFile(r, image, file);
    if (!f) return Fail(EBADF);
    if (!buffer && count > 0) return Fail(EFAULT);
    int err = 0;
    Image& img = r.images[image];
    int64_t n = img.volume->Write(f->cursor, buffer, count, &err);
    if (n < 0) return Committed(img, Fail(err));
    return Committed(img, static_cast<int32_t>(n));
}

int32_t VolReadFile(VolHandle image, VolHandle file, void* buffer, uint32_t count) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    OpenFile* f = FindFile(r, image, file);
    if (!f) return Fail(EBADF);
    if (!buffer && count > 0) return Fail(EFAULT);
    int err = 0;
    int64_t n = r.images[image].volume->Read(f->cursor, buffer, count, &err);
    if (n < 0) return Fail(err);
    return static_cast<int32_t>(n);
}

int32_t VolImportDir(VolHandle image, const char* localFolder, const char* target) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    Image* img = FindImage(r, image);
    if (!img) return Fail(EBADF);
    if (!localFolder || !target) return Fail(EINVAL);
    size_t len = strnlen(localFolder, kMaxPath);
    size_t tlen = strnlen(target, kMaxPath);
    if (len == kMaxPath || tlen == kMaxPath) return Fail(ENAMETOOLONG);
    FatVolume* vol = VolumeOf(*img);
    if (!vol) return -1;
    if (int e = vol->ImportDir(std::string(localFolder, len), std::string_view(target, tlen)))
        return Committed(*img, Fail(e));
    return Committed(*img, 0);
}

int32_t VolCloseFile(VolHandle image, VolHandle file) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    if (!FindFile(r, image, file)) return Fail(EBADF);
    r.files.erase(file);
    return 0;
}

int32_t VolClose(VolHandle image) {
    Registry& r = Reg();
    std::lock_guard lock(r.mu);
    Image* img = FindImage(r, image);
    if (!img) return Fail(EBADF);
    r.CloseFilesOf(image);
    int err = img->volume ? img->volume->Flush() : 0;
    if (!img->storage->Commit() && err == 0) err = errno ? errno : EIO;
    r.images.erase(image);  // closes the file
    return err ? Fail(err) : 0;
}

const VolkitApi kApi = {VolOpen,     VolFormat,    VolCreateFile, VolSetFilePointer, VolWriteFile,
                        VolReadFile, VolImportDir, VolCloseFile,  VolClose};

}  // namespace

const VolkitApi* Api() { return &kApi; }

}  // namespace ts::volkit
