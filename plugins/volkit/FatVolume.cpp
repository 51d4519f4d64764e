#include "FatVolume.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "FatRecords.h"
#include "platform/LocalSystem.h"

namespace ts::volkit {
namespace {

constexpr uint32_t kMaxDirSlots = 65536;  // 2 MiB: the most any FAT folder may hold
constexpr int kMaxDepth = 64;
constexpr size_t kCopyChunk = 64 * 1024;

const uint8_t* Zeros() {
    static const std::vector<uint8_t> zeros(65536, 0);
    return zeros.data();
}

// FAT time and date in local time, clamped to the years FAT can hold.
void FatStamp(int64_t t, uint16_t* time, uint16_t* date) {
    std::tm tm{};
    if (!LocalCalendarTime(t, &tm) || tm.tm_year < 80) {
        *time = 0;
        *date = (1 << 5) | 1;  // 1980-01-01
        return;
    }
    if (tm.tm_year > 207) {
        *time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
        *date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
        return;
    }
    *time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    *date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

std::array<uint8_t, 32> ShortEntry(const ShortName& name, uint8_t attr, uint32_t cluster,
                                   uint32_t size, int64_t mtime) {
    DirRecord r{};
    std::memcpy(r.name, name.data(), sizeof r.name);
    r.attr = attr;
    uint16_t t, d;
    FatStamp(mtime, &t, &d);
    r.createTime.Set(t);
    r.createDate.Set(d);
    r.accessDate.Set(d);
    r.writeTime.Set(t);
    r.writeDate.Set(d);
    r.firstCluster.Set(cluster);
    r.size.Set(size);
    std::array<uint8_t, 32> e;
    StoreRecord(r, e.data());
    return e;
}

// Volume serial numbers differ between volumes made in the same second.
uint32_t NewVolumeId() {
    static std::atomic<uint32_t> counter{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto sec = std::chrono::duration_cast<std::chrono::seconds>(now);
    const auto nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(now - sec);
    return static_cast<uint32_t>(sec.count()) ^ static_cast<uint32_t>(nsec.count()) ^
           (counter.fetch_add(1) * 2654435761u);
}

}  // namespace

struct FatVolume::DirEntry {
    ShortName shortName{};
    std::u16string foldedLong;  // empty when the entry has no valid long name
    std::u16string foldedShort;
    uint8_t attr = 0;
    uint32_t cluster = 0;
    uint32_t size = 0;
    uint32_t firstSlot = 0;
    uint32_t shortSlot = 0;
    bool IsDir() const { return attr & kAttrDir; }
};

struct FatVolume::Dir {
    uint32_t cluster = 0;  // 0: the fixed root folder
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> chain;
    bool clean = true;  // the chain ended with an end mark, so it may grow
    uint32_t endSlot = 0;
    std::vector<DirEntry> entries;
    uint32_t SlotCount() const { return static_cast<uint32_t>(bytes.size() / kDirRecordBytes); }
    int Find(const std::u16string& folded) const {
        for (size_t i = 0; i < entries.size(); ++i) {
            const DirEntry& e = entries[i];
            if ((!e.foldedLong.empty() && e.foldedLong == folded) || e.foldedShort == folded)
                return static_cast<int>(i);
        }
        return -1;
    }
};

struct FatVolume::Found {
    Dir parent;
    int index = -1;       // entry in parent, -1 when missing
    std::u16string name;  // the last component, empty when it cannot be a name
    bool isRoot = false;
};

// ---- mounting and formatting ------------------------------------------------

int FatVolume::Mount(Storage& s, std::unique_ptr<FatVolume>* out) {
    uint8_t boot[512] = {};
    int64_t got = s.ReadAt(0, boot, sizeof boot);
    if (got < 0) return EIO;
    if (got < 512) return EUCLEAN;
    auto g = ParseBootSector(boot);
    if (!g) return EUCLEAN;
    std::unique_ptr<FatVolume> v(new FatVolume(s, *g));
    v->readOnly_ = !s.Writable() || s.Size() < g->VolumeBytes();
    size_t need = (size_t{g->clusterCount + 2} * g->fatBits + 7) / 8;
    v->fat_.assign(need, 0);
    // Bytes past the end of a short image stay zero: free clusters, which a
    // chain walk treats as a broken link.
    if (s.ReadAt(g->FatOffset(0), v->fat_.data(), need) < 0) return EIO;
    for (uint32_t c = 2; c <= g->clusterCount + 1; ++c)
        if (v->FatGet(c) == 0) ++v->freeClusters_;
    *out = std::move(v);
    return 0;
}

int FatVolume::Format(Storage& s, uint32_t fatCount, uint32_t sectors, const char* label,
                      std::unique_ptr<FatVolume>* out) {
    char name[11];
    std::memset(name, ' ', sizeof name);
    size_t len = label ? strnlen(label, 12) : 0;
    if (len > 11) return EINVAL;
    if (len == 0) {
        std::memcpy(name, "NO NAME", 7);
    }
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(label[i]);
        if (c < 0x20 || c >= 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c)) return EINVAL;
        name[i] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    auto g = ComputeFatLayout(sectors, fatCount);
    if (!g) return EINVAL;
    if (!s.Writable()) return EROFS;

    // Truncating first drops every old byte; growing again leaves a sparse
    // file of zeros, so only the non-zero structures need writing. An empty
    // image (the write flow's, just deleted) is only grown: cutting a file to
    // nothing makes ext4 write it back when it is closed, and the next
    // deletion then has blocks to free.
    if ((s.Size() != 0 && !s.Resize(0)) || !s.Resize(g->VolumeBytes())) {
        int e = errno;
        s.Resize(0);
        return e ? e : EIO;
    }
    uint8_t boot[512];
    EncodeBootSector(*g, NewVolumeId(), name, boot);
    bool ok = s.WriteAt(0, boot, sizeof boot);
    const uint8_t head[4] = {g->media, 0xFF, 0xFF, 0xFF};
    for (uint32_t i = 0; i < g->fatCount && ok; ++i)
        ok = s.WriteAt(g->FatOffset(i), head, g->fatBits == 12 ? 3 : 4);
    ShortName label11;
    std::memcpy(label11.data(), name, 11);
    auto entry = ShortEntry(label11, kAttrVolume, 0, 0, time(nullptr));
    ok = ok && s.WriteAt(g->RootOffset(), entry.data(), entry.size());
    if (!ok) {
        int e = errno;
        s.Resize(0);
        return e ? e : EIO;
    }
    return Mount(s, out);
}

// ---- the FAT ------------------------------------------------------------

uint32_t FatVolume::FatGet(uint32_t c) const {
    if (geo_.fatBits == 16) return Rd16(&fat_[size_t{c} * 2]);
    size_t off = size_t{c} + c / 2;
    uint32_t v = Rd16(&fat_[off]);
    return (c & 1) ? v >> 4 : v & 0xFFF;
}

void FatVolume::FatSet(uint32_t c, uint32_t v) {
    size_t off;
    if (geo_.fatBits == 16) {
        off = size_t{c} * 2;
        Wr16(&fat_[off], v);
    } else {
        off = size_t{c} + c / 2;
        uint32_t old = Rd16(&fat_[off]);
        old = (c & 1) ? (old & 0x000F) | ((v & 0xFFF) << 4) : (old & 0xF000) | (v & 0xFFF);
        Wr16(&fat_[off], old);
    }
    dirtyLo_ = std::min(dirtyLo_, off);
    dirtyHi_ = std::max(dirtyHi_, off + 2);
}

int FatVolume::Flush() {
    if (dirtyLo_ >= dirtyHi_) return 0;
    size_t hi = std::min(dirtyHi_, fat_.size());
    for (uint32_t i = 0; i < geo_.fatCount; ++i) {
        if (!storage_.WriteAt(geo_.FatOffset(i) + dirtyLo_, &fat_[dirtyLo_], hi - dirtyLo_))
            return errno ? errno : EIO;
    }
    dirtyLo_ = SIZE_MAX;
    dirtyHi_ = 0;
    return 0;
}

int FatVolume::Allocate(uint32_t count, uint32_t* first, uint32_t* last) {
    if (readOnly_) return EROFS;
    if (count == 0 || count > freeClusters_) return ENOSPC;
    uint32_t prev = 0;
    uint32_t c = hint_;
    for (uint32_t done = 0; done < count;) {
        if (!IsCluster(c)) c = 2;
        if (FatGet(c) == 0) {
            FatSet(c, EndMark());
            if (prev) {
                FatSet(prev, c);
            } else {
                *first = c;
            }
            prev = c;
            ++done;
        }
        ++c;
    }
    *last = prev;
    hint_ = c;
    freeClusters_ -= count;
    return 0;
}

void FatVolume::FreeChain(uint32_t c) {
    // Freed links read as 0 afterwards, so a loop ends where it closes.
    for (uint32_t steps = 0; IsCluster(c) && steps < geo_.clusterCount; ++steps) {
        uint32_t next = FatGet(c);
        if (next == 0) break;
        FatSet(c, 0);
        ++freeClusters_;
        c = next;
    }
}

int FatVolume::ZeroCluster(uint32_t c) {
    uint32_t cb = geo_.ClusterBytes();
    if (!storage_.WriteAt(geo_.ClusterOffset(c), Zeros(), cb)) return errno ? errno : EIO;
    return 0;
}

bool FatVolume::ClusterAt(FileCursor& f, uint32_t index, uint32_t* cluster) {
    FileNode& n = *f.node;
    if (index >= geo_.clusterCount) return false;
    uint32_t i = 0, c = n.firstCluster;
    if (f.cacheGeneration == n.generation && f.cacheIndex <= index && IsCluster(f.cacheCluster)) {
        i = f.cacheIndex;
        c = f.cacheCluster;
    }
    if (!IsCluster(c)) return false;
    for (; i < index; ++i) {
        c = FatGet(c);
        if (!IsCluster(c)) return false;
    }
    f.cacheIndex = index;
    f.cacheCluster = c;
    f.cacheGeneration = n.generation;
    *cluster = c;
    return true;
}

// ---- folders ------------------------------------------------------------

int FatVolume::LoadDir(uint32_t cluster, Dir* d) {
    d->cluster = cluster;
    if (cluster == 0) {
        d->bytes.assign(size_t{geo_.rootEntries} * kDirRecordBytes, 0);
        if (storage_.ReadAt(geo_.RootOffset(), d->bytes.data(), d->bytes.size()) < 0) return EIO;
    } else {
        if (!IsCluster(cluster)) return EUCLEAN;
        uint32_t cb = geo_.ClusterBytes();
        uint32_t maxClusters = std::min(geo_.clusterCount, kMaxDirSlots * 32 / cb);
        d->clean = false;
        // A cluster met twice closes a loop; the folder ends before it, and
        // as its chain has no proper end it will not be grown either.
        std::vector<bool> seen(size_t{geo_.clusterCount} + 2, false);
        for (uint32_t c = cluster; IsCluster(c) && !seen[c] && d->chain.size() < maxClusters;) {
            seen[c] = true;
            d->chain.push_back(c);
            d->bytes.resize(d->bytes.size() + cb, 0);
            if (storage_.ReadAt(geo_.ClusterOffset(c), d->bytes.data() + d->bytes.size() - cb, cb) <
                0)
                return EIO;
            uint32_t next = FatGet(c);
            if (IsEnd(next)) {
                d->clean = true;
                break;
            }
            c = next;
        }
    }

    // Long-name parts gather until the short entry they belong to; parts that
    // are out of order or carry another checksum are dropped.
    std::u16string lfn;
    int expect = 0;
    uint8_t sum = 0;
    uint32_t lfnStart = 0;
    uint32_t slots = d->SlotCount();
    d->endSlot = slots;
    for (uint32_t i = 0; i < slots; ++i) {
        const uint8_t* e = &d->bytes[size_t{i} * kDirRecordBytes];
        if (e[0] == kEntryEnd) {
            d->endSlot = i;
            break;
        }
        if (e[0] == kEntryDeleted) {
            expect = 0;
            continue;
        }
        const auto rec = LoadRecord<DirRecord>(e);
        if ((rec.attr & 0x3F) == kAttrLfn) {
            const auto part = LoadRecord<LfnRecord>(e);
            int ord = part.order & kLfnOrderMask;
            bool lastPart = part.order & kLfnLastPart;
            if (lastPart && ord >= 1 && ord <= 20) {
                lfn.assign(size_t(ord) * kLfnUnits, u'\0');
                expect = ord;
                sum = part.checksum;
                lfnStart = i;
            } else if (expect == 0 || ord != expect - 1 || part.checksum != sum || lastPart) {
                expect = 0;
                continue;
            }
            expect = ord;
            for (size_t j = 0; j < kLfnUnits; ++j)
                lfn[size_t(ord - 1) * kLfnUnits + j] =
                    static_cast<char16_t>(LfnUnit(part, j).Get());
            continue;
        }
        uint8_t attr = rec.attr;
        DirEntry de;
        std::memcpy(de.shortName.data(), rec.name, sizeof rec.name);
        de.attr = attr;
        de.cluster = rec.firstCluster.Get();
        de.size = rec.size.Get();
        de.shortSlot = i;
        de.firstSlot = i;
        if (expect == 1 && LfnChecksum(de.shortName) == sum) {
            size_t end = lfn.find(u'\0');
            std::u16string name = lfn.substr(0, end);
            if (!name.empty()) {
                de.foldedLong = FoldCase(name);
                de.firstSlot = lfnStart;
            }
        }
        expect = 0;
        if (attr & kAttrVolume) continue;  // the volume label is not a file
        de.foldedShort = FoldCase(AnsiToUtf16Lenient(ShortNameText(de.shortName)));
        d->entries.push_back(std::move(de));
    }
    return 0;
}

uint64_t FatVolume::SlotOffset(const Dir& d, uint32_t slot) const {
    if (d.cluster == 0) return geo_.RootOffset() + uint64_t{slot} * kDirRecordBytes;
    uint32_t per = geo_.ClusterBytes() / kDirRecordBytes;
    return geo_.ClusterOffset(d.chain[slot / per]) + uint64_t{slot % per} * kDirRecordBytes;
}

int FatVolume::Resolve(std::string_view path, Found* out) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find_first_of("\\/", i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    if (int e = LoadDir(0, &out->parent)) return e;
    if (parts.empty()) {
        out->isRoot = true;
        return 0;
    }
    for (size_t k = 0; k < parts.size(); ++k) {
        auto wide = AnsiToUtf16(parts[k]);
        std::optional<std::u16string> name;
        if (wide) name = CleanLongName(*wide);
        bool last = k + 1 == parts.size();
        if (last) {
            if (name) {
                out->name = *name;
                out->index = out->parent.Find(FoldCase(*name));
            }
            return 0;
        }
        if (!name) return ENOENT;
        int idx = out->parent.Find(FoldCase(*name));
        if (idx < 0) return ENOENT;
        const DirEntry& e = out->parent.entries[static_cast<size_t>(idx)];
        if (!e.IsDir()) return ENOTDIR;
        // "." and ".." entries are found by their short names; both lead
        // where a walk of the path text already went, or to the root (0).
        uint32_t next = e.cluster;
        Dir child;
        if (int err = LoadDir(next, &child)) return err;
        out->parent = std::move(child);
    }
    return 0;
}

int FatVolume::AddEntry(Dir& d, const std::u16string& name, uint8_t attr, uint32_t cluster,
                        int64_t mtime, uint64_t* entryOffset) {
    if (readOnly_) return EROFS;
    auto taken = [&d](const ShortName& s) {
        for (const DirEntry& e : d.entries)
            if (e.shortName == s) return true;
        return false;
    };
    std::vector<std::array<uint8_t, 32>> slots;
    ShortName shortName;
    if (auto exact = ExactShortName(name)) {
        if (taken(*exact)) return EEXIST;
        shortName = *exact;
    } else {
        auto alias = MakeShortAlias(name, taken);
        if (!alias) return EEXIST;
        shortName = *alias;
        slots = EncodeLfnEntries(name, shortName);
    }
    slots.push_back(ShortEntry(shortName, attr, cluster, 0, mtime));
    uint32_t need = static_cast<uint32_t>(slots.size());

    // A run of free slots: deleted ones, or any from the end mark on.
    uint32_t start = 0, run = 0;
    for (uint32_t i = 0; i < d.SlotCount() && run < need; ++i) {
        bool free = i >= d.endSlot || d.bytes[size_t{i} * kDirRecordBytes] == kEntryDeleted;
        if (!free) {
            run = 0;
        } else if (run++ == 0) {
            start = i;
        }
    }
    if (run < need) {
        if (d.cluster == 0) return ENOSPC;  // the root folder has a fixed size
        if (!d.clean) return EUCLEAN;
        if (run == 0) start = d.SlotCount();
        uint32_t per = geo_.ClusterBytes() / kDirRecordBytes;
        uint32_t more = (need - run + per - 1) / per;
        if (d.SlotCount() + more * per > kMaxDirSlots) return ENOSPC;
        uint32_t first = 0, last = 0;
        if (int e = Allocate(more, &first, &last)) return e;
        for (uint32_t c = first;; c = FatGet(c)) {
            if (int e = ZeroCluster(c)) {
                FreeChain(first);
                return e;
            }
            d.chain.push_back(c);
            d.bytes.resize(d.bytes.size() + geo_.ClusterBytes(), 0);
            if (c == last) break;
        }
        FatSet(d.chain[d.chain.size() - more - 1], first);
    }
    for (uint32_t k = 0; k < need; ++k) {
        if (!storage_.WriteAt(SlotOffset(d, start + k), slots[k].data(), kDirRecordBytes))
            return errno ? errno : EIO;
        std::memcpy(&d.bytes[size_t{start + k} * kDirRecordBytes], slots[k].data(),
                    kDirRecordBytes);
    }
    // Slots after the old end mark may hold leftovers; keep the folder ending
    // right after the new entry.
    uint32_t after = start + need;
    if (after >= d.endSlot && after < d.SlotCount() &&
        d.bytes[size_t{after} * kDirRecordBytes] != 0) {
        uint8_t zero = 0;
        if (!storage_.WriteAt(SlotOffset(d, after), &zero, 1)) return errno ? errno : EIO;
        d.bytes[size_t{after} * kDirRecordBytes] = 0;
    }
    d.endSlot = std::max(d.endSlot, after);

    DirEntry de;
    de.shortName = shortName;
    de.foldedShort = FoldCase(AnsiToUtf16Lenient(ShortNameText(shortName)));
    if (need > 1) de.foldedLong = FoldCase(name);
    de.attr = attr;
    de.cluster = cluster;
    de.firstSlot = start;
    de.shortSlot = start + need - 1;
    d.entries.push_back(de);
    *entryOffset = SlotOffset(d, de.shortSlot);
    return 0;
}

int FatVolume::MakeDir(Dir& parent, const std::u16string& name, int64_t mtime, uint32_t* cluster) {
    uint32_t c = 0, last = 0;
    if (int e = Allocate(1, &c, &last)) return e;
    int err = ZeroCluster(c);
    if (!err) {
        ShortName dot, dotdot;
        dot.fill(' ');
        dotdot.fill(' ');
        dot[0] = '.';
        dotdot[0] = dotdot[1] = '.';
        auto a = ShortEntry(dot, kAttrDir, c, 0, mtime);
        auto b = ShortEntry(dotdot, kAttrDir, parent.cluster, 0, mtime);
        uint64_t at = geo_.ClusterOffset(c);
        if (!storage_.WriteAt(at, a.data(), kDirRecordBytes) ||
            !storage_.WriteAt(at + kDirRecordBytes, b.data(), kDirRecordBytes))
            err = errno ? errno : EIO;
    }
    uint64_t entry = 0;
    if (!err) err = AddEntry(parent, name, kAttrDir, c, mtime, &entry);
    if (err) {
        FreeChain(c);
        return err;
    }
    *cluster = c;
    return 0;
}

void FatVolume::DeleteEntry(Dir& d, size_t index) {
    DirEntry& e = d.entries[index];
    uint8_t mark = kEntryDeleted;
    for (uint32_t s = e.firstSlot; s <= e.shortSlot; ++s) {
        storage_.WriteAt(SlotOffset(d, s), &mark, 1);
        d.bytes[size_t{s} * kDirRecordBytes] = mark;
    }
    auto it = nodes_.find(SlotOffset(d, e.shortSlot));
    uint32_t cluster = e.cluster;
    if (it != nodes_.end()) {
        if (auto n = it->second.lock()) {
            cluster = n->firstCluster;
            n->firstCluster = 0;
            n->size = 0;
            ++n->generation;
        }
        nodes_.erase(it);
    }
    FreeChain(cluster);
    d.entries.erase(d.entries.begin() + static_cast<std::ptrdiff_t>(index));
}

// ---- files --------------------------------------------------------------

std::shared_ptr<FileNode> FatVolume::NodeFor(uint64_t entryOffset, uint32_t cluster,
                                             uint32_t size) {
    auto& slot = nodes_[entryOffset];
    if (auto n = slot.lock()) return n;
    auto n = std::make_shared<FileNode>();
    n->entryOffset = entryOffset;
    n->firstCluster = cluster;
    n->size = size;
    slot = n;
    return n;
}

int FatVolume::WriteEntryFields(const FileNode& n, int64_t mtime) {
    uint8_t e[kDirRecordBytes];
    if (storage_.ReadAt(n.entryOffset, e, sizeof e) != sizeof e) return EIO;
    auto r = LoadRecord<DirRecord>(e);
    uint16_t t, d;
    FatStamp(mtime, &t, &d);
    r.accessDate.Set(d);
    r.clusterHigh.Set(0);
    r.writeTime.Set(t);
    r.writeDate.Set(d);
    r.firstCluster.Set(n.firstCluster);
    r.size.Set(n.size);
    StoreRecord(r, e);
    if (!storage_.WriteAt(n.entryOffset, e, sizeof e)) return errno ? errno : EIO;
    return 0;
}

int FatVolume::Truncate(FileNode& n) {
    if (readOnly_) return EROFS;
    FreeChain(n.firstCluster);
    n.firstCluster = 0;
    n.size = 0;
    ++n.generation;
    int e = WriteEntryFields(n, time(nullptr));
    int f = Flush();
    return e ? e : f;
}

int FatVolume::Open(std::string_view path, uint32_t creation, bool read, bool write,
                    FileCursor* out) {
    if (creation < kCreateNew || creation > kTruncateExisting) return EINVAL;
    if (write && readOnly_) return EROFS;
    Found f;
    if (int e = Resolve(path, &f)) return e;
    if (f.isRoot) return EISDIR;
    std::shared_ptr<FileNode> node;
    if (f.index >= 0) {
        const DirEntry& e = f.parent.entries[static_cast<size_t>(f.index)];
        if (e.IsDir()) return EISDIR;
        if (creation == kCreateNew) return EEXIST;
        node = NodeFor(SlotOffset(f.parent, e.shortSlot), e.cluster, e.size);
        if (creation == kCreateAlways || creation == kTruncateExisting) {
            if (!write) return EACCES;
            if (int err = Truncate(*node)) return err;
        }
    } else {
        if (creation == kOpenExisting || creation == kTruncateExisting) return ENOENT;
        if (f.name.empty()) return EINVAL;
        if (!write) return EACCES;
        uint64_t entry = 0;
        if (int err = AddEntry(f.parent, f.name, kAttrArchive, 0, time(nullptr), &entry))
            return err;
        if (int err = Flush()) return err;
        node = NodeFor(entry, 0, 0);
    }
    *out = FileCursor{};
    out->node = node;
    out->canRead = read;
    out->canWrite = write;
    return 0;
}

int64_t FatVolume::Read(FileCursor& f, void* buf, uint32_t count, int* err) {
    if (!f.canRead) {
        *err = EBADF;
        return -1;
    }
    FileNode& n = *f.node;
    if (f.pos >= n.size || count == 0) return 0;
    uint32_t want = std::min<uint32_t>(count, n.size - f.pos);
    want = std::min<uint32_t>(want, INT32_MAX);
    uint32_t cb = geo_.ClusterBytes();
    auto* p = static_cast<uint8_t*>(buf);
    uint32_t done = 0;
    while (done < want) {
        uint32_t c;
        if (!ClusterAt(f, f.pos / cb, &c)) {
            *err = EUCLEAN;
            break;
        }
        uint32_t off = f.pos % cb;
        uint32_t chunk = std::min(cb - off, want - done);
        int64_t r = storage_.ReadAt(geo_.ClusterOffset(c) + off, p + done, chunk);
        if (r < 0) {
            *err = EIO;
            break;
        }
        done += static_cast<uint32_t>(r);
        f.pos += static_cast<uint32_t>(r);
        if (static_cast<uint32_t>(r) < chunk) {
            *err = EIO;  // the image ends inside the file
            break;
        }
    }
    return done > 0 || want == 0 ? static_cast<int64_t>(done) : -1;
}

// Writes len bytes from src (zeros when null) at `at`, inside clusters the
// file already owns.
int FatVolume::WriteSpan(FileCursor& f, uint32_t at, const uint8_t* src, uint32_t len) {
    uint32_t cb = geo_.ClusterBytes();
    uint32_t done = 0;
    while (done < len) {
        uint32_t pos = at + done;
        uint32_t index = pos / cb;
        uint32_t c;
        if (!ClusterAt(f, index, &c)) return EUCLEAN;
        uint32_t off = pos % cb;
        uint64_t to = geo_.ClusterOffset(c) + off;
        uint32_t chunk = std::min(cb - off, len - done);
        // Clusters that follow each other on disk go out in one write.
        while (chunk < len - done) {
            uint32_t next = FatGet(c);
            if (next != c + 1 || !IsCluster(next)) break;
            c = next;
            ++index;
            chunk += std::min(cb, len - done - chunk);
        }
        f.cacheIndex = index;
        f.cacheCluster = c;
        for (uint32_t left = chunk; left > 0;) {
            // Zeros come from a 64 KiB block, so they go in pieces.
            uint32_t piece = src ? left : std::min<uint32_t>(left, 65536);
            const uint8_t* from = src ? src + done + (chunk - left) : Zeros();
            if (!storage_.WriteAt(to, from, piece)) return errno ? errno : EIO;
            to += piece;
            left -= piece;
        }
        done += chunk;
    }
    return 0;
}

void FatVolume::TrimTo(FileCursor& f) {
    FileNode& n = *f.node;
    uint32_t cb = geo_.ClusterBytes();
    uint32_t keep = static_cast<uint32_t>((uint64_t{n.size} + cb - 1) / cb);
    uint32_t last = 0;
    if (keep == 0) {
        FreeChain(n.firstCluster);
        n.firstCluster = 0;
    } else if (ClusterAt(f, keep - 1, &last)) {
        uint32_t next = FatGet(last);
        FatSet(last, EndMark());
        if (IsCluster(next)) FreeChain(next);
    }
    ++n.generation;
}

int64_t FatVolume::Write(FileCursor& f, const void* buf, uint32_t count, int* err) {
    *err = 0;
    if (!f.canWrite) {
        *err = EBADF;
        return -1;
    }
    if (readOnly_) {
        *err = EROFS;
        return -1;
    }
    if (count == 0) return 0;
    count = std::min<uint32_t>(count, INT32_MAX);
    FileNode& n = *f.node;
    uint64_t end = uint64_t{f.pos} + count;
    if (end > UINT32_MAX) {
        *err = EFBIG;
        return -1;
    }
    uint32_t cb = geo_.ClusterBytes();
    uint64_t have = (uint64_t{n.size} + cb - 1) / cb;
    uint64_t want = std::max<uint64_t>(have, (end + cb - 1) / cb);
    if (want > have) {
        uint32_t last = 0;
        if (have > 0) {
            // The chain must end where the size says, or growing it would
            // tie new clusters to some other file's.
            if (!ClusterAt(f, static_cast<uint32_t>(have - 1), &last) || !IsEnd(FatGet(last))) {
                *err = EUCLEAN;
                return -1;
            }
        } else if (n.firstCluster != 0) {
            *err = EUCLEAN;
            return -1;
        }
        if (want - have > freeClusters_) {
            *err = ENOSPC;
            return -1;
        }
        uint32_t first = 0, tail = 0;
        if (int e = Allocate(static_cast<uint32_t>(want - have), &first, &tail)) {
            *err = e;
            return -1;
        }
        if (last) {
            FatSet(last, first);
        } else {
            n.firstCluster = first;
            ++n.generation;
        }
    }
    int e = 0;
    if (f.pos > n.size) e = WriteSpan(f, n.size, nullptr, f.pos - n.size);
    if (!e) e = WriteSpan(f, f.pos, static_cast<const uint8_t*>(buf), count);
    if (!e) {
        f.pos += count;
        n.size = std::max(n.size, f.pos);
    } else if (want > have) {
        TrimTo(f);  // give back the clusters the failed write took
    }
    int e2 = WriteEntryFields(n, time(nullptr));
    int e3 = Flush();
    if (e || e2 || e3) {
        *err = e ? e : (e2 ? e2 : e3);
        return -1;
    }
    return count;
}

// ---- importing a local folder ----------------------------------------------

int FatVolume::ImportDir(const std::string& localFolder, std::string_view target) {
    if (readOnly_) return EROFS;
    Found f;
    if (int e = Resolve(target, &f)) return e;
    uint32_t cluster = 0;
    if (!f.isRoot) {
        if (f.index < 0) return ENOENT;
        const DirEntry& e = f.parent.entries[static_cast<size_t>(f.index)];
        if (!e.IsDir()) return ENOTDIR;
        cluster = e.cluster;
        if (!IsCluster(cluster)) return EUCLEAN;
    }
    // The folder named by the caller is taken as it is found; inside it,
    // everything is reached relative to its parent and links are never
    // followed, so nothing from elsewhere can be drawn into the image.
    std::unique_ptr<files::Folder> local = files::Folder::Open(localFolder);
    if (!local) return errno;
    std::vector<std::string> ancestors;
    int e = ImportInto(*local, cluster, ancestors);
    local.reset();
    int fl = Flush();
    return e ? e : fl;
}

int FatVolume::ImportInto(files::Folder& dir, uint32_t dirCluster,
                          std::vector<std::string>& ancestors) {
    files::Status st;
    if (!dir.Stat(&st)) return errno;
    if (st.kind != files::Kind::Folder) return ENOTDIR;
    const std::string id = st.identity;
    // A folder mounted inside itself would never end.
    if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end() ||
        ancestors.size() >= kMaxDepth)
        return ELOOP;

    std::vector<std::string> names;
    if (!dir.List(&names)) return errno;
    std::sort(names.begin(), names.end());  // the same tree gives the same image

    Dir d;
    if (int e = LoadDir(dirCluster, &d)) return e;
    ancestors.push_back(id);
    std::vector<std::u16string> added;  // folded names made by this copy
    int result = 0;
    for (const std::string& n : names) {
        files::Status cs;
        if (!dir.StatChild(n, &cs)) {
            result = errno;
            break;
        }
        if (cs.kind == files::Kind::Link) continue;  // what it points to is not part of the tree
        auto wide = Utf8ToUtf16(n);
        if (!wide) {
            result = EILSEQ;
            break;
        }
        auto name = CleanLongName(*wide);
        if (!name) {
            result = EINVAL;
            break;
        }
        std::u16string folded = FoldCase(*name);
        // Two local names that FAT cannot tell apart ("a.txt" and "A.TXT").
        if (std::find(added.begin(), added.end(), folded) != added.end()) {
            result = EEXIST;
            break;
        }
        added.push_back(folded);
        if (cs.kind != files::Kind::Folder && cs.kind != files::Kind::Regular) {
            result = ENOTSUP;  // devices, pipes and sockets have no place in an image
            break;
        }
        // Opened without following a link, and checked again once open: an
        // entry swapped for a link or a pipe meanwhile is refused, never
        // followed or waited on.
        std::unique_ptr<files::Folder> sub;
        int fd = -1;
        files::Status os;
        if (cs.kind == files::Kind::Folder) {
            sub = dir.OpenChild(n);
            if (!sub) {
                result = errno;
                break;
            }
            if (!sub->Stat(&os) || os.kind != files::Kind::Folder) {
                result = ENOTSUP;
                break;
            }
        } else {
            fd = dir.OpenChildFile(n);
            if (fd < 0) {
                result = errno;
                break;
            }
            if (!files::StatFd(fd, &os) || os.kind != files::Kind::Regular) {
                files::Close(fd);
                result = ENOTSUP;
                break;
            }
        }
        int existing = d.Find(folded);
        if (sub) {
            uint32_t child = 0;
            if (existing >= 0) {
                const DirEntry& e = d.entries[static_cast<size_t>(existing)];
                if (!e.IsDir()) {
                    result = EEXIST;
                } else {
                    child = e.cluster;
                    if (!IsCluster(child)) result = EUCLEAN;
                }
            } else {
                result = MakeDir(d, *name, os.mtime, &child);
            }
            if (result == 0 && (result = Flush()) == 0) result = ImportInto(*sub, child, ancestors);
        } else {
            result = ImportFile(fd, d, *name, existing, os.mtime);
            files::Close(fd);
        }
        if (result != 0) break;
    }
    ancestors.pop_back();
    return result;
}

int FatVolume::ImportFile(int fd, Dir& d, const std::u16string& name, int existing, int64_t mtime) {
    std::shared_ptr<FileNode> node;
    if (existing >= 0) {
        const DirEntry& e = d.entries[static_cast<size_t>(existing)];
        if (e.IsDir()) return EEXIST;
        node = NodeFor(SlotOffset(d, e.shortSlot), e.cluster, e.size);
        if (int err = Truncate(*node)) return err;
    } else {
        uint64_t entry = 0;
        if (int err = AddEntry(d, name, kAttrArchive, 0, mtime, &entry)) return err;
        existing = static_cast<int>(d.entries.size() - 1);
        node = NodeFor(entry, 0, 0);
    }
    FileCursor cur;
    cur.node = node;
    cur.canWrite = true;
    std::vector<uint8_t> buf(kCopyChunk);
    int err = 0;
    for (;;) {
        const long long r = files::Read(fd, buf.data(), buf.size());
        if (r < 0) {
            err = errno;
            break;
        }
        if (r == 0) break;
        if (Write(cur, buf.data(), static_cast<uint32_t>(r), &err) < 0) break;
    }
    if (!err) err = WriteEntryFields(*node, mtime);
    if (err) {
        // A half-copied file would pass for a whole one: remove it.
        DeleteEntry(d, static_cast<size_t>(existing));
        Flush();
    }
    return err;
}

}  // namespace ts::volkit
