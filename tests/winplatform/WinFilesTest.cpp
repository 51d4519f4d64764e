// The Windows side of the platform's file, waiting, folder-change and code
// page seams, on paths with characters the ANSI code page may lack.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/AppFolder.h"
#include "platform/Codepage.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"
#include "platform/Profile.h"
#include "platform/RegularFile.h"
#include "platform/Waiting.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

// A folder whose name needs more than any one code page holds.
class WinFiles : public testing::Test {
protected:
    void SetUp() override {
        dir_ = tmp_.Dir() + "中文 – ünï/";
        ASSERT_EQ(files::MakeFolder(dir_), 0) << dir_;
    }
    test::TempDir tmp_;
    std::string dir_;
};

TEST_F(WinFiles, ContentSurvivesBytewiseUnderWideNames) {
    const std::string path = dir_ + "号码.ids";
    const std::string bytes = "1A2B\r\n\x1A\n\r\0end";
    int fd = files::Open(path, files::kWrite | files::kCreate | files::kExclusive);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(files::WriteAll(fd, bytes.data(), bytes.size()));
    ASSERT_EQ(files::Close(fd), 0);

    EXPECT_EQ(KindOf(path), FileKind::Regular);
    EXPECT_EQ(KindOf(dir_), FileKind::Folder);
    EXPECT_EQ(KindOf(dir_ + "缺"), FileKind::Missing);
    fd = OpenRegularFile(path);
    ASSERT_GE(fd, 0);
    std::string back(64, '\0');
    const long long n = files::Read(fd, back.data(), back.size());
    ASSERT_EQ(n, static_cast<long long>(bytes.size()));
    back.resize(static_cast<size_t>(n));
    EXPECT_EQ(back, bytes);  // no CR-LF or Ctrl-Z translation
    char c = 0;
    EXPECT_EQ(files::ReadAt(fd, &c, 1, 4), 1);
    EXPECT_EQ(c, '\r');
    EXPECT_EQ(files::ReadAt(fd, &c, 1, 1000), 0);
    files::Close(fd);

    std::FILE* f = files::OpenStream(path, "rb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(files::OpenStream(path, "wbx"), nullptr);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(WinFiles, RenamesAndRemovalsReportErrno) {
    const std::string a = dir_ + "甲", b = dir_ + "乙";
    test::WriteFile(std::filesystem::path(std::u8string(a.begin(), a.end())), "a");
    test::WriteFile(std::filesystem::path(std::u8string(b.begin(), b.end())), "b");
    EXPECT_EQ(files::RenameNoReplace(a, b), EEXIST);
    EXPECT_EQ(KindOf(a), FileKind::Regular);
    EXPECT_EQ(files::Rename(a, b), 0);
    EXPECT_EQ(KindOf(a), FileKind::Missing);
    EXPECT_EQ(files::Remove(a), ENOENT);
    EXPECT_EQ(files::MakeFolder(b), EEXIST);
    std::vector<std::string> names;
    ASSERT_TRUE(files::ListFolder(dir_, &names));
    EXPECT_EQ(names, std::vector<std::string>{"乙"});
    EXPECT_EQ(files::ReplaceWhole(b, "new"), 0);
    EXPECT_EQ(test::ReadFile(std::filesystem::path(std::u8string(b.begin(), b.end()))), "new");
    ASSERT_TRUE(files::ListFolder(dir_, &names));
    EXPECT_EQ(names.size(), 1u);  // no temporary file left
}

TEST_F(WinFiles, LockExcludesOtherLockersButNotReaders) {
    const std::string path = dir_ + "锁";
    const int first = files::Open(path, files::kReadWrite | files::kCreate);
    const int second = files::Open(path, files::kReadWrite);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(files::WriteAll(first, "42\n", 3));
    EXPECT_TRUE(files::TryLock(first));
    EXPECT_FALSE(files::TryLock(second));
    EXPECT_EQ(errno, EWOULDBLOCK);
    char text[4] = {};
    EXPECT_EQ(files::ReadAt(second, text, 3, 0), 3);
    EXPECT_STREQ(text, "42\n");
    files::Close(first);
    EXPECT_TRUE(files::TryLock(second));
    files::Close(second);

    AppFolderLock one, two;
    EXPECT_EQ(one.Acquire(dir_), AppFolderLock::Status::Held);
    EXPECT_EQ(two.Acquire(dir_), AppFolderLock::Status::Busy);
    EXPECT_EQ(two.Holder(), files::ProcessId());
}

TEST_F(WinFiles, ProfileOnAWidePath) {
    Profile p(dir_ + "tagsmith.cfg");
    EXPECT_TRUE(p.WriteString(u"Option", u"idvalue", u"1A2B"));
    EXPECT_TRUE(p.WriteString(u"Option", u"SNPath", u"\\SN\\号.txt"));
    EXPECT_EQ(p.GetString(u"option", u"IDVALUE"), u"1A2B");
    EXPECT_EQ(p.GetString(u"Option", u"SNPath"), u"\\SN\\号.txt");
    EXPECT_EQ(p.GetInt(u"Option", u"missing", 7), 7);
}

TEST_F(WinFiles, FolderChangesArriveAsNames) {
    std::string error;
    auto watch = WatchFolder(dir_, &error);
    ASSERT_NE(watch, nullptr) << error;
    EXPECT_FALSE(IsReady(watch->Get()));
    const std::string tmp = dir_ + ".E.img.new";
    const int fd = files::Open(tmp, files::kWrite | files::kCreate);
    ASSERT_GE(fd, 0);
    files::Close(fd);
    ASSERT_EQ(files::RenameNoReplace(tmp, dir_ + "E.img"), 0);
    const Waitable w = watch->Get();
    ASSERT_EQ(WaitForAny(&w, 1, 10000), 0);
    std::vector<std::string> added;
    for (const FolderChange& c : watch->Read())
        if (c.kind == FolderChange::Added) added.push_back(c.name);
    EXPECT_EQ(added, std::vector<std::string>{"E.img"});

    ASSERT_EQ(files::Remove(dir_ + "E.img"), 0);
    ASSERT_EQ(WaitForAny(&w, 1, 10000), 0);
    std::vector<std::string> removed;
    for (const FolderChange& c : watch->Read())
        if (c.kind == FolderChange::Removed) removed.push_back(c.name);
    EXPECT_EQ(removed, std::vector<std::string>{"E.img"});
}

TEST(WinWaiting, WakeSignalSetsAndClears) {
    WakeSignal a, b;
    ASSERT_TRUE(a.Ok());
    const Waitable both[] = {a.Get(), b.Get()};
    EXPECT_EQ(WaitForAny(both, 2, 0), -1);
    b.Signal();
    EXPECT_EQ(WaitForAny(both, 2, 0), 1);
    EXPECT_TRUE(b.Drain());
    EXPECT_FALSE(b.Drain());
    EXPECT_EQ(WaitForAny(both, 2, 0), -1);
    StopRequests stop;
    EXPECT_TRUE(stop.Ok());
    EXPECT_FALSE(stop.Requested());
}

// The stations' code page: the tests run with it set to 936.
TEST(WinCodepage, AnsiIsTheStationsCodePage) {
    struct {
        std::string ansi;
        std::u16string wide;
    } cases[] = {
        {"1A2B", u"1A2B"},
        {"\xD6\xD0\xCE\xC4", u"中文"},
        {"", u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiToWide(c.ansi), c.wide);
        EXPECT_EQ(WideToAnsi(c.wide), c.ansi);
        EXPECT_EQ(AnsiToWideExact(c.ansi), c.wide);
    }
    // A character GBK lacks, and a lead byte without its trail.
    EXPECT_EQ(WideToAnsi(u"\u00C5"), "?");
    EXPECT_EQ(AnsiToWideExact("\xD6"), std::nullopt);
    EXPECT_FALSE(AnsiToWide("\xD6").empty());
}

}  // namespace
}  // namespace ts
