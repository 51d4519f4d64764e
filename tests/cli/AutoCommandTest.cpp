// tagsmith-cli auto and watch, run as processes on a simulated line while the
// test plugs and unplugs devices with `sim new` / `sim unplug`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunCommand;
using test::TempDir;
using test::WriteFile;

// A private application folder (the binary, the plug-ins, the installation),
// so that runs never share tmp.data or prvdata with other tests.
class AutoCommandTest : public ::testing::Test {
protected:
    TempDir app, line, work;

    void SetUp() override {
        test::InstallApp(app.Path(), {"tagsmith-cli", "modhost.so", "Volkit.so", "tagsmith.cfg",
                                      "ulpkData.bin"});
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    std::string Cli() const { return (app.Path() / "tagsmith-cli").string(); }
    std::string Out() const { return ReadFile(work.Path() / "out.txt"); }
    std::string Err() const { return ReadFile(work.Path() / "err.txt"); }

    // Starts `tagsmith-cli --simulate LINE args...` in the background.
    void Start(const std::vector<std::string>& args) {
        // Emptied here, so that no wait can see the previous run's output.
        WriteFile(work.Path() / "out.txt", "");
        WriteFile(work.Path() / "err.txt", "");
        std::vector<std::string> argv = {Cli(), "--simulate", line.Path().string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        const std::string out = (work.Path() / "out.txt").string();
        const std::string err = (work.Path() / "err.txt").string();
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&pid_, Cli().c_str(), &fa, nullptr, cargv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
    }

    // Waits (a hang guard, not a speed check) until `text` occurs `times` in stdout.
    bool WaitForOutput(const std::string& text, int times = 1) {
        return WaitUntil([&] {
            const std::string o = Out();
            int n = 0;
            for (size_t p = o.find(text); p != std::string::npos; p = o.find(text, p + 1)) ++n;
            return n >= times;
        });
    }
    static bool WaitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // The exit status of the background run (-1 when it does not end).
    int Wait() {
        int status = 0;
        bool ended = WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void Stop() { ::kill(pid_, SIGTERM); }

    int Sim(const std::string& args) {
        return RunCommand(Cli() + " --simulate " + line.Path().string() + " sim " + args +
                          " >/dev/null");
    }
    // The ID file inside a kept device image.
    std::string IdIn(const fs::path& image) {
        std::string out;
        RunCommand("MTOOLS_SKIP_CHECK=1 mtype -i " + image.string() + " ::/sn/id.txt", &out);
        return out.substr(0, out.find('\0'));
    }
    // Plugs `n` devices one after another; each is unplugged (kept in the
    // work folder) once written, and the next plugged once the removal has
    // been handled.
    std::vector<std::string> PlugWritten(int n) {
        std::vector<std::string> ids;
        for (int i = 1; i <= n; ++i) {
            EXPECT_EQ(Sim("new E"), 0);
            EXPECT_TRUE(WaitForOutput("烧写成功 ID:", i)) << Out() << Err();
            const fs::path kept = work.Path() / ("dev" + std::to_string(++devices_) + ".img");
            EXPECT_EQ(Sim("unplug E --keep " + kept.string()), 0);
            if (i < n) {
                EXPECT_TRUE(WaitForOutput("请插入新设备", i));
            }
            ids.push_back(IdIn(kept));
        }
        return ids;
    }

    pid_t pid_ = -1;
    int devices_ = 0;
};

TEST_F(AutoCommandTest, ListRunWritesTheFirstIdsThenResumesFromItsState) {
    WriteFile(work.Path() / "list.ids", "a1\r\nA2\r\nA3\r\nA4\r\n");
    const std::string state = (work.Path() / "state.cfg").string();
    Start({"auto", "--ids", (work.Path() / "list.ids").string(), "--count", "3", "--state", state});
    ASSERT_TRUE(WaitForOutput("软件就绪，请插入设备进行烧写操作……")) << Err();
    EXPECT_EQ(PlugWritten(3), (std::vector<std::string>{"A1", "A2", "A3"}));
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(Out().find("written 3, failed 0\n"), std::string::npos) << Out();
    const std::string saved = ReadFile(state);
    EXPECT_NE(saved.find("idvalue=A4\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("tabmode=0\r\n"), std::string::npos) << saved;

    // A resumed run goes on with A4 and stops when the list is used up.
    Start({"auto", "--state", state});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(1), std::vector<std::string>{"A4"});
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(Out().find("written 1, failed 0\n"), std::string::npos) << Out();
    EXPECT_NE(Err().find("no ID left to write"), std::string::npos);

    // The list changed under the state: refused rather than writing twice.
    WriteFile(work.Path() / "list.ids", "B1\r\nB2\r\n");
    Start({"auto", "--state", state});
    EXPECT_EQ(Wait(), 1);
    EXPECT_NE(Err().find("does not match"), std::string::npos) << Err();
}

TEST_F(AutoCommandTest, IncrementRunCountsUp) {
    const std::string state = (work.Path() / "state.cfg").string();
    Start({"auto", "--prefix", "AB", "--counter", "0x00f", "--suffix", "CD", "--count", "2",
           "--state", state});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(2), (std::vector<std::string>{"ABFCD", "AB10CD"}));
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(Out().find("written 2, failed 0\n"), std::string::npos) << Out();
    const std::string saved = ReadFile(state);
    EXPECT_NE(saved.find("idauto=11\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("tabmode=2\r\n"), std::string::npos) << saved;
}

TEST_F(AutoCommandTest, CountingDownStopsAtTheZeroGuard) {
    Start({"auto", "--counter", "1", "--down", "--count", "5"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(1), std::vector<std::string>{"1"});
    // The counter now shows 0 after a write: nothing is left to write.
    EXPECT_EQ(Wait(), 1);
    EXPECT_NE(Out().find("written 1, failed 0\n"), std::string::npos) << Out();
}

TEST_F(AutoCommandTest, SignalEndsTheRunBetweenDevices) {
    WriteFile(work.Path() / "list.ids", "A1\n");
    Start({"auto", "--ids", (work.Path() / "list.ids").string()});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    Stop();
    EXPECT_EQ(Wait(), 0);
    EXPECT_NE(Out().find("written 0, failed 0\n"), std::string::npos) << Out();
}

TEST_F(AutoCommandTest, WatchPrintsTheIdOfEachDevice) {
    WriteFile(work.Path() / "list.ids", "C0FFEE\n");
    Start({"auto", "--ids", (work.Path() / "list.ids").string(), "--count", "1"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    PlugWritten(1);
    ASSERT_EQ(Wait(), 0);

    Start({"watch", "--count", "1"});
    ASSERT_TRUE(WaitForOutput("ready\n")) << Err();
    fs::rename(work.Path() / "dev1.img", line.Path() / "E.img");
    EXPECT_EQ(Wait(), 0) << Out() << Err();
    EXPECT_NE(Out().find("设备ID为 :C0FFEE\nID C0FFEE\n"), std::string::npos) << Out();
    EXPECT_NE(Out().find("read 1, failed 0\n"), std::string::npos) << Out();
}

TEST_F(AutoCommandTest, BadArgumentsAndRefusedStarts) {
    WriteFile(work.Path() / "list.ids", "A1\n");
    WriteFile(work.Path() / "scan.cfg", "[Option]\r\ntabmode=1\r\n");
    WriteFile(work.Path() / "used.ids", "\r\n");
    const std::string ids = (work.Path() / "list.ids").string();
    struct Case {
        std::string args;
        int status;
        std::string err;
    } cases[] = {
        {"auto", 2, "usage"},
        {"auto --ids", 2, "usage"},
        {"auto --ids " + ids + " --prefix AB", 2, "usage"},
        {"auto --ids " + ids + " --count 0", 2, "usage"},
        {"auto --ids " + ids + " --count 3x", 2, "usage"},
        {"auto --ids " + ids + " --ids " + ids, 2, "usage"},
        {"auto --down --down", 2, "usage"},
        {"auto --ids " + ids + " --bogus", 2, "usage"},
        {"watch --count -1", 2, "usage"},
        {"watch now", 2, "usage"},
        {"auto --ids " + (work.Path() / "missing.ids").string(), 1, "cannot load"},
        {"auto --state " + (work.Path() / "scan.cfg").string(), 1, "not saved by an automatic"},
        {"auto --ids " + (work.Path() / "used.ids").string(), 1, "no ID left"},
        {"auto --ids " + ids + " --state " + (work.Path() / "no" / "s.cfg").string(), 1,
         "cannot write the state file"},
    };
    for (const Case& c : cases) {
        std::string err;
        const int status = RunCommand(
            Cli() + " --simulate " + line.Path().string() + " " + c.args + " 2>&1 >/dev/null",
            &err);
        EXPECT_EQ(status, c.status) << c.args;
        EXPECT_NE(err.find(c.err), std::string::npos) << c.args << ": " << err;
    }
}

}  // namespace
}  // namespace ts
