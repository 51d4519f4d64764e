// What tagsmith-cli refuses before it starts work on an application folder:
// a folder another process uses, files that are not files, a system without
// the code page's converter or without /proc.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/cli/CliLine.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::WriteFile;

class AppFolderCommandTest : public test::CliLine {
protected:
    std::string List() {
        WriteFile(work.Path() / "list.ids", "A1\nA2\n");
        return (work.Path() / "list.ids").string();
    }
};

TEST_F(AppFolderCommandTest, ASecondProcessOnTheFolderIsRefused) {
    const std::string list = List();
    Start({"auto", "--ids", list});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    const std::string busy = "is in use by another process (pid " + std::to_string(pid_) + ")";
    struct Case {
        std::string args;
        int status;
        std::string err;  // empty: no refusal
    } cases[] = {
        {"read", 1, busy},
        {"write 1A2B --yes", 1, busy},
        {"watch --count 1", 1, busy},
        {"auto --ids " + list + " --count 1", 1, busy},
        // These use no file of the folder.
        {"ids " + list, 0, ""},
        {"devices", 0, ""},
        {"sim disk F", 0, ""},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(Run(c.args, nullptr, &err), c.status) << c.args << ": " << err;
        if (c.err.empty()) {
            EXPECT_EQ(err.find("in use"), std::string::npos) << c.args << ": " << err;
        } else {
            EXPECT_NE(err.find(c.err), std::string::npos) << c.args << ": " << err;
        }
    }
    // The refused runs took no ID: the first run writes the next device with
    // the first one.
    EXPECT_EQ(PlugWritten(1), std::vector<std::string>{"A1"});
    Stop();
    EXPECT_EQ(Wait(), 0);

    // Once the first run has ended, the folder is free again.
    std::string err;
    EXPECT_EQ(Run("read", nullptr, &err), 3) << err;  // F is an ordinary disk
    EXPECT_NE(err.find("no device answered"), std::string::npos) << err;
}

TEST_F(AppFolderCommandTest, FilesThatAreNotFilesAreRefusedWithoutWaiting) {
    const std::string list = List();
    const fs::path fifo = work.Path() / "fifo";
    test::MakeFifo(fifo);
    // Each case plants something in a fresh copy of the application folder or
    // on the line; the command must end (not wait on a FIFO) with its message.
    struct Case {
        const char* what;
        std::function<void()> plant;
        std::string args;
        int status;
        std::string err;
    } cases[] = {
        {"ID list is a FIFO", [] {}, "ids " + fifo.string(), 1, "FIFO"},
        {"ID list is a folder", [] {}, "ids " + work.Path().string(), 1, "is a folder"},
        {"ID list is a FIFO, in auto", [] {}, "auto --ids " + fifo.string(), 1, "FIFO"},
        {"state file is a FIFO", [] {}, "auto --ids " + list + " --state " + fifo.string(), 1,
         "the state file " + fifo.string() + " is a FIFO"},
        {"state file is a folder", [] {}, "auto --state " + work.Path().string(), 1, "is a folder"},
        {"tagsmith.cfg is a FIFO",
         [&] {
             fs::remove(app.Path() / "tagsmith.cfg");
             test::MakeFifo(app.Path() / "tagsmith.cfg");
         },
         "read", 1, "tagsmith.cfg is a FIFO"},
        {"Volkit.so is a FIFO",
         [&] {
             fs::remove(app.Path() / "Volkit.so");
             test::MakeFifo(app.Path() / "Volkit.so");
         },
         "auto --ids " + list, 1, "plug-in could not be loaded"},
        {"modhost.so is a FIFO",
         [&] {
             fs::remove(app.Path() / "modhost.so");
             test::MakeFifo(app.Path() / "modhost.so");
         },
         "auto --ids " + list, 1, "plug-in could not be loaded"},
        {"fault file is a FIFO",
         [&] {
             ASSERT_EQ(Sim("new E"), 0);
             test::MakeFifo(line.Path() / "E.fault");
         },
         "devices", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(app.Path());
        fs::remove_all(line.Path());
        fs::create_directories(line.Path());
        SetUp();
        c.plant();
        std::string out, err;
        EXPECT_EQ(Run(c.args, &out, &err), c.status) << out << err;
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
        if (c.args == "devices") {
            EXPECT_NE(out.find("E:\\ type=removable open=ok"), std::string::npos) << out;
        }
    }
}

// An application folder this user may not write: the commands that write
// there say so, and those that only read work.
TEST_F(AppFolderCommandTest, AReadOnlyFolderIsNamedAndReadingCommandsWork) {
    const std::string list = List();
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_EQ(Run("write 1A2B --yes"), 0);
    Unplug();
    fs::remove(app.Path() / "tagsmith.lock");
    // Permissions do not bind root: then the commands run as nobody.
    std::string as;
    if (geteuid() == 0) {
        if (RunCommand("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv";
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    for (const auto& d : {app.Path(), line.Path(), work.Path()})
        fs::permissions(d, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(app.Path(),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    if (as.empty() && RunCommand("touch '" + app.Dir() + "probe' 2>/dev/null") == 0)
        GTEST_SKIP() << "the folder stays writable for this user";
    const std::string readOnly = "the application folder " + app.Dir() + " is read-only";
    struct Case {
        std::string args;
        int status;
        std::string says;  // on stdout for status 0, else on stderr
    } cases[] = {
        {"ledger status", 0, "written: 1\n"},
        {"journal", 0, "  1A2B  "},
        {"journal --csv -", 0, ",1A2B,"},
        {"pool status", 0, "no list or counter"},
        {"ids '" + list + "'", 0, "A1\nA2\n"},
        {"write 1B --yes", 1, readOnly},
        {"read", 1, readOnly},
        {"auto --ids '" + list + "' --count 1", 1, readOnly},
    };
    for (const Case& c : cases) {
        std::string out, err;
        EXPECT_EQ(Run(c.args, &out, &err, as), c.status) << c.args << ": " << err;
        EXPECT_NE((c.status == 0 ? out : err).find(c.says), std::string::npos)
            << c.args << ": " << out << err;
    }
    fs::permissions(app.Path(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_FALSE(fs::exists(app.Path() / "tagsmith.ledger-wal"));
}

TEST_F(AppFolderCommandTest, AMissingCodePageConverterIsNamedAtStart) {
    // A converter configuration in which CP936 and GBK name no module, as on
    // a system whose iconv modules were left out.
    const fs::path gconv = work.Path() / "gconv";
    fs::create_directories(gconv);
    WriteFile(gconv / "gconv-modules",
              "alias\tCP936//\tNO-SUCH-MODULE//\n"
              "alias\tGBK//\tNO-SUCH-MODULE//\n");
    const std::string env = "GCONV_PATH='" + gconv.string() + "'";
    const std::string list = List();
    for (const std::string& args :
         std::vector<std::string>{"read", "devices", "ids " + list, "auto --ids " + list}) {
        std::string err;
        EXPECT_EQ(Run(args, nullptr, &err, env), 1) << args;
        EXPECT_NE(err.find("no converter for code page CP936"), std::string::npos)
            << args << ": " << err;
    }
    // The simulated line's own commands need none.
    EXPECT_EQ(Run("sim new E", nullptr, nullptr, env), 0);
}

TEST_F(AppFolderCommandTest, WithoutProcTheFolderIsUnknownNotTheCurrentOne) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime itself needs /proc";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the sanitizer runtime itself needs /proc";
#endif
#endif
    // A private mount namespace with an empty /proc (needs the right to make
    // one; the build's own tests run as the super-user).
    if (RunCommand("unshare --mount --fork sh -c 'mount -t tmpfs none /proc' 2>/dev/null") != 0)
        GTEST_SKIP() << "no mount namespace can be made here";
    // Run from a folder that holds a complete installation of its own: it
    // must not be taken for the application folder.
    test::InstallApp(work.Path() / "cwd",
                     {"tagsmith.cfg", "ulpkData.bin", "modhost.so", "Volkit.so"});
    ASSERT_EQ(Sim("new E"), 0);
    // The command runs in its own mount namespace over an empty /proc, and
    // dies with it.
    const std::string withoutProc =
        "timeout -k 5 60 unshare --mount --fork --kill-child "
        "sh -c 'mount -t tmpfs none /proc && exec \"$0\" \"$@\"' ";
    for (const char* args : {"read", "write 1A2B", "watch --count 1"}) {
        std::string out;
        const int status =
            RunCommand("cd '" + (work.Path() / "cwd").string() + "' && " + withoutProc + "'" +
                           Cli() + "' --simulate '" + line.Path().string() + "' " + args + " 2>&1",
                       &out);
        EXPECT_EQ(status, 1) << args << ": " << out;
        EXPECT_NE(out.find("the application folder cannot be found"), std::string::npos)
            << args << ": " << out;
    }
    EXPECT_FALSE(fs::exists(work.Path() / "cwd" / "tmp.data"));
    EXPECT_FALSE(fs::exists(work.Path() / "cwd" / "tagsmith.lock"));
}

}  // namespace
}  // namespace ts
