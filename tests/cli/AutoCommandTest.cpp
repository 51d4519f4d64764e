// tagsmith-cli auto and watch, run as processes on a simulated line while the
// test plugs and unplugs devices with `sim new` / `sim unplug`.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/CliLine.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::RunCommand;
using test::WriteFile;

class AutoCommandTest : public test::CliLine {};

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

TEST_F(AutoCommandTest, CountingDownStopsAtTheZeroGuardAndResumesThere) {
    const std::string state = (work.Path() / "state.cfg").string();
    Start({"auto", "--counter", "1", "--down", "--count", "5", "--state", state});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(1), std::vector<std::string>{"1"});
    // The counter now shows 0 after a write: nothing is left to write.
    EXPECT_EQ(Wait(), 1);
    EXPECT_NE(Out().find("written 1, failed 0\n"), std::string::npos) << Out();

    // Resumed, the run is still at the guard: it never writes the counter 0.
    Start({"auto", "--state", state});
    EXPECT_EQ(Wait(), 1) << Out();
    EXPECT_NE(Out().find("written 0, failed 0\n"), std::string::npos) << Out();
    EXPECT_NE(Err().find("no ID left to write"), std::string::npos) << Err();

    // Counting down from 0 itself writes 0 once, and a resume then stops too.
    Start({"auto", "--counter", "0", "--down", "--state", state});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(1), std::vector<std::string>{"0"});
    EXPECT_EQ(Wait(), 0);
    Start({"auto", "--state", state});
    EXPECT_EQ(Wait(), 1) << Out();
}

TEST_F(AutoCommandTest, AStateThatCannotBeSavedStopsTheRunBeforeTheNextDevice) {
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\n");
    // A state file larger than the file-size limit set below, and the 64 KiB
    // device image smaller: the write goes through, the save after it fails
    // as on a full disk.
    const fs::path state = work.Path() / "state.cfg";
    WriteFile(state, "; notes\r\n" + std::string(256 << 10, ';') + "\r\n");
    // A write beyond the limit then fails with EFBIG, as one on a full disk
    // fails with ENOSPC, instead of raising SIGXFSZ (the run inherits SIG_IGN).
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &saved);
    Start({"auto", "--ids", (work.Path() / "list.ids").string(), "--state", state.string()});
    sigaction(SIGXFSZ, &saved, nullptr);
    // Saved at the start, once the list is armed.
    ASSERT_TRUE(WaitUntil([&] {
        return ReadFile(state).find("idvalue=A1\r\n") != std::string::npos;
    })) << Err();
    const std::string started = ReadFile(state);

    const rlimit limit{128 << 10, 128 << 10};
    ASSERT_EQ(::prlimit(pid_, RLIMIT_FSIZE, &limit, nullptr), 0);
    ASSERT_EQ(Sim("new E --sectors 128"), 0);
    // The run ends by itself: no second device is needed to stop it.
    EXPECT_EQ(Wait(), 1) << Out() << Err();
    EXPECT_EQ(Unplug(), "A1");
    EXPECT_NE(Out().find("written 1, failed 0\n"), std::string::npos) << Out();
    EXPECT_NE(Err().find("cannot write the state file"), std::string::npos) << Err();
    EXPECT_NE(Err().find("does not record the last ID written (A1)"), std::string::npos) << Err();
    // Nothing of the state file was lost on the way.
    EXPECT_EQ(ReadFile(state), started);
    for (const auto& e : fs::directory_iterator(work.Path()))
        EXPECT_EQ(e.path().filename().string().find(".state.cfg.tmp"), std::string::npos);
}

TEST_F(AutoCommandTest, AKillAtAnySaveLeavesAStateThatResumesWithTheNextId) {
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\n");
    const std::string list = (work.Path() / "list.ids").string();
    const std::string state = (work.Path() / "state.cfg").string();
    // Kill point k: the run dies right after the k-th replacement of its
    // state file; past the last one it ends by itself.
    for (int k = 1;; ++k) {
        SCOPED_TRACE("killed after replacement " + std::to_string(k));
        ASSERT_LT(k, 20);
        fs::remove(state);
        ForgetLedger();
        Start({"auto", "--ids", list, "--count", "1", "--state", state},
              {"LD_PRELOAD=" TAGSMITH_KILL_SHIM, "TS_KILL_RENAME_NAME=state.cfg",
               "TS_KILL_RENAME_AFTER=" + std::to_string(k)});
        ASSERT_TRUE(
            WaitUntil([&] { return Ended() || Out().find("软件就绪") != std::string::npos; }));
        std::string written;  // what the device holds, if one was plugged in
        // The run may die right after announcing it is ready; only a device
        // that was plugged in is taken out again.
        bool plugged = false;
        if (!Ended()) {
            ASSERT_EQ(Sim("new E"), 0);
            plugged = true;
        }
        const int status = Wait();
        if (plugged) written = Unplug();
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;

        // The resumed run is accepted and goes on with the first ID no
        // device holds.
        Start({"auto", "--state", state, "--count", "1"});
        ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
        EXPECT_EQ(PlugWritten(1), std::vector<std::string>{written == "A1" ? "A2" : "A1"});
        EXPECT_EQ(Wait(), 0) << Err();
        if (status == 0) break;
    }
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

// A list of one huge line that can never be written (a file of 0xFF bytes:
// code-page text without one valid character) takes no more memory than
// docs/id-files.md promises, about three times the file, with the ledger on
// or off: the page shows it cut and the ledger is not asked about it.
TEST_F(AutoCommandTest, AHugeUnwritableLineStaysWithinTheDocumentedMemory) {
#ifdef TS_ADDRESS_SANITIZER
    GTEST_SKIP() << "the sanitizer's own memory makes a bound on the peak meaningless";
#endif
    constexpr size_t kSize = size_t{24} << 20;
    WriteFile(work.Path() / "small.ids", "A1\n");
    WriteFile(work.Path() / "ff.ids", std::string(kSize, '\xFF'));
    // Peak resident memory of a run from its start until it is ready.
    const auto peakUntilReady = [this](const std::string& list, const std::string& ledger) {
        Start({"--ledger", ledger, "auto", "--ids", (work.Path() / list).string()});
        EXPECT_TRUE(WaitForOutput("软件就绪")) << Err();
        Stop();
        int status = 0;
        struct rusage ru {};
        EXPECT_EQ(wait4(pid_, &status, 0, &ru), pid_);
        pid_ = -1;
        return static_cast<size_t>(ru.ru_maxrss) * 1024;
    };
    for (const std::string& ledger : {std::string("off"), LedgerPath().string()}) {
        SCOPED_TRACE("ledger " + ledger);
        const size_t base = peakUntilReady("small.ids", ledger);
        const size_t peak = peakUntilReady("ff.ids", ledger);
        EXPECT_LE(peak, base + kSize * 13 / 4)  // about three times
            << "peak " << peak / 1e6 << " MB, without the list " << base / 1e6 << " MB";
    }
}

}  // namespace
}  // namespace ts
