// The application folder's lock, the executable's folder, and opening files
// that may turn out to be FIFOs, sockets or folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/AppFolder.h"
#include "platform/RegularFile.h"
#include "tests/support/TestSupport.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

TEST(RegularFileTest, OnlyRegularFilesAreOpenedAndNothingBlocks) {
    TempDir dir;
    const fs::path file = dir.Path() / "file", fifo = dir.Path() / "fifo",
                   sock = dir.Path() / "sock", link = dir.Path() / "link";
    WriteFile(file, "x");
    test::MakeFifo(fifo);
    fs::create_symlink(file, link);
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    struct Case {
        fs::path path;
        FileKind kind;
    } cases[] = {
        {file, FileKind::Regular},
        {link, FileKind::Regular},
        {dir.Path(), FileKind::Folder},
        {fifo, FileKind::Special},
        {sock, FileKind::Special},
        {"/dev/null", FileKind::Special},
        {dir.Path() / "none", FileKind::Missing},
        {file / "below", FileKind::Missing},  // a file taken for a folder
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        EXPECT_EQ(KindOf(c.path), c.kind);
        FileKind kind = FileKind::Unreachable;
        int fd = -2;
        ASSERT_TRUE(
            test::ReturnsWithoutBlocking(fifo, [&] { fd = OpenRegularFile(c.path, &kind); }));
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(fd >= 0, c.kind == FileKind::Regular);
        if (fd >= 0) {
            char b = 0;
            EXPECT_EQ(::read(fd, &b, 1), 1);  // plain blocking reads once open
            EXPECT_EQ(b, 'x');
            ::close(fd);
        }
    }
    ::close(s);
}

TEST(ExecutableFolderTest, TheLinksFolderOrNothing) {
    TempDir dir;
    const fs::path self = dir.Path() / "self";
    fs::create_symlink("/opt/station/bin/tagsmith-cli", self);
    EXPECT_EQ(ExecutableFolder(self.c_str()), "/opt/station/bin/");
    // No /proc: the link cannot be read, and the current folder is no answer.
    EXPECT_EQ(ExecutableFolder((dir.Path() / "missing").c_str()), std::nullopt);
    const std::optional<std::string> real = ExecutableFolder();
    ASSERT_TRUE(real.has_value());
    EXPECT_TRUE(fs::exists(*real + "test_platform")) << *real;
}

class AppFolderLockTest : public ::testing::Test {
protected:
    TempDir app;
    fs::path LockFile() const { return app.Path() / AppFolderLock::kFileName; }
};

TEST_F(AppFolderLockTest, OneProcessAtATime) {
    // Another process holds the folder until it ends.
    int ready[2], quit[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(quit), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        AppFolderLock lock;
        const char status = lock.Acquire(app.Dir()) == AppFolderLock::Status::Held ? 'y' : 'n';
        if (::write(ready[1], &status, 1) != 1) ::_exit(2);
        char b;
        if (::read(quit[0], &b, 1) < 0) ::_exit(2);
        ::_exit(0);
    }
    char status = 0;
    ASSERT_EQ(::read(ready[0], &status, 1), 1);
    ASSERT_EQ(status, 'y');

    AppFolderLock second;
    EXPECT_EQ(second.Acquire(app.Dir()), AppFolderLock::Status::Busy);
    EXPECT_EQ(second.Holder(), child);
    EXPECT_FALSE(second.Held());

    ASSERT_EQ(::write(quit[1], "q", 1), 1);
    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    EXPECT_EQ(second.Acquire(app.Dir()), AppFolderLock::Status::Held);
    EXPECT_EQ(second.Acquire(app.Dir()), AppFolderLock::Status::Held);  // already ours

    // Within one process too, a second holder is refused until the first lets go.
    AppFolderLock third;
    EXPECT_EQ(third.Acquire(app.Dir()), AppFolderLock::Status::Busy);
    second.Release();
    EXPECT_EQ(third.Acquire(app.Dir()), AppFolderLock::Status::Held);
    for (int fd : {ready[0], ready[1], quit[0], quit[1]}) ::close(fd);
}

TEST_F(AppFolderLockTest, PlantedFilesAreRefusedWithoutBlockingOrFollowing) {
    TempDir outside;
    struct Case {
        const char* what;
        std::function<void()> plant;
    } cases[] = {
        {"FIFO", [&] { test::MakeFifo(LockFile()); }},
        {"folder", [&] { fs::create_directory(LockFile()); }},
        {"link to a file elsewhere",
         [&] {
             WriteFile(outside.Path() / "victim", "keep");
             fs::create_symlink(outside.Path() / "victim", LockFile());
         }},
        {"dangling link", [&] { fs::create_symlink(outside.Path() / "made", LockFile()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(LockFile());
        c.plant();
        AppFolderLock lock;
        AppFolderLock::Status status = AppFolderLock::Status::Held;
        ASSERT_TRUE(
            test::ReturnsWithoutBlocking(LockFile(), [&] { status = lock.Acquire(app.Dir()); }));
        EXPECT_EQ(status, AppFolderLock::Status::Failed);
        EXPECT_EQ(lock.Path(), LockFile().string());
    }
    EXPECT_EQ(test::ReadFile(outside.Path() / "victim"), "keep");
    EXPECT_FALSE(fs::exists(outside.Path() / "made"));

    // A folder that does not exist.
    AppFolderLock lock;
    EXPECT_EQ(lock.Acquire(app.Dir() + "missing/"), AppFolderLock::Status::Failed);
    EXPECT_EQ(lock.Error(), ENOENT);
}

}  // namespace
}  // namespace ts
