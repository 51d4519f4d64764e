// tagsmith-cli auto and write with the ledger: killed at each moment of a
// write and started again, no ID reaches two devices, every reservation a
// killed run left is reported, and none is lost; verify catches a device
// that confirms but holds another ID; a damaged or locked ledger stops
// writing before anything reaches a device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/CliLine.h"

namespace ts {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

class LedgerRunTest : public test::CliLine {
protected:
    // The IDs of every device taken out after the first `skip` (empty: holds
    // none).
    std::vector<std::string> AllDeviceIds(int skip = 0) const {
        std::vector<std::string> ids;
        for (int i = skip + 1; i <= devices_; ++i)
            ids.push_back(test::IdInImage(work.Path() / ("dev" + std::to_string(i) + ".img")));
        return ids;
    }
    // The IDs `ledger status` lists as reserved.
    std::vector<std::string> Reserved() {
        std::string out;
        EXPECT_EQ(Run("ledger status", &out), 0) << out;
        std::vector<std::string> ids;
        std::istringstream in(out.substr(std::min(out.find("reserved IDs"), out.size())));
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string id;
            if (words >> id) ids.push_back(id);
        }
        return ids;
    }
    bool AllZero(const fs::path& image) const {
        const std::string bytes = ReadFile(image);
        return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
    }
};

// No ID twice, and the IDs on devices and in reservations together are the
// first n of the source: nothing skipped, nothing lost.
void ExpectEachOnceNoneLost(const std::vector<std::string>& onDevices,
                            const std::vector<std::string>& reserved, const std::string& stem) {
    std::set<std::string> seen;
    for (const std::string& id : onDevices) {
        if (id.empty()) continue;
        EXPECT_TRUE(seen.insert(id).second) << id << " is on two devices";
    }
    for (const std::string& id : reserved) seen.insert(id);
    for (size_t i = 1; i <= seen.size(); ++i)
        EXPECT_TRUE(seen.count(stem + std::to_string(i))) << stem << i << " was lost";
}

TEST_F(LedgerRunTest, KilledAtEachMomentOfAWriteAndStartedAgain) {
    struct Case {
        const char* point;  // where the second write dies
        bool reserved;      // the killed write's ID stays reserved
        bool onDevice;      // the killed write's device holds its ID
    };
    const Case cases[] = {
        {"reserve", false, false},
        {"reserved", true, false},
        {"transfer", true, false},
        {"confirmed", true, true},
    };
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\nA4\nA5\nA6\n");
    const std::vector<std::string> list = {"--ids", (work.Path() / "list.ids").string()};
    const std::vector<std::string> counter = {"--prefix", "C", "--counter", "1"};
    for (const Case& c : cases) {
        for (const auto* source : {&list, &counter}) {
            const std::string stem = source == &list ? "A" : "C";
            SCOPED_TRACE(std::string(c.point) + ", " + stem);
            ForgetLedger();
            const int before = devices_;
            std::vector<std::string> args = {"auto"};
            args.insert(args.end(), source->begin(), source->end());

            Start(args, {std::string("TAGSMITH_KILL_AT=") + c.point + ":2"});
            ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
            ASSERT_EQ(PlugWritten(1), std::vector<std::string>{stem + "1"});
            ASSERT_TRUE(WaitForOutput("请插入新设备"));
            ASSERT_EQ(Sim("new E"), 0);
            ASSERT_EQ(Wait(), 128 + SIGKILL) << Out() << Err();
            const std::string killed = Unplug();
            // Part of an image may hold anything; the others hold all or nothing.
            if (std::string(c.point) != "transfer") {
                EXPECT_EQ(killed, c.onDevice ? stem + "2" : "");
            }

            const std::vector<std::string> left = Reserved();
            EXPECT_EQ(left, c.reserved ? std::vector<std::string>{stem + "2"}
                                       : std::vector<std::string>{});

            // Started again on the same list or counter.
            args.insert(args.end(), {"--count", "2"});
            Start(args);
            ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
            EXPECT_EQ(Out().find("上次运行遗留的预留ID：" + stem + "2") != std::string::npos,
                      c.reserved)
                << Out();
            // Either way out is named: the device may or may not hold it.
            if (c.reserved) {
                EXPECT_NE(Out().find("设备中已有该ID时用 tagsmith-cli ledger confirm 确认，否则用 "
                                     "tagsmith-cli ledger release 释放"),
                          std::string::npos)
                    << Out();
            }
            const std::vector<std::string> next = PlugWritten(2);
            EXPECT_EQ(Wait(), 0) << Out() << Err();
            const int first = c.reserved ? 3 : 2;
            EXPECT_EQ(next, (std::vector<std::string>{stem + std::to_string(first),
                                                      stem + std::to_string(first + 1)}));
            EXPECT_EQ(Reserved(), left);
            ExpectEachOnceNoneLost(AllDeviceIds(before), left, stem);
        }
    }
}

// The kill points inside the write's stages that follow the transfer: after
// the last block went out (before the finish), and once an ID was recorded
// in doubt (before the device is read back). Started again, the earlier
// run's ID is named in the log and never given out again; a device still
// attached that holds the ID in doubt is read, settles it and is not written
// again; every image is read with mtools and no ID is on two devices.
TEST_F(LedgerRunTest, KilledAfterTheLastBlockOrWithAnIdInDoubtAndStartedAgain) {
    struct Case {
        const char* killAt;
        const char* fault;      // device E's, for the killed write
        const char* startLine;  // what the next run logs of the ID
        bool attached;          // E stays attached through the restart
    };
    const Case cases[] = {
        {"sent:2", "", "上次运行遗留的预留ID：%ID%", false},
        {"indoubt:1", "fail_at=finish:1\n", "烧写结果不确定的ID：%ID%", true},
    };
    // Takes the device at `letter` out into the work folder; its ID.
    auto unplugKept = [this](char letter) {
        const fs::path kept = work.Path() / ("dev" + std::to_string(++devices_) + ".img");
        EXPECT_EQ(Sim(std::string("unplug ") + letter + " --keep '" + kept.string() + "'"), 0);
        return test::IdInImage(kept);
    };
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\nA4\nA5\nA6\n");
    const std::vector<std::string> list = {"--ids", (work.Path() / "list.ids").string()};
    const std::vector<std::string> counter = {"--prefix", "C", "--counter", "1"};
    for (const Case& c : cases) {
        for (const auto* source : {&list, &counter}) {
            const std::string stem = source == &list ? "A" : "C";
            SCOPED_TRACE(std::string(c.killAt) + ", " + stem);
            ForgetLedger();
            const int before = devices_;
            std::vector<std::string> args = {"auto"};
            args.insert(args.end(), source->begin(), source->end());

            Start(args, {std::string("TAGSMITH_KILL_AT=") + c.killAt});
            ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
            ASSERT_EQ(PlugWritten(1), std::vector<std::string>{stem + "1"});
            ASSERT_TRUE(WaitForOutput("请插入新设备"));
            WriteFile(line.Path() / "E.fault", c.fault);
            ASSERT_EQ(Sim("new E"), 0);
            ASSERT_EQ(Wait(), 128 + SIGKILL) << Out() << Err();
            fs::remove(line.Path() / "E.fault");
            // Every block went out before either kill point.
            if (!c.attached) {
                EXPECT_EQ(Unplug(), stem + "2");
            }

            args.insert(args.end(), {"--count", "2"});
            Start(args);
            ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
            std::string named = c.startLine;
            named.replace(named.find("%ID%"), 4, stem + "2");
            EXPECT_NE(Out().find(named), std::string::npos) << Out();
            std::vector<std::string> next;
            if (c.attached) {
                // F arrives: the scan reads E first (attached before the
                // start), which settles the ID in doubt and is not written
                // again, then goes on to F.
                ASSERT_EQ(Sim("new F"), 0);
                ASSERT_TRUE(WaitForOutput("烧写成功 ID:")) << Out() << Err();
                EXPECT_NE(
                    Out().find("ID " + stem + "2 原为烧写结果不确定，设备中已有该ID，已记为已烧写"),
                    std::string::npos)
                    << Out();
                EXPECT_NE(Out().find("设备中已有ID " + stem +
                                     "2，ID记录中该ID已烧写，该设备不再重复烧写"),
                          std::string::npos)
                    << Out();
                EXPECT_EQ(unplugKept('E'), stem + "2");
                next.push_back(unplugKept('F'));
                ASSERT_TRUE(WaitForOutput("请插入新设备")) << Out();
                ASSERT_EQ(Sim("new E"), 0);
                EXPECT_TRUE(WaitForOutput("烧写成功 ID:", 2)) << Out() << Err();
                next.push_back(Unplug());
            } else {
                next = PlugWritten(2);
            }
            EXPECT_EQ(Wait(), 0) << Out() << Err();
            EXPECT_EQ(next, (std::vector<std::string>{stem + "3", stem + "4"}));
            const std::vector<std::string> left = Reserved();
            EXPECT_EQ(left, c.attached ? std::vector<std::string>{}
                                       : std::vector<std::string>{stem + "2"});
            const std::vector<std::string> onDevices = AllDeviceIds(before);
            EXPECT_EQ(std::count(onDevices.begin(), onDevices.end(), stem + "2"), 1);
            ExpectEachOnceNoneLost(onDevices, left, stem);
        }
    }
}

// Row 6: two tagsmith-cli auto processes of one station on one ledger file
// (the second from a folder of its own, with --ledger naming the first's
// file). The first is stopped, alive, right after its reservation: the
// second does not report that reservation as left over, passes over its
// ID, and `ledger release` of it is refused while the first lives. Let go,
// the first finishes its device; no ID is on two devices.
TEST_F(LedgerRunTest, TwoProcessesOnOneLedgerFileNeverTakeOverALiveReservation) {
    Start({"auto", "--prefix", "C", "--counter", "1"}, {"TAGSMITH_STOP_AT=reserved"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_TRUE(WaitUntil([&] {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid_;
    })) << Out()
        << Err();

    test::TempDir app2, line2;
    test::InstallApp(app2.Path(),
                     {"tagsmith-cli", "modhost.so", "Volkit.so", "tagsmith.cfg", "ulpkData.bin"});
    const std::string cli2 = "'" + (app2.Path() / "tagsmith-cli").string() + "' --ledger '" +
                             LedgerPath().string() + "' --simulate '" + line2.Path().string() +
                             "' ";
    const fs::path out2 = work.Path() / "out2.txt";
    const pid_t second = test::SpawnLogged(
        {(app2.Path() / "tagsmith-cli").string(), "--ledger", LedgerPath().string(), "--simulate",
         line2.Path().string(), "auto", "--prefix", "C", "--counter", "1", "--count", "1"},
        {}, out2, work.Path() / "err2.txt");
    ASSERT_GT(second, 0);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(out2).find("软件就绪") != std::string::npos; }))
        << ReadFile(work.Path() / "err2.txt");
    EXPECT_EQ(ReadFile(out2).find("上次运行遗留的预留ID"), std::string::npos) << ReadFile(out2);

    // The operator cannot free it while the first run lives.
    std::string released;
    EXPECT_NE(test::RunCommand(cli2 + "ledger release C1 2>&1", &released), 0) << released;
    EXPECT_NE(released.find("is being written now by a run of station"), std::string::npos)
        << released;

    // The second run's device gets the next ID.
    ASSERT_EQ(test::RunCommand(cli2 + "sim new E >/dev/null"), 0);
    int status = 0;
    ASSERT_TRUE(WaitUntil([&] { return ::waitpid(second, &status, WNOHANG) == second; }))
        << ReadFile(out2);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(out2);
    EXPECT_NE(ReadFile(out2).find("烧写成功 ID: C2"), std::string::npos) << ReadFile(out2);
    const fs::path image2 = work.Path() / "second.img";
    ASSERT_EQ(test::RunCommand(cli2 + "sim unplug E --keep '" + image2.string() + "' >/dev/null"),
              0);

    // Let go, the first run writes its ID.
    ASSERT_EQ(::kill(pid_, SIGCONT), 0);
    ASSERT_TRUE(WaitForOutput("烧写成功 ID: C1")) << Out() << Err();
    Stop();
    EXPECT_EQ(Wait(), 0) << Err();
    EXPECT_EQ(Unplug(), "C1");
    EXPECT_EQ(test::IdInImage(image2), "C2");
    EXPECT_TRUE(Reserved().empty());
    std::string status1;
    ASSERT_EQ(Run("ledger status", &status1), 0);
    EXPECT_NE(status1.find("reserved: 0\nwritten: 2\n"), std::string::npos) << status1;
}

// The whole story: killed in the middle of a run, started again with the
// same file, every remaining ID written once, every attempt in the journal.
TEST_F(LedgerRunTest, ARunKilledMidwayFinishesTheListOnceAndJournalsEveryAttempt) {
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\nA4\nA5\nA6\n");
    const std::string list = (work.Path() / "list.ids").string();
    Start({"auto", "--ids", list}, {"TAGSMITH_KILL_AT=transfer:3"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(2), (std::vector<std::string>{"A1", "A2"}));
    ASSERT_TRUE(WaitForOutput("请插入新设备", 2));
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_EQ(Wait(), 128 + SIGKILL);
    Unplug();

    Start({"auto", "--ids", list});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(3), (std::vector<std::string>{"A4", "A5", "A6"}));
    EXPECT_EQ(Wait(), 0) << Err();
    EXPECT_NE(Err().find("no ID left to write"), std::string::npos) << Err();
    const std::vector<std::string> onDevices = AllDeviceIds();
    ExpectEachOnceNoneLost(onDevices, Reserved(), "A");
    EXPECT_EQ(Reserved(), std::vector<std::string>{"A3"});

    std::string csv;
    ASSERT_EQ(Run("journal --csv -", &csv), 0);
    std::istringstream rows(csv);
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row.rfind("time,station,mode,source,", 0), 0u) << row;
    std::vector<std::string> attempts;
    while (std::getline(rows, row)) {
        // mode, source, file line, port and result of each attempt.
        std::vector<std::string> f;
        std::istringstream fields(row);
        for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
        ASSERT_EQ(f.size(), 19u) << row;
        EXPECT_EQ(f[5], test::ProgramPath(list));
        attempts.push_back(f[2] + " " + f[3] + " " + f[6] + " " + f[10] + " " + f[15] + " [" +
                           f[16] + "]");
    }
    EXPECT_EQ(attempts,
              (std::vector<std::string>{"write file 1 A1 E [0]", "write file 2 A2 E [0]",
                                        "write file 3 A3 E []",  // died during the transfer
                                        "write file 4 A4 E [0]", "write file 5 A5 E [0]",
                                        "write file 6 A6 E [0]"}));
}

// The operator's round after a run died during the transfer: the device
// holds the ID the ledger keeps reserved, so the operator confirms it; the
// next run goes on with the next ID and nothing stays reserved.
TEST_F(LedgerRunTest, AnIdThatReachedTheDeviceBeforeTheKillIsConfirmedByTheOperator) {
    WriteFile(work.Path() / "list.ids", "A1\nA2\nA3\nA4\n");
    const std::string list = (work.Path() / "list.ids").string();
    Start({"auto", "--ids", list}, {"TAGSMITH_KILL_AT=transfer:2"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    ASSERT_EQ(PlugWritten(1), std::vector<std::string>{"A1"});
    ASSERT_TRUE(WaitForOutput("请插入新设备"));
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_EQ(Wait(), 128 + SIGKILL) << Out() << Err();
    ASSERT_EQ(Reserved(), std::vector<std::string>{"A2"});
    ASSERT_EQ(Unplug(), "A2") << "the first block holds the whole ID file";

    std::string out;
    ASSERT_EQ(Run("ledger confirm A2", &out), 0) << out;
    EXPECT_EQ(out.rfind("confirmed as written A2 (", 0), 0u) << out;
    EXPECT_TRUE(Reserved().empty());

    Start({"auto", "--ids", list, "--count", "2"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    EXPECT_EQ(PlugWritten(2), (std::vector<std::string>{"A3", "A4"}));
    EXPECT_EQ(Wait(), 0) << Out() << Err();
    EXPECT_EQ(Out().find("上次运行遗留的预留ID"), std::string::npos) << Out();
    EXPECT_EQ(AllDeviceIds(), (std::vector<std::string>{"A1", "A2", "A3", "A4"}));
    std::string status;
    ASSERT_EQ(Run("ledger status", &status), 0);
    EXPECT_NE(status.find(
                  "reserved: 0\nwritten: 4\nverified: 0\nreleased: 0\nin doubt: 0\nreplaced: 0\n"),
              std::string::npos)
        << status;
    EXPECT_EQ(status.find("reserved IDs"), std::string::npos) << status;
}

// Killed after the device confirmed and before the state was saved: the
// state still names the written ID, the ledger holds it, and the resumed run
// goes on with the next one.
TEST_F(LedgerRunTest, AStateResumeAfterAKillBeforeTheSaveWritesNoIdTwice) {
    WriteFile(work.Path() / "list.ids", "A1\nA2\n");
    const std::string state = (work.Path() / "state.cfg").string();
    const std::vector<std::string> list = {"--ids", (work.Path() / "list.ids").string()};
    const std::vector<std::string> counter = {"--prefix", "C", "--counter", "1"};
    for (const auto* source : {&list, &counter}) {
        const std::string stem = source == &list ? "A" : "C";
        SCOPED_TRACE(stem);
        ForgetLedger();
        fs::remove(state);
        std::vector<std::string> args = {"auto", "--state", state};
        args.insert(args.end(), source->begin(), source->end());
        Start(args, {"TAGSMITH_KILL_AT=confirmed"});
        ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
        ASSERT_EQ(Sim("new E"), 0);
        ASSERT_EQ(Wait(), 128 + SIGKILL);
        EXPECT_EQ(Unplug(), stem + "1");

        Start({"auto", "--state", state, "--count", "1"});
        ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
        EXPECT_EQ(PlugWritten(1), std::vector<std::string>{stem + "2"});
        EXPECT_EQ(Wait(), 0) << Err();
        EXPECT_EQ(Reserved(), std::vector<std::string>{stem + "1"});
    }
}

TEST_F(LedgerRunTest, VerifyCatchesADeviceThatConfirmsButHoldsAnotherId) {
    // write: the device holds AAA1 and keeps it.
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_EQ(Run("write AAA1 --yes"), 0);
    WriteFile(line.Path() / "E.fault", "write=discard\n");
    std::string out;
    EXPECT_EQ(Run("write BBB1 --yes --verify", &out), 1) << out;
    EXPECT_NE(out.find("烧写校验失败，设备中的ID为 AAA1，应为 BBB1，该ID保持预留"),
              std::string::npos)
        << out;
    EXPECT_EQ(Unplug(), "AAA1");
    EXPECT_EQ(Reserved(), std::vector<std::string>{"BBB1"});

    // auto --verify: the failed ID stays reserved, the next device gets the
    // next ID, read back and marked verified.
    WriteFile(work.Path() / "list.ids", "D1\nD2\n");
    Start({"auto", "--ids", (work.Path() / "list.ids").string(), "--verify", "--count", "1"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_TRUE(WaitForOutput("烧写校验失败")) << Out();
    EXPECT_EQ(Unplug(), "");
    ASSERT_TRUE(WaitForOutput("请插入新设备"));
    fs::remove(line.Path() / "E.fault");
    EXPECT_EQ(PlugWritten(1), std::vector<std::string>{"D2"});
    EXPECT_EQ(Wait(), 1);
    EXPECT_NE(Out().find("written 1, failed 1\n"), std::string::npos) << Out();
    EXPECT_EQ(Reserved(), (std::vector<std::string>{"BBB1", "D1"}));
    std::string status;
    ASSERT_EQ(Run("ledger status", &status), 0);
    EXPECT_NE(status.find("verified: 1\n"), std::string::npos) << status;
}

TEST_F(LedgerRunTest, ADamagedLedgerStopsTheRunAndIsKept) {
    WriteFile(work.Path() / "list.ids", "A1\n");
    const std::string junk = "this is no ledger\n";
    WriteFile(LedgerPath(), junk);
    std::string out, err;
    EXPECT_EQ(Run("auto --ids '" + (work.Path() / "list.ids").string() + "'", &out, &err), 1);
    EXPECT_NE(err.find("the ledger cannot be used"), std::string::npos) << err;
    EXPECT_NE(out.find("无法使用ID记录"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(LedgerPath()), junk);
    // A manual write is refused as well, and the device keeps nothing.
    ASSERT_EQ(Sim("new E"), 0);
    EXPECT_EQ(Run("write A1 --yes", &out), 1);
    EXPECT_NE(out.find("烧写失败，ID记录无法使用"), std::string::npos) << out;
    Sim("unplug E --keep '" + (work.Path() / "kept.img").string() + "'");
    EXPECT_TRUE(AllZero(work.Path() / "kept.img"));
    EXPECT_EQ(ReadFile(LedgerPath()), junk);
}

TEST_F(LedgerRunTest, ALockedLedgerFailsTheWriteBeforeTheDeviceIsTouched) {
    WriteFile(work.Path() / "list.ids", "A1\nA2\n");
    Start({"auto", "--ids", (work.Path() / "list.ids").string(), "--count", "1"});
    ASSERT_TRUE(WaitForOutput("软件就绪")) << Err();
    // Another program in the middle of a change.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(LedgerPath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_TRUE(WaitForOutput("设备未被改写")) << Out();
    EXPECT_NE(Out().find("locked"), std::string::npos) << Out();
    Sim("unplug E --keep '" + (work.Path() / "kept.img").string() + "'");
    EXPECT_TRUE(AllZero(work.Path() / "kept.img"));
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    // Once the lock is gone the same ID goes to the next device.
    ASSERT_TRUE(WaitForOutput("请插入新设备"));
    EXPECT_EQ(PlugWritten(1), std::vector<std::string>{"A1"});
    EXPECT_EQ(Wait(), 1);  // one failed write in the run
}

// Under a file-size limit (a quota, prlimit) a ledger write fails as on a
// full disk instead of the limit's signal ending the process, and leaves
// the ledger as it was and no file behind.
TEST_F(LedgerRunTest, AFileSizeLimitFailsAsAFullDiskAndLeavesNothing) {
    ASSERT_EQ(Sim("new E"), 0);
    ASSERT_EQ(Run("write 11 --yes"), 0);
    EXPECT_EQ(Unplug(), "11");
    std::string ids;
    for (int i = 1; i <= 20000; ++i) ids += "AB" + std::to_string(i) + "\n";
    WriteFile(work.Path() / "big.ids", ids);
    struct Case {
        const char* name;
        const char* limit;  // bytes
        std::string args;
        bool keepLedger;  // false: none at the start
        const char* says;
    };
    const std::vector<Case> cases = {
        {"a write", "4096", "write 12 --yes", true, "the disk is full"},
        {"making the ledger for an import", "512",
         "pool import '" + (work.Path() / "big.ids").string() + "'", false,
         "cannot be made: the disk is full"},
        {"an import", "200000", "pool import '" + (work.Path() / "big.ids").string() + "'", true,
         "cannot import the list: the disk is full"},
    };
    const std::string ledger = ReadFile(LedgerPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ForgetLedger();
        if (c.keepLedger) WriteFile(LedgerPath(), ledger);
        ASSERT_EQ(Sim("new E"), 0);
        std::string out, err;
        EXPECT_EQ(Run(c.args, &out, &err, "prlimit --fsize=" + std::string(c.limit)), 1)
            << out << err;
        EXPECT_NE((out + err).find(c.says), std::string::npos) << out << err;
        for (const auto& e : fs::directory_iterator(app.Path()))
            EXPECT_EQ(e.path().filename().string().rfind(".tagsmith.ledger", 0), std::string::npos)
                << "left behind: " << e.path();
        if (c.keepLedger) {
            std::string status;
            EXPECT_EQ(Run("ledger status", &status), 0) << status;
            EXPECT_NE(status.find("written: 1\n"), std::string::npos) << status;
        } else {
            EXPECT_FALSE(fs::exists(LedgerPath()));
        }
        EXPECT_EQ(Unplug(), "") << "the device got nothing";
    }
}

}  // namespace
}  // namespace ts
