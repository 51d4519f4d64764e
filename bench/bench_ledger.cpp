// The ledger's costs beside the plain ways of doing the same work, measured
// in the same run:
//  - per written device (reserve + mark written, each committed to the disk)
//    with a write-ahead log and with a rollback journal, beside one line
//    appended to a file and fsync'd (a used-ID file);
//  - a whole device cycle (the write flow of a 1 MiB image on an in-memory
//    simulated device) with the ledger on the disk, beside the same cycle
//    with the ledger off;
//  - resuming a million-ID list against 500,000 written IDs, beside reading a
//    used-ID file into a hash set and probing the list;
//  - exporting a million-row journal as CSV, beside the sqlite3 shell's CSV
//    output of the same table (when installed) and `cat` of the result.
// The folder must be disk-backed: TAGSMITH_BENCH_DIR names one, else the
// system's temporary folder is used (a warning tells when that is memory).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "deviceops/Station.h"
#include "idsource/IdList.h"
#include "ledger/JournalCsv.h"
#include "ledger/Resume.h"
#include "ledger/SqliteLedger.h"
#include "platform/Codepage.h"
#include "sim/MemoryLine.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDevices = 200;
constexpr size_t kListIds = 1000000;
constexpr size_t kWrittenIds = 500000;
constexpr size_t kJournalRows = 1000000;

double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double Best(int runs, const std::function<void()>& f) {
    double best = std::numeric_limits<double>::max();
    for (int r = 0; r < runs; ++r) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, MsSince(t0));
    }
    return best;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A folder under TAGSMITH_BENCH_DIR, or the temporary folder.
fs::path BenchFolder(const ts::test::TempDir& tmp) {
    const char* env = std::getenv("TAGSMITH_BENCH_DIR");
    fs::path p = env ? fs::path(env) / ("bench-ledger-" + std::to_string(getpid())) : tmp.Path();
    fs::create_directories(p);
    struct statfs st {};
    if (statfs(p.c_str(), &st) == 0 && st.f_type == 0x01021994)  // TMPFS_MAGIC
        std::printf(
            "warning: %s is in memory; fsync costs nothing there (set TAGSMITH_BENCH_DIR)\n",
            p.c_str());
    return p;
}

std::string Id(size_t i) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string s(16, '0');
    for (int k = 15; k >= 0; --k, i >>= 4) s[static_cast<size_t>(k)] = kHex[i & 15];
    return s;
}

std::unique_ptr<ts::SqliteLedger> OpenLedger(const std::string& path, bool wal) {
    ts::LedgerOpenOptions o;
    o.station = "bench";
    o.writeAheadLog = wal;
    std::unique_ptr<ts::SqliteLedger> l;
    const ts::LedgerResult r = ts::SqliteLedger::Open(path, o, &l);
    if (!r.ok()) {
        std::fprintf(stderr, "%s\n", r.message.c_str());
        std::exit(1);
    }
    return l;
}

void PerDevice(const fs::path& dir) {
    auto ledgerRun = [&](bool wal, int run) {
        const std::string path =
            (dir / ("dev-" + std::to_string(wal) + "-" + std::to_string(run) + ".ledger")).string();
        auto l = OpenLedger(path, wal);
        ts::Attempt a;
        a.device.port = "E";
        const auto t0 = Clock::now();
        for (int i = 0; i < kDevices; ++i) {
            a.id = std::u16string(1, u'A') + ts::Utf8ToWide(Id(static_cast<size_t>(i)));
            ts::Reservation r;
            if (!l->Reserve(a, false, &r).ok() || !l->MarkWritten(r).ok()) std::exit(1);
        }
        return MsSince(t0) / kDevices;
    };
    auto appendRun = [&](int run) {
        const std::string path = (dir / ("used-" + std::to_string(run) + ".txt")).string();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const auto t0 = Clock::now();
        for (int i = 0; i < kDevices; ++i) {
            const std::string line = Id(static_cast<size_t>(i)) + "\n";
            if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
                ::fsync(fd) != 0)
                std::exit(1);
        }
        ::close(fd);
        return MsSince(t0) / kDevices;
    };
    std::vector<double> wal, rollback, append;
    for (int run = 0; run < 3; ++run) {
        wal.push_back(ledgerRun(true, run));
        rollback.push_back(ledgerRun(false, run));
        append.push_back(appendRun(run));
    }
    const double w = Median(wal), rb = Median(rollback), ap = Median(append);
    std::printf(
        "per written device (reserve + mark written, median of 3 x %d):\n"
        "  write-ahead log  %6.3f ms   fsync'd append %6.3f ms   ratio %5.2f   (aim < 5 ms)\n"
        "  rollback journal %6.3f ms   fsync'd append %6.3f ms   ratio %5.2f\n",
        kDevices, w, ap, w / ap, rb, ap, rb / ap);
}

// A page writing by itself: the write flow asks nothing first.
class AutoPage : public ts::IdPage {
public:
    std::u16string AnnounceId() override { return {}; }
    void ShowId(const std::u16string&) override {}
    bool WritesAutomatically() const override { return true; }
    void DeviceReady() override {}
    void DeviceGone() override {}
};

// The write flow per device, the ledger on the disk beside the ledger off,
// alternating so that both see the same machine.
void DeviceCycle(const fs::path& dir) {
    ts::test::TempDir app;
    ts::test::InstallApp(app.Path(), {"modhost.so", "Volkit.so", "ulpkData.bin", "tagsmith.cfg"});
    ts::MemoryLine line;
    line.Plug('E', 2048);
    ts::FakeClock clock;
    ts::MemoryLogView log;
    AutoPage page;
    ts::IdPage* const pages[] = {&page};
    ts::TagsmithCore core;
    ts::StationParts parts;
    parts.appDir = app.Dir();
    parts.drives = &line;
    parts.log = &log;
    parts.clock = &clock;
    parts.pages = pages;
    if (ts::OpenStation(core, parts) != ts::StationOpen::Ok) std::exit(1);
    auto ledger = OpenLedger((dir / "cycle.ledger").string(), true);
    constexpr int kCycles = 40;
    std::vector<double> with, without;
    size_t next = 0;
    for (int round = 0; round < 5; ++round) {
        for (const bool on : {true, false}) {
            core.Ledger().Attach(on ? ledger.get() : nullptr, false);
            double total = 0;
            for (int i = 0; i < kCycles; ++i) {
                if (!core.AdoptDevice("E:\\")) std::exit(1);
                const std::u16string id = u"C" + ts::Utf8ToWide(Id(next++));
                const auto t0 = Clock::now();
                if (core.WriteDeviceSN(id) != 0) std::exit(1);
                total += MsSince(t0);
            }
            (on ? with : without).push_back(total / kCycles);
        }
    }
    const double w = Median(with), wo = Median(without);
    std::printf(
        "device cycle (write flow, 1 MiB image, in-memory device; median of 5 x %d):\n"
        "  ledger on disk %6.3f ms   ledger off %6.3f ms   ratio %5.2f   ledger share %4.1f%%\n",
        kCycles, w, wo, w / wo, 100.0 * (w - wo) / w);
}

void Exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", err ? err : "sqlite error");
        std::exit(1);
    }
}

// Fills a made ledger as a long production would have: written IDs (every
// second ID of the list) and journal rows.
void Fill(const std::string& path, size_t written, size_t journal) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA synchronous=OFF; BEGIN");
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO ids(id, state, attempt, station, device, time) "
                       "VALUES(?1, 2, ?2, 'line-3', '/dev/sg2 serial 0401A5', 1700000000000)",
                       -1, &s, nullptr);
    for (size_t i = 0; i < written; ++i) {
        const std::string id = Id(2 * i);
        sqlite3_bind_text(s, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 2, static_cast<int64_t>(i + 1));
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    sqlite3_prepare_v2(db,
                       "INSERT INTO journal(time, station, session, mode, source, file_sha256, "
                       "file_name, line, prefix, suffix, direction, id, device, usb_serial, "
                       "usb_vendor, usb_product, port, result, duration_ms, verified) "
                       "VALUES(?1, 'line-3', 'a1b2c3', 'write', 'file', "
                       "'9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08', "
                       "'batch 7.ids', ?2, '', '', '', ?3, '/dev/sg2', '0401A5', '0781', "
                       "'5567', '', 0, 1480, 0)",
                       -1, &s, nullptr);
    for (size_t i = 0; i < journal; ++i) {
        const std::string id = Id(i);
        sqlite3_bind_int64(s, 1, 1700000000000 + static_cast<int64_t>(i) * 1500);
        sqlite3_bind_int64(s, 2, static_cast<int64_t>(i + 1));
        sqlite3_bind_text(s, 3, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

void Resume(const fs::path& dir, ts::SqliteLedger& ledger) {
    // The list, and the used-ID file a simpler tool would keep.
    std::string text, used;
    for (size_t i = 0; i < kListIds; ++i) {
        text += Id(i) + "\n";
        if (i % 2 == 0) used += Id(i) + "\n";
    }
    // One list for every run: marking an entry used twice costs the same.
    ts::IdList list;
    if (ts::ParseIdFileBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &list) !=
        ts::IdFileError::None)
        std::exit(1);
    const std::string usedPath = (dir / "used.txt").string();
    ts::test::WriteFile(usedPath, used);

    size_t marked = 0;
    const double ledgerMs = Best(5, [&] {
        ts::ResumeCounts c;
        if (!ts::MarkHeldUsed(ledger, list, &c).ok()) std::exit(1);
        marked = c.written;
    });
    size_t refMarked = 0;
    const double refMs = Best(5, [&] {
        const std::string bytes = ts::test::ReadFile(usedPath);
        std::unordered_set<std::string_view> set;
        set.reserve(kWrittenIds);
        for (size_t p = 0, e; p < bytes.size(); p = e + 1) {
            e = bytes.find('\n', p);
            set.insert(std::string_view(bytes).substr(p, e - p));
        }
        std::string id8;
        refMarked = 0;
        for (size_t i = 0; i < list.size(); ++i) {
            const std::u16string_view w = list.Text(i);
            id8.assign(w.begin(), w.end());
            if (set.count(id8)) {
                list.MarkUsed(i);
                ++refMarked;
            }
        }
    });
    std::printf(
        "resume %zu-ID list against %zu written: %7.1f ms (%zu marked)   used-ID file + hash set "
        "%6.1f ms   ratio %5.2f   (aim < 1000 ms)\n",
        kListIds, kWrittenIds, ledgerMs, marked, refMs, ledgerMs / refMs);

    // A short list is looked up entry by entry.
    std::vector<std::u16string> shortList;
    for (size_t i = 0; i < ts::SqliteLedger::kLookupLimit; ++i)
        shortList.push_back(ts::Utf8ToWide(Id(i * 37 % kListIds)));
    std::vector<ts::IdState> states;
    const double shortMs = Best(3, [&] {
        ledger.StatesOf(
            shortList.size(), [&](size_t i) { return std::u16string_view(shortList[i]); }, &states);
    });
    std::printf("states of a %zu-ID list, one look-up each: %6.1f ms\n", shortList.size(), shortMs);

    std::optional<std::u16string> furthest;
    const double counterMs = Best(3, [&] { ledger.FurthestCounter(u"", u"", false, &furthest); });
    std::printf("furthest counter with no prefix (every held ID): %6.1f ms\n", counterMs);
}

void Export(const fs::path& dir, ts::SqliteLedger& ledger, const std::string& ledgerPath) {
    const std::string out = (dir / "journal.csv").string();
    uint64_t rows = 0;
    const double ms = Best(3, [&] {
        std::FILE* f = std::fopen(out.c_str(), "wb");
        const ts::LedgerResult r = ts::ExportJournalCsv(
            ledger, std::numeric_limits<int64_t>::min(),
            [&](std::string_view b) { return std::fwrite(b.data(), 1, b.size(), f) == b.size(); },
            &rows);
        std::fclose(f);
        if (!r.ok()) std::exit(1);
    });
    // What SQLite itself takes to hand the rows over.
    const double readMs = Best(3, [&] {
        uint64_t n = 0;
        ledger.ReadJournal(std::numeric_limits<int64_t>::min(), [&](const ts::JournalRow& r) {
            n += r.id.size();
            return true;
        });
        benchmark::DoNotOptimize(n);
    });
    const double catMs =
        Best(3, [&] { ts::test::RunCommand("cat '" + out + "' > '" + out + ".copy'"); });
    std::printf(
        "export %llu-row journal as CSV: %7.1f ms (%.0f MB)   cat of it %6.1f ms   ratio %5.2f"
        "   (aim < 2000 ms)\n  of which reading the rows %6.1f ms\n",
        static_cast<unsigned long long>(rows), ms, static_cast<double>(fs::file_size(out)) / 1e6,
        catMs, ms / catMs, readMs);
    if (ts::test::RunCommand("command -v sqlite3 >/dev/null") == 0) {
        const double shellMs = Best(3, [&] {
            ts::test::RunCommand("sqlite3 -readonly -csv '" + ledgerPath +
                                 "' 'SELECT * FROM journal' > '" + out + ".shell'");
        });
        std::printf("  sqlite3 -csv of the same table %6.1f ms   ratio %5.2f\n", shellMs,
                    ms / shellMs);
    }
}

}  // namespace

int main() {
    ts::test::TempDir tmp;
    const fs::path dir = BenchFolder(tmp);
    PerDevice(dir);
    DeviceCycle(dir);

    const std::string big = (dir / "big.ledger").string();
    OpenLedger(big, true);
    Fill(big, kWrittenIds, kJournalRows);
    std::unique_ptr<ts::SqliteLedger> ledger;
    const double openMs = Best(3, [&] { ledger = OpenLedger(big, true); });
    std::printf("open with quick_check (%zu IDs, %zu journal rows, %.0f MB): %6.1f ms\n",
                kWrittenIds, kJournalRows, static_cast<double>(fs::file_size(big)) / 1e6, openMs);
    Resume(dir, *ledger);
    Export(dir, *ledger, big);
    ledger.reset();
    if (std::getenv("TAGSMITH_BENCH_DIR")) fs::remove_all(dir);
    return 0;
}
