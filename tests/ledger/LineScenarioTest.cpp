// A line of eight stations (processes) sharing one ledger server: two ID
// lists that overlap, then one counter. During the run one station is
// killed and the server restarts; afterwards the operator releases what the
// dead station left reserved and it runs again. Every ID ends up written
// exactly once, none skipped.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "idsource/HexId.h"
#include "ledger/PgLedger.h"
#include "platform/Codepage.h"
#include "tests/ledger/LedgerFixture.h"

namespace ts {
namespace {

using namespace std::chrono_literals;

constexpr int kStations = 8;
constexpr size_t kIds = 10000;
constexpr int kKilled = 2;

std::u16string LineId(size_t i) { return u"S" + Utf8ToWide(std::to_string(100000 + i)); }

// A station's list: indexes into the line's IDs, in file order.
struct StationList {
    std::string sha;
    size_t from, to;  // [from, to)
};

// Stations 0-3 load list A (IDs 0..5999), stations 4-7 list B (4000..9999):
// 4000..5999 are on both.
StationList ListOf(int station) {
    return station < 4 ? StationList{std::string(64, 'a'), 0, 6000}
                       : StationList{std::string(64, 'b'), 4000, kIds};
}

// Retries what failed because the server was away, for up to a minute.
template <class F>
LedgerResult Patiently(F&& f) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        LedgerResult r = f();
        if (r.status != LedgerStatus::Offline && r.status != LedgerStatus::Busy) return r;
        if (std::chrono::steady_clock::now() > deadline) return r;
        std::this_thread::sleep_for(20ms);
    }
}

// One station's run; reports each confirmed write on `fd` (the ID's index,
// or for the counter its value) and exits with 0 when done.
[[noreturn]] void Station(const std::string& url, int station, bool counter, int fd) {
    std::unique_ptr<PgLedger> l;
    LedgerOpenOptions o;
    o.station = "st" + std::to_string(station);
    if (!Patiently([&] { return PgLedger::Open(url, o, &l); }).ok()) _exit(3);
    auto write = [&](const Attempt& a) -> int {  // 1 written, 0 held, -1 failed
        Reservation r;
        LedgerResult res = Patiently([&] { return l->Reserve(a, false, &r); });
        if (res.status == LedgerStatus::Held) return 0;
        if (!res.ok()) return -1;
        usleep(200);  // the device takes the ID
        res = Patiently([&] { return l->MarkWritten(r); });
        return res.ok() ? 1 : -1;
    };
    if (!counter) {
        const StationList list = ListOf(station);
        for (size_t i = list.from; i < list.to; ++i) {
            Attempt a;
            a.id = LineId(i);
            a.source = IdSource::FromFile(list.sha, "line.ids", static_cast<uint32_t>(i + 1));
            a.device.port = "E";
            const int w = write(a);
            if (w < 0) _exit(4);
            const uint32_t v = static_cast<uint32_t>(i);
            if (w == 1 && ::write(fd, &v, sizeof v) != sizeof v) _exit(5);
        }
        _exit(0);
    }
    const IdSource src = IdSource::FromCounter(u"C", u"", false);
    for (int k = 0; k < 150; ++k) {
        std::optional<std::u16string> value;
        int w = 0;
        while (w == 0) {  // a value some other source holds is passed over
            LedgerResult res =
                Patiently([&] { return l->NextCounter(u"C", u"", false, u"1", &value); });
            if (!res.ok() || !value) _exit(4);
            Attempt a;
            a.id = u"C" + *value;
            a.source = src;
            w = write(a);
        }
        if (w < 0) _exit(4);
        const uint32_t v = static_cast<uint32_t>(std::stoul(WideToUtf8(*value), nullptr, 16));
        if (::write(fd, &v, sizeof v) != sizeof v) _exit(5);
    }
    _exit(0);
}

class LineScenarioTest : public test::LedgerFixture {
protected:
    void SetUp() override {
        std::string skip;
        if (test::RunServerDir(&skip).empty()) GTEST_SKIP() << skip;
        server = std::make_unique<test::PgPrivateServer>(dir.Dir() + "pg");
        ASSERT_TRUE(server->Start());
        std::unique_ptr<PgLedger> l;
        const LedgerResult r = PgLedger::Open(server->Url(), Options(), &l);
        ASSERT_TRUE(r.ok()) << r.message;
    }

    // Runs the stations; kills one after `killAfter` reports and restarts the
    // server after `restartAfter`. The reports of every station, in order.
    std::vector<std::vector<uint32_t>> RunLine(bool counter, size_t killAfter,
                                               size_t restartAfter) {
        std::vector<std::vector<uint32_t>> reports(kStations);
        std::vector<pid_t> pids(kStations);
        std::vector<int> fds(kStations);
        for (int s = 0; s < kStations; ++s) {
            int p[2];
            EXPECT_EQ(pipe(p), 0);
            pids[s] = fork();
            if (pids[s] == 0) {
                close(p[0]);
                Station(server->Url(), s, counter, p[1]);
            }
            close(p[1]);
            fds[s] = p[0];
        }
        size_t total = 0;
        bool killed = false, restarted = false;
        std::vector<bool> open(kStations, true);
        for (int left = kStations; left > 0;) {
            std::vector<pollfd> pf;
            for (int s = 0; s < kStations; ++s)
                if (open[s]) pf.push_back({fds[s], POLLIN, 0});
            if (poll(pf.data(), pf.size(), 1000) <= 0) continue;
            for (const pollfd& p : pf) {
                if (!(p.revents & (POLLIN | POLLHUP))) continue;
                const int s =
                    static_cast<int>(std::find(fds.begin(), fds.end(), p.fd) - fds.begin());
                uint32_t v = 0;
                if (read(p.fd, &v, sizeof v) == sizeof v) {
                    reports[s].push_back(v);
                    ++total;
                } else {
                    open[s] = false;
                    close(p.fd);
                    --left;
                }
            }
            if (!killed && total >= killAfter) {
                kill(pids[kKilled], SIGKILL);
                killed = true;
            }
            if (!restarted && total >= restartAfter) {
                EXPECT_TRUE(server->Stop("fast"));
                std::this_thread::sleep_for(300ms);
                EXPECT_TRUE(server->Start());
                restarted = true;
            }
        }
        for (int s = 0; s < kStations; ++s) {
            int status = 0;
            EXPECT_EQ(waitpid(pids[s], &status, 0), pids[s]);
            if (s == kKilled) {
                EXPECT_TRUE(WIFSIGNALED(status)) << "station " << s << " was to be killed";
            } else {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    << "station " << s << " status " << status;
            }
        }
        EXPECT_TRUE(killed && restarted);
        return reports;
    }

    // The operator checks the dead station's devices and releases what it
    // left reserved; returns how many.
    size_t ReleaseLeftovers(IdLedger& l) {
        std::vector<IdRecord> reserved;
        EXPECT_TRUE(l.ListReserved(&reserved).ok());
        for (const IdRecord& rec : reserved) {
            EXPECT_EQ(rec.station, "st" + std::to_string(kKilled)) << "only the dead one's";
            EXPECT_TRUE(l.ReleaseReserved(rec.id, nullptr).ok());
        }
        return reserved.size();
    }

    // Each ID confirmed written by exactly one attempt in the journal.
    std::map<std::string, int> Confirmations(IdLedger& l) {
        std::map<std::string, int> n;
        EXPECT_TRUE(l.ReadJournal(INT64_MIN, [&](const JournalRow& j) {
                         if (j.mode == "write" && j.result && *j.result == 0)
                             ++n[std::string(j.id)];
                         return true;
                     }).ok());
        return n;
    }

    std::unique_ptr<test::PgPrivateServer> server;
};

TEST_F(LineScenarioTest, EightStationsOverlappingListsKillAndRestart) {
    const auto reports = RunLine(false, 1500, 4000);
    std::unique_ptr<PgLedger> l;
    ASSERT_TRUE(PgLedger::Open(server->Url(), Options("st2"), &l).ok());
    const size_t released = ReleaseLeftovers(*l);
    EXPECT_LE(released, 1u) << "a station has one device at a time";

    // The dead station runs again (same list) and takes what is left.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        Station(server->Url(), kKilled, false, p[1]);
    }
    close(p[1]);
    std::vector<uint32_t> again;
    uint32_t v = 0;
    while (read(p[0], &v, sizeof v) == sizeof v) again.push_back(v);
    close(p[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Reported by the stations: no index twice.
    std::set<uint32_t> seen;
    size_t count = 0;
    for (const auto& r : reports) {
        seen.insert(r.begin(), r.end());
        count += r.size();
    }
    seen.insert(again.begin(), again.end());
    count += again.size();
    EXPECT_EQ(seen.size(), count) << "an ID reported by two stations";

    // The ledger: every ID written, and confirmed exactly once (a station
    // killed after its confirmation but before its report counts too).
    StateCounts c;
    ASSERT_TRUE(l->Counts(&c).ok());
    EXPECT_EQ(c.written, kIds);
    EXPECT_EQ(c.reserved, 0u);
    const auto confirmations = Confirmations(*l);
    EXPECT_EQ(confirmations.size(), kIds);
    for (size_t i = 0; i < kIds; ++i) {
        const auto it = confirmations.find(WideToUtf8(LineId(i)));
        ASSERT_NE(it, confirmations.end()) << "ID " << i << " never written";
        ASSERT_EQ(it->second, 1) << "ID " << i << " written " << it->second << " times";
    }
    EXPECT_GE(seen.size() + 1, kIds) << "at most the one confirmation the killed station "
                                        "could not report";
}

TEST_F(LineScenarioTest, EightStationsOneCounterKillAndRestart) {
    const auto reports = RunLine(true, 200, 500);
    std::unique_ptr<PgLedger> l;
    ASSERT_TRUE(PgLedger::Open(server->Url(), Options("st2"), &l).ok());
    ReleaseLeftovers(*l);
    std::set<uint32_t> seen;
    size_t count = 0;
    for (const auto& r : reports) {
        seen.insert(r.begin(), r.end());
        count += r.size();
    }
    EXPECT_EQ(seen.size(), count) << "a counter value reported by two stations";
    const auto confirmations = Confirmations(*l);
    for (const auto& [id, n] : confirmations) EXPECT_EQ(n, 1) << id;
    EXPECT_GE(confirmations.size(), count);
    // Values are handed out in order: only those the dead station had taken
    // (at most the one in its hands), or whose reply the restart swallowed,
    // are missing below the highest.
    const uint32_t highest = *seen.rbegin();
    EXPECT_LE(highest - confirmations.size(), 3u)
        << confirmations.size() << " written up to " << highest;
}

}  // namespace
}  // namespace ts
