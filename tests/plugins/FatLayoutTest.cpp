// The layout of new volumes, and the names stored in folders.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>

#include "FatLayout.h"
#include "FatNames.h"
#include "tests/support/TestSupport.h"

namespace ts::volkit {
namespace {

struct LayoutCase {
    uint32_t sectors;
    uint32_t fatBits;
    uint32_t spc;
    uint32_t reserved;
    uint32_t fatSectors;
    uint32_t clusters;
};

TEST(FatLayout, ChosenFromTheSize) {
    const LayoutCase cases[] = {
        {106, 12, 4, 8, 1, 16},             // the smallest volume
        {2048, 12, 4, 8, 2, 501},           // 1 MiB
        {16384, 12, 4, 8, 12, 4080},        // 8 MiB, still FAT12
        {16410, 12, 4, 18, 12, 4084},       // between the types: FAT12, spare sectors reserved
        {16440, 16, 4, 8, 17, 4091},        // first sizes of FAT16
        {131072, 16, 4, 8, 128, 32694},     // 64 MiB
        {262144, 16, 4, 8, 256, 65398},     // 128 MiB, 2 KiB clusters still fit
        {524288, 16, 8, 8, 256, 65467},     // 256 MiB needs 4 KiB clusters
        {8386560, 16, 128, 8, 256, 65515},  // just under 4 GiB: 64 KiB clusters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        auto g = ComputeFatLayout(c.sectors, 2);
        ASSERT_TRUE(g);
        EXPECT_EQ(g->fatBits, c.fatBits);
        EXPECT_EQ(g->sectorsPerCluster, c.spc);
        EXPECT_EQ(g->reservedSectors, c.reserved);
        EXPECT_EQ(g->fatSectors, c.fatSectors);
        EXPECT_EQ(g->clusterCount, c.clusters);
        EXPECT_EQ(g->totalSectors, c.sectors);
        EXPECT_EQ(g->rootEntries, 512u);
        EXPECT_EQ(g->media, 0xF8);
    }
}

struct RefusedCase {
    uint32_t sectors;
    uint32_t fatCount;
    LayoutError why;
};

TEST(FatLayout, SizesNoVolumeCanTake) {
    const RefusedCase cases[] = {
        {0, 2, LayoutError::kTooSmall},          {41, 2, LayoutError::kTooSmall},
        {105, 2, LayoutError::kTooSmall},        {8388608, 2, LayoutError::kTooLarge},
        {UINT32_MAX, 2, LayoutError::kTooLarge}, {2048, 0, LayoutError::kBadFatCount},
        {2048, 3, LayoutError::kBadFatCount},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        LayoutError why = LayoutError::kNone;
        EXPECT_FALSE(ComputeFatLayout(c.sectors, c.fatCount, &why));
        EXPECT_EQ(why, c.why);
    }
}

// Every size that can be formatted gives a layout that a reader of the boot
// sector sees the same way: type from the cluster count, the FAT large
// enough, the first 4 KiB reserved, never 4085 or 4086 clusters.
TEST(FatLayout, EveryLayoutReadsBackTheSame) {
    std::vector<uint32_t> sizes;
    for (uint32_t s = 100; s < 20000; ++s) sizes.push_back(s);
    for (uint64_t s = 20000; s < 8400000; s = s * 21 / 20 + 7) sizes.push_back(uint32_t(s));
    int made = 0;
    for (uint32_t fats : {1u, 2u}) {
        for (uint32_t s : sizes) {
            auto g = ComputeFatLayout(s, fats);
            if (!g) continue;
            ++made;
            SCOPED_TRACE(s);
            ASSERT_NE(g->clusterCount, 4085u);
            ASSERT_NE(g->clusterCount, 4086u);
            ASSERT_EQ(g->fatBits, g->clusterCount <= 4084 ? 12u : 16u);
            ASSERT_GE(g->reservedSectors, kReservedSectors);
            ASSERT_GE(g->clusterCount, kMinClusters);
            uint8_t boot[512];
            const char label[11] = {'M', 'I', 'D', 'I', 'N', 'F', 'O', ' ', ' ', ' ', ' '};
            EncodeBootSector(*g, 1234, label, boot);
            auto back = ParseBootSector(boot);
            ASSERT_TRUE(back);
            ASSERT_EQ(*back, *g);
            ASSERT_EQ(std::memcmp(boot + 43, "MIDINFO    ", 11), 0);
            ASSERT_EQ(boot[28] | boot[29] | boot[30] | boot[31], 0);  // no hidden sectors
        }
    }
    EXPECT_GT(made, 20000);
}

// Cluster size and FAT type agree with the standard formatter for sizes where
// it uses the whole device.
TEST(FatLayout, MatchesTheStandardFormatter) {
    test::TempDir dir;
    for (uint32_t kib : {1024u, 16384u, 65536u, 262144u}) {
        SCOPED_TRACE(kib);
        auto img = dir.Path() / ("m" + std::to_string(kib));
        ASSERT_EQ(test::RunCommand("mkfs.fat -C " + img.string() + " " + std::to_string(kib) +
                                   " >/dev/null 2>&1"),
                  0);
        uint8_t boot[512] = {};
        std::ifstream(img, std::ios::binary).read(reinterpret_cast<char*>(boot), sizeof boot);
        auto theirs = ParseBootSector(boot);
        auto ours = ComputeFatLayout(kib * 2, 2);
        ASSERT_TRUE(theirs && ours);
        EXPECT_EQ(ours->sectorsPerCluster, theirs->sectorsPerCluster);
        EXPECT_EQ(ours->fatBits, theirs->fatBits);
    }
}

// A garbled boot sector is refused before anything is walked.
TEST(FatLayout, DamagedBootSectorsAreRefused) {
    auto g = ComputeFatLayout(2048, 2);
    ASSERT_TRUE(g);
    const char label[11] = {'M', 'I', 'D', 'I', 'N', 'F', 'O', ' ', ' ', ' ', ' '};
    struct Damage {
        const char* what;
        size_t offset;
        std::vector<uint8_t> bytes;
    };
    const Damage cases[] = {
        {"no signature", 510, {0, 0}},
        {"no jump", 0, {0}},
        {"sector size 0", 11, {0, 0}},
        {"sector size 513", 11, {1, 2}},
        {"3 sectors per cluster", 13, {3}},
        {"no reserved sectors", 14, {0, 0}},
        {"no FATs", 16, {0}},
        {"no root entries (FAT32)", 17, {0, 0}},
        {"FAT size 0 (FAT32)", 22, {0, 0}},
        {"FAT too small for the clusters", 22, {1, 0}},
        {"size smaller than the fixed areas", 19, {20, 0}},
        {"media byte", 21, {0x12}},
    };
    for (const auto& d : cases) {
        SCOPED_TRACE(d.what);
        uint8_t boot[512];
        EncodeBootSector(*g, 1, label, boot);
        std::memcpy(boot + d.offset, d.bytes.data(), d.bytes.size());
        EXPECT_FALSE(ParseBootSector(boot));
    }
}

std::string Text(const ShortName& s) { return std::string(s.begin(), s.end()); }

TEST(FatNames, ShortAliases) {
    struct Case {
        std::u16string name;
        std::set<std::string> taken;
        std::string alias;
    };
    const Case cases[] = {
        {u"ID.txt", {}, "ID      TXT"},  // only the case differs
        {u"ID.txt", {"ID      TXT"}, "ID~1    TXT"},
        {u"Long File Name.txt", {}, "LONGFI~1TXT"},
        {u"Long File Name.txt", {"LONGFI~1TXT"}, "LONGFI~2TXT"},
        {u"Long File Name.txt", {"LONGFI~1TXT", "LONGFI~2TXT"}, "LONGFI~3TXT"},
        {u".profile", {}, "PROFIL~1   "},
        {u"a.b.c.jpeg", {}, "ABC~1   JPE"},
        {u"a+b=c[1].txt", {}, "A_B_C_~1TXT"},
        {u"\u4E2D\u6587.txt", {}, "__~1    TXT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.alias);
        auto a = MakeShortAlias(c.name, [&](const ShortName& s) { return c.taken.count(Text(s)); });
        ASSERT_TRUE(a);
        EXPECT_EQ(Text(*a), c.alias);
    }
}

TEST(FatNames, WhichNamesAreStoredShortOnly) {
    EXPECT_EQ(Text(*ExactShortName(u"ID.TXT")), "ID      TXT");
    EXPECT_EQ(Text(*ExactShortName(u"SN")), "SN         ");
    for (const char16_t* n : {u"id.txt", u"ID.TEXT", u"LONGNAME9", u"A B", u".X", u"A.B.C"})
        EXPECT_FALSE(ExactShortName(n))
            << std::string(n, n + std::char_traits<char16_t>::length(n));
}

TEST(FatNames, CleaningLongNames) {
    EXPECT_EQ(*CleanLongName(u"name. . "), u"name");
    EXPECT_EQ(*CleanLongName(std::u16string(255, u'x')), std::u16string(255, u'x'));
    for (std::u16string bad :
         {std::u16string(u""), std::u16string(u"..."), std::u16string(256, u'x'),
          std::u16string(u"a:b"), std::u16string(u"a?"), std::u16string(u"a\x01")})
        EXPECT_FALSE(CleanLongName(bad));
}

TEST(FatNames, LongNameEntries) {
    ShortName alias;
    std::memcpy(alias.data(), "LONGFI~1TXT", 11);
    auto e = EncodeLfnEntries(u"Long File Name.txt", alias);  // 18 characters: 2 entries
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0][0], 0x42);  // last part first, flagged
    EXPECT_EQ(e[1][0], 0x01);
    EXPECT_EQ(e[0][11], 0x0F);
    EXPECT_EQ(e[0][13], LfnChecksum(alias));
    EXPECT_EQ(e[0][1], 'e');  // character 14 of the name
    EXPECT_EQ(e[1][1], 'L');
    EXPECT_EQ(e[0][14], 0x00);  // character 18 = terminator
    EXPECT_EQ(e[0][16], 0xFF);  // then padding
}

}  // namespace
}  // namespace ts::volkit
