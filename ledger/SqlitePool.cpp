// The local ledger's side of the pools: the shared counters, the imported
// ID lists and their status. One station alone allocates from them too, so
// a line that grows to several stations continues where the first left off.
#include <sqlite3.h>

#include <map>
#include <tuple>

#include "ledger/CounterBound.h"
#include "ledger/SqliteLedger.h"
#include "ledger/SqliteSupport.h"
#include "ledger/StoreSupport.h"
#include "platform/Codepage.h"

namespace ts {

using namespace sqlite;
using store::AddStationCount;
using store::SqlHeldStates;
using store::SqlStationStates;

namespace {

// The journal's counter parts as the counter forms IDs: blanks removed.
constexpr const char* kCleanPrefix =
    "replace(replace(replace(prefix, ' ', ''), char(9), ''), char(13), '')";
constexpr const char* kCleanSuffix =
    "replace(replace(replace(suffix, ' ', ''), char(9), ''), char(13), '')";

}  // namespace

LedgerResult SqliteLedger::NextCounter(std::u16string_view prefix, std::u16string_view suffix,
                                       bool down, std::u16string_view start,
                                       std::optional<std::u16string>* value) {
    if (!IsCounterValue(start)) {
        *value = std::u16string(start);
        return {};
    }
    if (schemaVersion_ < 2)
        return LedgerResult::Fail(LedgerStatus::Unsupported,
                                  "ledger " + path_ + ": opened for reading only");
    const std::string p8 = WideToUtf8(CleanIdPart(prefix));
    const std::string s8 = WideToUtf8(CleanIdPart(suffix));
    TxnGuard guard{db_};
    LedgerResult r = Exec("BEGIN IMMEDIATE", "cannot take a counter value");
    if (!r.ok()) return r;
    std::optional<std::u16string> kept;
    {
        Owned q;
        int rc = sqlite3_prepare_v2(
            db_, "SELECT next FROM counters WHERE prefix = ?1 AND suffix = ?2 AND down = ?3", -1,
            &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        Bind(q.s, 1, p8);
        Bind(q.s, 2, s8);
        sqlite3_bind_int(q.s, 3, down ? 1 : 0);
        rc = sqlite3_step(q.s);
        if (rc == SQLITE_ROW) {
            kept = Utf8ToWide(Text(q.s, 0));
        } else if (rc != SQLITE_DONE) {
            return Error(rc, "cannot be read");
        }
    }
    std::optional<std::u16string> furthest;
    if (!kept) {
        r = FurthestCounter(prefix, suffix, down, &furthest);
        if (!r.ok()) return r;
    }
    const CounterStep step = TakeCounter(start, kept, furthest, down);
    {
        Owned q;
        int rc = sqlite3_prepare_v2(
            db_,
            "INSERT INTO counters(prefix, suffix, down, next, station, time) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(prefix, suffix, down) DO UPDATE SET "
            "next = excluded.next, station = excluded.station, time = excluded.time",
            -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be written");
        Bind(q.s, 1, p8);
        Bind(q.s, 2, s8);
        sqlite3_bind_int(q.s, 3, down ? 1 : 0);
        Bind(q.s, 4, WideToUtf8(step.next));
        Bind(q.s, 5, station_);
        sqlite3_bind_int64(q.s, 6, NowMs());
        rc = sqlite3_step(q.s);
        if (rc != SQLITE_DONE) return Error(rc, "cannot take a counter value");
    }
    r = Exec("COMMIT", "cannot take a counter value");
    if (!r.ok()) return r;
    *value = step.value;
    return {};
}

LedgerResult SqliteLedger::ImportList(const std::string& sha256, const std::string& name,
                                      size_t count,
                                      const std::function<std::u16string_view(size_t)>& idAt,
                                      const std::function<uint32_t(size_t)>& lineAt, bool* added) {
    if (added) *added = false;
    if (schemaVersion_ < 2)
        return LedgerResult::Fail(LedgerStatus::Unsupported,
                                  "ledger " + path_ + ": opened for reading only");
    TxnGuard guard{db_};
    LedgerResult r = Exec("BEGIN IMMEDIATE", "cannot import the list");
    if (!r.ok()) return r;
    Owned ins;
    int rc = sqlite3_prepare_v2(
        db_,
        "INSERT INTO lists(sha256, name, entries, station, time) VALUES(?1, ?2, ?3, ?4, ?5) "
        "ON CONFLICT(sha256) DO NOTHING",
        -1, &ins.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be written");
    Bind(ins.s, 1, sha256);
    Bind(ins.s, 2, name);
    sqlite3_bind_int64(ins.s, 3, static_cast<int64_t>(count));
    Bind(ins.s, 4, station_);
    sqlite3_bind_int64(ins.s, 5, NowMs());
    rc = sqlite3_step(ins.s);
    if (rc != SQLITE_DONE) return Error(rc, "cannot import the list");
    if (sqlite3_changes(db_) == 0) return {};  // there already; the rollback ends the transaction
    Owned entry;
    rc = sqlite3_prepare_v2(
        db_, "INSERT INTO list_entries(sha256, pos, line, id) VALUES(?1, ?2, ?3, ?4)", -1, &entry.s,
        nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be written");
    Bind(entry.s, 1, sha256);
    for (size_t i = 0; i < count; ++i) {
        sqlite3_bind_int64(entry.s, 2, static_cast<int64_t>(i));
        sqlite3_bind_int64(entry.s, 3, lineAt(i));
        Bind(entry.s, 4, WideToUtf8(idAt(i)));
        rc = sqlite3_step(entry.s);
        sqlite3_reset(entry.s);
        if (rc != SQLITE_DONE) return Error(rc, "cannot import the list");
    }
    r = Exec("COMMIT", "cannot import the list");
    if (!r.ok()) return r;
    if (added) *added = true;
    return {};
}

// The stations' shares of one pool, and the list's or counter's own figures.
LedgerResult SqliteLedger::PoolOf(const IdSource& src, PoolStatus* out) {
    const bool file = src.kind == IdSource::Kind::File;
    const std::string p8 = WideToUtf8(CleanIdPart(src.prefix));
    const std::string s8 = WideToUtf8(CleanIdPart(src.suffix));
    const std::string match = file ? std::string("j.source = 'file' AND j.file_sha256 = ?1")
                                   : std::string("j.source = 'counter' AND ") + kCleanPrefix +
                                         " = ?1 AND " + kCleanSuffix + " = ?2 AND j.direction = ?3";
    auto bind = [&](sqlite3_stmt* s) {
        if (file) {
            Bind(s, 1, src.fileSha256);
        } else {
            Bind(s, 1, p8);
            Bind(s, 2, s8);
            Bind(s, 3, src.down ? "down" : "up");
        }
    };
    std::map<std::string, StationCounts> stations;
    {
        Owned q;
        const std::string sql =
            "SELECT i.station, i.state, count(*) FROM ids AS i JOIN journal AS j "
            "ON j.seq = i.attempt WHERE i.state IN " +
            SqlStationStates() + " AND " + match + " GROUP BY i.station, i.state";
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        bind(q.s);
        while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
            StationCounts& c = stations[std::string(Text(q.s, 0))];
            const auto n = static_cast<uint64_t>(sqlite3_column_int64(q.s, 2));
            const int64_t state = sqlite3_column_int64(q.s, 1);
            AddStationCount(state, n, &c);
        }
        if (rc != SQLITE_DONE) return Error(rc, "cannot be read");
    }
    {
        Owned q;
        const std::string sql =
            "SELECT j.station, count(*) FROM journal AS j WHERE j.mode = 'write' AND " +
            std::string(schemaVersion_ >= 2 ? "j.reserved = 1 AND " : "") +
            "j.result IS NOT NULL AND j.result != 0 AND " + match + " GROUP BY j.station";
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        bind(q.s);
        while ((rc = sqlite3_step(q.s)) == SQLITE_ROW)
            stations[std::string(Text(q.s, 0))].failed +=
                static_cast<uint64_t>(sqlite3_column_int64(q.s, 1));
        if (rc != SQLITE_DONE) return Error(rc, "cannot be read");
    }
    PoolStatus st;
    st.source = src;
    if (!file) {
        st.source.prefix = CleanIdPart(src.prefix);
        st.source.suffix = CleanIdPart(src.suffix);
    }
    for (auto& [name, c] : stations) {
        c.station = name;
        st.stations.push_back(c);
    }
    if (schemaVersion_ >= 2) {
        Owned q;
        const std::string sql =
            file ? "SELECT l.name, l.entries, (SELECT count(*) FROM list_entries AS e WHERE "
                   "e.sha256 = l.sha256 AND NOT EXISTS (SELECT 1 FROM ids AS i WHERE i.id = e.id "
                   "AND i.state IN " +
                       SqlHeldStates() + ")) FROM lists AS l WHERE l.sha256 = ?1"
                 : "SELECT next FROM counters WHERE prefix = ?1 AND suffix = ?2 AND down = ?3";
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        if (file) {
            Bind(q.s, 1, src.fileSha256);
        } else {
            Bind(q.s, 1, p8);
            Bind(q.s, 2, s8);
            sqlite3_bind_int(q.s, 3, src.down ? 1 : 0);
        }
        rc = sqlite3_step(q.s);
        if (rc == SQLITE_ROW && file) {
            st.imported = true;
            if (st.source.fileName.empty()) st.source.fileName = Text(q.s, 0);
            st.entries = static_cast<uint64_t>(sqlite3_column_int64(q.s, 1));
            st.free = static_cast<uint64_t>(sqlite3_column_int64(q.s, 2));
        } else if (rc == SQLITE_ROW) {
            st.counterKnown = true;
            const std::u16string next = Utf8ToWide(Text(q.s, 0));
            if (!next.empty()) st.next = next;
        } else if (rc != SQLITE_DONE) {
            return Error(rc, "cannot be read");
        }
    }
    *out = std::move(st);
    return {};
}

LedgerResult SqliteLedger::Pools(const IdSource* only, std::vector<PoolStatus>* out) {
    out->clear();
    std::vector<IdSource> sources;
    if (only) {
        sources.push_back(*only);
    } else {
        // Every list and counter named by the journal or kept in the pool.
        std::string sql =
            "SELECT DISTINCT source, file_sha256, file_name, " + std::string(kCleanPrefix) + ", " +
            kCleanSuffix +
            ", direction FROM journal WHERE mode = 'write' AND source IN ('file', 'counter')";
        if (schemaVersion_ >= 2)
            sql +=
                " UNION SELECT 'file', sha256, name, '', '', '' FROM lists"
                " UNION SELECT 'counter', '', '', prefix, suffix, CASE down WHEN 0 THEN 'up' "
                "ELSE 'down' END FROM counters";
        Owned q;
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        std::map<std::string, IdSource> files;
        std::map<std::tuple<std::string, std::string, bool>, IdSource> counters;
        while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
            if (Text(q.s, 0) == "file") {
                IdSource& s = files[std::string(Text(q.s, 1))];
                s.kind = IdSource::Kind::File;
                s.fileSha256 = Text(q.s, 1);
                if (s.fileName.empty()) s.fileName = Text(q.s, 2);
            } else {
                const bool down = Text(q.s, 5) == "down";
                counters[{std::string(Text(q.s, 3)), std::string(Text(q.s, 4)), down}] =
                    IdSource::FromCounter(Utf8ToWide(Text(q.s, 3)), Utf8ToWide(Text(q.s, 4)), down);
            }
        }
        if (rc != SQLITE_DONE) return Error(rc, "cannot be read");
        for (auto& [k, s] : files) sources.push_back(s);
        for (auto& [k, s] : counters) sources.push_back(s);
    }
    for (const IdSource& s : sources) {
        PoolStatus st;
        LedgerResult r = PoolOf(s, &st);
        if (!r.ok()) return r;
        out->push_back(std::move(st));
    }
    return {};
}

}  // namespace ts
