#pragma once
// The on-disk records of a FAT12/FAT16 volume, byte for byte. They are
// copied in and out of image bytes with LoadRecord / StoreRecord, never
// reached through a pointer cast into a buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "Bytes.h"

namespace ts::volkit {

#pragma pack(push, 1)
// Sector 0: the jump, the BIOS parameter block, the extended block of
// FAT12/16 and the boot code.
struct BootSector {
    uint8_t jump[3];            // 0
    char oemName[8];            // 3
    Le16 bytesPerSector;        // 11
    uint8_t sectorsPerCluster;  // 13
    Le16 reservedSectors;       // 14
    uint8_t fatCount;           // 16
    Le16 rootEntries;           // 17
    Le16 totalSectors16;        // 19: 0 when the count needs 32 bits
    uint8_t media;              // 21
    Le16 fatSectors;            // 22: per FAT
    Le16 sectorsPerTrack;       // 24
    Le16 heads;                 // 26
    Le32 hiddenSectors;         // 28
    Le32 totalSectors32;        // 32
    uint8_t driveNumber;        // 36
    uint8_t reserved;           // 37
    uint8_t extendedSignature;  // 38: 0x29 when the next three fields hold
    Le32 volumeId;              // 39
    char label[11];             // 43
    char fsType[8];             // 54
    uint8_t bootCode[448];      // 62
    uint8_t signature[2];       // 510: 0x55 0xAA
};

// A short (8.3) folder entry.
struct DirRecord {
    uint8_t name[11];      // 0: 8 + 3 bytes, space padded; 0x00 ends, 0xE5 deleted
    uint8_t attr;          // 11
    uint8_t ntCase;        // 12
    uint8_t createTenths;  // 13
    Le16 createTime;       // 14
    Le16 createDate;       // 16
    Le16 accessDate;       // 18
    Le16 clusterHigh;      // 20: FAT32 only, 0 here
    Le16 writeTime;        // 22
    Le16 writeDate;        // 24
    Le16 firstCluster;     // 26
    Le32 size;             // 28
};

// A VFAT long-name entry: 13 UTF-16 units in three runs.
struct LfnRecord {
    uint8_t order;      // 0: part number 1-20, 0x40 on the last part
    Le16 name1[5];      // 1
    uint8_t attr;       // 11: always 0x0F
    uint8_t type;       // 12
    uint8_t checksum;   // 13: of the short name it belongs to
    Le16 name2[6];      // 14
    Le16 firstCluster;  // 26: always 0
    Le16 name3[2];      // 28
};
#pragma pack(pop)

static_assert(sizeof(BootSector) == 512);
static_assert(offsetof(BootSector, bytesPerSector) == 11);
static_assert(offsetof(BootSector, reservedSectors) == 14);
static_assert(offsetof(BootSector, rootEntries) == 17);
static_assert(offsetof(BootSector, totalSectors16) == 19);
static_assert(offsetof(BootSector, media) == 21);
static_assert(offsetof(BootSector, fatSectors) == 22);
static_assert(offsetof(BootSector, hiddenSectors) == 28);
static_assert(offsetof(BootSector, totalSectors32) == 32);
static_assert(offsetof(BootSector, extendedSignature) == 38);
static_assert(offsetof(BootSector, volumeId) == 39);
static_assert(offsetof(BootSector, label) == 43);
static_assert(offsetof(BootSector, fsType) == 54);
static_assert(offsetof(BootSector, bootCode) == 62);
static_assert(offsetof(BootSector, signature) == 510);

constexpr size_t kDirRecordBytes = 32;
static_assert(sizeof(DirRecord) == kDirRecordBytes);
static_assert(offsetof(DirRecord, attr) == 11);
static_assert(offsetof(DirRecord, createTime) == 14);
static_assert(offsetof(DirRecord, accessDate) == 18);
static_assert(offsetof(DirRecord, clusterHigh) == 20);
static_assert(offsetof(DirRecord, writeTime) == 22);
static_assert(offsetof(DirRecord, firstCluster) == 26);
static_assert(offsetof(DirRecord, size) == 28);

static_assert(sizeof(LfnRecord) == kDirRecordBytes);
static_assert(offsetof(LfnRecord, name1) == 1);
static_assert(offsetof(LfnRecord, attr) == offsetof(DirRecord, attr));
static_assert(offsetof(LfnRecord, checksum) == 13);
static_assert(offsetof(LfnRecord, name2) == 14);
static_assert(offsetof(LfnRecord, firstCluster) == 26);
static_assert(offsetof(LfnRecord, name3) == 28);

constexpr uint8_t kAttrVolume = 0x08;
constexpr uint8_t kAttrDir = 0x10;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kAttrLfn = 0x0F;  // read-only, hidden, system and volume at once
constexpr uint8_t kLfnLastPart = 0x40;
constexpr uint8_t kLfnOrderMask = 0x1F;
constexpr uint8_t kEntryEnd = 0x00;
constexpr uint8_t kEntryDeleted = 0xE5;
constexpr size_t kLfnUnits = 13;

// Unit i (0-12) of a long-name part.
inline Le16& LfnUnit(LfnRecord& r, size_t i) {
    return i < 5 ? r.name1[i] : i < 11 ? r.name2[i - 5] : r.name3[i - 11];
}
inline const Le16& LfnUnit(const LfnRecord& r, size_t i) {
    return i < 5 ? r.name1[i] : i < 11 ? r.name2[i - 5] : r.name3[i - 11];
}

// `p` must hold sizeof(T) bytes; the caller checks the bounds.
template <class T>
T LoadRecord(const uint8_t* p) {
    static_assert(std::is_trivially_copyable_v<T>);
    T r;
    std::memcpy(&r, p, sizeof r);
    return r;
}
template <class T>
void StoreRecord(const T& r, uint8_t* p) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(p, &r, sizeof r);
}

}  // namespace ts::volkit
