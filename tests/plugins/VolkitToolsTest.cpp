// Images checked against the standard FAT tools in both directions: what the
// plug-in builds must pass fsck.fat and list and print right with mtools;
// what mkfs.fat and mcopy build must read right through the plug-in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "FatLayout.h"
#include "VolkitTestUtil.h"
#include "platform/Codepage.h"

namespace ts::test {
namespace {

namespace fs = std::filesystem;

// Files by their path inside the image ('/' separated, no leading '/').
using Tree = std::map<std::string, std::string>;

Tree SampleTree() {
    return {
        {"SN/ID.txt", std::string("0x00AB12\0", 9)},
        {"ulpk/ulpkData.bin", Pattern(65536, 21)},
        {"Backup Copies/ulpkData.bin", Pattern(65536, 21)},
        {"Backup Copies/A much longer name than eight.dat", Pattern(7000, 22)},
        {"Backup Copies/nested folder/deeper/Mixed Case.Txt", "mixed"},
        {"empty.txt", ""},
        {"README", "plain 8.3 name"},
        // Long names beyond ASCII, given as UTF-8 on both sides.
        {"数据/序列号.txt", std::string("0x5A\0", 5)},
        {"Backup Copies/备份 数据.bin", Pattern(3000, 24)},
    };
}

void Stage(const fs::path& root, const Tree& t) {
    for (const auto& [path, bytes] : t) Put(root / path, bytes);
}

std::string Sh(const std::string& cmd, int* rc = nullptr) {
    std::string out;
    // mtools reads and prints long names in the locale's character set.
    int r = RunCommand("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + cmd + " 2>&1", &out);
    if (rc) *rc = r;
    return out;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

uint32_t FatBits(const fs::path& img) {
    uint8_t boot[512] = {};
    std::ifstream(img, std::ios::binary).read(reinterpret_cast<char*>(boot), sizeof boot);
    auto g = volkit::ParseBootSector(boot);
    return g ? g->fatBits : 0;
}

// The paths mdir lists recursively, files and folders.
std::set<std::string> MdirPaths(const fs::path& img) {
    std::istringstream in(Sh("mdir -i " + img.string() + " -/ -b ::/"));
    std::set<std::string> out;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("::/", 0) == 0) out.insert(line.substr(3));
    }
    return out;
}

std::set<std::string> ExpectedPaths(const Tree& t) {
    std::set<std::string> out;
    for (const auto& [path, bytes] : t) {
        out.insert(path);
        for (size_t i = path.find('/'); i != std::string::npos; i = path.find('/', i + 1))
            out.insert(path.substr(0, i + 1));
    }
    return out;
}

struct SizeCase {
    uint32_t sectors;
    uint32_t fatBits;
};

class VolkitBuildsForTools : public ::testing::TestWithParam<SizeCase> {};

TEST_P(VolkitBuildsForTools, ToolsReadWhatThePluginBuilds) {
    TempDir dir;
    fs::path img = dir.Path() / "tmp.data", stage = dir.Path() / "prvdata";
    Tree tree = SampleTree();
    Stage(stage, tree);
    ASSERT_EQ(BuildImage(img, GetParam().sectors, stage), 0);
    EXPECT_EQ(fs::file_size(img), uint64_t{GetParam().sectors} * 512);
    EXPECT_EQ(FatBits(img), GetParam().fatBits);

    int rc = 0;
    std::string fsck = Sh("fsck.fat -n " + img.string(), &rc);
    EXPECT_EQ(rc, 0) << fsck;
    EXPECT_EQ(MdirPaths(img), ExpectedPaths(tree));
    EXPECT_NE(Sh("mdir -i " + img.string() + " ::/").find("Volume in drive : is MIDINFO"),
              std::string::npos);
    for (const auto& [path, bytes] : tree) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(Sh("mtype -i " + img.string() + " " + Q("::/" + path)) == bytes);
    }
    // Only the structures were written: a large volume stays a sparse file.
    struct stat st {};
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 2u << 20);
}

INSTANTIATE_TEST_SUITE_P(Sizes, VolkitBuildsForTools,
                         ::testing::Values(SizeCase{2048, 12},      // 1 MiB
                                           SizeCase{131072, 16}));  // 64 MiB

class ToolsBuildForVolkit : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ToolsBuildForVolkit, ThePluginReadsWhatToolsBuild) {
    TempDir dir;
    fs::path img = dir.Path() / "tool.img", stage = dir.Path() / "src";
    Tree tree = SampleTree();
    Stage(stage, tree);
    int rc = 0;
    std::string out =
        Sh("mkfs.fat -C " + img.string() + " " + std::to_string(GetParam().sectors / 2), &rc);
    ASSERT_EQ(rc, 0) << out;
    ASSERT_EQ(FatBits(img), GetParam().fatBits);
    out = Sh("cd " + stage.string() + " && mcopy -s -i " + img.string() + " * ::/", &rc);
    ASSERT_EQ(rc, 0) << out;
    for (const auto& [path, bytes] : tree) {
        SCOPED_TRACE(path);
        // Paths inside an image are CP936.
        ReadResult r = ReadInner(img, "\\" + WideToAnsi(Utf8ToWide(path)));
        EXPECT_EQ(r.err, 0);
        EXPECT_TRUE(r.bytes == bytes);
    }
    EXPECT_EQ(ReadInner(img, "\\Backup Copies\\missing").err, ENOENT);

    // Adding to a volume the tools made keeps it sound for them.
    TempDir more;
    Put(more.Path() / "SN" / "second id.txt", "2");
    Put(more.Path() / "Added Folder" / "big.bin", Pattern(20000, 23));
    VolHandle h = Vk().VolOpen(img.c_str());
    EXPECT_EQ(Vk().VolImportDir(h, more.Path().c_str(), "\\"), 0);
    Vk().VolClose(h);
    out = Sh("fsck.fat -n " + img.string(), &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(Sh("mtype -i " + img.string() + " " + Q("::/SN/second id.txt")), "2");
    EXPECT_TRUE(Sh("mtype -i " + img.string() + " " + Q("::/Added Folder/big.bin")) ==
                Pattern(20000, 23));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ToolsBuildForVolkit,
                         ::testing::Values(SizeCase{2048, 12},     // 1 MiB
                                           SizeCase{65536, 16}));  // 32 MiB

}  // namespace
}  // namespace ts::test
