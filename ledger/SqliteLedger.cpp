#include "ledger/SqliteLedger.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <tuple>

#include "ledger/CounterBound.h"
#include "ledger/IdLifecycle.h"
#include "ledger/JournalColumns.h"
#include "ledger/SqliteSupport.h"
#include "ledger/StoreSupport.h"
#include "platform/Codepage.h"
#include "platform/Files.h"
#include "platform/LocalSystem.h"

namespace ts {

using namespace store;
using namespace sqlite;

namespace {

// The first schema.
std::vector<std::string> SchemaV1() {
    return {
        // One row per ID that ever reached a reservation. prev_state and
        // prev_attempt keep what a rewrite (the operator's decision to write a
        // held ID again) replaced, so that a failed rewrite gives it back.
        "CREATE TABLE ids("
        " id TEXT NOT NULL PRIMARY KEY,"
        " state INTEGER NOT NULL,"
        " prev_state INTEGER,"
        " prev_attempt INTEGER,"
        " attempt INTEGER NOT NULL,"
        " station TEXT NOT NULL,"
        " device TEXT NOT NULL,"
        " time INTEGER NOT NULL"
        ") WITHOUT ROWID",
        "CREATE INDEX ids_reserved ON ids(time) WHERE state = " +
            std::to_string(static_cast<int>(IdState::Reserved)),
        // Every attempt.
        JournalCreateSql(Dialect::Sqlite, "journal", 1),
        "CREATE INDEX journal_time ON journal(time)",
    };
}

// Version 2: the pools several stations share.
constexpr const char* kPoolsV2[] = {
    "CREATE TABLE counters("
    " prefix TEXT NOT NULL, suffix TEXT NOT NULL, down INTEGER NOT NULL,"
    " next TEXT NOT NULL,"  // empty: counting down is done
    " station TEXT NOT NULL, time INTEGER NOT NULL,"
    " PRIMARY KEY(prefix, suffix, down)) WITHOUT ROWID",
    "CREATE TABLE lists("
    " sha256 TEXT NOT NULL PRIMARY KEY, name TEXT NOT NULL, entries INTEGER NOT NULL,"
    " station TEXT NOT NULL, time INTEGER NOT NULL) WITHOUT ROWID",
    "CREATE TABLE list_entries("
    " sha256 TEXT NOT NULL, pos INTEGER NOT NULL, line INTEGER NOT NULL, id TEXT NOT NULL,"
    " PRIMARY KEY(sha256, pos)) WITHOUT ROWID",
};

std::vector<std::string> SchemaV2() {
    std::vector<std::string> out{JournalAddColumnsSql(Dialect::Sqlite, "journal", 2)};
    out.insert(out.end(), std::begin(kPoolsV2), std::end(kPoolsV2));
    return out;
}

std::string ToUtf8(std::u16string_view w) {
    std::string s;
    s.resize(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        if (w[i] >= 0x80) return WideToUtf8(w);
        s[i] = static_cast<char>(w[i]);
    }
    return s;
}

// Into a reused buffer: the resume query converts a million IDs.
void ToUtf8(std::u16string_view w, std::string& s) {
    s.resize(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        if (w[i] >= 0x80) {
            s = WideToUtf8(w);
            return;
        }
        s[i] = static_cast<char>(w[i]);
    }
}

std::u16string FromUtf8(std::string_view s) {
    std::u16string w(s.size(), u'\0');
    for (size_t i = 0; i < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) >= 0x80) return Utf8ToWide(s);
        w[i] = static_cast<char16_t>(s[i]);
    }
    return w;
}

// The errno of the last failed write: SQLite keeps it with each file (the
// database and its log or journal), which outlives the rollback that
// follows a failed commit; the connection's own value is the last resort.
// SQLite keeps the system's own code (a Windows error code there).
int LastErrno(sqlite3* db) {
    if (!db) return 0;
    sqlite3_file* log = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) == SQLITE_OK && log &&
        log->pMethods) {
        int err = 0;
        if (log->pMethods->xFileControl(log, SQLITE_FCNTL_LAST_ERRNO, &err) == SQLITE_OK &&
            err != 0)
            return ErrnoOfSystemCode(err);
    }
    int err = 0;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_LAST_ERRNO, &err) == SQLITE_OK && err != 0)
        return ErrnoOfSystemCode(err);
    return ErrnoOfSystemCode(sqlite3_system_errno(db));
}

bool IsNoRoom(int err) { return err == ENOSPC || err == EFBIG || err == EDQUOT; }

// Binds `values` to the parameters from `first` on.
void BindInts(sqlite3_stmt* s, int first, const std::vector<int>& values) {
    for (int v : values) sqlite3_bind_int(s, first++, v);
}

// Resets a cached statement when a call is done with it.
struct Reset {
    sqlite3_stmt* s;
    ~Reset() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};

// The IDs of a whole ledger with their states, for matching a long list
// against it: texts in one arena, an open-addressing index over them.
class IdTable {
public:
    void Add(std::string_view id, IdState state) {
        entries_.push_back({std::hash<std::string_view>{}(id), arena_.size(), id.size(), state});
        arena_.append(id);
    }

    void Build() {
        size_t cap = 16;
        while (cap < entries_.size() * 2) cap *= 2;
        mask_ = cap - 1;
        slots_.assign(cap, kEmpty);
        for (uint32_t k = 0; k < entries_.size(); ++k) {
            size_t at = entries_[k].hash & mask_;
            while (slots_[at] != kEmpty) at = (at + 1) & mask_;
            slots_[at] = k;
        }
    }

    IdState Find(std::string_view id) const {
        const size_t hash = std::hash<std::string_view>{}(id);
        for (size_t at = hash & mask_; slots_[at] != kEmpty; at = (at + 1) & mask_) {
            const Entry& e = entries_[slots_[at]];
            if (e.hash == hash && e.size == id.size() &&
                std::memcmp(arena_.data() + e.offset, id.data(), id.size()) == 0)
                return e.state;
        }
        return IdState::None;
    }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    struct Entry {
        size_t hash;
        size_t offset;
        size_t size;
        IdState state;
    };
    std::string arena_;
    std::vector<Entry> entries_;
    std::vector<uint32_t> slots_;
    size_t mask_ = 0;
};

}  // namespace

SqliteLedger::SqliteLedger(std::string path, const LedgerOpenOptions& options)
    : StoreLedger(options), path_(std::move(path)), options_(options) {}

SqliteLedger::~SqliteLedger() {
    for (sqlite3_stmt* s : {selectId_, putId_, insertJournal_, finishJournal_}) sqlite3_finalize(s);
    // A clean close leaves every change in the ledger file itself, so that
    // the file copied on its own is whole.
    if (db_ && !options_.readOnly)
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (db_) sqlite3_close(db_);
    if (sessionFd_ >= 0) {
        files::Remove(sessionFile_);
        files::Close(sessionFd_);
        files::RemoveFolder(path_ + ".sessions");  // when no other session is left
    }
}

namespace {

bool IsSessionName(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

void SqliteLedger::HoldSession() {
    const std::string folder = path_ + ".sessions";
    const std::string file = folder + "/" + session_ + ".lock";
    int fd = -1;
    // The last session to close removes the folder: made again if it went
    // between the two steps.
    for (int tries = 0; fd < 0 && tries < 3; ++tries) {
        files::MakeFolder(folder);  // there already, mostly
        fd = files::Open(file, files::kReadWrite | files::kCreate | files::kNoFollow);
        if (fd < 0 && errno != ENOENT) break;
    }
    if (fd < 0) return;
    if (!files::TryLock(fd)) {
        files::Close(fd);
        return;
    }
    sessionFd_ = fd;
    sessionFile_ = file;
}

bool SqliteLedger::SessionAlive(const std::string& session) const {
    if (session == session_) return true;
    if (!IsSessionName(session)) return false;
    const std::string file = path_ + ".sessions/" + session + ".lock";
    const int fd = files::Open(file, files::kReadWrite | files::kNoFollow);
    if (fd < 0) return false;  // ended (or older than session locks)
    const bool dead = files::TryLock(fd);
    if (dead) files::Remove(file);  // left by a run that died
    files::Close(fd);
    return !dead;
}

int64_t SqliteLedger::NowMs() const { return WallMs(options_.clockMs); }

LedgerResult SqliteLedger::Error(int rc, const char* what) const {
    const int primary = rc & 0xFF;
    const int sysErr = primary == SQLITE_IOERR ? LastErrno(db_) : 0;
    std::string detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    LedgerStatus status = LedgerStatus::IoError;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        status = LedgerStatus::Busy;
        detail = "locked by another program";
    } else if (primary == SQLITE_FULL || IsNoRoom(sysErr)) {
        status = LedgerStatus::Full;
        detail = "the disk is full";
    } else if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
        status = LedgerStatus::Damaged;
        detail = "damaged or not a ledger (" + detail + ")";
    } else if (primary == SQLITE_IOERR && sysErr != 0) {
        detail += std::string(" (") + std::strerror(sysErr) + ")";
    }
    return LedgerResult::Fail(status, "ledger " + path_ + ": " + what + ": " + detail);
}

LedgerResult SqliteLedger::Exec(const char* sql, const char* what) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? LedgerResult{} : Error(rc, what);
}

LedgerResult SqliteLedger::Prepare(sqlite3_stmt** stmt, const char* sql) {
    const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr);
    return rc == SQLITE_OK ? LedgerResult{} : Error(rc, "cannot be read");
}

namespace {

// The folder of `path` may not be written by this process, and no
// write-ahead log stands beside the file.
bool ReadOnlyFolderWithoutLog(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path p(path);
    const std::string dir = p.has_parent_path() ? p.parent_path().string() : std::string(".");
    std::error_code ec;
    return !files::MayWrite(dir) && !fs::exists(path + "-wal", ec);
}

// A URI naming `path` read-only and unchanging, its special characters
// escaped.
std::string ImmutableUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0xF];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?mode=ro&immutable=1";
}

// Makes a complete ledger under a temporary name beside `path` and gives it
// the final name. When another program made one there meanwhile, theirs
// stays and `made` is false.
LedgerResult CreateLedgerFile(const std::string& path, const LedgerOpenOptions& options,
                              bool* made) {
    *made = false;
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string tmp =
        (dir / ("." + target.filename().string() + ".new-" + NewSession())).string();
    auto removeTmp = [&] {
        std::error_code ec;
        for (const char* ext : {"", "-journal", "-wal", "-shm"}) fs::remove(tmp + ext, ec);
    };
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(tmp.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::string failure;
    if (rc == SQLITE_OK) {
        std::string sql = "PRAGMA synchronous=FULL; PRAGMA application_id=" +
                          std::to_string(SqliteLedger::kApplicationId) + "; BEGIN;";
        for (const std::string& stmt : SchemaV1()) sql += stmt + ";";
        for (const std::string& stmt : SchemaV2()) sql += stmt + ";";
        sql += "PRAGMA user_version=" + std::to_string(SqliteLedger::kSchemaVersion) + "; COMMIT;";
        if (options.writeAheadLog) sql += "PRAGMA journal_mode=WAL;";
        rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) failure = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int sysErr = (rc & 0xFF) == SQLITE_IOERR ? LastErrno(db) : 0;
    sqlite3_close(db);
    if (rc != SQLITE_OK) {
        removeTmp();
        const bool full = (rc & 0xFF) == SQLITE_FULL || IsNoRoom(sysErr);
        if (sysErr != 0 && !full) failure += std::string(" (") + std::strerror(sysErr) + ")";
        return LedgerResult::Fail(full ? LedgerStatus::Full : LedgerStatus::IoError,
                                  "ledger " + path + ": cannot be made: " +
                                      (full ? std::string("the disk is full") : failure));
    }
    const int err = PublishNewFile(tmp, path);
    removeTmp();
    if (err != 0 && err != EEXIST)
        return LedgerResult::Fail(LedgerStatus::IoError,
                                  "ledger " + path + ": cannot be made: " + std::strerror(err));
    *made = err == 0;
    return {};
}

}  // namespace

LedgerResult SqliteLedger::Open(const std::string& path, const LedgerOpenOptions& options,
                                std::unique_ptr<SqliteLedger>* out, bool* created) {
    namespace fs = std::filesystem;
    if (created) *created = false;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) {
        if (ec && ec != std::errc::no_such_file_or_directory)
            return LedgerResult::Fail(LedgerStatus::IoError,
                                      "ledger " + path + ": cannot be reached: " + ec.message());
        if (options.readOnly || !options.create)
            return LedgerResult::Fail(LedgerStatus::NotFound, "no ledger at " + path);
        bool made = false;
        LedgerResult r = CreateLedgerFile(path, options, &made);
        if (!r.ok()) return r;
        if (created) *created = made;
    } else if (!fs::is_regular_file(st)) {
        return LedgerResult::Fail(LedgerStatus::Damaged, "ledger " + path + ": not a file");
    } else if (fs::file_size(path, ec) == 0) {
        // Never made so by this program (a new ledger gets its name only when
        // complete): it was cut short, and what it held is lost.
        return LedgerResult::Fail(LedgerStatus::Damaged, "ledger " + path + ": the file is empty");
    }

    std::unique_ptr<SqliteLedger> ledger(new SqliteLedger(path, options));
    // One connection per ledger object, used by one thread at a time: no
    // mutex around every call.
    int flags =
        (options.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
    std::string name = path;
    if (options.readOnly && ReadOnlyFolderWithoutLog(path)) {
        // Reading a write-ahead-log ledger needs its index file beside it,
        // which a folder this process may not write cannot get. With no log
        // there, the file alone is the whole ledger, and no writer is at it
        // (a writer keeps its log while it works): read it as it stands.
        name = ImmutableUri(path);
        flags |= SQLITE_OPEN_URI;
    }
    const int rc = sqlite3_open_v2(name.c_str(), &ledger->db_, flags, nullptr);
    if (rc != SQLITE_OK) return ledger->Error(rc, "cannot be opened");
    LedgerResult r = ledger->Init();
    if (!r.ok()) return r;
    if (!options.readOnly) {
        ledger->HoldSession();
        if (ledger->sessionFd_ < 0)
            return LedgerResult::Fail(LedgerStatus::IoError,
                                      "ledger " + path + ": cannot hold its session lock in " +
                                          path + ".sessions (" + std::strerror(errno) + ")");
    }
    *out = std::move(ledger);
    return {};
}

LedgerResult SqliteLedger::Init() {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, options_.busyTimeoutMs);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);

    int64_t appId = 0, version = 0;
    for (auto [pragma, value] :
         {std::pair{"PRAGMA application_id", &appId}, std::pair{"PRAGMA user_version", &version}}) {
        Owned q;
        int rc = sqlite3_prepare_v2(db_, pragma, -1, &q.s, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(q.s);
        if (rc != SQLITE_ROW) return Error(rc, "cannot be read");
        *value = sqlite3_column_int64(q.s, 0);
    }
    if (appId != kApplicationId)
        return LedgerResult::Fail(LedgerStatus::Damaged,
                                  "ledger " + path_ + ": not a ledger (another kind of database)");
    if (version > kSchemaVersion)
        return LedgerResult::Fail(LedgerStatus::Damaged,
                                  "ledger " + path_ + ": made by a newer version (schema " +
                                      std::to_string(version) + ", this program knows " +
                                      std::to_string(kSchemaVersion) + ")");
    if (version < 1)
        return LedgerResult::Fail(LedgerStatus::Damaged,
                                  "ledger " + path_ + ": damaged (no schema version)");
    // Checked before anything is upgraded: a damaged file is refused as it
    // stands, never changed.
    {
        Owned q;
        int rc = sqlite3_prepare_v2(db_, "PRAGMA quick_check(1)", -1, &q.s, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(q.s);
        if (rc != SQLITE_ROW) return Error(rc, "cannot be checked");
        const std::string_view verdict = Text(q.s, 0);
        if (verdict != "ok")
            return LedgerResult::Fail(LedgerStatus::Damaged, "ledger " + path_ + ": damaged (" +
                                                                 std::string(verdict) + ")");
    }

    // Upgrades of older schemas, each version in one transaction with its
    // user_version; a read-only open leaves the file as it is and does
    // without the newer tables.
    schemaVersion_ = static_cast<int>(version);
    if (version < 2 && !options_.readOnly) {
        TxnGuard guard{db_};
        LedgerResult r = Exec("BEGIN IMMEDIATE", "cannot be upgraded");
        if (!r.ok()) return r;
        Owned q;
        int rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &q.s, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(q.s);
        if (rc != SQLITE_ROW) return Error(rc, "cannot be read");
        if (sqlite3_column_int64(q.s, 0) < 2) {  // another program may have done it
            for (const std::string& stmt : SchemaV2()) {
                r = Exec(stmt.c_str(), "cannot be upgraded");
                if (!r.ok()) return r;
            }
            r = Exec("PRAGMA user_version=2", "cannot be upgraded");
            if (!r.ok()) return r;
        }
        r = Exec("COMMIT", "cannot be upgraded");
        if (!r.ok()) return r;
        schemaVersion_ = 2;
    }

    if (!options_.readOnly) AddIndexes();
    if (!options_.readOnly) {
        LedgerResult r =
            Exec(options_.writeAheadLog ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE",
                 "cannot be opened for writing");
        if (!r.ok()) return r;
    }
    LedgerResult r =
        Exec(options_.syncToDisk ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF",
             "cannot be opened");
    if (!r.ok()) return r;

    // An attempt opened without its result is a reservation's.
    const int written = JournalCount(kWritten);
    const std::string insertJournal =
        "INSERT INTO journal(" + JournalColumnList(kWritten) +
        (schemaVersion_ >= 2 ? ", reserved" : "") + ") VALUES(" +
        Placeholders(Dialect::Sqlite, 1, written) +
        (schemaVersion_ >= 2
             ? ", ?" + std::to_string(JournalPos(kWritten, JCol::Result) + 1) + " IS NULL"
             : std::string()) +
        ")";
    for (auto [stmt, sql] : {
             std::pair{&selectId_,
                       "SELECT state, prev_state, prev_attempt, attempt, station, device, time "
                       "FROM ids WHERE id = ?1"},
             std::pair{&putId_,
                       "INSERT INTO ids(id, state, prev_state, prev_attempt, attempt, station, "
                       "device, time) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) "
                       "ON CONFLICT(id) DO UPDATE SET state = excluded.state, "
                       "prev_state = excluded.prev_state, prev_attempt = excluded.prev_attempt, "
                       "attempt = excluded.attempt, station = excluded.station, "
                       "device = excluded.device, time = excluded.time"},
             std::pair{&insertJournal_, insertJournal.c_str()},
             std::pair{&finishJournal_,
                       "UPDATE journal SET result = ?2, duration_ms = ?3, "
                       "verified = max(verified, ?4) WHERE seq = ?1"},
         }) {
        r = Prepare(stmt, sql);
        // A ledger without its tables (or with others of those names).
        if (r.status == LedgerStatus::IoError)
            return LedgerResult::Fail(LedgerStatus::Damaged, "ledger " + path_ + ": damaged (" +
                                                                 sqlite3_errmsg(db_) + ")");
        if (!r.ok()) return r;
    }
    return {};
}

void SqliteLedger::AddIndexes() {
    // Only speed: a ledger locked by another program, or a full disk, keeps
    // working without it (the look-up then reads the journal).
    for (const std::string& sql : LookupIndexSql("journal"))
        sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

LedgerResult SqliteLedger::SerialHeldId(std::string_view usbSerial, bool* held) {
    *held = false;
    if (usbSerial.empty()) return {};
    Owned q;
    int rc = sqlite3_prepare_v2(db_, SerialHeldIdSql(false).c_str(), -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "the journal cannot be read");
    Bind(q.s, 1, usbSerial);
    int i = 2;
    for (const std::string& mode : SerialHeldIdModes()) Bind(q.s, i++, mode);
    rc = sqlite3_step(q.s);
    if (rc != SQLITE_ROW) return Error(rc, "the journal cannot be read");
    *held = sqlite3_column_int64(q.s, 0) != 0;
    return {};
}

std::string SqliteLedger::Key(std::u16string_view id) const { return ToUtf8(id); }

LedgerResult SqliteLedger::Run(const char* what, bool txn,
                               const std::function<LedgerResult()>& body) {
    if (!txn) return body();
    TxnGuard guard{db_};
    LedgerResult r = Exec("BEGIN IMMEDIATE", what);
    if (!r.ok()) return r;
    r = body();
    if (!r.ok()) return r;
    const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? LedgerResult{} : Error(rc, what);
}

// The immediate transaction holds the whole file: every ID is this one's.
LedgerResult SqliteLedger::LockId(const std::string&, bool, bool* got) {
    *got = true;
    return {};
}

LedgerResult SqliteLedger::ReadId(const std::string& key, IdRow* row, bool* found) {
    Reset reset{selectId_};
    Bind(selectId_, 1, key);
    const int rc = sqlite3_step(selectId_);
    *found = rc == SQLITE_ROW;
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return Error(rc, "cannot be read");
    row->state = StateFrom(sqlite3_column_int64(selectId_, 0));
    row->prevState.reset();
    if (sqlite3_column_type(selectId_, 1) != SQLITE_NULL)
        row->prevState = StateFrom(sqlite3_column_int64(selectId_, 1));
    row->prevAttempt = sqlite3_column_int64(selectId_, 2);
    row->attempt = sqlite3_column_int64(selectId_, 3);
    row->station = Text(selectId_, 4);
    row->device = Text(selectId_, 5);
    row->time = sqlite3_column_int64(selectId_, 6);
    return {};
}

LedgerResult SqliteLedger::AppendJournal(const Attempt& a, const std::string& key, int64_t time,
                                         const int* result, int64_t durationMs, bool verified,
                                         int64_t* seq) {
    sqlite3_stmt* s = insertJournal_;
    Reset reset{s};
    const IdSource& src = a.source;
    const bool counter = src.kind == IdSource::Kind::Counter;
    // Parameter numbers of the columns an attempt fills.
    auto at = [](JCol c) { return JournalPos(kWritten, c) + 1; };
    sqlite3_bind_int64(s, at(JCol::Time), time);
    Bind(s, at(JCol::Station), station_);
    Bind(s, at(JCol::Session), session_);
    Bind(s, at(JCol::Mode), AttemptModeName(a.mode));
    Bind(s, at(JCol::Source), SourceKindName(src.kind));
    Bind(s, at(JCol::FileSha256),
         src.kind == IdSource::Kind::File ? src.fileSha256 : std::string());
    Bind(s, at(JCol::FileName), src.kind == IdSource::Kind::File ? src.fileName : std::string());
    sqlite3_bind_int64(s, at(JCol::Line), src.kind == IdSource::Kind::File ? src.line : 0);
    Bind(s, at(JCol::Prefix), counter ? ToUtf8(src.prefix) : std::string());
    Bind(s, at(JCol::Suffix), counter ? ToUtf8(src.suffix) : std::string());
    Bind(s, at(JCol::Direction), counter ? (src.down ? "down" : "up") : "");
    Bind(s, at(JCol::Id), key);
    Bind(s, at(JCol::Device), a.device.node);
    Bind(s, at(JCol::UsbSerial), a.device.usbSerial);
    Bind(s, at(JCol::UsbVendor), a.device.usbVendor);
    Bind(s, at(JCol::UsbProduct), a.device.usbProduct);
    Bind(s, at(JCol::Port), a.device.port);
    if (result) {
        sqlite3_bind_int(s, at(JCol::Result), *result);
    } else {
        sqlite3_bind_null(s, at(JCol::Result));
    }
    sqlite3_bind_int64(s, at(JCol::DurationMs), durationMs);
    sqlite3_bind_int(s, at(JCol::Verified), verified ? 1 : 0);
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) return Error(rc, "the journal cannot be written");
    if (seq) *seq = sqlite3_last_insert_rowid(db_);
    return {};
}

LedgerResult SqliteLedger::CloseJournal(int64_t seq, int result, int64_t durationMs,
                                        bool verified) {
    Reset reset{finishJournal_};
    sqlite3_bind_int64(finishJournal_, 1, seq);
    sqlite3_bind_int(finishJournal_, 2, result);
    sqlite3_bind_int64(finishJournal_, 3, durationMs);
    sqlite3_bind_int(finishJournal_, 4, verified ? 1 : 0);
    const int rc = sqlite3_step(finishJournal_);
    return rc == SQLITE_DONE ? LedgerResult{} : Error(rc, "the journal cannot be written");
}

LedgerResult SqliteLedger::PutId(const std::string& key, const IdRow& row) {
    Reset reset{putId_};
    Bind(putId_, 1, key);
    sqlite3_bind_int(putId_, 2, static_cast<int>(row.state));
    if (row.prevState) {
        sqlite3_bind_int(putId_, 3, static_cast<int>(*row.prevState));
        sqlite3_bind_int64(putId_, 4, row.prevAttempt);
    } else {
        sqlite3_bind_null(putId_, 3);
        sqlite3_bind_null(putId_, 4);
    }
    sqlite3_bind_int64(putId_, 5, row.attempt);
    Bind(putId_, 6, row.station);
    Bind(putId_, 7, row.device);
    sqlite3_bind_int64(putId_, 8, row.time);
    const int rc = sqlite3_step(putId_);
    return rc == SQLITE_DONE ? LedgerResult{} : Error(rc, "cannot be written");
}

LedgerResult SqliteLedger::ReadAttempt(int64_t seq, AttemptRow* out, bool* found) {
    Owned q;
    int rc = sqlite3_prepare_v2(db_,
                                "SELECT station, session, device, usb_serial, port, time, "
                                "result IS NULL FROM journal WHERE seq = ?1",
                                -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be read");
    sqlite3_bind_int64(q.s, 1, seq);
    rc = sqlite3_step(q.s);
    *found = rc == SQLITE_ROW;
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return Error(rc, "cannot be read");
    DeviceInfo d;
    d.node = Text(q.s, 2);
    d.usbSerial = Text(q.s, 3);
    d.port = Text(q.s, 4);
    out->station = Text(q.s, 0);
    out->session = Text(q.s, 1);
    out->device = d.Summary();
    out->time = sqlite3_column_int64(q.s, 5);
    out->open = sqlite3_column_int64(q.s, 6) != 0;
    return {};
}

LedgerResult SqliteLedger::SessionLive(const std::string& session, bool* live) {
    *live = SessionAlive(session);
    return {};
}

LedgerResult SqliteLedger::Position(LedgerPosition* out) {
    Owned q;
    int rc = sqlite3_prepare_v2(
        db_,
        "SELECT (SELECT time || ':' || session FROM journal ORDER BY seq LIMIT 1), seq, time "
        "FROM journal ORDER BY seq DESC LIMIT 1",
        -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be read");
    rc = sqlite3_step(q.s);
    *out = LedgerPosition{};
    if (rc == SQLITE_ROW) {
        out->identity = Text(q.s, 0);
        out->newest = sqlite3_column_int64(q.s, 1);
        out->newestMs = sqlite3_column_int64(q.s, 2);
    }
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? LedgerResult{} : Error(rc, "cannot be read");
}

LedgerResult SqliteLedger::Backup(const std::string& path) {
    const std::string tmp = path + ".new-" + NewSession();
    sqlite3* to = nullptr;
    int rc =
        sqlite3_open_v2(tmp.c_str(), &to,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::string failure;
    if (rc == SQLITE_OK) {
        sqlite3_backup* b = sqlite3_backup_init(to, "main", db_, "main");
        if (!b) {
            rc = sqlite3_errcode(to);
        } else {
            // All at once: the copy is of one moment of the ledger.
            rc = sqlite3_backup_step(b, -1);
            const int done = sqlite3_backup_finish(b);
            rc = rc == SQLITE_DONE ? done : rc;
        }
        // A single file: no change may stay in a log beside it.
        if (rc == SQLITE_OK)
            rc = sqlite3_exec(to, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) failure = to ? sqlite3_errmsg(to) : sqlite3_errstr(rc);
    sqlite3_close(to);
    std::error_code ec;
    if (rc == SQLITE_OK) {
        const int err = files::Rename(tmp, path);
        if (err == 0) return {};
        failure = std::strerror(err);
    }
    for (const char* ext : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(tmp + ext, ec);
    return LedgerResult::Fail(
        (rc & 0xFF) == SQLITE_FULL ? LedgerStatus::Full : LedgerStatus::IoError,
        "ledger " + path_ + ": cannot be backed up to " + path + ": " + failure);
}

LedgerResult SqliteLedger::StatesOf(size_t count,
                                    const std::function<std::u16string_view(size_t)>& idAt,
                                    std::vector<IdState>* states) {
    std::vector<IdState> result(count, IdState::None);
    std::string id8;
    if (count <= kLookupLimit) {
        IdRow row;
        for (size_t i = 0; i < count; ++i) {
            bool found = false;
            ToUtf8(idAt(i), id8);
            LedgerResult r = ReadId(id8, &row, &found);
            if (!r.ok()) return r;
            if (found) result[i] = row.state;
        }
        states->swap(result);
        return {};
    }
    // One pass over the ledger into a table, then a look-up per entry.
    IdTable table;
    {
        Owned q;
        int rc = sqlite3_prepare_v2(db_, "SELECT id, state FROM ids", -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        while ((rc = sqlite3_step(q.s)) == SQLITE_ROW)
            table.Add(Text(q.s, 0), StateFrom(sqlite3_column_int64(q.s, 1)));
        if (rc != SQLITE_DONE) return Error(rc, "cannot be read");
    }
    table.Build();
    for (size_t i = 0; i < count; ++i) {
        ToUtf8(idAt(i), id8);
        result[i] = table.Find(id8);
    }
    states->swap(result);
    return {};
}

LedgerResult SqliteLedger::FurthestCounter(std::u16string_view prefix, std::u16string_view suffix,
                                           bool down, std::optional<std::u16string>* out) {
    const std::string p8 = ToUtf8(CleanIdPart(prefix));
    const std::string s8 = ToUtf8(CleanIdPart(suffix));
    const std::string end = PrefixEnd(p8);
    std::string sql = "SELECT id FROM ids WHERE state IN (" +
                      Placeholders(Dialect::Sqlite, 3, static_cast<int>(HeldStates().size())) + ")";
    if (!p8.empty()) sql += " AND id >= ?1";
    if (!end.empty()) sql += " AND id < ?2";
    Owned q;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be read");
    BindInts(q.s, 3, HeldStates());
    if (!p8.empty()) Bind(q.s, 1, p8);
    if (!end.empty()) Bind(q.s, 2, end);
    std::optional<std::string> best;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        KeepFurthest(Text(q.s, 0), p8, s8, down, &best);
    }
    if (rc != SQLITE_DONE) return Error(rc, "cannot be read");
    out->reset();
    if (best) *out = FromUtf8(*best);
    return {};
}

LedgerResult SqliteLedger::Reservations(bool staleOnly, std::vector<IdRecord>* out) {
    Owned q;
    // An ID in doubt waits for the operator whichever session left it; a
    // reservation is left over only once its session is no longer alive.
    const char* sql = staleOnly ? "SELECT i.id, i.station, i.device, i.time, i.state, j.session "
                                  "FROM ids AS i LEFT JOIN journal AS j ON j.seq = i.attempt "
                                  "WHERE i.state IN (?3, ?4) AND i.station = ?1 "
                                  "AND (i.state = ?4 OR j.session IS NULL OR j.session != ?2) "
                                  "ORDER BY i.time, i.attempt"
                                : "SELECT i.id, i.station, i.device, i.time, i.state, j.session "
                                  "FROM ids AS i LEFT JOIN journal AS j ON j.seq = i.attempt "
                                  "WHERE i.state IN (?3, ?4) ORDER BY i.time, i.attempt";
    int rc = sqlite3_prepare_v2(db_, sql, -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be read");
    if (staleOnly) {
        Bind(q.s, 1, station_);
        Bind(q.s, 2, session_);
    }
    sqlite3_bind_int(q.s, 3, static_cast<int>(IdState::Reserved));
    sqlite3_bind_int(q.s, 4, static_cast<int>(IdState::InDoubt));
    out->clear();
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        IdRecord rec{FromUtf8(Text(q.s, 0)), StateFrom(sqlite3_column_int64(q.s, 4)),
                     std::string(Text(q.s, 1)), std::string(Text(q.s, 2)),
                     sqlite3_column_int64(q.s, 3)};
        rec.live = rec.state == IdState::Reserved && SessionAlive(std::string(Text(q.s, 5)));
        if (staleOnly && rec.live) continue;
        out->push_back(std::move(rec));
    }
    return rc == SQLITE_DONE ? LedgerResult{} : Error(rc, "cannot be read");
}

LedgerResult SqliteLedger::StaleReservations(std::vector<IdRecord>* out) {
    return Reservations(true, out);
}

LedgerResult SqliteLedger::ListReserved(std::vector<IdRecord>* out) {
    return Reservations(false, out);
}

LedgerResult SqliteLedger::Counts(StateCounts* out) {
    Owned q;
    int rc = sqlite3_prepare_v2(db_, "SELECT state, count(*) FROM ids GROUP BY state", -1, &q.s,
                                nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be read");
    *out = StateCounts{};
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        AddCount(sqlite3_column_int64(q.s, 0), static_cast<uint64_t>(sqlite3_column_int64(q.s, 1)),
                 out);
    }
    return rc == SQLITE_DONE ? LedgerResult{} : Error(rc, "cannot be read");
}

namespace {

struct Cursor {
    sqlite3_stmt* s;
    int64_t Int(int i) const { return sqlite3_column_int64(s, i); }
    std::string_view Text(int i) const { return sqlite::Text(s, i); }
    bool Null(int i) const { return sqlite3_column_type(s, i) == SQLITE_NULL; }
    bool Flag(int i) const { return sqlite3_column_int64(s, i) != 0; }
};

}  // namespace

LedgerResult SqliteLedger::ReadJournal(int64_t sinceMs,
                                       const std::function<bool(const JournalRow&)>& sink) {
    const bool all = sinceMs == std::numeric_limits<int64_t>::min();
    std::string sql = "SELECT " + JournalColumnList(kRead) + " FROM journal ";
    // Rows are in time order but for clock changes: start at the first row
    // of the period (found through the time index), then filter.
    if (!all) sql += "WHERE seq >= (SELECT min(seq) FROM journal WHERE time >= ?1) AND time >= ?1 ";
    sql += "ORDER BY seq";
    Owned q;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "the journal cannot be read");
    if (!all) sqlite3_bind_int64(q.s, 1, sinceMs);
    JournalRow row;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        ReadJournalRow(Cursor{q.s}, row);
        if (!sink(row)) return {};
    }
    return rc == SQLITE_DONE ? LedgerResult{} : Error(rc, "the journal cannot be read");
}

// The pools: the shared counters, the imported ID lists and their status.
// One station alone allocates from them too, so a line that grows to
// several stations continues where the first left off.

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
    if (schemaVersion_ < 2 && IsCounterValue(start))
        return LedgerResult::Fail(LedgerStatus::Unsupported,
                                  "ledger " + path_ + ": opened for reading only");
    return Life().NextCounter(
        prefix, suffix, down, start,
        [&](std::optional<std::u16string>* far) {
            return FurthestCounter(prefix, suffix, down, far);
        },
        value);
}

LedgerResult SqliteLedger::ReadCounter(const std::string& prefix, const std::string& suffix,
                                       bool down, std::optional<std::string>* kept) {
    Owned q;
    int rc = sqlite3_prepare_v2(
        db_, "SELECT next FROM counters WHERE prefix = ?1 AND suffix = ?2 AND down = ?3", -1, &q.s,
        nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be read");
    Bind(q.s, 1, prefix);
    Bind(q.s, 2, suffix);
    sqlite3_bind_int(q.s, 3, down ? 1 : 0);
    rc = sqlite3_step(q.s);
    kept->reset();
    if (rc == SQLITE_ROW) *kept = std::string(Text(q.s, 0));
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? LedgerResult{} : Error(rc, "cannot be read");
}

LedgerResult SqliteLedger::SwapCounter(const std::string& prefix, const std::string& suffix,
                                       bool down, const std::optional<std::string>& kept,
                                       const std::string& next, int64_t time, bool* swapped) {
    Owned q;
    int rc = sqlite3_prepare_v2(
        db_,
        kept ? "UPDATE counters SET next = ?4, station = ?5, time = ?6 "
               "WHERE prefix = ?1 AND suffix = ?2 AND down = ?3 AND next = ?7"
             : "INSERT INTO counters(prefix, suffix, down, next, station, time) "
               "VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT(prefix, suffix, down) DO NOTHING",
        -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return Error(rc, "cannot be written");
    Bind(q.s, 1, prefix);
    Bind(q.s, 2, suffix);
    sqlite3_bind_int(q.s, 3, down ? 1 : 0);
    Bind(q.s, 4, next);
    Bind(q.s, 5, station_);
    sqlite3_bind_int64(q.s, 6, time);
    if (kept) Bind(q.s, 7, *kept);
    rc = sqlite3_step(q.s);
    if (rc != SQLITE_DONE) return Error(rc, "cannot take a counter value");
    *swapped = sqlite3_changes(db_) == 1;
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
            "ON j.seq = i.attempt WHERE i.state IN (" +
            Placeholders(Dialect::Sqlite, 4, static_cast<int>(StationStates().size())) + ") AND " +
            match + " GROUP BY i.station, i.state";
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        bind(q.s);
        BindInts(q.s, 4, StationStates());
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
                   "AND i.state IN (" +
                       Placeholders(Dialect::Sqlite, 2, static_cast<int>(HeldStates().size())) +
                       "))) FROM lists AS l WHERE l.sha256 = ?1"
                 : "SELECT next FROM counters WHERE prefix = ?1 AND suffix = ?2 AND down = ?3";
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        if (file) {
            Bind(q.s, 1, src.fileSha256);
            BindInts(q.s, 2, HeldStates());
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
