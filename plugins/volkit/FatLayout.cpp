#include "FatLayout.h"

#include <cstring>

#include "FatRecords.h"

namespace ts::volkit {
namespace {

uint32_t FatSectorsFor(uint64_t clusters, uint32_t bits) {
    uint64_t bytes = ((clusters + 2) * bits + 7) / 8;
    return static_cast<uint32_t>((bytes + kSectorBytes - 1) / kSectorBytes);
}

// Clusters that fit when the FAT is sized for every sector after the fixed
// areas; the FAT is then at least as large as the count it must describe.
struct Fit {
    uint64_t clusters = 0;
    uint32_t fatSectors = 0;
};
Fit FitClusters(uint64_t total, uint32_t reserved, uint32_t fatCount, uint32_t spc, uint32_t bits) {
    uint64_t fixed = uint64_t{reserved} + kRootEntries * kDirRecordBytes / kSectorBytes;
    if (total <= fixed) return {};
    uint64_t avail = total - fixed;
    uint32_t fatSectors = FatSectorsFor(avail / spc, bits);
    if (avail <= uint64_t{fatCount} * fatSectors) return {};
    return {(avail - uint64_t{fatCount} * fatSectors) / spc, fatSectors};
}

FatGeometry Make(uint32_t total, uint32_t spc, uint32_t reserved, uint32_t fatCount, Fit fit,
                 uint32_t bits) {
    FatGeometry g;
    g.sectorsPerCluster = spc;
    g.reservedSectors = reserved;
    g.fatCount = fatCount;
    g.fatSectors = fit.fatSectors;
    g.rootEntries = kRootEntries;
    g.totalSectors = total;
    g.clusterCount = static_cast<uint32_t>(fit.clusters);
    g.fatBits = bits;
    return g;
}

}  // namespace

std::optional<FatGeometry> ComputeFatLayout(uint32_t sectors, uint32_t fatCount, LayoutError* why) {
    LayoutError dummy;
    if (!why) why = &dummy;
    *why = LayoutError::kNone;
    if (fatCount < 1 || fatCount > 2) {
        *why = LayoutError::kBadFatCount;
        return std::nullopt;
    }
    for (uint32_t spc = 4; spc <= 128; spc *= 2) {
        Fit f12 = FitClusters(sectors, kReservedSectors, fatCount, spc, 12);
        if (f12.clusters <= kMaxFat12Clusters) {
            if (f12.clusters < kMinClusters) {
                *why = LayoutError::kTooSmall;
                return std::nullopt;
            }
            return Make(sectors, spc, kReservedSectors, fatCount, f12, 12);
        }
        Fit f16 = FitClusters(sectors, kReservedSectors, fatCount, spc, 16);
        if (f16.clusters > kMaxFat16Clusters) continue;
        if (f16.clusters >= kMinFat16Clusters) {
            return Make(sectors, spc, kReservedSectors, fatCount, f16, 16);
        }
        // Too many clusters for FAT12, too few for FAT16: FAT12 with its
        // largest count, the spare sectors added to the reserved area.
        Fit capped{kMaxFat12Clusters, FatSectorsFor(kMaxFat12Clusters, 12)};
        uint32_t reserved = sectors - kRootEntries * kDirRecordBytes / kSectorBytes -
                            fatCount * capped.fatSectors - kMaxFat12Clusters * spc;
        return Make(sectors, spc, reserved, fatCount, capped, 12);
    }
    *why = LayoutError::kTooLarge;
    return std::nullopt;
}

void EncodeBootSector(const FatGeometry& g, uint32_t volumeId, const char (&label)[11],
                      uint8_t (&out)[512]) {
    BootSector b{};
    b.jump[0] = 0xEB;  // jump over the parameter block to the stub below
    b.jump[1] = 0x3C;
    b.jump[2] = 0x90;
    std::memcpy(b.oemName, "TAGSMITH", sizeof b.oemName);
    b.bytesPerSector.Set(g.bytesPerSector);
    b.sectorsPerCluster = static_cast<uint8_t>(g.sectorsPerCluster);
    b.reservedSectors.Set(g.reservedSectors);
    b.fatCount = static_cast<uint8_t>(g.fatCount);
    b.rootEntries.Set(g.rootEntries);
    if (g.totalSectors < 0x10000) {
        b.totalSectors16.Set(g.totalSectors);
    } else {
        b.totalSectors32.Set(g.totalSectors);
    }
    b.media = g.media;
    b.fatSectors.Set(g.fatSectors);
    b.sectorsPerTrack.Set(32);  // nominal values for a USB disk
    b.heads.Set(64);
    b.hiddenSectors.Set(0);  // the volume starts at sector 0 of the device
    b.driveNumber = 0x80;
    b.extendedSignature = 0x29;
    b.volumeId.Set(volumeId);
    std::memcpy(b.label, label, sizeof b.label);
    std::memcpy(b.fsType, g.fatBits == 12 ? "FAT12   " : "FAT16   ", sizeof b.fsType);
    // Not bootable: halt in a loop if a BIOS ever jumps here.
    b.bootCode[0] = 0xF4;
    b.bootCode[1] = 0xEB;
    b.bootCode[2] = 0xFD;
    b.signature[0] = 0x55;
    b.signature[1] = 0xAA;
    StoreRecord(b, out);
}

std::optional<FatGeometry> ParseBootSector(const uint8_t* sector) {
    const auto b = LoadRecord<BootSector>(sector);
    if (b.signature[0] != 0x55 || b.signature[1] != 0xAA) return std::nullopt;
    if (b.jump[0] != 0xEB && b.jump[0] != 0xE9) return std::nullopt;
    FatGeometry g;
    g.bytesPerSector = b.bytesPerSector.Get();
    g.sectorsPerCluster = b.sectorsPerCluster;
    g.reservedSectors = b.reservedSectors.Get();
    g.fatCount = b.fatCount;
    g.rootEntries = b.rootEntries.Get();
    g.totalSectors = b.totalSectors16.Get();
    if (g.totalSectors == 0) g.totalSectors = b.totalSectors32.Get();
    g.media = b.media;
    g.fatSectors = b.fatSectors.Get();

    uint32_t bps = g.bytesPerSector;
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return std::nullopt;
    uint32_t spc = g.sectorsPerCluster;
    if (spc == 0 || (spc & (spc - 1)) != 0 || spc * bps > 65536) return std::nullopt;
    if (g.reservedSectors == 0 || g.fatCount == 0 || g.fatCount > 4) return std::nullopt;
    // No root entries or no 16-bit FAT size means FAT32, which is not handled.
    if (g.rootEntries == 0 || g.fatSectors == 0 || g.totalSectors == 0) return std::nullopt;
    if (g.media != 0xF0 && g.media < 0xF8) return std::nullopt;

    uint64_t dataStart =
        uint64_t{g.reservedSectors} + uint64_t{g.fatCount} * g.fatSectors + g.RootSectors();
    if (dataStart >= g.totalSectors) return std::nullopt;
    uint64_t clusters = (g.totalSectors - dataStart) / spc;
    if (clusters == 0 || clusters > kMaxFat16Clusters) return std::nullopt;
    g.clusterCount = static_cast<uint32_t>(clusters);
    g.fatBits = clusters < 4085 ? 12 : 16;
    // The FAT must describe every cluster, or a walk would leave it.
    if (uint64_t{g.fatSectors} * bps * 8 / g.fatBits < clusters + 2) return std::nullopt;
    return g;
}

}  // namespace ts::volkit
