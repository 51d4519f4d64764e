#pragma once
// A ledger in a private folder, with a clock the test moves.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ledger/SqliteLedger.h"
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

}  // namespace ts::test
