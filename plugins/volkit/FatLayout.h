#pragma once
// The shape of a FAT12/FAT16 volume: computed for a new volume from its size,
// or read back from the boot sector of an existing one.
#include <cstdint>
#include <optional>
#include <string_view>

namespace ts::volkit {

constexpr uint32_t kSectorBytes = 512;
// Eight reserved sectors keep the device's first 4 KiB free of file-system
// structures. The write flow stamps the image length into byte 2048 of the
// block it sends and a reader takes a length from byte 1024; both lie in
// sectors 2 and 4, which no FAT, folder or file may then occupy.
constexpr uint32_t kReservedSectors = 8;
static_assert(kReservedSectors * kSectorBytes >= 2048 + 4);
constexpr uint32_t kRootEntries = 512;
constexpr uint32_t kMinClusters = 16;
// FAT12 up to 4084 clusters, FAT16 from 4087 to 65524: the counts 4085 and
// 4086 are read as FAT12 by some drivers and as FAT16 by others, so they are
// never made.
constexpr uint32_t kMaxFat12Clusters = 4084;
constexpr uint32_t kMinFat16Clusters = 4087;
constexpr uint32_t kMaxFat16Clusters = 65524;
constexpr uint8_t kMedia = 0xF8;

struct FatGeometry {
    uint32_t bytesPerSector = kSectorBytes;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t fatCount = 0;
    uint32_t fatSectors = 0;  // per FAT
    uint32_t rootEntries = 0;
    uint32_t totalSectors = 0;
    uint32_t clusterCount = 0;  // data clusters, numbered 2 .. clusterCount + 1
    uint32_t fatBits = 0;       // 12 or 16
    uint8_t media = kMedia;

    uint32_t RootSectors() const {
        return (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    }
    uint32_t FirstDataSector() const {
        return reservedSectors + fatCount * fatSectors + RootSectors();
    }
    uint32_t ClusterBytes() const { return sectorsPerCluster * bytesPerSector; }
    uint64_t FatOffset(uint32_t copy) const {
        return (uint64_t{reservedSectors} + uint64_t{copy} * fatSectors) * bytesPerSector;
    }
    uint64_t RootOffset() const { return FatOffset(fatCount); }
    uint64_t ClusterOffset(uint32_t cluster) const {
        return (uint64_t{FirstDataSector()} + uint64_t{cluster - 2} * sectorsPerCluster) *
               bytesPerSector;
    }
    uint64_t VolumeBytes() const { return uint64_t{totalSectors} * bytesPerSector; }
    bool operator==(const FatGeometry&) const = default;
};

enum class LayoutError { kNone, kBadFatCount, kTooSmall, kTooLarge };

// The layout of a new volume of `sectors` 512-byte sectors with `fatCount`
// FATs (1 or 2). Cluster size starts at 2 KiB and doubles until the count
// fits FAT12 or FAT16, up to 64 KiB clusters. Nothing when no FAT12/16
// volume of that size can be made; `why` then says which limit it hit.
std::optional<FatGeometry> ComputeFatLayout(uint32_t sectors, uint32_t fatCount,
                                            LayoutError* why = nullptr);

// The 512-byte boot sector of a new volume; `label` is 11 bytes, space padded.
void EncodeBootSector(const FatGeometry& g, uint32_t volumeId, const char (&label)[11],
                      uint8_t (&out)[512]);

// Reads and checks a boot sector (at least 512 bytes). Nothing when it does
// not describe a FAT12/FAT16 volume that can be walked safely.
std::optional<FatGeometry> ParseBootSector(const uint8_t* sector);

}  // namespace ts::volkit
