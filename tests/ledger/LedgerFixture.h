#pragma once
// A ledger in a private folder, with a clock the test moves.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

#include "ledger/PgLedger.h"
#include "ledger/SqliteLedger.h"
#include "tests/ledger/PgTestServer.h"
#include "tests/support/TestSupport.h"

namespace ts::test {

// 2023-11-14T22:13:20.000Z
inline constexpr int64_t kStartMs = 1700000000000;

class LedgerFixture : public ::testing::Test {
protected:
    std::string Path() const { return dir.Dir() + "tagsmith.ledger"; }

    LedgerOpenOptions Options(const std::string& station = "st1") {
        LedgerOpenOptions o;
        o.station = station;
        o.busyTimeoutMs = 200;
        o.clockMs = [this] { return now; };
        return o;
    }

    std::unique_ptr<SqliteLedger> Open(const std::string& station = "st1") {
        return Open(Options(station));
    }
    // A ledger to fill with many rows quickly: commits do not wait for the disk.
    std::unique_ptr<SqliteLedger> OpenUnsynced() {
        LedgerOpenOptions o = Options();
        o.syncToDisk = false;
        return Open(o);
    }
    std::unique_ptr<SqliteLedger> Open(const LedgerOpenOptions& o) {
        std::unique_ptr<SqliteLedger> l;
        const LedgerResult r = SqliteLedger::Open(Path(), o, &l);
        EXPECT_TRUE(r.ok()) << r.message;
        return l;
    }

    static DeviceInfo Port(const std::string& port) {
        DeviceInfo d;
        d.port = port;
        return d;
    }

    static Attempt Write(const std::u16string& id, const std::string& port = "E",
                         IdSource source = IdSource::FromScan()) {
        Attempt a;
        a.mode = AttemptMode::Write;
        a.id = id;
        a.source = std::move(source);
        a.device = Port(port);
        return a;
    }

    // Brings `id` to "reserved", "written", "verified" or "released".
    static void Put(IdLedger& l, const std::u16string& id, const std::string& how) {
        Reservation r;
        LedgerResult res = l.Reserve(Write(id), false, &r);
        ASSERT_TRUE(res.ok()) << res.message;
        if (how == "written") {
            res = l.MarkWritten(r);
        } else if (how == "verified") {
            res = l.MarkVerified(r);
        } else if (how == "released") {
            res = l.Release(r, 1);
        }
        ASSERT_TRUE(res.ok()) << res.message;
    }

    IdState StateOf(IdLedger& l, const std::u16string& id) {
        IdRecord rec;
        const LedgerResult r = l.Lookup(id, &rec);
        EXPECT_TRUE(r.ok()) << r.message;
        return rec.state;
    }

    TempDir dir;
    int64_t now = kStartMs;
};

// The kinds of ledger the behaviour tests run on: the local file, and a
// database of its own on the test run's PostgreSQL server.
struct SqliteKind {
    static constexpr size_t kLongList = SqliteLedger::kLookupLimit + 1;
    std::string path;
    // False with `skip` set when this kind cannot be tested here.
    bool Prepare(const TempDir& dir, std::string*) {
        path = dir.Dir() + "tagsmith.ledger";
        return true;
    }
    LedgerResult Open(const LedgerOpenOptions& o, std::unique_ptr<IdLedger>* out) const {
        std::unique_ptr<SqliteLedger> l;
        LedgerResult r = SqliteLedger::Open(path, o, &l);
        *out = std::move(l);
        return r;
    }
};

struct PgKind {
    static constexpr size_t kLongList = PgLedger::kBatch + 1;
    PgTestDb db;
    bool Prepare(const TempDir&, std::string* skip) {
        if (RunServerDir(skip).empty()) return false;
        std::string why;
        EXPECT_TRUE(db.Create(&why)) << why;
        return true;
    }
    LedgerResult Open(const LedgerOpenOptions& o, std::unique_ptr<IdLedger>* out) const {
        std::unique_ptr<PgLedger> l;
        LedgerResult r = PgLedger::Open(db.Url(), o, &l);
        *out = std::move(l);
        return r;
    }
};

template <class Kind>
class AnyLedgerFixture : public LedgerFixture {
protected:
    void SetUp() override {
        std::string skip;
        if (!kind.Prepare(dir, &skip)) GTEST_SKIP() << skip;
    }

    std::unique_ptr<IdLedger> Open(const std::string& station = "st1") {
        return OpenWith(Options(station));
    }
    std::unique_ptr<IdLedger> OpenWith(const LedgerOpenOptions& o) {
        std::unique_ptr<IdLedger> l;
        const LedgerResult r = kind.Open(o, &l);
        EXPECT_TRUE(r.ok()) << r.message;
        return l;
    }

    Kind kind;
};

using LedgerKinds = ::testing::Types<SqliteKind, PgKind>;

struct LedgerKindNames {
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, SqliteKind> ? "Sqlite" : "Pg";
    }
};

}  // namespace ts::test
