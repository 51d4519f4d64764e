// The plug-in's operations through its table: handles, lookups, reads,
// writes, imports, and images that are damaged or cut short.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "FatLayout.h"
#include "VolkitTestUtil.h"

namespace ts::test {
namespace {

namespace fs = std::filesystem;
using volkit::FatGeometry;

void PatchBytes(const fs::path& p, uint64_t off, const std::string& bytes) {
    std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(off));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

FatGeometry Geo(const fs::path& img) {
    uint8_t boot[512] = {};
    std::ifstream(img, std::ios::binary).read(reinterpret_cast<char*>(boot), sizeof boot);
    return *volkit::ParseBootSector(boot);
}

// Sets one FAT entry in every FAT copy.
void PatchFat(const fs::path& img, uint32_t cluster, uint32_t value) {
    FatGeometry g = Geo(img);
    std::string all = ReadFile(img);
    for (uint32_t k = 0; k < g.fatCount; ++k) {
        uint64_t base = g.FatOffset(k);
        if (g.fatBits == 16) {
            PatchBytes(img, base + 2 * cluster, {char(value), char(value >> 8)});
        } else {
            uint64_t off = base + cluster + cluster / 2;
            uint32_t old = uint8_t(all[off]) | (uint8_t(all[off + 1]) << 8);
            old = (cluster & 1) ? (old & 0x000F) | (value << 4) : (old & 0xF000) | value;
            PatchBytes(img, off, {char(old), char(old >> 8)});
        }
    }
}

class VolkitTest : public ::testing::Test {
protected:
    fs::path Img() const { return dir_.Path() / "tmp.data"; }
    fs::path Stage() const { return dir_.Path() / "prvdata"; }

    // The tree the write flow stages, plus the shapes that need care.
    void StageTypicalTree() {
        Put(Stage() / "SN" / "ID.txt", std::string("0x1A2B\0", 7));
        Put(Stage() / "ulpk" / "ulpkData.bin", Pattern(65536, 1));
        Put(Stage() / "Backup Copies" / "ulpkData.bin", Pattern(65536, 1));
        Put(Stage() / "Backup Copies" / "A much longer name than eight.dat", Pattern(5000, 2));
        Put(Stage() / "empty.txt", "");
        Put(Stage() / "deep" / "er" / "still" / "X.BIN", Pattern(3, 3));
    }

    static bool FsckClean(const fs::path& img) {
        std::string out;
        int rc = RunCommand("fsck.fat -n " + img.string() + " 2>&1", &out);
        EXPECT_EQ(rc, 0) << out;
        return rc == 0;
    }

    TempDir dir_;
};

TEST_F(VolkitTest, PathsAreFoundWhateverTheirSpelling) {
    StageTypicalTree();
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    struct Case {
        const char* path;
        std::string bytes;
    };
    const Case cases[] = {
        {"\\SN\\ID.txt", std::string("0x1A2B\0", 7)},
        {"/sn/id.TXT", std::string("0x1A2B\0", 7)},
        {"SN\\ID.txt", std::string("0x1A2B\0", 7)},
        {"\\SN\\\\.\\ID.txt", std::string("0x1A2B\0", 7)},
        {"\\ulpk\\..\\SN\\ID.txt", std::string("0x1A2B\0", 7)},
        {"\\ULPK\\ULPKDATA.BIN", Pattern(65536, 1)},
        {"\\backup copies\\ulpkdata.bin", Pattern(65536, 1)},
        {"\\BACKUP~1\\ULPKDATA.BIN", Pattern(65536, 1)},  // short aliases
        {"\\Backup Copies\\A much longer name than eight.dat", Pattern(5000, 2)},
        {"\\Backup Copies\\AMUCHL~1.DAT", Pattern(5000, 2)},
        {"\\empty.txt", ""},
        {"\\deep\\er\\still\\x.bin", Pattern(3, 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ReadResult r = ReadInner(Img(), c.path);
        EXPECT_EQ(r.err, 0);
        EXPECT_TRUE(r.bytes == c.bytes);
    }
    FsckClean(Img());
}

TEST_F(VolkitTest, MissingAndWrongKindsOfPaths) {
    StageTypicalTree();
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    struct Case {
        const char* path;
        int err;
    };
    const Case cases[] = {
        {"\\SN\\NOPE.txt", ENOENT},
        {"\\NOPE\\ID.txt", ENOENT},
        {"\\SN", EISDIR},
        {"\\", EISDIR},
        {"", EISDIR},
        {"\\empty.txt\\x", ENOTDIR},
        {"\\SN\\ID.txt:x", ENOENT},
        {"\\SN\\\xFF\xFF", ENOENT},  // not CP936
        {"\\MIDINFO", ENOENT},       // the volume label is not a file
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ReadResult r = ReadInner(Img(), c.path);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(VolkitTest, BadHandlesFailWithoutHarm) {
    ASSERT_EQ(BuildImage(Img(), 2048), 0);
    ASSERT_EQ(BuildImage(dir_.Path() / "b.img", 2048), 0);
    const VolkitApi& v = Vk();
    VolHandle a = v.VolOpen(Img().c_str());
    VolHandle b = v.VolOpen((dir_.Path() / "b.img").c_str());
    VolHandle closedImage = v.VolOpen((dir_.Path() / "b.img").c_str());
    ASSERT_EQ(v.VolClose(closedImage), 0);
    VolHandle fa = v.VolCreateFile(a, "\\F.TXT", kReadWrite, 3, nullptr, 4, 0x80, 0);
    VolHandle fb = v.VolCreateFile(b, "\\F.TXT", kReadWrite, 3, nullptr, 4, 0x80, 0);
    VolHandle closedFile = v.VolCreateFile(a, "\\G.TXT", kReadWrite, 3, nullptr, 4, 0x80, 0);
    ASSERT_TRUE(a > 0 && b > 0 && fa > 0 && fb > 0 && closedFile > 0);
    ASSERT_EQ(v.VolCloseFile(a, closedFile), 0);

    char buf[8] = {};
    for (VolHandle img : {-1, 0, INT32_MIN, 999999, closedImage, fa}) {
        SCOPED_TRACE(img);
        errno = 0;
        EXPECT_EQ(v.VolFormat(img, 2, 2048, "MIDINFO"), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(v.VolCreateFile(img, "\\F.TXT", kRead, 3, nullptr, 3, 0x80, 0), -1);
        EXPECT_EQ(v.VolImportDir(img, Stage().c_str(), "\\"), -1);
        EXPECT_EQ(v.VolClose(img), -1);
        EXPECT_EQ(errno, EBADF);
    }
    struct Pair {
        VolHandle image, file;
    };
    for (Pair p : {Pair{a, -1}, Pair{a, 0}, Pair{a, fb}, Pair{a, closedFile}, Pair{a, a},
                   Pair{b, fa}, Pair{closedImage, fa}, Pair{-5, fa}}) {
        SCOPED_TRACE(std::to_string(p.image) + "/" + std::to_string(p.file));
        errno = 0;
        EXPECT_EQ(v.VolSetFilePointer(p.image, p.file, 0, nullptr, 2), 0xFFFFFFFFu);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(v.VolReadFile(p.image, p.file, buf, sizeof buf), -1);
        EXPECT_EQ(v.VolWriteFile(p.image, p.file, buf, sizeof buf), -1);
        EXPECT_EQ(v.VolCloseFile(p.image, p.file), -1);
        EXPECT_EQ(errno, EBADF);
    }
    // The handles that were right all along still work.
    EXPECT_EQ(v.VolWriteFile(a, fa, "ok", 2), 2);
    EXPECT_EQ(v.VolCloseFile(a, fa), 0);
    EXPECT_EQ(v.VolClose(a), 0);
    EXPECT_EQ(v.VolClose(b), 0);
    // Closing an image closed its files too.
    EXPECT_EQ(v.VolReadFile(b, fb, buf, 1), -1);
    EXPECT_EQ(ReadInner(Img(), "\\F.TXT").bytes, "ok");
}

TEST_F(VolkitTest, MovingTheFilePointer) {
    Put(Stage() / "F.BIN", Pattern(5000, 4));
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    const VolkitApi& v = Vk();
    VolHandle h = v.VolOpen(Img().c_str());
    VolHandle f = v.VolCreateFile(h, "\\F.BIN", kRead, 3, nullptr, 3, 0x80, 0);
    ASSERT_GT(f, 0);
    struct Case {
        uint32_t origin;
        int32_t distance;
        std::optional<int32_t> high;
        uint32_t result;  // 0xFFFFFFFF: refused, the pointer stays at 100
        uint32_t after;
    };
    const Case cases[] = {
        {0, 0, {}, 0, 0},
        {2, 0, {}, 5000, 5000},
        {1, 50, {}, 150, 150},
        {1, -100, {}, 0, 0},
        {1, -101, {}, 0xFFFFFFFF, 100},
        {2, -5000, {}, 0, 0},
        {2, 10, {}, 5010, 5010},  // past the end is allowed
        {0, -1, {}, 0xFFFFFFFF, 100},
        {3, 0, {}, 0xFFFFFFFF, 100},
        {0, 0, 1, 0xFFFFFFFF, 100},          // 4 GiB: beyond any FAT file
        {0, -1, 0, 0xFFFFFFFF, 0xFFFFFFFF},  // 4 GiB - 1 is a position, not a failure
        {0, -1, -1, 0xFFFFFFFF, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.origin) + " " + std::to_string(c.distance));
        ASSERT_EQ(v.VolSetFilePointer(h, f, 100, nullptr, 0), 100u);
        int32_t high = c.high.value_or(0);
        errno = 1234;
        EXPECT_EQ(v.VolSetFilePointer(h, f, c.distance, c.high ? &high : nullptr, c.origin),
                  c.result);
        if (c.result == 0xFFFFFFFF && c.after != c.result) {
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_EQ(v.VolSetFilePointer(h, f, 0, nullptr, 1), c.after);
    }
    // Reading past the end gives nothing, not a failure.
    char buf[16];
    ASSERT_EQ(v.VolSetFilePointer(h, f, 4990, nullptr, 0), 4990u);
    EXPECT_EQ(v.VolReadFile(h, f, buf, sizeof buf), 10);
    EXPECT_EQ(v.VolReadFile(h, f, buf, sizeof buf), 0);
    v.VolCloseFile(h, f);
    v.VolClose(h);
}

TEST_F(VolkitTest, WritingGrowsFilesAndKeepsTheVolumeSound) {
    ASSERT_EQ(BuildImage(Img(), 2048), 0);
    const VolkitApi& v = Vk();
    VolHandle h = v.VolOpen(Img().c_str());
    // Folders are not made by opening a file.
    EXPECT_EQ(v.VolCreateFile(h, "\\NEW\\data.bin", kReadWrite, 3, nullptr, 4, 0x80, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    VolHandle f = v.VolCreateFile(h, "\\Data File.bin", kReadWrite, 3, nullptr, 4, 0x80, 0);
    ASSERT_GT(f, 0);
    std::string data = Pattern(10000, 5);
    EXPECT_EQ(v.VolWriteFile(h, f, data.data(), 3000), 3000);
    EXPECT_EQ(v.VolWriteFile(h, f, data.data() + 3000, 7000), 7000);
    ASSERT_EQ(v.VolSetFilePointer(h, f, 20000, nullptr, 0), 20000u);
    EXPECT_EQ(v.VolWriteFile(h, f, "tail", 4), 4);
    // Overwrite inside the file: no growth.
    ASSERT_EQ(v.VolSetFilePointer(h, f, 0, nullptr, 0), 0u);
    EXPECT_EQ(v.VolWriteFile(h, f, "HEAD", 4), 4);
    EXPECT_EQ(v.VolSetFilePointer(h, f, 0, nullptr, 2), 20004u);
    // A read-only handle cannot write.
    VolHandle r = v.VolCreateFile(h, "\\data file.bin", kRead, 3, nullptr, 3, 0x80, 0);
    EXPECT_EQ(v.VolWriteFile(h, r, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    // Creating what exists, or truncating what does not, is refused.
    EXPECT_EQ(v.VolCreateFile(h, "\\DATAFI~1.BIN", kReadWrite, 3, nullptr, 1, 0x80, 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(v.VolCreateFile(h, "\\none.bin", kReadWrite, 3, nullptr, 5, 0x80, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(v.VolCreateFile(h, "\\bad?.bin", kReadWrite, 3, nullptr, 2, 0x80, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    v.VolCloseFile(h, r);
    v.VolCloseFile(h, f);
    ASSERT_EQ(v.VolClose(h), 0);

    std::string expect = "HEAD" + data.substr(4) + std::string(10000, '\0') + "tail";
    ReadResult back = ReadInner(Img(), "\\Data File.bin");
    EXPECT_EQ(back.err, 0);
    EXPECT_TRUE(back.bytes == expect);
    FsckClean(Img());

    // Filling the volume: the write that does not fit changes nothing.
    h = v.VolOpen(Img().c_str());
    f = v.VolCreateFile(h, "\\fill.bin", kReadWrite, 3, nullptr, 2, 0x80, 0);
    std::string big = Pattern(2 << 20, 6);
    EXPECT_EQ(v.VolWriteFile(h, f, big.data(), static_cast<uint32_t>(big.size())), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(v.VolSetFilePointer(h, f, 0, nullptr, 2), 0u);
    EXPECT_EQ(v.VolWriteFile(h, f, big.data(), 100000), 100000);
    v.VolCloseFile(h, f);
    // Truncating an existing file on open.
    f = v.VolCreateFile(h, "\\Data File.bin", kReadWrite, 3, nullptr, 2, 0x80, 0);
    EXPECT_EQ(v.VolSetFilePointer(h, f, 0, nullptr, 2), 0u);
    v.VolCloseFile(h, f);
    v.VolClose(h);
    EXPECT_TRUE(ReadInner(Img(), "\\fill.bin").bytes == big.substr(0, 100000));
    FsckClean(Img());
}

TEST_F(VolkitTest, SizesThatCannotBeFormattedLeaveTheImageAlone) {
    const VolkitApi& v = Vk();
    struct Case {
        int32_t fats;
        uint32_t sectors;
        const char* label;
    };
    const Case cases[] = {
        {2, 0, "MIDINFO"},          {2, 105, "MIDINFO"},    {2, 8388608, "MIDINFO"},
        {2, UINT32_MAX, "MIDINFO"}, {0, 2048, "MIDINFO"},   {3, 2048, "MIDINFO"},
        {2, 2048, "TWELVE CHARS"},  {2, 2048, "BAD*LABEL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        WriteFile(Img(), "previous contents");
        VolHandle h = v.VolOpen(Img().c_str());
        errno = 0;
        EXPECT_EQ(v.VolFormat(h, c.fats, c.sectors, c.label), -1);
        EXPECT_EQ(errno, EINVAL);
        v.VolClose(h);
        EXPECT_EQ(ReadFile(Img()), "previous contents");
    }
}

TEST_F(VolkitTest, FormattingSizesTheImageAndKeepsTheLengthFieldsFree) {
    WriteFile(Img(), Pattern(3 << 20, 7));  // old contents, longer than the new volume
    ASSERT_EQ(BuildImage(Img(), 2048), 0);
    std::string img = ReadFile(Img());
    ASSERT_EQ(img.size(), 2048u * 512);
    EXPECT_EQ(img.substr(1024, 4), std::string(4, '\0'));
    EXPECT_EQ(img.substr(2048, 4), std::string(4, '\0'));
    EXPECT_EQ(img.substr(43, 11), "MIDINFO    ");
    EXPECT_EQ(Geo(Img()).reservedSectors, 8u);
    FsckClean(Img());

    // Formatting again drops every file, and the handles on them.
    Put(Stage() / "a.txt", "x");
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    VolHandle h = Vk().VolOpen(Img().c_str());
    VolHandle f = Vk().VolCreateFile(h, "\\a.txt", kRead, 3, nullptr, 3, 0x80, 0);
    ASSERT_GT(f, 0);
    ASSERT_EQ(Vk().VolFormat(h, 2, 4096, "MIDINFO"), 0);
    char c;
    EXPECT_EQ(Vk().VolReadFile(h, f, &c, 1), -1);
    EXPECT_EQ(Vk().VolCreateFile(h, "\\a.txt", kRead, 3, nullptr, 3, 0x80, 0), -1);
    Vk().VolClose(h);
    EXPECT_EQ(fs::file_size(Img()), 4096u * 512);
}

TEST_F(VolkitTest, OpeningOddLocalFiles) {
    EXPECT_EQ(Vk().VolOpen(nullptr), -1);
    EXPECT_EQ(Vk().VolOpen(""), -1);
    EXPECT_EQ(Vk().VolOpen(dir_.Path().c_str()), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(Vk().VolOpen((dir_.Path() / "no" / "such" / "dir" / "x").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    // A new file is created, and holds no volume until formatted.
    VolHandle h = Vk().VolOpen(Img().c_str());
    ASSERT_GT(h, 0);
    EXPECT_TRUE(fs::exists(Img()));
    EXPECT_EQ(Vk().VolCreateFile(h, "\\SN\\ID.txt", kRead, 3, nullptr, 3, 0x80, 0), -1);
    EXPECT_EQ(errno, EUCLEAN);
    EXPECT_EQ(Vk().VolImportDir(h, Stage().c_str(), "\\"), -1);
    Vk().VolClose(h);
}

TEST_F(VolkitTest, GarbageImagesAreRefused) {
    for (const std::string& bytes :
         {std::string(32768, '\0'), Pattern(32768, 8), std::string(100, '\xEB')}) {
        WriteFile(Img(), bytes);
        EXPECT_EQ(ReadInner(Img(), "\\SN\\ID.txt").err, EUCLEAN);
    }
}

TEST_F(VolkitTest, ImportProblemsAreReported) {
    struct Case {
        const char* what;
        std::vector<std::string> files;  // relative names in the staging folder
        int err;
    };
    const Case cases[] = {
        {"names FAT cannot tell apart", {"ab.txt", "AB.TXT"}, EEXIST},
        {"name that is not UTF-8", {"ok.txt", "\xFF\xFE.txt"}, EILSEQ},
        {"CP936 bytes are no UTF-8", {"\xD6\xD0\xCE\xC4.txt"}, EILSEQ},
        {"overlong UTF-8", {"\xC0\xAF.txt"}, EILSEQ},
        {"UTF-8 of a surrogate", {"\xED\xA0\x80.txt"}, EILSEQ},
        {"name with a colon", {"a:b.txt"}, EINVAL},
        {"file and folder of one name", {"x/y.txt", "X"}, EEXIST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Stage());
        fs::create_directories(Stage());
        for (const auto& n : c.files) Put(Stage() / n, "data");
        VolHandle h = Vk().VolOpen(Img().c_str());
        ASSERT_EQ(Vk().VolFormat(h, 2, 2048, "MIDINFO"), 0);
        errno = 0;
        EXPECT_EQ(Vk().VolImportDir(h, Stage().c_str(), "\\"), -1);
        EXPECT_EQ(errno, c.err);
        Vk().VolClose(h);
        FsckClean(Img());
    }
    // Missing sources and targets.
    VolHandle h = Vk().VolOpen(Img().c_str());
    EXPECT_EQ(Vk().VolImportDir(h, (dir_.Path() / "none").c_str(), "\\"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(Vk().VolImportDir(h, Stage().c_str(), "\\NOWHERE"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(Vk().VolImportDir(h, nullptr, "\\"), -1);
    Vk().VolClose(h);
}

TEST_F(VolkitTest, LinksInTheFolderAreNeverFollowed) {
    // What lies outside the imported folder, and links to it planted inside.
    TempDir outside;
    Put(outside.Path() / "secret.txt", "outside file");
    Put(outside.Path() / "folder" / "inner.txt", "outside folder");
    Put(Stage() / "sub" / "f.txt", "x");
    struct Case {
        const char* link;  // below the staging folder
        std::string target;
    };
    const Case cases[] = {
        {"file.txt", (outside.Path() / "secret.txt").string()},
        {"sub/dir", (outside.Path() / "folder").string()},
        {"sub/up", ".."},
        {"dangling", (outside.Path() / "none").string()},
        {"self", "self"},
    };
    for (const Case& c : cases) ASSERT_EQ(symlink(c.target.c_str(), (Stage() / c.link).c_str()), 0);
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    EXPECT_EQ(ReadInner(Img(), "\\sub\\f.txt").bytes, "x");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        EXPECT_EQ(ReadInner(Img(), c.link).err, ENOENT);
    }
    EXPECT_EQ(ReadInner(Img(), "\\sub\\dir\\inner.txt").err, ENOENT);
    FsckClean(Img());
}

TEST_F(VolkitTest, LocalNamesAreUtf8AndPathsInsideAreCp936) {
    // 目录/中文名.txt on the local disk, read back by its CP936 path.
    Put(Stage() / "\xE7\x9B\xAE\xE5\xBD\x95" / "\xE4\xB8\xAD\xE6\x96\x87\xE5\x90\x8D.txt", "gbk");
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    EXPECT_EQ(ReadInner(Img(), "\\\xC4\xBF\xC2\xBC\\\xD6\xD0\xCE\xC4\xC3\xFB.txt").bytes, "gbk");
    EXPECT_EQ(ReadInner(Img(), "\\__~1\\___~1.TXT").bytes, "gbk");
    FsckClean(Img());
}

TEST_F(VolkitTest, ImportingAgainReplacesFilesAndMergesFolders) {
    Put(Stage() / "SN" / "ID.txt", Pattern(9000, 9));
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    TempDir second;
    Put(second.Path() / "sn" / "id.TXT", "short");
    Put(second.Path() / "sn" / "other.txt", "new");
    VolHandle h = Vk().VolOpen(Img().c_str());
    EXPECT_EQ(Vk().VolImportDir(h, second.Path().c_str(), "\\"), 0);
    // Into a sub-folder as the target.
    EXPECT_EQ(Vk().VolImportDir(h, second.Path().c_str(), "\\SN"), 0);
    Vk().VolClose(h);
    EXPECT_EQ(ReadInner(Img(), "\\SN\\ID.txt").bytes, "short");
    EXPECT_EQ(ReadInner(Img(), "\\SN\\other.txt").bytes, "new");
    EXPECT_EQ(ReadInner(Img(), "\\SN\\sn\\id.txt").bytes, "short");
    FsckClean(Img());
}

TEST_F(VolkitTest, AFullVolumeFailsAndStaysSound) {
    // 200 sectors: 39 clusters of 2 KiB. The first file fits, the second not.
    Put(Stage() / "a.bin", Pattern(30000, 10));
    Put(Stage() / "b.bin", Pattern(60000, 11));
    Put(Stage() / "c.bin", Pattern(10, 12));
    VolHandle h = Vk().VolOpen(Img().c_str());
    ASSERT_EQ(Vk().VolFormat(h, 2, 200, "MIDINFO"), 0);
    EXPECT_EQ(Vk().VolImportDir(h, Stage().c_str(), "\\"), -1);
    EXPECT_EQ(errno, ENOSPC);
    Vk().VolClose(h);
    FsckClean(Img());
    EXPECT_TRUE(ReadInner(Img(), "\\a.bin").bytes == Pattern(30000, 10));
    EXPECT_EQ(ReadInner(Img(), "\\b.bin").err, ENOENT);  // no half copy left behind
    // The clusters the failed copy took are free again.
    fs::remove(Stage() / "a.bin");
    fs::remove(Stage() / "b.bin");
    Put(Stage() / "d.bin", Pattern(40000, 13));
    h = Vk().VolOpen(Img().c_str());
    EXPECT_EQ(Vk().VolImportDir(h, Stage().c_str(), "\\"), 0);
    Vk().VolClose(h);
    EXPECT_TRUE(ReadInner(Img(), "\\d.bin").bytes == Pattern(40000, 13));
    FsckClean(Img());
}

TEST_F(VolkitTest, AFullRootFolderFails) {
    for (int i = 0; i < 600; ++i) Put(Stage() / ("F" + std::to_string(i)), "");
    VolHandle h = Vk().VolOpen(Img().c_str());
    ASSERT_EQ(Vk().VolFormat(h, 2, 2048, "MIDINFO"), 0);
    EXPECT_EQ(Vk().VolImportDir(h, Stage().c_str(), "\\"), -1);
    EXPECT_EQ(errno, ENOSPC);
    Vk().VolClose(h);
    FsckClean(Img());
}

TEST_F(VolkitTest, ALargeFolderGrowsOverSeveralClusters) {
    for (int i = 0; i < 300; ++i)
        Put(Stage() / "many" / ("a rather long file name " + std::to_string(i) + ".txt"),
            std::to_string(i));
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    for (int i : {0, 150, 299})
        EXPECT_EQ(
            ReadInner(Img(), "\\many\\a rather long file name " + std::to_string(i) + ".txt").bytes,
            std::to_string(i));
    FsckClean(Img());
}

TEST_F(VolkitTest, ATruncatedImageReadsWhatIsThere) {
    Put(Stage() / "SN" / "ID.txt", "0x42");
    Put(Stage() / "big.bin", Pattern(65536, 14));
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    FatGeometry g = Geo(Img());
    // Cut inside big.bin: its start is read, then the read fails.
    uint64_t cut = g.ClusterOffset(2) + 40000;
    fs::resize_file(Img(), cut);
    EXPECT_EQ(ReadInner(Img(), "\\SN\\ID.txt").bytes, "0x42");
    ReadResult r = ReadInner(Img(), "\\big.bin");
    EXPECT_EQ(r.err, EIO);
    EXPECT_LT(r.bytes.size(), 65536u);
    EXPECT_TRUE(r.bytes == Pattern(65536, 14).substr(0, r.bytes.size()));
    // Nothing may be written into an image that lacks part of its volume.
    VolHandle h = Vk().VolOpen(Img().c_str());
    EXPECT_EQ(Vk().VolCreateFile(h, "\\new.txt", kReadWrite, 3, nullptr, 4, 0x80, 0), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(Vk().VolImportDir(h, Stage().c_str(), "\\"), -1);
    Vk().VolClose(h);
    EXPECT_EQ(fs::file_size(Img()), cut);
    // Cut inside the boot sector: refused.
    fs::resize_file(Img(), 300);
    EXPECT_EQ(ReadInner(Img(), "\\SN\\ID.txt").err, EUCLEAN);
}

TEST_F(VolkitTest, LoopingChainsEnd) {
    Put(Stage() / "A.BIN", Pattern(6000, 15));  // clusters 2, 3, 4
    Put(Stage() / "D" / "X.TXT", "x");          // folder D in cluster 5
    ASSERT_EQ(BuildImage(Img(), 2048, Stage()), 0);
    FatGeometry g = Geo(Img());
    PatchFat(Img(), 4, 2);  // A.BIN's chain loops back to its start
    PatchFat(Img(), 5, 5);  // D's chain loops onto itself
    // A.BIN's entry (slot 1, after the label) claims 1 MiB.
    PatchBytes(Img(), g.RootOffset() + 32 + 28, Le32(1 << 20));
    ReadResult r = ReadInner(Img(), "\\A.BIN");
    EXPECT_EQ(r.err, EUCLEAN);
    EXPECT_EQ(r.bytes.size(), size_t{g.clusterCount} * g.ClusterBytes());
    EXPECT_EQ(ReadInner(Img(), "\\D\\X.TXT").bytes, "x");
    EXPECT_EQ(ReadInner(Img(), "\\D\\Y.TXT").err, ENOENT);
    // A chain pointing outside the volume, or at a free cluster.
    PatchFat(Img(), 2, 0xFF0);
    EXPECT_EQ(ReadInner(Img(), "\\A.BIN").err, EUCLEAN);
    PatchFat(Img(), 2, 0);
    EXPECT_EQ(ReadInner(Img(), "\\A.BIN").err, EUCLEAN);
    // A folder growing over a looping chain is refused rather than tied in.
    VolHandle h = Vk().VolOpen(Img().c_str());
    int made = 0, err = 0;
    for (int i = 0; i < 100 && !err; ++i) {
        VolHandle f = Vk().VolCreateFile(h, ("\\D\\long name " + std::to_string(i)).c_str(),
                                         kReadWrite, 3, nullptr, 1, 0x80, 0);
        if (f < 0) {
            err = errno;
        } else {
            ++made;
            Vk().VolCloseFile(h, f);
        }
    }
    Vk().VolClose(h);
    EXPECT_EQ(err, EUCLEAN);
    EXPECT_GT(made, 0);
}

}  // namespace
}  // namespace ts::test
