// What only the shared ledger has to get right: stations that never wait on
// each other, every ID exactly once across stations, the server going away
// and coming back, and credentials that never show.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "idsource/HexId.h"
#include "ledger/LedgerSettings.h"
#include "ledger/PgLedger.h"
#include "platform/Codepage.h"
#include "tests/ledger/LedgerFixture.h"

namespace ts {
namespace {

using test::PgKind;

class PgLedgerTest : public test::AnyLedgerFixture<PgKind> {
protected:
    std::string Url() const { return kind.db.Url(); }

    // A connection of its own, for holding locks as a station in the middle
    // of its work would.
    PGconn* Raw() {
        PGconn* c = PQconnectdb(Url().c_str());
        EXPECT_EQ(PQstatus(c), CONNECTION_OK) << PQerrorMessage(c);
        return c;
    }
    static void RawExec(PGconn* c, const std::string& sql) {
        PGresult* r = PQexec(c, sql.c_str());
        const ExecStatusType st = PQresultStatus(r);
        EXPECT_TRUE(st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK)
            << sql << ": " << PQresultErrorMessage(r);
        PQclear(r);
    }
};

std::u16string ListId(size_t i) { return u"N" + Utf8ToWide(std::to_string(100000 + i)); }

TEST_F(PgLedgerTest, ReserveNeverWaitsOnAnotherStation) {
    LedgerOpenOptions o = Options("st2");
    o.busyTimeoutMs = 100;  // a wait would end in Busy, not Held
    auto st1 = Open("st1");
    auto st2 = OpenWith(o);
    ASSERT_TRUE(st1 && st2);
    Put(*st1, u"Y", "reserved");
    Put(*st1, u"W", "written");

    // Station 1 in the middle of changing X and W (their transaction locks
    // held), and a transaction holding Y's row locked.
    PGconn* busyX = Raw();
    RawExec(busyX, "BEGIN");
    for (const char* id : {"X", "W"})
        RawExec(busyX,
                "SELECT pg_advisory_xact_lock(" + std::to_string(PgLedger::LockKeyOf(id)) + ")");
    PGconn* busyY = Raw();
    RawExec(busyY, "BEGIN");
    RawExec(busyY, "SELECT * FROM tagsmith.ids WHERE id = 'Y' FOR UPDATE");

    struct Case {
        const char16_t* id;
        LedgerStatus status;
        const char* says;
    };
    const std::vector<Case> cases = {
        {u"X", LedgerStatus::Held, "being reserved by another station"},
        {u"Y", LedgerStatus::Held, "reserved already"},
        // Passed over (after a refusal) as held, without asking for its lock.
        {u"W", LedgerStatus::Held, "written already"},
        {u"Z", LedgerStatus::Ok, ""},
    };
    for (const auto& c : cases) {
        Reservation r;
        const LedgerResult res = st2->Reserve(Write(c.id), false, &r);
        EXPECT_EQ(res.status, c.status) << WideToUtf8(c.id) << ": " << res.message;
        EXPECT_NE(res.message.find(c.says), std::string::npos) << res.message;
    }
    RawExec(busyX, "ROLLBACK");
    RawExec(busyY, "ROLLBACK");
    PQfinish(busyX);
    PQfinish(busyY);
    Reservation r;
    EXPECT_TRUE(st2->Reserve(Write(u"X"), false, &r).ok()) << "free once station 1 is done";
}

// A row that another transaction holds locked (not through the ID's lock,
// e.g. a supervisor's session) is passed over at once, not waited on.
TEST_F(PgLedgerTest, ReserveSkipsARowLockedOutsideTheStations) {
    auto st1 = Open("st1");
    LedgerOpenOptions o = Options("st2");
    o.busyTimeoutMs = 100;  // a wait would end in Busy
    auto st2 = OpenWith(o);
    ASSERT_TRUE(st1 && st2);
    Put(*st1, u"F", "released");
    PGconn* busy = Raw();
    RawExec(busy, "BEGIN");
    RawExec(busy, "SELECT * FROM tagsmith.ids WHERE id = 'F' FOR UPDATE");
    Reservation r;
    const LedgerResult locked = st2->Reserve(Write(u"F"), false, &r);
    EXPECT_EQ(locked.status, LedgerStatus::Held) << locked.message;
    RawExec(busy, "ROLLBACK");
    PQfinish(busy);
    const LedgerResult freed = st2->Reserve(Write(u"F"), false, &r);
    EXPECT_TRUE(freed.ok()) << freed.message;
    EXPECT_EQ(StateOf(*st1, u"F"), IdState::Reserved);
}

// The operator's release and confirmation take the ID's transaction lock as
// the stations do: while a station is changing the ID they wait (here, until
// the lock timeout: Busy, nothing changed), and go through once it is done.
TEST_F(PgLedgerTest, OperatorStepsWaitForAStationChangingTheId) {
    auto st1 = Open("st1");
    LedgerOpenOptions o = Options("office");
    o.busyTimeoutMs = 100;
    auto office = OpenWith(o);
    ASSERT_TRUE(st1 && office);
    struct Case {
        const char* op;
        std::u16string id;
        IdState after;
    };
    const std::vector<Case> cases = {
        {"release", u"X1", IdState::Released},
        {"confirm", u"X2", IdState::Written},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.op);
        // Left by a run that ended: the operator may settle it.
        Put(*Open("st1"), c.id, "reserved");
        auto step = [&] {
            return std::string(c.op) == "confirm" ? office->ConfirmReserved(c.id, nullptr)
                                                  : office->ReleaseReserved(c.id, nullptr);
        };
        PGconn* busy = Raw();
        RawExec(busy, "BEGIN");
        RawExec(busy, "SELECT pg_advisory_xact_lock(" +
                          std::to_string(PgLedger::LockKeyOf(WideToUtf8(c.id))) + ")");
        const LedgerResult locked = step();
        EXPECT_EQ(locked.status, LedgerStatus::Busy) << locked.message;
        EXPECT_EQ(StateOf(*st1, c.id), IdState::Reserved);
        RawExec(busy, "ROLLBACK");
        PQfinish(busy);
        const LedgerResult done = step();
        EXPECT_TRUE(done.ok()) << done.message;
        EXPECT_EQ(StateOf(*st1, c.id), c.after);
    }
}

// Stations on threads, each with its own connection, walking one list in
// file order as the list page does, and taking values from one counter.
TEST_F(PgLedgerTest, ManyStationsTakeEveryIdExactlyOnce) {
    constexpr size_t kIds = 1200;
    constexpr int kStations = 8;
    constexpr int kCounterPerStation = 60;
    std::vector<std::vector<size_t>> taken(kStations);
    std::vector<std::vector<std::u16string>> counted(kStations);
    std::vector<std::string> errors(kStations);
    std::vector<std::thread> threads;
    const IdSource counter = IdSource::FromCounter(u"CT", u"", false);
    for (int s = 0; s < kStations; ++s) {
        threads.emplace_back([&, s] {
            std::unique_ptr<PgLedger> l;
            LedgerOpenOptions o;
            o.station = "st" + std::to_string(s);
            LedgerResult r = PgLedger::Open(Url(), o, &l);
            if (!r.ok()) {
                errors[s] = r.message;
                return;
            }
            for (size_t i = 0; i < kIds; ++i) {
                Attempt a = Write(ListId(i), "E", IdSource::FromFile(std::string(64, 'c'), "l", 1));
                Reservation res;
                r = l->Reserve(a, false, &res);
                if (r.status == LedgerStatus::Held) continue;
                if (r.ok()) r = l->MarkWritten(res);
                if (!r.ok()) {
                    errors[s] = r.message;
                    return;
                }
                taken[s].push_back(i);
            }
            for (int k = 0; k < kCounterPerStation; ++k) {
                std::optional<std::u16string> v;
                r = l->NextCounter(u"CT", u"", false, u"1", &v);
                Reservation res;
                if (r.ok()) r = l->Reserve(Write(u"CT" + *v, "E", counter), false, &res);
                if (r.ok()) r = l->MarkWritten(res);
                if (!r.ok()) {
                    errors[s] = r.message;
                    return;
                }
                counted[s].push_back(*v);
            }
        });
    }
    for (auto& t : threads) t.join();
    std::vector<size_t> all;
    std::set<std::u16string> values;
    size_t valueCount = 0;
    for (int s = 0; s < kStations; ++s) {
        EXPECT_EQ(errors[s], "") << "station " << s;
        all.insert(all.end(), taken[s].begin(), taken[s].end());
        values.insert(counted[s].begin(), counted[s].end());
        valueCount += counted[s].size();
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), kIds) << "every ID once";
    for (size_t i = 0; i < kIds; ++i) ASSERT_EQ(all[i], i);
    EXPECT_EQ(valueCount, values.size()) << "no counter value twice";
    EXPECT_EQ(values.size(), size_t{kStations * kCounterPerStation});
    // Without failures the counter leaves no gap: 1 .. 8 * 60.
    std::set<std::u16string> expected;
    std::u16string v = u"1";
    for (int k = 0; k < kStations * kCounterPerStation; ++k) {
        expected.insert(v);
        IncrementHex(v);
    }
    EXPECT_EQ(values, expected);
}

TEST_F(PgLedgerTest, ServerAwayGivesOfflineThenWorksAgain) {
    test::PgPrivateServer server(dir.Dir() + "pg");
    ASSERT_TRUE(server.Start());
    for (const char* stopMode : {"fast", "immediate"}) {
        std::unique_ptr<PgLedger> l;
        LedgerOpenOptions o = Options();
        ASSERT_TRUE(PgLedger::Open(server.Url(), o, &l).ok());
        Put(*l, u"R1", "written");
        Reservation held;
        ASSERT_TRUE(l->Reserve(Write(u"R2"), false, &held).ok());

        ASSERT_TRUE(server.Stop(stopMode));
        Reservation r;
        IdRecord rec;
        std::optional<std::u16string> v;
        const std::vector<std::pair<const char*, LedgerResult>> results = {
            {"reserve", l->Reserve(Write(u"R3"), false, &r)},
            {"written", l->MarkWritten(held)},
            {"lookup", l->Lookup(u"R1", &rec)},
            {"counter", l->NextCounter(u"Q", u"", false, u"1", &v)},
        };
        for (const auto& [op, res] : results) {
            EXPECT_EQ(res.status, LedgerStatus::Offline)
                << stopMode << " " << op << ": " << res.message;
            EXPECT_NE(res.message.find("ledger postgresql://***@/postgres: "), std::string::npos)
                << res.message;
            EXPECT_NE(res.message.find("the server cannot be reached"), std::string::npos)
                << res.message;
        }

        ASSERT_TRUE(server.Start());
        LedgerResult res = l->MarkWritten(held);
        EXPECT_TRUE(res.ok()) << stopMode << ": " << res.message;
        res = l->Reserve(Write(u"R3"), false, &r);
        EXPECT_TRUE(res.ok()) << stopMode << ": " << res.message;
        EXPECT_TRUE(l->Release(r, 1).ok());
        EXPECT_EQ(StateOf(*l, u"R1"), IdState::Written);
        EXPECT_EQ(StateOf(*l, u"R2"), IdState::Written);
        ASSERT_TRUE(l->ReleaseReserved(u"R1", nullptr).status == LedgerStatus::NotReserved);
        // Start the next round from a clean database.
        test::PgAdmin(server.Dir(), "DROP SCHEMA tagsmith CASCADE");
    }
}

TEST_F(PgLedgerTest, CredentialsNeverShow) {
    const std::string role = "st_" + std::to_string(getpid());
    const std::string secret = "pw-S3cret";
    ASSERT_EQ(test::PgAdmin(kind.db.ServerDir(), "DROP ROLE IF EXISTS " + role), "");
    ASSERT_EQ(test::PgAdmin(kind.db.ServerDir(),
                            "CREATE ROLE " + role + " LOGIN PASSWORD '" + secret + "'"),
              "");
    ASSERT_EQ(test::PgAdmin(kind.db.ServerDir(),
                            "ALTER DATABASE " + kind.db.Name() + " OWNER TO " + role),
              "");
    const std::string host = "@/" + kind.db.Name() + "?host=" + kind.db.ServerDir() + "/run";
    const std::string passFile = dir.Dir() + "pgpass";
    {
        std::ofstream f(passFile);
        f << "*:*:*:" << role << ":" << secret << "\n";
    }
    chmod(passFile.c_str(), 0600);
    struct Case {
        const char* name;
        std::string url;
        const char* envPassword;  // PGPASSWORD
        bool passFile;            // PGPASSFILE
        LedgerStatus status;
    };
    const std::vector<Case> cases = {
        {"in the URL", "postgresql://" + role + ":" + secret + host, nullptr, false,
         LedgerStatus::Ok},
        {"wrong one in the URL", "postgresql://" + role + ":wrong-" + secret + host, nullptr, false,
         LedgerStatus::Offline},
        {"in the query", "postgresql://" + role + host + "&password=" + secret + "x", nullptr,
         false, LedgerStatus::Offline},
        {"environment", "postgresql://" + role + host, "pw-S3cret", false, LedgerStatus::Ok},
        {"password file", "postgresql://" + role + host, nullptr, true, LedgerStatus::Ok},
        {"none", "postgresql://" + role + host, nullptr, false, LedgerStatus::Offline},
    };
    for (const auto& c : cases) {
        unsetenv("PGPASSWORD");
        setenv("PGPASSFILE", c.passFile ? passFile.c_str() : "/nonexistent", 1);
        if (c.envPassword) setenv("PGPASSWORD", c.envPassword, 1);
        LedgerSettings s;
        s.location = c.url;
        s.station = "st1";
        std::unique_ptr<IdLedger> l;
        LedgerResult r = OpenLedger(s, Options(), &l);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.message;
        EXPECT_EQ(r.message.find("S3cret"), std::string::npos) << c.name << ": " << r.message;
        if (!l) continue;
        EXPECT_EQ(l->Describe().find("S3cret"), std::string::npos) << l->Describe();
        Reservation res;
        r = l->Reserve(Write(u"K1", "E"), false, &res);
        EXPECT_TRUE(r.ok() || r.status == LedgerStatus::Held) << r.message;
        std::string journal;
        ASSERT_TRUE(l->ReadJournal(INT64_MIN, [&](const JournalRow& j) {
                         journal += std::string(j.station) + std::string(j.device);
                         return true;
                     }).ok());
        EXPECT_EQ(journal.find("S3cret"), std::string::npos);
    }
    unsetenv("PGPASSWORD");
    unsetenv("PGPASSFILE");
    test::PgAdmin(kind.db.ServerDir(), "ALTER DATABASE " + kind.db.Name() + " OWNER TO tagsmith");
    test::PgAdmin(kind.db.ServerDir(), "DROP OWNED BY " + role + " CASCADE", kind.db.Name());
}

// What a device, a file or a careless configuration can hand the ledger:
// texts the server would refuse as they are are kept readable instead.
TEST_F(PgLedgerTest, OddTextsAreStoredReadably) {
    auto l = Open();
    ASSERT_TRUE(l);
    Attempt a = Write(u"ODD1", "E");
    a.device.usbSerial = std::string("A\0B\xFF\xC3", 5);
    a.device.node = "/dev/sg\n2";
    Reservation r;
    LedgerResult res = l->Reserve(a, false, &r);
    ASSERT_TRUE(res.ok()) << res.message;
    ASSERT_TRUE(l->MarkWritten(r).ok());
    std::string serial;
    ASSERT_TRUE(l->ReadJournal(INT64_MIN, [&](const JournalRow& j) {
                     serial = j.usbSerial;
                     return true;
                 }).ok());
    EXPECT_EQ(serial,
              "A\xEF\xBF\xBD"
              "B\xEF\xBF\xBD\xEF\xBF\xBD");
    // An ID that is not valid UTF-16 still reserves (and is found again).
    const std::u16string lone = std::u16string(u"Q") + char16_t(0xD800);
    Put(*l, lone, "written");
    EXPECT_EQ(StateOf(*l, lone), IdState::Written);
}

// A database the ledger did not make, and a ledger of a newer version, are
// refused and left untouched.
TEST_F(PgLedgerTest, ForeignOrNewerSchemaIsRefused) {
    struct Case {
        const char* name;
        std::vector<std::string> setup;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"another program's schema",
         {"CREATE SCHEMA tagsmith", "CREATE TABLE tagsmith.things(x int)"},
         "holds no ledger"},
        {"newer version",
         {"UPDATE tagsmith.meta SET value = '99' WHERE key = 'schema'"},
         "made by a newer version (schema 99"},
        {"someone else's meta",
         {"UPDATE tagsmith.meta SET value = 'x' WHERE key = 'application'"},
         "belongs to another program"},
    };
    for (const auto& c : cases) {
        test::PgAdmin(kind.db.ServerDir(), "DROP SCHEMA IF EXISTS tagsmith CASCADE",
                      kind.db.Name());
        if (std::string(c.name) != "another program's schema") {
            ASSERT_TRUE(Open());
        }
        for (const auto& sql : c.setup)
            ASSERT_EQ(test::PgAdmin(kind.db.ServerDir(), sql, kind.db.Name()), "") << sql;
        std::unique_ptr<PgLedger> l;
        const LedgerResult r = PgLedger::Open(Url(), Options(), &l);
        EXPECT_EQ(r.status, LedgerStatus::Damaged) << c.name << ": " << r.message;
        EXPECT_NE(r.message.find(c.says), std::string::npos) << c.name << ": " << r.message;
    }
    // Never made where the station only reads.
    test::PgAdmin(kind.db.ServerDir(), "DROP SCHEMA IF EXISTS tagsmith CASCADE", kind.db.Name());
    LedgerOpenOptions o = Options();
    o.create = false;
    std::unique_ptr<PgLedger> l;
    const LedgerResult r = PgLedger::Open(Url(), o, &l);
    EXPECT_EQ(r.status, LedgerStatus::NotFound) << r.message;
    EXPECT_NE(r.message.find("no ledger at postgresql://"), std::string::npos) << r.message;
}

}  // namespace
}  // namespace ts
