// The line's web view on a ledger of a million IDs and a million journal
// rows, beside `pool status` on the same ledger, measured in the same run:
//  - `pool status`'s work (the pools' figures) as the reference;
//  - building the page's data (pools, stations, the shift's chart, the
//    attention list): what the server's ledger thread does every refresh;
//  - answering /api/line over HTTP (from the figures last read);
//  - answering an ID search over HTTP.
// The journal spans a month, 2.6 s apart, three stations; the last twelve
// hours (the shift the page shows) hold about 16,600 rows. TAGSMITH_BENCH_DIR
// names a disk-backed folder, else the temporary folder is used.
#include <httplib.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ledger/LineView.h"
#include "ledger/SqliteLedger.h"
#include "platform/Codepage.h"
#include "web/LineServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kListIds = 1000000;
constexpr size_t kWrittenIds = 500000;
constexpr size_t kJournalRows = 1000000;
constexpr int64_t kRowGapMs = 2600;
const std::string kSha(64, 'c');

double Best(int runs, const std::function<void()>& f) {
    double best = std::numeric_limits<double>::max();
    for (int r = 0; r < runs; ++r) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return best;
}

std::string Id(size_t i) {
    char b[16];
    std::snprintf(b, sizeof b, "A%07zX", i);
    return b;
}

void Exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "%s\n", err ? err : "sqlite error");
        std::exit(1);
    }
}

// Every second ID of the list written, the journal's rows from a month ago
// until `endMs`, a few IDs left in doubt.
void Fill(const std::string& path, int64_t endMs) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA synchronous=OFF; BEGIN");
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO list_entries(sha256, pos, line, id) VALUES(?1, ?2, ?2, ?3)",
                       -1, &s, nullptr);
    for (size_t i = 0; i < kListIds; ++i) {
        const std::string id = Id(i);
        sqlite3_bind_text(s, 1, kSha.data(), static_cast<int>(kSha.size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, static_cast<int64_t>(i));
        sqlite3_bind_text(s, 3, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        sqlite3_step(s);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    Exec(db, "INSERT INTO lists VALUES('" + kSha + "', 'batch 7.ids', " + std::to_string(kListIds) +
                 ", 'line-1', 0)");
    const int64_t startMs = endMs - static_cast<int64_t>(kJournalRows) * kRowGapMs;
    sqlite3_prepare_v2(db,
                       "INSERT INTO journal(time, station, session, mode, source, file_sha256, "
                       "file_name, line, prefix, suffix, direction, id, device, usb_serial, "
                       "usb_vendor, usb_product, port, result, duration_ms, verified, reserved) "
                       "VALUES(?1, ?2, 'a1b2c3', 'write', 'file', ?3, 'batch 7.ids', ?4, '', '', "
                       "'', ?5, '/dev/sg2', '0401A5', '0781', '5567', '', ?6, 1480, 0, 1)",
                       -1, &s, nullptr);
    sqlite3_stmt* ids = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT OR REPLACE INTO ids(id, state, attempt, station, device, time) "
                       "VALUES(?1, ?2, ?3, ?4, '/dev/sg2 serial 0401A5', ?5)",
                       -1, &ids, nullptr);
    const char* stations[] = {"line-1", "line-2", "line-3"};
    for (size_t i = 0; i < kJournalRows; ++i) {
        // Written: every second ID; every 50th attempt failed on the one
        // before it.
        const bool failed = i % 50 == 49;
        const size_t idIndex = failed ? 2 * (i / 2) + 1 : 2 * (i / 2);
        const std::string id = Id(idIndex % kListIds);
        const int64_t t = startMs + static_cast<int64_t>(i) * kRowGapMs;
        sqlite3_bind_int64(s, 1, t);
        sqlite3_bind_text(s, 2, stations[i % 3], -1, SQLITE_STATIC);
        sqlite3_bind_text(s, 3, kSha.data(), static_cast<int>(kSha.size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 4, static_cast<int64_t>(idIndex + 1));
        sqlite3_bind_text(s, 5, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 6, failed ? 7 : 0);
        sqlite3_step(s);
        sqlite3_reset(s);
        if (!failed && idIndex < 2 * kWrittenIds) {
            const bool doubt = i % 100000 == 0;
            sqlite3_bind_text(ids, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(ids, 2,
                             static_cast<int>(doubt ? ts::IdState::InDoubt : ts::IdState::Written));
            sqlite3_bind_int64(ids, 3, sqlite3_last_insert_rowid(db));
            sqlite3_bind_text(ids, 4, stations[i % 3], -1, SQLITE_STATIC);
            sqlite3_bind_int64(ids, 5, t);
            sqlite3_step(ids);
            sqlite3_reset(ids);
        }
    }
    sqlite3_finalize(s);
    sqlite3_finalize(ids);
    Exec(db, "COMMIT; ANALYZE");
    sqlite3_close(db);
}

}  // namespace

int main() {
    const char* env = std::getenv("TAGSMITH_BENCH_DIR");
    const fs::path dir =
        fs::path(env ? env : fs::temp_directory_path().string()) / "tagsmith-bench-serve";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "tagsmith.ledger").string();
    const int64_t nowMs = 1800000000000;
    {
        ts::LedgerOpenOptions o;
        o.station = "bench";
        std::unique_ptr<ts::SqliteLedger> made;
        const ts::LedgerResult r = ts::SqliteLedger::Open(path, o, &made);
        if (!r.ok()) {
            std::fprintf(stderr, "%s\n", r.message.c_str());
            return 1;
        }
    }
    const auto f0 = Clock::now();
    Fill(path, nowMs);
    std::printf("ledger: %zu-ID list, %zu written, %zu journal rows (%.0f MB), filled in %.1f s\n",
                kListIds, kWrittenIds, kJournalRows, static_cast<double>(fs::file_size(path)) / 1e6,
                std::chrono::duration<double>(Clock::now() - f0).count());

    ts::LedgerOpenOptions ro;
    ro.readOnly = true;
    ro.create = false;
    std::unique_ptr<ts::SqliteLedger> ledger;
    if (!ts::SqliteLedger::Open(path, ro, &ledger).ok()) return 1;
    std::vector<ts::PoolStatus> pools;
    const double poolMs = Best(5, [&] {
        if (!ledger->Pools(nullptr, &pools).ok()) std::exit(1);
    });

    std::unique_ptr<ts::LineView> view;
    ts::LedgerResult r = ts::LineView::Open(path, &view);
    if (!r.ok()) {
        std::fprintf(stderr, "%s\n", r.message.c_str());
        return 1;
    }
    ts::LineSnapshot snap;
    const double snapMs = Best(5, [&] {
        if (!view->Snapshot(nowMs, &snap).ok()) std::exit(1);
    });
    size_t shiftRows = 0;
    for (const ts::ThroughputSlice& t : snap.chart) shiftRows += t.written + t.failed;

    ts::web::ServeOptions so;
    so.port = 0;
    so.ledger = path;
    so.refreshMs = 1000;
    so.clockMs = [nowMs] { return nowMs; };
    auto server = ts::web::LineServer::Make(so);
    std::string error;
    if (!server->Bind(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::thread serving([&] { server->Run(); });
    httplib::Client client("127.0.0.1", server->Port());
    client.set_read_timeout(30, 0);
    std::string body;
    for (int i = 0; i < 200 && body.find("\"data\":{") == std::string::npos; ++i) {
        auto res = client.Get("/api/line");
        if (res) body = res->body;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    constexpr int kRequests = 200;
    const double lineMs = Best(3,
                               [&] {
                                   for (int i = 0; i < kRequests; ++i)
                                       if (!client.Get("/api/line")) std::exit(1);
                               }) /
                          kRequests;
    // An ID written in the middle of the month.
    const std::string id = Id(kListIds / 2);
    const double searchMs = Best(3, [&] {
        auto res = client.Get("/api/id?id=" + id);
        if (!res || res->status != 200) std::exit(1);
    });
    server->Stop();
    serving.join();

    std::printf("pool status (the pools' figures):       %8.1f ms   reference\n", poolMs);
    std::printf(
        "page data, built (every refresh):        %8.1f ms   ratio %5.2f   (%zu rows in the "
        "shift)\n",
        snapMs, snapMs / poolMs, shiftRows);
    std::printf(
        "page data, answered (/api/line, %zu KB):   %8.2f ms   ratio %5.3f   (aim < 100 ms)\n",
        body.size() / 1024, lineMs, lineMs / poolMs);
    std::printf(
        "ID search (/api/id):                     %8.1f ms   ratio %5.2f   (aim < 100 ms)\n",
        searchMs, searchMs / poolMs);
    if (env) fs::remove_all(dir);
    return 0;
}
