// What the write flow stages and how the read finds it again: configured
// names beyond ASCII, names the image cannot hold, two keys naming one file,
// links planted in the staging folder, and failures of the station itself
// while checking for an existing ID.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "deviceops/FlowSupport.h"
#include "platform/LittleEndian.h"
#include "tests/deviceops/FlowFixture.h"

namespace ts::test {
namespace {

namespace fs = std::filesystem;

// The configuration file in each encoding the installation may use.
enum class CfgEncoding { kCp936, kUtf8Mark, kUtf16LeMark };

std::string EncodeCfg(const std::u16string& text, CfgEncoding e) {
    switch (e) {
        case CfgEncoding::kCp936:
            return WideToAnsi(text);
        case CfgEncoding::kUtf8Mark:
            return "\xEF\xBB\xBF" + WideToUtf8(text);
        case CfgEncoding::kUtf16LeMark:
            return "\xFF\xFE" + Utf16Le(text);
    }
    return {};
}

std::u16string Cfg(const std::u16string& sn, const std::u16string& ulpk0,
                   const std::u16string& ulpk1) {
    return u"[Option]\r\nSNPath=" + sn + u"\r\nulpk0=" + ulpk0 + u"\r\nulpk1=" + ulpk1 + u"\r\n";
}

bool AllZero(const MemoryStorage& s) {
    return std::all_of(s.bytes.begin(), s.bytes.end(), [](uint8_t b) { return b == 0; });
}

class StagingTest : public FlowFixture {
protected:
    void SetConfig(const std::u16string& text, CfgEncoding e = CfgEncoding::kCp936) {
        WriteFile(app.Path() / "tagsmith.cfg", EncodeCfg(text, e));
    }

    // The device's image as a file the standard tools can open (the length
    // stamp at 2048 lies outside the file system but is cleared all the same).
    fs::path ImageOf(const MemoryStorage& storage) {
        std::vector<uint8_t> image = storage.bytes;
        PutLe32(image.data() + 2048, 0);
        fs::path p = work.Path() / "device.img";
        WriteFile(p, std::string(image.begin(), image.end()));
        return p;
    }
    static std::string Tool(const std::string& command, int* rc = nullptr) {
        std::string out;
        int r = RunCommand("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 " + command + " 2>/dev/null", &out);
        if (rc) *rc = r;
        return out;
    }
    // Every path mdir lists, files and folders ("数据/", "数据/id.txt").
    static std::set<std::string> Listing(const fs::path& img) {
        std::istringstream in(Tool("mdir -/ -b -i '" + img.string() + "' ::/"));
        std::set<std::string> out;
        for (std::string l; std::getline(in, l);)
            if (l.rfind("::/", 0) == 0) out.insert(l.substr(3));
        return out;
    }
    static std::string Mtype(const fs::path& img, const std::string& path, int* rc) {
        return Tool("mtype -i '" + img.string() + "' '::/" + path + "'", rc);
    }

    TempDir work;
};

TEST_F(StagingTest, ChineseConfiguredPathsRoundTrip) {
    struct Case {
        const char* what;
        CfgEncoding encoding;
        std::u16string sn, ulpk0, ulpk1;
        std::vector<std::string> listed;  // what mdir shows of the image
        std::string snInImage, ulpk0InImage, ulpk1InImage;
    };
    const Case cases[] = {
        {"CP936 file",
         CfgEncoding::kCp936,
         u"\\数据\\id.txt",
         u"\\资料.bin",
         u"\\数据\\备份.bak",
         {"数据/", "数据/id.txt", "数据/备份.bak", "资料.bin"},
         "数据/id.txt",
         "资料.bin",
         "数据/备份.bak"},
        // Bytes of these names read as CP936 are not valid CP936.
        {"UTF-8 file with a mark",
         CfgEncoding::kUtf8Mark,
         u"\\序列号\\编号.txt",
         u"\\序列号\\许可.bin",
         u"\\ulpkData.bin",
         {"序列号/", "序列号/编号.txt", "序列号/许可.bin", "ulpkData.bin"},
         "序列号/编号.txt",
         "序列号/许可.bin",
         "ulpkData.bin"},
        {"UTF-16 file with a mark, mixed case and a long name",
         CfgEncoding::kUtf16LeMark,
         u"\\设备 Serial\\ID 号码.Txt",
         u"\\设备 Serial\\ulpkData.bin",
         u"/设备 Serial/副本/../x.bin",  // refused as leaving: no copy, logged
         {"设备 Serial/", "设备 Serial/ID 号码.Txt", "设备 Serial/ulpkData.bin"},
         "设备 Serial/ID 号码.Txt",
         "设备 Serial/ulpkData.bin",
         ""},
    };
    const std::string ulpk = ReadFile(app.Path() / "ulpkData.bin");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(app.Path() / "prvdata");
        SetConfig(Cfg(c.sn, c.ulpk0, c.ulpk1), c.encoding);
        auto storage = line.Plug('E', 2048);
        OpenCurrent();
        log.text.clear();
        ASSERT_EQ(core.WriteDeviceSN(u"0x1A2B"), 0);
        EXPECT_EQ(LogLines().back(), "烧写成功 ID: 0x1A2B\n");

        // The image holds the configured names, as standard tools see them.
        const fs::path img = ImageOf(*storage);
        std::set<std::string> expected(c.listed.begin(), c.listed.end());
        EXPECT_EQ(Listing(img), expected);
        int rc = -1;
        EXPECT_EQ(Mtype(img, c.snInImage, &rc), std::string("0x1A2B\0", 7));
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(Mtype(img, c.ulpk0InImage, &rc) == ulpk);
        if (!c.ulpk1InImage.empty()) {
            EXPECT_TRUE(Mtype(img, c.ulpk1InImage, &rc) == ulpk);
        }

        // The read finds the ID file, and so the overwrite question appears.
        OpenCurrent();
        std::u16string id;
        EXPECT_EQ(core.ReadDeviceSN(id), 0);
        EXPECT_EQ(id, u"0x1A2B");
        boxes.shown.clear();
        boxes.answers = {MsgAnswer::No};
        EXPECT_EQ(core.WriteDeviceSN(u"FFFF"), 0);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, u"设备已经烧录了 ID:0x1A2B，是否重新烧写\n");
        line.Unplug('E');
    }
}

TEST_F(StagingTest, ConfigurationsTheImageCannotTakeAreRefusedBeforeSending) {
    struct Case {
        const char* what;
        std::u16string sn, ulpk0, ulpk1;
        std::string logLine;  // the line's start
    };
    const std::u16string sn = u"\\sn\\id.txt";
    const Case cases[] = {
        {"colon in SNPath", u"\\a:b\\id.txt", u"", u"",
         "配置错误：SNPath 中有设备镜像无法保存的名称"},
        {"question mark in SNPath", u"\\sn\\id?.txt", u"", u"",
         "配置错误：SNPath 中有设备镜像无法保存的名称"},
        // The read hands SNPath to the plug-in in CP936, which lacks it.
        {"SNPath beyond CP936", u"\\sn\\señal.txt", u"", u"",
         "配置错误：SNPath 中有设备镜像无法保存的名称"},
        {"name of blanks only", u"\\sn\\  \\id.txt", u"", u"",
         "配置错误：SNPath 中有设备镜像无法保存的名称"},
        {"name longer than 255", u"\\" + std::u16string(256, u'n'), u"", u"",
         "配置错误：SNPath 中有设备镜像无法保存的名称"},
        {"pipe in ulpk1", sn, u"\\ulpkData.bin", u"\\a|b.bin",
         "配置错误：ulpk1 中有设备镜像无法保存的名称"},
        {"ulpk0 is SNPath", sn, sn, u"\\ok.bin", "配置错误：ulpk0 与 SNPath 指向同一文件"},
        {"ulpk1 in other case", sn, u"\\ok.bin", u"\\SN\\ID.TXT",
         "配置错误：ulpk1 与 SNPath 指向同一文件"},
        {"ulpk0 spelled otherwise", sn, u"/sn//./id.txt. ", u"\\ok.bin",
         "配置错误：ulpk0 与 SNPath 指向同一文件"},
    };
    auto storage = line.Plug('E', 2048);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(app.Path() / "prvdata");
        SetConfig(Cfg(c.sn, c.ulpk0, c.ulpk1), CfgEncoding::kUtf8Mark);
        OpenCurrent();
        log.text.clear();
        boxes.shown.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
        ASSERT_FALSE(LogLines().empty());
        EXPECT_EQ(LogLines().front().rfind(c.logLine, 0), 0u) << LogLines().front();
        EXPECT_EQ(LogLines().size(), 1u) << "refused before the device was read";
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_TRUE(AllZero(*storage)) << "nothing was sent";
        EXPECT_FALSE(fs::exists(app.Path() / "prvdata")) << "nothing was staged";
        core.CloseCurrentDevice();
    }

    // A name beyond CP936 is fine for a copy: only SNPath is read back.
    SetConfig(Cfg(sn, u"\\señal.bin", u""), CfgEncoding::kUtf8Mark);
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u"AB"), 0);
    int rc = -1;
    EXPECT_TRUE(Mtype(ImageOf(*storage), "señal.bin", &rc) ==
                ReadFile(app.Path() / "ulpkData.bin"));
    EXPECT_EQ(rc, 0);
}

// Answers message boxes like the scripted one, running `during` inside the
// first box that shows.
class HookedBoxer : public ScriptedMessageBoxer {
public:
    std::function<void()> during;
    MsgAnswer Show(const MessageRequest& r) override {
        if (during) std::exchange(during, nullptr)();
        return ScriptedMessageBoxer::Show(r);
    }
};

TEST_F(StagingTest, StationFailureWhileCheckingForAnIdStopsTheWrite) {
    struct Case {
        const char* what;
        const char* blocker;   // a folder standing where the read makes its file
        bool clearedInTheBox;  // the operator frees the station while the box shows
        int readCode;
    };
    const Case cases[] = {
        {"tmp.data cannot be made", "tmp.data", true, 447},
        {"sn.txt cannot be made", "sn.txt", false, 527},
    };
    auto storage = line.Plug('E', 2048);
    page.automatic = true;
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u"AAAA"), 0);
    page.automatic = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path blocker = app.Path() / c.blocker;
        fs::create_directories(blocker / "inside");
        HookedBoxer answers;  // as `write --no`
        answers.fallback = MsgAnswer::No;
        if (c.clearedInTheBox) answers.during = [&] { fs::remove_all(blocker); };
        core.SetMessageBoxer(&answers);
        OpenCurrent();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"BBBB"), 1);
        core.SetMessageBoxer(&boxes);
        EXPECT_EQ(LogLines().back(), "烧写失败，本机无法检查设备中已有的ID，设备未被改写");
        EXPECT_NE(core.CurrentDevice(), nullptr) << "nothing was sent";
        fs::remove_all(blocker);

        std::u16string id;
        EXPECT_EQ(core.ReadDeviceSN(id), 0);
        EXPECT_EQ(id, u"AAAA") << "the device keeps its ID";
        core.CloseCurrentDevice();
    }
}

TEST_F(StagingTest, AnIdCopyCutShortByAFullDiskIsNoId) {
    line.Plug('E', 2048);
    page.automatic = true;
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u"ABCDEF"), 0);
    // An image holding that ID file, opened before the disk fills.
    const std::string image = (work.Path() / "fetched.img").string();
    VolHandle h = core.VolkitTable()->VolOpen(image.c_str());
    ASSERT_EQ(core.VolkitTable()->VolFormat(h, 2, 2048, "MIDINFO"), 0);
    ASSERT_EQ(core.VolkitTable()->VolImportDir(h, (app.Path() / "prvdata").c_str(), "\\"), 0);
    const fs::path sn = app.Path() / "sn.txt";
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 3;  // room for "ABC" of "ABCDEF" and its NUL
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int rc = core.DownLoadFSFile(h, sn.string());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    core.VolkitTable()->VolClose(h);
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(fs::exists(sn)) << "a cut copy would read as the ID " << ReadFile(sn);
}

TEST_F(StagingTest, LinksInTheStagingFolderAreNeverFollowed) {
    // What lies outside the application folder, which no write may touch.
    TempDir outside;
    const fs::path secretFile = outside.Path() / "secret.txt";
    const fs::path secretDir = outside.Path() / "folder";
    auto resetOutside = [&] {
        fs::remove_all(outside.Path());
        fs::create_directories(secretDir);
        WriteFile(secretFile, "keep me");
        WriteFile(secretDir / "inner.txt", "keep me too");
    };
    auto outsideUnchanged = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(outside.Path()))
            names.insert(fs::relative(e.path(), outside.Path()).string());
        return names == std::set<std::string>{"secret.txt", "folder", "folder/inner.txt"} &&
               ReadFile(secretFile) == "keep me" &&
               ReadFile(secretDir / "inner.txt") == "keep me too";
    };
    // The example installation: SNPath=\sn\id.txt, ulpk0=\ulpkData.bin,
    // ulpk1=\sn\ulpkData.bak.
    struct Case {
        const char* what;
        const char* link;  // below the application folder
        bool toFolder;
        const char* refused;  // the path named in the log line
    };
    const Case cases[] = {
        {"the staging folder", "prvdata", true, "prvdata"},
        {"the ID file's folder", "prvdata/sn", true, "prvdata/sn"},
        {"the ID file", "prvdata/sn/id.txt", false, "prvdata/sn/id.txt"},
        {"a copy target", "prvdata/ulpkData.bin", false, "prvdata/ulpkData.bin"},
        {"a copy target beside the ID file", "prvdata/sn/ulpkData.bak", false,
         "prvdata/sn/ulpkData.bak"},
    };
    auto storage = line.Plug('E', 2048);
    page.automatic = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        resetOutside();
        fs::remove_all(app.Path() / "prvdata");
        fs::create_directories(app.Path() / "prvdata" / "sn");
        fs::remove_all(app.Path() / c.link);
        fs::create_symlink(c.toFolder ? secretDir : secretFile, app.Path() / c.link);
        OpenCurrent();
        log.text.clear();
        EXPECT_EQ(core.WriteDeviceSN(u"AB"), 1);
        EXPECT_EQ(LogLines().back(),
                  "烧写失败，prvdata 中存在链接，已拒绝：" + app.Dir() + c.refused);
        EXPECT_TRUE(outsideUnchanged());
        EXPECT_TRUE(AllZero(*storage)) << "nothing was sent";
        EXPECT_TRUE(fs::is_symlink(app.Path() / c.link)) << "the link is left for inspection";
        core.CloseCurrentDevice();
    }

    // Links off the staged paths, and a hard link as the ID file: the write
    // goes on, the image holds only what lies inside the staging folder,
    // and nothing outside changes.
    resetOutside();
    fs::remove_all(app.Path() / "prvdata");
    fs::create_directories(app.Path() / "prvdata" / "sn");
    fs::create_symlink(secretDir, app.Path() / "prvdata" / "more");
    fs::create_symlink(secretFile, app.Path() / "prvdata" / "sn" / "extra.txt");
    fs::create_hard_link(secretFile, app.Path() / "prvdata" / "sn" / "id.txt");
    WriteFile(app.Path() / "prvdata" / "own.txt", "inside");
    OpenCurrent();
    ASSERT_EQ(core.WriteDeviceSN(u"AB"), 0);
    EXPECT_TRUE(outsideUnchanged());
    const std::set<std::string> expected = {"sn/", "sn/id.txt", "sn/ulpkData.bak", "ulpkData.bin",
                                            "own.txt"};
    EXPECT_EQ(Listing(ImageOf(*storage)), expected);
}

}  // namespace
}  // namespace ts::test
