#pragma once
// A mounted FAT12/FAT16 volume inside a Storage. Only the FAT itself is kept
// in memory; folders are read when a path is walked and file data goes
// straight between the caller and the storage. Everything read from the
// image is checked before use: cluster numbers against the cluster count,
// chain walks against the number of clusters, reads against the image end.
// Failures return errno values (0 is success).
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FatLayout.h"
#include "FatNames.h"
#include "Storage.h"
#include "platform/Files.h"

namespace ts::volkit {

// One file of the volume, shared by every open handle on it.
struct FileNode {
    uint64_t entryOffset = 0;  // image offset of its 32-byte short entry
    uint32_t firstCluster = 0;
    uint32_t size = 0;
    uint32_t generation = 0;  // changes whenever the chain is cut
};

struct FileCursor {
    std::shared_ptr<FileNode> node;
    uint32_t pos = 0;
    bool canRead = false;
    bool canWrite = false;
    // The last cluster reached, so that sequential access does not walk the
    // chain from its start every time.
    uint32_t cacheIndex = 0;
    uint32_t cacheCluster = 0;
    uint32_t cacheGeneration = UINT32_MAX;
};

enum Creation : uint32_t {
    kCreateNew = 1,
    kCreateAlways = 2,
    kOpenExisting = 3,
    kOpenAlways = 4,
    kTruncateExisting = 5,
};

class FatVolume {
public:
    // Reads the boot sector and the first FAT. An image shorter than its
    // volume is mounted read-only: what is there can be read, nothing written.
    static int Mount(Storage& storage, std::unique_ptr<FatVolume>* out);
    // Lays a new empty volume over the whole storage, which is resized to
    // sectors * 512 bytes (sparse where the file system allows). Nothing is
    // touched when the size or FAT count cannot make a FAT12/16 volume.
    static int Format(Storage& storage, uint32_t fatCount, uint32_t sectors, const char* label,
                      std::unique_ptr<FatVolume>* out);

    const FatGeometry& Geometry() const { return geo_; }
    bool ReadOnly() const { return readOnly_; }
    uint32_t FreeClusters() const { return freeClusters_; }

    // Opens a file by path ('\' or '/' separators, case ignored, long or short names).
    int Open(std::string_view path, uint32_t creation, bool read, bool write, FileCursor* out);
    // Bytes read (0 at the end) or -1 with *err set; a short count when the
    // image ends or the chain breaks part-way, then -1 on the next call.
    int64_t Read(FileCursor& f, void* buf, uint32_t count, int* err);
    // All of count bytes at the position, growing the file; -1 with *err set
    // and nothing changed when the volume lacks the room.
    int64_t Write(FileCursor& f, const void* buf, uint32_t count, int* err);
    // Copies a local folder's tree into the folder `target` of the volume.
    // Local names are UTF-8; links inside the folder are skipped.
    int ImportDir(const std::string& localFolder, std::string_view target);
    // Writes the changed part of the FAT to every copy.
    int Flush();

private:
    struct DirEntry;
    struct Dir;
    struct Found;

    FatVolume(Storage& s, const FatGeometry& g) : storage_(s), geo_(g) {}

    uint32_t FatGet(uint32_t c) const;
    void FatSet(uint32_t c, uint32_t v);
    bool IsCluster(uint32_t c) const { return c >= 2 && c <= geo_.clusterCount + 1; }
    bool IsEnd(uint32_t v) const { return v >= (geo_.fatBits == 12 ? 0xFF8u : 0xFFF8u); }
    uint32_t EndMark() const { return geo_.fatBits == 12 ? 0xFFFu : 0xFFFFu; }
    int Allocate(uint32_t count, uint32_t* first, uint32_t* last);
    void FreeChain(uint32_t first);
    int ZeroCluster(uint32_t c);
    bool ClusterAt(FileCursor& f, uint32_t index, uint32_t* cluster);

    int LoadDir(uint32_t cluster, Dir* d);
    uint64_t SlotOffset(const Dir& d, uint32_t slot) const;
    int Resolve(std::string_view path, Found* out);
    int AddEntry(Dir& d, const std::u16string& name, uint8_t attr, uint32_t cluster, int64_t mtime,
                 uint64_t* entryOffset);
    int MakeDir(Dir& parent, const std::u16string& name, int64_t mtime, uint32_t* cluster);
    void DeleteEntry(Dir& d, size_t index);
    int WriteEntryFields(const FileNode& n, int64_t mtime);
    std::shared_ptr<FileNode> NodeFor(uint64_t entryOffset, uint32_t cluster, uint32_t size);
    int Truncate(FileNode& n);
    int WriteSpan(FileCursor& f, uint32_t at, const uint8_t* src, uint32_t len);
    // Cuts the chain to what the file's size needs.
    void TrimTo(FileCursor& f);
    // Copies the open local folder into the volume's folder at dirCluster.
    int ImportInto(files::Folder& dir, uint32_t dirCluster, std::vector<std::string>& ancestors);
    // Copies the open local file fd (left open) into the folder d.
    int ImportFile(int fd, Dir& d, const std::u16string& name, int existing, int64_t mtime);

    Storage& storage_;
    FatGeometry geo_;
    bool readOnly_ = false;
    std::vector<uint8_t> fat_;  // the first FAT, only as many bytes as the clusters need
    size_t dirtyLo_ = SIZE_MAX;
    size_t dirtyHi_ = 0;
    uint32_t freeClusters_ = 0;
    uint32_t hint_ = 2;
    std::map<uint64_t, std::weak_ptr<FileNode>> nodes_;
};

}  // namespace ts::volkit
