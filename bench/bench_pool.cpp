// IDs allocated per second by 1, 4 and 8 stations sharing one pool: the
// shared ledger on a PostgreSQL server (started here, committing to the
// disk as a line's server does) beside the local SQLite ledger that the
// same stations share as one file. An allocation is what a written device
// costs the ledger: the reservation of the next free ID of one list, in file
// order (IDs another station took answer Held and are passed over), and its
// confirmation.
//
// TAGSMITH_BENCH_DIR names a disk-backed folder for both; else /tmp.
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ledger/PgLedger.h"
#include "ledger/SqliteLedger.h"
#include "platform/Codepage.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kSeconds = 3.0;  // per measurement
constexpr size_t kListIds = 1000000;

std::u16string Id(size_t i) { return u"B" + ts::Utf8ToWide(std::to_string(1000000 + i)); }

using Opener =
    std::function<ts::LedgerResult(const std::string& station, std::unique_ptr<ts::IdLedger>*)>;

// Allocations per second with `stations` threads, each with a ledger of its
// own, walking one list from `first` on.
double Rate(const Opener& open, int stations, size_t first, size_t* used) {
    std::atomic<size_t> done{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::atomic<size_t> furthest{first};
    const auto t0 = Clock::now();
    for (int s = 0; s < stations; ++s) {
        threads.emplace_back([&, s] {
            std::unique_ptr<ts::IdLedger> l;
            ts::LedgerResult r = open("bench-" + std::to_string(s), &l);
            if (!r.ok()) {
                std::fprintf(stderr, "%s\n", r.message.c_str());
                failed = true;
                return;
            }
            ts::Attempt a;
            a.source = ts::IdSource::FromFile(std::string(64, 'e'), "bench.ids", 1);
            a.device.port = "E";
            for (size_t i = first; !stop && i < first + kListIds; ++i) {
                a.id = Id(i);
                ts::Reservation res;
                r = l->Reserve(a, false, &res);
                if (r.status == ts::LedgerStatus::Held) continue;
                if (r.ok()) r = l->MarkWritten(res);
                if (!r.ok()) {
                    std::fprintf(stderr, "%s\n", r.message.c_str());
                    failed = true;
                    return;
                }
                ++done;
                size_t f = furthest.load();
                while (f < i + 1 && !furthest.compare_exchange_weak(f, i + 1)) {
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    stop = true;
    for (auto& t : threads) t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    *used = furthest.load();
    return failed ? 0.0 : static_cast<double>(done.load()) / secs;
}

}  // namespace

int main() {
    const char* env = std::getenv("TAGSMITH_BENCH_DIR");
    const fs::path base = fs::path(env ? env : "/tmp") / ("bench-pool-" + std::to_string(getpid()));
    fs::create_directories(base);
    struct statfs st {};
    if (statfs(base.c_str(), &st) == 0 && st.f_type == 0x01021994)  // TMPFS_MAGIC
        std::printf(
            "warning: %s is in memory; fsync costs nothing there "
            "(set TAGSMITH_BENCH_DIR)\n",
            base.c_str());
    const std::string script = std::string(TAGSMITH_SOURCE_DIR) + "scripts/pg-test-server.sh";
    const std::string pgDir = (base / "pg").string();
    if (std::system(("bash " + script + " start " + pgDir + " --durable >/dev/null").c_str()) !=
        0) {
        std::fprintf(stderr,
                     "no PostgreSQL server could be started (apt-get install postgresql)\n");
        fs::remove_all(base);
        return 1;
    }
    const std::string url = "postgresql://tagsmith@/postgres?host=" + pgDir + "/run";
    const std::string file = (base / "tagsmith.ledger").string();

    const Opener pg = [&](const std::string& station, std::unique_ptr<ts::IdLedger>* out) {
        ts::LedgerOpenOptions o;
        o.station = station;
        std::unique_ptr<ts::PgLedger> l;
        ts::LedgerResult r = ts::PgLedger::Open(url, o, &l);
        *out = std::move(l);
        return r;
    };
    const Opener sqlite = [&](const std::string& station, std::unique_ptr<ts::IdLedger>* out) {
        ts::LedgerOpenOptions o;
        o.station = station;
        o.busyTimeoutMs = 30000;  // the stations take turns on the file's lock
        std::unique_ptr<ts::SqliteLedger> l;
        ts::LedgerResult r = ts::SqliteLedger::Open(file, o, &l);
        *out = std::move(l);
        return r;
    };

    std::printf("IDs allocated per second (reserve + confirm, one shared list), %.0f s each\n",
                kSeconds);
    // Beside each: the same on the SQLite file, and the server's rate
    // against its own with one station (the aim: 8 stations at least 1).
    std::printf("%-9s %14s %14s %8s %14s\n", "stations", "PostgreSQL", "SQLite file", "ratio",
                "vs 1 station");
    size_t pgNext = 0, sqliteNext = 0;
    int status = 0;
    double pgOne = 0;
    for (int stations : {1, 4, 8}) {
        size_t used = 0;
        const double p = Rate(pg, stations, pgNext, &used);
        pgNext = used;
        const double s = Rate(sqlite, stations, sqliteNext, &used);
        sqliteNext = used;
        if (stations == 1) pgOne = p;
        std::printf("%-9d %12.0f/s %12.0f/s %8.2f %14.2f\n", stations, p, s, s > 0 ? p / s : 0.0,
                    pgOne > 0 ? p / pgOne : 0.0);
        if (p <= 0 || s <= 0) status = 1;
        if (stations == 8 && p < 500)
            std::printf("below the aim of 500 allocations per second with 8 stations\n");
        if (stations == 8 && p < pgOne)
            std::printf("below the aim: 8 stations allocate fewer IDs per second than 1\n");
    }
    std::fflush(stdout);
    std::system(("bash " + script + " stop " + pgDir).c_str());
    fs::remove_all(base);
    return status;
}
