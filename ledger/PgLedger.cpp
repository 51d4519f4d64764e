#include "ledger/PgLedger.h"

#include <libpq-fe.h>

#include <cstring>
#include <limits>
#include <map>
#include <tuple>

#include "ledger/CounterBound.h"
#include "ledger/IdLifecycle.h"
#include "ledger/JournalColumns.h"
#include "ledger/LedgerSettings.h"
#include "ledger/StoreSupport.h"
#include "platform/Codepage.h"

namespace ts {

using namespace store;

namespace {

// Key of the transaction lock that serialises making and upgrading the
// schema ("TSLG").
constexpr int64_t kSchemaLockKey = 0x54534C47;
constexpr char kApplication[] = "tagsmith-ledger";

// The schema.
std::vector<std::string> SchemaV1() {
    return {
        "CREATE SCHEMA IF NOT EXISTS tagsmith",
        "CREATE TABLE tagsmith.meta(key text PRIMARY KEY, value text NOT NULL)",
        // As in the local ledger; IDs compare byte by byte whatever the
        // database's collation, so that a prefix is a range of the index.
        "CREATE TABLE tagsmith.ids("
        " id text COLLATE \"C\" PRIMARY KEY,"
        " state smallint NOT NULL,"
        " prev_state smallint,"
        " prev_attempt bigint,"
        " attempt bigint NOT NULL,"
        " station text NOT NULL,"
        " device text NOT NULL,"
        " time bigint NOT NULL)",
        "CREATE INDEX ids_reserved ON tagsmith.ids(time) WHERE state = " +
            std::to_string(static_cast<int>(IdState::Reserved)),
        JournalCreateSql(Dialect::Postgres, "tagsmith.journal", std::numeric_limits<int>::max()),
        "CREATE INDEX journal_time ON tagsmith.journal(time)",
        "CREATE INDEX journal_file ON tagsmith.journal(file_sha256) WHERE source = 'file'",
        "CREATE TABLE tagsmith.counters("
        " prefix text NOT NULL, suffix text NOT NULL, down boolean NOT NULL,"
        " next text NOT NULL,"  // empty: counting down is done
        " station text NOT NULL, time bigint NOT NULL,"
        " PRIMARY KEY(prefix, suffix, down))",
        "CREATE TABLE tagsmith.lists("
        " sha256 text PRIMARY KEY, name text NOT NULL, entries bigint NOT NULL,"
        " station text NOT NULL, time bigint NOT NULL)",
        "CREATE TABLE tagsmith.list_entries("
        " sha256 text NOT NULL, pos bigint NOT NULL, line bigint NOT NULL,"
        " id text COLLATE \"C\" NOT NULL, PRIMARY KEY(sha256, pos))",
    };
}

// Text as the server takes it: valid UTF-8 without NUL. What a device or a
// file holds otherwise is kept readable, with U+FFFD for what is not.
std::string PgText(std::string_view s) {
    auto valid = [](std::string_view t, size_t i, size_t* len) {
        const auto c = static_cast<unsigned char>(t[i]);
        if (c == 0) return false;
        if (c < 0x80) {
            *len = 1;
            return true;
        }
        size_t n = 0;
        uint32_t cp = 0;
        if ((c & 0xE0) == 0xC0) {
            n = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n > t.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(t[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        *len = n;
        return true;
    };
    size_t len = 0;
    size_t i = 0;
    while (i < s.size() && valid(s, i, &len)) i += len;
    if (i == s.size()) return std::string(s);
    std::string out(s.substr(0, i));
    while (i < s.size()) {
        if (valid(s, i, &len)) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string Id8(std::u16string_view id) { return PgText(WideToUtf8(id)); }

std::string IdLockKey(std::string_view id8) { return std::to_string(PgLedger::LockKeyOf(id8)); }

// A session's lock: two 32-bit keys, which never meet the IDs' one-key
// locks; the first marks the ledger's sessions.
constexpr int32_t kSessionLockClass = 0x54534C53;  // "TSLS"
std::string SessionLockKey(std::string_view session) {
    uint32_t h = 2166136261u;
    for (char c : session) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return std::to_string(h & 0x7FFFFFFFu);
}

// An element of a text[] literal.
void AppendArrayElement(std::string& out, std::string_view s) {
    out.push_back('"');
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// A field of COPY's text format.
void AppendCopyField(std::string& out, std::string_view s) {
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
}

constexpr const char* kCleanPrefix =
    "replace(replace(replace(j.prefix, ' ', ''), E'\\t', ''), E'\\r', '')";
constexpr const char* kCleanSuffix =
    "replace(replace(replace(j.suffix, ' ', ''), E'\\t', ''), E'\\r', '')";

}  // namespace

// libpq's texts end in a line break, and some hold several lines.
std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    return text;
}

// A query's result, cleared when it goes.
struct PgResult {
    PGresult* r = nullptr;
    PgResult() = default;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;
    ~PgResult() { PQclear(r); }
    void Reset(PGresult* n) {
        PQclear(r);
        r = n;
    }
    int Rows() const { return r ? PQntuples(r) : 0; }
    bool Null(int row, int col) const { return PQgetisnull(r, row, col) != 0; }
    std::string_view Text(int row, int col) const {
        return std::string_view(PQgetvalue(r, row, col),
                                static_cast<size_t>(PQgetlength(r, row, col)));
    }
    int64_t Int(int row, int col) const {
        const std::string_view t = Text(row, col);
        int64_t v = 0;
        bool neg = false;
        for (char c : t) {
            if (c == '-') {
                neg = true;
            } else if (c >= '0' && c <= '9') {
                v = v * 10 + (c - '0');
            }
        }
        return neg ? -v : v;
    }
    bool Bool(int row, int col) const { return Text(row, col) == "t"; }
};

// A parameter: text, or SQL NULL.
using Param = std::optional<std::string>;

class PgLedger::Db {
public:
    ~Db() { Close(); }

    void Close() {
        if (conn) PQfinish(conn);
        conn = nullptr;
    }

    // False when the connection is gone: a server that shut down tells its
    // idle clients so, or just closes. libpq's socket never blocks, so
    // reading what is there costs nothing when nothing is.
    bool Alive() {
        if (!conn || PQstatus(conn) != CONNECTION_OK) return false;
        if (!PQconsumeInput(conn)) return false;
        while (PGnotify* n = PQnotifies(conn)) PQfreemem(n);
        return PQstatus(conn) == CONNECTION_OK;
    }

    std::string Blot(std::string text) const {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        for (const std::string& secret : secrets) {
            if (secret.empty()) continue;
            for (size_t at = text.find(secret); at != std::string::npos;
                 at = text.find(secret, at + 3))
                text.replace(at, secret.size(), "***");
        }
        // A line break would start a new line in a log.
        for (char& c : text)
            if (c == '\n' || c == '\r') c = ' ';
        return text;
    }

    LedgerResult Fail(LedgerStatus status, const std::string& what, const std::string& detail) {
        return LedgerResult::Fail(status, "ledger " + display + ": " + what + ": " + Blot(detail));
    }

    // The failure of the last statement, by its SQL state.
    LedgerResult Failure(const PGresult* res, const std::string& what) {
        const char* st = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
        const std::string state = st ? st : "";
        std::string detail = res ? PQresultErrorMessage(res) : "";
        if (detail.empty() && conn) detail = PQerrorMessage(conn);
        detail = Trimmed(detail);
        const bool gone = !conn || PQstatus(conn) == CONNECTION_BAD || state.rfind("08", 0) == 0 ||
                          state.rfind("57P", 0) == 0;
        if (gone) {
            lost = true;
            return Fail(LedgerStatus::Offline, what,
                        "the server cannot be reached (" + detail + ")");
        }
        if (state == "53100") return Fail(LedgerStatus::Full, what, "the server's disk is full");
        if (state == "55P03" || state == "40001" || state == "40P01" || state == "57014")
            return Fail(LedgerStatus::Busy, what, "locked by another station (" + detail + ")");
        return Fail(LedgerStatus::IoError, what, detail);
    }

    LedgerResult Exec(const std::string& what, const std::string& sql,
                      const std::vector<Param>& params, PgResult* out = nullptr) {
        return Exec(what, sql.c_str(), params, out);
    }
    LedgerResult Exec(const std::string& what, const char* sql, const std::vector<Param>& params,
                      PgResult* out = nullptr) {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const Param& p : params) values.push_back(p ? p->c_str() : nullptr);
        PgResult local;
        PgResult& res = out ? *out : local;
        if (beginPending) {
            beginPending = false;
            PgResult begin;
            if (!BeginWith(sql, values, &begin, &res)) return Failure(nullptr, what);
            if (!Succeeded(begin.r)) return Failure(begin.r, what);
        } else {
            res.Reset(PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0));
        }
        if (Succeeded(res.r)) return {};
        return Failure(res.r, what);
    }

    static bool Succeeded(const PGresult* r) {
        const ExecStatusType st = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
    }

    // BEGIN and `sql` in one pipeline: their results, or false when the
    // pipeline could not be sent or its end never came (the connection is
    // gone; what the server did stays open to doubt as for any statement).
    bool BeginWith(const char* sql, const std::vector<const char*>& values, PgResult* begin,
                   PgResult* res) {
        res->Reset(nullptr);
        if (!PQenterPipelineMode(conn)) return false;
        bool ok = PQsendQueryParams(conn, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) &&
                  PQsendQueryParams(conn, sql, static_cast<int>(values.size()), nullptr,
                                    values.data(), nullptr, nullptr, 0) &&
                  PQpipelineSync(conn);
        // Each statement's result is followed by a null; the sync ends it.
        PgResult* into[] = {begin, res};
        int got = 0;
        bool synced = false;
        for (int nulls = 0; ok && !synced && nulls < 2;) {
            PGresult* r = PQgetResult(conn);
            if (!r) {
                ++nulls;
                if (PQstatus(conn) != CONNECTION_OK) break;
                continue;
            }
            nulls = 0;
            if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
                synced = true;
                PQclear(r);
            } else if (got < 2) {
                into[got++]->Reset(r);
            } else {
                PQclear(r);
            }
        }
        if (!PQexitPipelineMode(conn)) {
            // Still in the pipeline: no use for anything else.
            Close();
            return false;
        }
        return ok && synced && got == 2;
    }

    PGconn* conn = nullptr;
    // A transaction's BEGIN goes out with its first statement, in one round
    // trip; a transaction that ran no statement sends neither it nor its
    // COMMIT.
    bool beginPending = false;
    std::string display;
    std::vector<std::string> secrets;  // texts never to show
    bool lost = false;                 // the connection died during this operation
    bool committing = false;           // COMMIT was sent: its outcome may be unknown
};

namespace {

// The journal columns an attempt fills, before the result, in order.
std::vector<Param> JournalParams(const Attempt& a, const std::string& id8, int64_t time,
                                 const std::string& station, const std::string& session) {
    const IdSource& src = a.source;
    const bool file = src.kind == IdSource::Kind::File;
    const bool counter = src.kind == IdSource::Kind::Counter;
    return {std::to_string(time),
            PgText(station),
            session,
            AttemptModeName(a.mode),
            SourceKindName(src.kind),
            file ? PgText(src.fileSha256) : std::string(),
            file ? PgText(src.fileName) : std::string(),
            std::to_string(file ? src.line : 0),
            counter ? Id8(src.prefix) : std::string(),
            counter ? Id8(src.suffix) : std::string(),
            counter ? (src.down ? "down" : "up") : "",
            id8,
            PgText(a.device.node),
            PgText(a.device.usbSerial),
            PgText(a.device.usbVendor),
            PgText(a.device.usbProduct),
            PgText(a.device.port)};
}

// The parameters JournalParams fills.
constexpr int kJournalParams = JournalPos(kWritten, JCol::Result);

// The parameter of a column JournalParams fills, or of the n-th parameter
// after them.
std::string ParamOf(JCol c) { return "$" + std::to_string(JournalPos(kWritten, c) + 1); }
std::string ParamAfter(int n) { return "$" + std::to_string(kJournalParams + n); }

// An INSERT of the columns an attempt fills and `extra`: JournalParams for
// those before the result, `values` for the rest.
std::string InsertJournalSql(std::string_view extra, std::string_view values) {
    return "INSERT INTO journal(" + JournalColumnList(kWritten) + std::string(extra) + ") VALUES(" +
           Placeholders(Dialect::Postgres, 1, kJournalParams) + ", " + std::string(values) + ")";
}

LedgerResult ReadRow(PgLedger::Db& db, const std::string& id8, IdRow* row, bool* found) {
    PgResult res;
    LedgerResult r = db.Exec("cannot be read",
                             "SELECT state, prev_state, prev_attempt, attempt, station, device, "
                             "time FROM ids WHERE id = $1",
                             {id8}, &res);
    if (!r.ok()) return r;
    *found = res.Rows() > 0;
    if (!*found) return {};
    row->state = StateFrom(res.Int(0, 0));
    row->prevState.reset();
    if (!res.Null(0, 1)) row->prevState = StateFrom(res.Int(0, 1));
    row->prevAttempt = res.Null(0, 2) ? 0 : res.Int(0, 2);
    row->attempt = res.Int(0, 3);
    row->station = res.Text(0, 4);
    row->device = res.Text(0, 5);
    row->time = res.Int(0, 6);
    return {};
}

LedgerResult PutId(PgLedger::Db& db, const char* what, const std::string& id8, IdState state,
                   const std::optional<IdState>& prev, int64_t prevAttempt, int64_t attempt,
                   const std::string& station, const std::string& device, int64_t time) {
    return db.Exec(what,
                   "INSERT INTO ids(id, state, prev_state, prev_attempt, attempt, station, "
                   "device, time) VALUES($1, $2, $3, $4, $5, $6, $7, $8) "
                   "ON CONFLICT(id) DO UPDATE SET state = excluded.state, "
                   "prev_state = excluded.prev_state, prev_attempt = excluded.prev_attempt, "
                   "attempt = excluded.attempt, station = excluded.station, "
                   "device = excluded.device, time = excluded.time",
                   {id8, std::to_string(static_cast<int>(state)),
                    prev ? Param(std::to_string(static_cast<int>(*prev))) : Param(),
                    prev ? Param(std::to_string(prevAttempt)) : Param(), std::to_string(attempt),
                    PgText(station), PgText(device), std::to_string(time)});
}

LedgerResult FinishJournal(PgLedger::Db& db, const char* what, int64_t seq, int result,
                           int64_t durationMs, bool verified) {
    return db.Exec(what,
                   "UPDATE journal SET result = $2, duration_ms = $3, "
                   "verified = verified OR $4 WHERE seq = $1",
                   {std::to_string(seq), std::to_string(result), std::to_string(durationMs),
                    verified ? "true" : "false"});
}

}  // namespace

namespace {

// States as one array parameter: "{2,3,5,6}".
std::string IntArray(const std::vector<int>& values) {
    std::string out = "{";
    for (int v : values) out += (out.size() > 1 ? "," : "") + std::to_string(v);
    return out + "}";
}

// `params` and the array of `states` after them.
std::vector<Param> WithStates(std::vector<Param> params, const std::vector<int>& states) {
    params.push_back(IntArray(states));
    return params;
}

// libpq knows the scheme in lower case only.
std::string WithLowerScheme(std::string url) {
    const size_t end = url.find("://");
    for (size_t i = 0; end != std::string::npos && i < end; ++i)
        if (url[i] >= 'A' && url[i] <= 'Z') url[i] = static_cast<char>(url[i] - 'A' + 'a');
    return url;
}

}  // namespace

PgLedger::PgLedger(std::string url, const LedgerOpenOptions& options)
    : StoreLedger(options),
      url_(WithLowerScheme(url)),
      options_(options),
      db_(std::make_unique<Db>()) {
    db_->display = LedgerDisplayName(url);
    // The URL's own password, as written and as libpq decodes it.
    PQconninfoOption* opts = PQconninfoParse(url_.c_str(), nullptr);
    if (opts) {
        for (PQconninfoOption* o = opts; o->keyword; ++o)
            if (std::strcmp(o->keyword, "password") == 0 && o->val && *o->val)
                db_->secrets.push_back(o->val);
        PQconninfoFree(opts);
    }
    const size_t scheme = url_.find("://");
    if (scheme != std::string::npos) {
        const size_t start = scheme + 3;
        const size_t end = url_.find_first_of("/?#", start);
        const std::string userInfo =
            url_.substr(start, end == std::string::npos ? end : end - start);
        const size_t at = userInfo.rfind('@');
        const size_t colon = userInfo.find(':');
        if (at != std::string::npos && colon != std::string::npos && colon < at)
            db_->secrets.push_back(userInfo.substr(colon + 1, at - colon - 1));
    }
}

PgLedger::~PgLedger() {
    // The session ends now, not once the server noticed the closed
    // connection: a station restarted at once finds its reservations left
    // over.
    if (db_->conn && PQstatus(db_->conn) == CONNECTION_OK) {
        PgResult res;
        res.Reset(PQexec(db_->conn, "SELECT pg_advisory_unlock_all()"));
    }
}

int64_t PgLedger::LockKeyOf(std::string_view id8) {
    uint64_t h = 1469598103934665603ull;
    for (char c : id8) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return static_cast<int64_t>(h);
}

std::string PgLedger::Describe() const { return db_->display; }

int64_t PgLedger::NowMs() const { return WallMs(options_.clockMs); }

LedgerResult PgLedger::Run(const char* what, bool txn,
                           const std::function<LedgerResult(Db&)>& body) {
    Db& db = *db_;
    for (int round = 0;; ++round) {
        db.lost = false;
        db.committing = false;
        if (!db.Alive()) {
            db.Close();
            // Defaults before the URL, whose settings override them; the
            // encoding after it: the ledger speaks UTF-8.
            const std::string station = "tagsmith " + PgText(station_);
            // A server that vanished from the network (no reset) is given
            // up on after about 15 seconds.
            const char* keys[] = {"connect_timeout",  "keepalives_idle",  "keepalives_interval",
                                  "keepalives_count", "tcp_user_timeout", "application_name",
                                  "dbname",           "client_encoding",  nullptr};
            const char* values[] = {"5",          "10",   "5",    "3", "15000", station.c_str(),
                                    url_.c_str(), "UTF8", nullptr};
            db.conn = PQconnectdbParams(keys, values, 1);
            if (!db.conn || PQstatus(db.conn) != CONNECTION_OK) {
                const std::string detail =
                    db.conn ? Trimmed(PQerrorMessage(db.conn)) : std::string("out of memory");
                db.Close();
                return db.Fail(LedgerStatus::Offline, what,
                               "the server cannot be reached (" + detail + ")");
            }
            PQsetNoticeProcessor(
                db.conn, [](void*, const char*) {}, nullptr);
            // The session lock tells other stations and the operator's
            // commands that this session's reservations are in progress
            // (not taken while a dead connection of this session still
            // holds it: the session counts as alive then all the same).
            const std::string set =
                "SET search_path TO tagsmith; SET lock_timeout = " +
                std::to_string(options_.busyTimeoutMs) + "; SELECT pg_try_advisory_lock(" +
                std::to_string(kSessionLockClass) + ", " + SessionLockKey(session_) + ")";
            PgResult res;
            res.Reset(PQexec(db.conn, set.c_str()));
            if (!res.r || PQresultStatus(res.r) != PGRES_TUPLES_OK) {
                LedgerResult r = db.Failure(res.r, what);
                db.Close();
                return r;
            }
        }
        db.lost = false;
        db.committing = false;
        LedgerResult r;
        db.beginPending = txn;
        r = body(db);
        if (r.ok() && txn && !db.beginPending) {
            db.committing = true;
            r = db.Exec(what, "COMMIT", {});
        }
        db.beginPending = false;
        if (r.ok()) return r;
        if (!db.lost && txn && PQtransactionStatus(db.conn) != PQTRANS_IDLE) {
            PgResult res;
            res.Reset(PQexec(db.conn, "ROLLBACK"));
        }
        if (!db.lost) return r;
        db.Close();
        // Nothing was committed: the same work on a new connection.
        if (round == 0 && !db.committing) continue;
        return r;
    }
}

void PgLedger::AddIndexes(Db& db) {
    PgResult res;
    LedgerResult r = db.Exec("cannot be opened",
                             "SELECT to_regclass('tagsmith.journal_usb_serial') IS NULL OR "
                             "to_regclass('tagsmith.journal_id') IS NULL",
                             {}, &res);
    if (!r.ok() || !res.Bool(0, 0)) return;
    // Only speed: a role that may not make it keeps working without it.
    r = db.Exec("cannot be opened", "SAVEPOINT add_indexes", {});
    if (!r.ok()) return;
    for (const std::string& sql : LookupIndexSql("tagsmith.journal")) {
        r = db.Exec("cannot be opened", sql, {});
        if (!r.ok()) break;
    }
    db.Exec("cannot be opened", r.ok() ? "RELEASE add_indexes" : "ROLLBACK TO add_indexes", {});
}

LedgerResult PgLedger::Setup(Db& db, bool* created) {
    LedgerResult r = db.Exec("cannot be opened", "SELECT pg_advisory_xact_lock($1)",
                             {std::to_string(kSchemaLockKey)});
    if (!r.ok()) return r;
    PgResult res;
    r = db.Exec("cannot be opened",
                "SELECT to_regclass('tagsmith.meta') IS NOT NULL, "
                "EXISTS (SELECT 1 FROM pg_namespace WHERE nspname = 'tagsmith')",
                {}, &res);
    if (!r.ok()) return r;
    const bool hasMeta = res.Bool(0, 0);
    const bool hasSchema = res.Bool(0, 1);
    int version = 0;
    if (hasMeta) {
        r = db.Exec("cannot be read",
                    "SELECT (SELECT value FROM tagsmith.meta WHERE key = 'application'), "
                    "(SELECT value FROM tagsmith.meta WHERE key = 'schema')",
                    {}, &res);
        if (!r.ok()) return r;
        if (res.Null(0, 0) || res.Text(0, 0) != kApplication)
            return db.Fail(LedgerStatus::Damaged, "cannot be opened",
                           "schema tagsmith belongs to another program");
        version = res.Null(0, 1) ? 0 : static_cast<int>(res.Int(0, 1));
        if (version > kSchemaVersion)
            return db.Fail(LedgerStatus::Damaged, "cannot be opened",
                           "made by a newer version (schema " + std::to_string(version) +
                               ", this program knows " + std::to_string(kSchemaVersion) + ")");
        if (version < 1)
            return db.Fail(LedgerStatus::Damaged, "cannot be opened", "no schema version");
        // Upgrades of older schemas go here, each inside this transaction.
        if (!options_.readOnly) AddIndexes(db);
        return {};
    }
    if (hasSchema)
        return db.Fail(LedgerStatus::Damaged, "cannot be opened",
                       "schema tagsmith exists but holds no ledger");
    if (!options_.create || options_.readOnly)
        return LedgerResult::Fail(LedgerStatus::NotFound, "no ledger at " + db.display);
    for (const std::string& stmt : SchemaV1()) {
        r = db.Exec("cannot be made", stmt, {});
        if (!r.ok()) return r;
    }
    AddIndexes(db);
    r = db.Exec("cannot be made",
                "INSERT INTO tagsmith.meta(key, value) VALUES('application', $1), ('schema', $2)",
                {kApplication, std::to_string(kSchemaVersion)});
    if (!r.ok()) return r;
    if (created) *created = true;
    return {};
}

LedgerResult PgLedger::Open(const std::string& url, const LedgerOpenOptions& options,
                            std::unique_ptr<PgLedger>* out, bool* created) {
    if (created) *created = false;
    std::unique_ptr<PgLedger> ledger(new PgLedger(url, options));
    PQconninfoOption* parsed = PQconninfoParse(ledger->url_.c_str(), nullptr);
    if (!parsed)
        return LedgerResult::Fail(LedgerStatus::Unsupported,
                                  "ledger " + ledger->Describe() + ": not a valid URL");
    PQconninfoFree(parsed);
    bool made = false;
    LedgerResult r =
        ledger->Run("cannot be opened", true, [&](Db& db) { return ledger->Setup(db, &made); });
    if (!r.ok()) return r;
    if (created) *created = made;
    *out = std::move(ledger);
    return {};
}

std::string PgLedger::Key(std::u16string_view id) const { return Id8(id); }

LedgerResult PgLedger::Run(const char* what, bool txn, const std::function<LedgerResult()>& body) {
    return Run(what, txn, [&](Db&) {
        what_ = what;
        return body();
    });
}

bool PgLedger::CommitUncertain() const { return db_->committing; }

LedgerResult PgLedger::LockId(const std::string& key, bool tryOnly, bool* got) {
    Db& db = *db_;
    if (!tryOnly) {
        *got = true;
        return db.Exec(what_, "SELECT pg_advisory_xact_lock($1)", {IdLockKey(key)});
    }
    // Never waits: not on the ID's lock, which every change of it takes,
    // nor on the row of a free ID, should any other transaction hold that
    // (SKIP LOCKED: a row that is there but locked is missing from the
    // second count). A held ID's row is left unlocked: it is refused anyway,
    // and its owner's confirmation must not wait for this station.
    PgResult res;
    LedgerResult r = db.Exec(what_,
                             "SELECT pg_try_advisory_xact_lock($1) AND "
                             "(SELECT count(*) FROM ids WHERE id = $2 "
                             "AND state <> ALL($3::smallint[])) = "
                             "(SELECT count(*) FROM (SELECT 1 FROM ids WHERE id = $2 "
                             "AND state <> ALL($3::smallint[]) FOR UPDATE SKIP LOCKED) AS mine)",
                             {IdLockKey(key), key, IntArray(HeldStates())}, &res);
    if (!r.ok()) return r;
    *got = res.Bool(0, 0);
    return {};
}

LedgerResult PgLedger::ReadId(const std::string& key, IdRow* row, bool* found) {
    return ReadRow(*db_, key, row, found);
}

LedgerResult PgLedger::PutId(const std::string& key, const IdRow& row) {
    return ts::PutId(*db_, what_, key, row.state, row.prevState, row.prevAttempt, row.attempt,
                     row.station, row.device, row.time);
}

LedgerResult PgLedger::AppendJournal(const Attempt& a, const std::string& key, int64_t time,
                                     const int* result, int64_t durationMs, bool verified,
                                     int64_t* seq) {
    std::vector<Param> p = JournalParams(a, key, time, station_, session_);
    p.push_back(result ? Param(std::to_string(*result)) : Param());
    p.push_back(std::to_string(durationMs));
    p.push_back(verified ? "true" : "false");
    // An attempt opened without its result is a reservation's.
    p.push_back(result ? "false" : "true");
    PgResult res;
    LedgerResult r = db_->Exec(
        what_,
        InsertJournalSql(", reserved", Placeholders(Dialect::Postgres, kJournalParams + 1,
                                                    JournalCount(kWritten) - kJournalParams + 1)) +
            " RETURNING seq",
        p, &res);
    if (r.ok() && seq) *seq = res.Int(0, 0);
    return r;
}

// The journal row and the ID's row in one statement: one round trip.
LedgerResult PgLedger::OpenReservation(const Attempt& a, const std::string& key, IdRow* row) {
    std::vector<Param> p = JournalParams(a, key, row->time, station_, session_);
    p.push_back(row->prevState ? Param(std::to_string(static_cast<int>(*row->prevState)))
                               : Param());
    p.push_back(row->prevState ? Param(std::to_string(row->prevAttempt)) : Param());
    p.push_back(PgText(row->device));
    p.push_back(std::to_string(static_cast<int>(row->state)));
    PgResult res;
    LedgerResult q =
        db_->Exec(what_,
                  "WITH j AS (" + InsertJournalSql(", reserved", "NULL, 0, false, true") +
                      " RETURNING seq) "
                      "INSERT INTO ids(id, state, prev_state, prev_attempt, attempt, station, "
                      "device, time) SELECT " +
                      ParamOf(JCol::Id) + ", " + ParamAfter(4) + "::smallint, " + ParamAfter(1) +
                      ", " + ParamAfter(2) + ", j.seq, " + ParamOf(JCol::Station) + ", " +
                      ParamAfter(3) + ", " + ParamOf(JCol::Time) +
                      " FROM j "
                      "ON CONFLICT(id) DO UPDATE SET state = excluded.state, "
                      "prev_state = excluded.prev_state, prev_attempt = excluded.prev_attempt, "
                      "attempt = excluded.attempt, station = excluded.station, "
                      "device = excluded.device, time = excluded.time RETURNING attempt",
                  p, &res);
    if (!q.ok()) return q;
    row->attempt = res.Int(0, 0);
    return {};
}

LedgerResult PgLedger::CloseJournal(int64_t seq, int result, int64_t durationMs, bool verified) {
    return FinishJournal(*db_, what_, seq, result, durationMs, verified);
}

LedgerResult PgLedger::ReadAttempt(int64_t seq, AttemptRow* out, bool* found) {
    PgResult res;
    LedgerResult r = db_->Exec(what_,
                               "SELECT station, session, device, usb_serial, port, time, "
                               "result IS NULL FROM journal WHERE seq = $1",
                               {std::to_string(seq)}, &res);
    if (!r.ok()) return r;
    *found = res.Rows() > 0;
    if (!*found) return {};
    DeviceInfo d;
    d.node = res.Text(0, 2);
    d.usbSerial = res.Text(0, 3);
    d.port = res.Text(0, 4);
    out->station = res.Text(0, 0);
    out->session = res.Text(0, 1);
    out->device = d.Summary();
    out->time = res.Int(0, 5);
    out->open = res.Bool(0, 6);
    return {};
}

LedgerResult PgLedger::SessionLive(const std::string& session, bool* live) {
    return SessionLive(*db_, session, live);
}

LedgerResult PgLedger::SessionLive(Db& db, const std::string& session, bool* live) {
    *live = session == session_;
    if (*live || session.empty()) return {};
    PgResult res;
    LedgerResult r = db.Exec("cannot be read",
                             "SELECT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' "
                             "AND classid = $1::bigint::oid AND objid = $2::bigint::oid "
                             "AND objsubid = 2 AND granted)",
                             {std::to_string(kSessionLockClass), SessionLockKey(session)}, &res);
    if (!r.ok()) return r;
    *live = res.Bool(0, 0);
    return {};
}

LedgerResult PgLedger::SerialHeldId(std::string_view usbSerial, bool* held) {
    *held = false;
    if (usbSerial.empty()) return {};
    std::vector<Param> p = {PgText(usbSerial)};
    for (const std::string& mode : SerialHeldIdModes()) p.push_back(mode);
    const std::string sql = SerialHeldIdSql(true);
    const char* what = "the journal cannot be read";
    return Run(what, false, [&](Db& db) {
        PgResult res;
        LedgerResult r = db.Exec(what, sql, p, &res);
        if (r.ok()) *held = res.Bool(0, 0);
        return r;
    });
}

LedgerResult PgLedger::StatesOf(size_t count,
                                const std::function<std::u16string_view(size_t)>& idAt,
                                std::vector<IdState>* states) {
    std::vector<IdState> result(count, IdState::None);
    LedgerResult r = Run("cannot be read", false, [&](Db& db) {
        std::string array;
        for (size_t from = 0; from < count; from += kBatch) {
            const size_t to = std::min(count, from + kBatch);
            array = "{";
            for (size_t i = from; i < to; ++i) {
                if (i > from) array.push_back(',');
                AppendArrayElement(array, Id8(idAt(i)));
            }
            array.push_back('}');
            PgResult res;
            LedgerResult q =
                db.Exec("cannot be read",
                        "SELECT u.n, i.state FROM unnest($1::text[]) WITH ORDINALITY AS u(id, n) "
                        "JOIN ids AS i ON i.id = u.id",
                        {array}, &res);
            if (!q.ok()) return q;
            for (int k = 0; k < res.Rows(); ++k) {
                const int64_t n = res.Int(k, 0);
                if (n >= 1 && static_cast<size_t>(n) <= to - from)
                    result[from + static_cast<size_t>(n) - 1] = StateFrom(res.Int(k, 1));
            }
        }
        return LedgerResult{};
    });
    if (!r.ok()) return r;
    states->swap(result);
    return {};
}

LedgerResult PgLedger::FurthestCounter(std::u16string_view prefix, std::u16string_view suffix,
                                       bool down, std::optional<std::u16string>* out) {
    const std::string p8 = Id8(CleanIdPart(prefix));
    const std::string s8 = Id8(CleanIdPart(suffix));
    const std::string end = PrefixEnd(p8);
    std::string sql = "SELECT id FROM ids WHERE state = ANY($1::smallint[])";
    std::vector<Param> params = {IntArray(HeldStates())};
    if (!p8.empty()) {
        params.push_back(p8);
        sql += " AND id >= $" + std::to_string(params.size());
    }
    if (!end.empty()) {
        params.push_back(end);
        sql += " AND id < $" + std::to_string(params.size());
    }
    // A prefix end that is not valid UTF-8 cannot be sent: the range then
    // has no upper bound.
    if (!end.empty() && PgText(end) != end) {
        params.pop_back();
        sql = sql.substr(0, sql.rfind(" AND id <"));
    }
    std::optional<std::string> best;
    LedgerResult r = Run("cannot be read", false, [&](Db& db) {
        PgResult res;
        LedgerResult q = db.Exec("cannot be read", sql.c_str(), params, &res);
        if (!q.ok()) return q;
        best.reset();
        for (int k = 0; k < res.Rows(); ++k) {
            KeepFurthest(res.Text(k, 0), p8, s8, down, &best);
        }
        return LedgerResult{};
    });
    if (!r.ok()) return r;
    out->reset();
    if (best) *out = Utf8ToWide(*best);
    return {};
}

namespace {

LedgerResult ReadReservations(PgLedger::Db& db, const char* sql, const std::vector<Param>& params,
                              std::vector<IdRecord>* out, std::vector<std::string>* sessions) {
    PgResult res;
    LedgerResult r = db.Exec("cannot be read", sql, params, &res);
    if (!r.ok()) return r;
    out->clear();
    sessions->clear();
    for (int k = 0; k < res.Rows(); ++k) {
        out->push_back(IdRecord{Utf8ToWide(res.Text(k, 0)), StateFrom(res.Int(k, 4)),
                                std::string(res.Text(k, 1)), std::string(res.Text(k, 2)),
                                res.Int(k, 3)});
        sessions->push_back(res.Null(k, 5) ? std::string() : std::string(res.Text(k, 5)));
    }
    return {};
}

const std::string kReservedState = std::to_string(static_cast<int>(IdState::Reserved));
const std::string kInDoubtState = std::to_string(static_cast<int>(IdState::InDoubt));

}  // namespace

LedgerResult PgLedger::StaleReservations(std::vector<IdRecord>* out) {
    // An ID in doubt waits for the operator whichever session left it; a
    // reservation is left over only once its session is no longer alive.
    return Run("cannot be read", false, [&](Db& db) {
        std::vector<IdRecord> all;
        std::vector<std::string> sessions;
        LedgerResult r = ReadReservations(
            db,
            "SELECT i.id, i.station, i.device, i.time, i.state, j.session FROM ids AS i "
            "LEFT JOIN journal AS j ON j.seq = i.attempt "
            "WHERE i.state IN ($3, $4) AND i.station = $1 "
            "AND (i.state = $4 OR j.session IS NULL OR j.session <> $2) "
            "ORDER BY i.time, i.attempt",
            {PgText(station_), session_, kReservedState, kInDoubtState}, &all, &sessions);
        if (!r.ok()) return r;
        out->clear();
        for (size_t k = 0; k < all.size(); ++k) {
            bool live = false;
            if (all[k].state == IdState::Reserved) {
                r = SessionLive(db, sessions[k], &live);
                if (!r.ok()) return r;
            }
            if (!live) out->push_back(std::move(all[k]));
        }
        return LedgerResult{};
    });
}

LedgerResult PgLedger::ListReserved(std::vector<IdRecord>* out) {
    return Run("cannot be read", false, [&](Db& db) {
        std::vector<std::string> sessions;
        LedgerResult r = ReadReservations(db,
                                          "SELECT i.id, i.station, i.device, i.time, i.state, "
                                          "j.session FROM ids AS i LEFT JOIN journal AS j "
                                          "ON j.seq = i.attempt WHERE i.state IN ($1, $2) "
                                          "ORDER BY i.time, i.attempt",
                                          {kReservedState, kInDoubtState}, out, &sessions);
        if (!r.ok()) return r;
        for (size_t k = 0; k < out->size(); ++k) {
            if ((*out)[k].state != IdState::Reserved) continue;
            r = SessionLive(db, sessions[k], &(*out)[k].live);
            if (!r.ok()) return r;
        }
        return LedgerResult{};
    });
}

LedgerResult PgLedger::Counts(StateCounts* out) {
    return Run("cannot be read", false, [&](Db& db) {
        PgResult res;
        LedgerResult r =
            db.Exec("cannot be read", "SELECT state, count(*) FROM ids GROUP BY state", {}, &res);
        if (!r.ok()) return r;
        *out = StateCounts{};
        for (int k = 0; k < res.Rows(); ++k) {
            AddCount(res.Int(k, 0), static_cast<uint64_t>(res.Int(k, 1)), out);
        }
        return LedgerResult{};
    });
}

namespace {

struct PgCursor {
    const PgResult& res;
    int64_t Int(int i) const { return res.Int(0, i); }
    std::string_view Text(int i) const { return res.Text(0, i); }
    bool Null(int i) const { return res.Null(0, i); }
    bool Flag(int i) const { return res.Bool(0, i); }
};

}  // namespace

LedgerResult PgLedger::ReadJournal(int64_t sinceMs,
                                   const std::function<bool(const JournalRow&)>& sink) {
    const bool all = sinceMs == std::numeric_limits<int64_t>::min();
    std::string sql = "SELECT " + JournalColumnList(kRead) + " FROM journal ";
    if (!all) sql += "WHERE time >= $1::bigint ";
    sql += "ORDER BY seq";
    const std::string since = std::to_string(sinceMs);
    const char* what = "the journal cannot be read";
    bool started = false;
    return Run(what, false, [&](Db& db) -> LedgerResult {
        // Once rows went to the sink, a second round would repeat them.
        if (started) return db.Fail(LedgerStatus::Offline, what, "the server went away");
        const char* values[] = {since.c_str()};
        if (!PQsendQueryParams(db.conn, sql.c_str(), all ? 0 : 1, nullptr, values, nullptr, nullptr,
                               0) ||
            !PQsetSingleRowMode(db.conn))
            return db.Failure(nullptr, what);
        started = true;
        LedgerResult r;
        bool stop = false;
        JournalRow row;
        while (PGresult* raw = PQgetResult(db.conn)) {
            PgResult res;
            res.Reset(raw);
            const ExecStatusType st = PQresultStatus(raw);
            if (st == PGRES_SINGLE_TUPLE && !stop && r.ok()) {
                ReadJournalRow(PgCursor{res}, row);
                stop = !sink(row);
            } else if (st != PGRES_SINGLE_TUPLE && st != PGRES_TUPLES_OK && r.ok()) {
                r = db.Failure(raw, what);
            }
        }
        return r;
    });
}

LedgerResult PgLedger::NextCounter(std::u16string_view prefix, std::u16string_view suffix,
                                   bool down, std::u16string_view start,
                                   std::optional<std::u16string>* value) {
    return Life().NextCounter(
        prefix, suffix, down, start,
        [&](std::optional<std::u16string>* far) {
            return FurthestCounter(prefix, suffix, down, far);
        },
        value);
}

LedgerResult PgLedger::ReadCounter(const std::string& prefix, const std::string& suffix, bool down,
                                   std::optional<std::string>* kept) {
    PgResult res;
    LedgerResult r = db_->Exec(
        what_, "SELECT next FROM counters WHERE prefix = $1 AND suffix = $2 AND down = $3",
        {prefix, suffix, down ? "true" : "false"}, &res);
    if (!r.ok()) return r;
    kept->reset();
    if (res.Rows() > 0) *kept = std::string(res.Text(0, 0));
    return {};
}

LedgerResult PgLedger::SwapCounter(const std::string& prefix, const std::string& suffix, bool down,
                                   const std::optional<std::string>& kept, const std::string& next,
                                   int64_t time, bool* swapped) {
    PgResult res;
    const std::vector<Param> p = {prefix,
                                  suffix,
                                  down ? "true" : "false",
                                  next,
                                  PgText(station_),
                                  std::to_string(time),
                                  kept ? Param(*kept) : Param()};
    LedgerResult r =
        kept ? db_->Exec(what_,
                         "UPDATE counters SET next = $4, station = $5, time = $6 "
                         "WHERE prefix = $1 AND suffix = $2 AND down = $3 AND next = $7",
                         p, &res)
             : db_->Exec(what_,
                         "INSERT INTO counters(prefix, suffix, down, next, station, time) "
                         "SELECT $1, $2, $3, $4, $5, $6 WHERE $7::text IS NULL "
                         "ON CONFLICT DO NOTHING",
                         p, &res);
    if (!r.ok()) return r;
    *swapped = std::strcmp(PQcmdTuples(res.r), "1") == 0;
    return {};
}

LedgerResult PgLedger::ImportList(const std::string& sha256, const std::string& name, size_t count,
                                  const std::function<std::u16string_view(size_t)>& idAt,
                                  const std::function<uint32_t(size_t)>& lineAt, bool* added) {
    const char* what = "cannot import the list";
    bool made = false;
    LedgerResult r = Run(what, true, [&](Db& db) {
        made = false;
        PgResult res;
        LedgerResult q = db.Exec(what,
                                 "INSERT INTO lists(sha256, name, entries, station, time) "
                                 "VALUES($1, $2, $3, $4, $5) ON CONFLICT DO NOTHING",
                                 {PgText(sha256), PgText(name), std::to_string(count),
                                  PgText(station_), std::to_string(NowMs())},
                                 &res);
        if (!q.ok()) return q;
        if (std::strcmp(PQcmdTuples(res.r), "1") != 0) return LedgerResult{};
        res.Reset(PQexec(db.conn, "COPY list_entries(sha256, pos, line, id) FROM STDIN"));
        if (!res.r || PQresultStatus(res.r) != PGRES_COPY_IN) return db.Failure(res.r, what);
        std::string buf;
        const std::string sha = PgText(sha256);
        bool sent = true;
        for (size_t i = 0; i < count && sent; ++i) {
            AppendCopyField(buf, sha);
            buf += '\t' + std::to_string(i) + '\t' + std::to_string(lineAt(i)) + '\t';
            AppendCopyField(buf, Id8(idAt(i)));
            buf += '\n';
            if (buf.size() >= (1u << 20) || i + 1 == count) {
                sent = PQputCopyData(db.conn, buf.data(), static_cast<int>(buf.size())) == 1;
                buf.clear();
            }
        }
        if (PQputCopyEnd(db.conn, sent ? nullptr : "aborted") != 1)
            return db.Failure(nullptr, what);
        LedgerResult end;
        while (PGresult* raw = PQgetResult(db.conn)) {
            PgResult one;
            one.Reset(raw);
            if (PQresultStatus(raw) != PGRES_COMMAND_OK && end.ok()) end = db.Failure(raw, what);
        }
        if (!end.ok()) return end;
        if (!sent) return db.Failure(nullptr, what);
        made = true;
        return LedgerResult{};
    });
    if (added) *added = r.ok() && made;
    return r;
}

LedgerResult PgLedger::Pools(const IdSource* only, std::vector<PoolStatus>* out) {
    out->clear();
    const char* what = "cannot be read";
    return Run(what, false, [&](Db& db) -> LedgerResult {
        out->clear();
        std::vector<IdSource> sources;
        if (only) {
            sources.push_back(*only);
        } else {
            PgResult res;
            LedgerResult r =
                db.Exec(what,
                        (std::string("SELECT DISTINCT j.source, j.file_sha256, j.file_name, ") +
                         kCleanPrefix + ", " + kCleanSuffix +
                         ", j.direction FROM journal AS j WHERE j.mode = 'write' AND "
                         "j.source IN ('file', 'counter') "
                         "UNION SELECT 'file', sha256, name, '', '', '' FROM lists "
                         "UNION SELECT 'counter', '', '', prefix, suffix, "
                         "CASE WHEN down THEN 'down' ELSE 'up' END FROM counters")
                            .c_str(),
                        {}, &res);
            if (!r.ok()) return r;
            std::map<std::string, IdSource> files;
            std::map<std::tuple<std::string, std::string, bool>, IdSource> counters;
            for (int k = 0; k < res.Rows(); ++k) {
                if (res.Text(k, 0) == "file") {
                    IdSource& s = files[std::string(res.Text(k, 1))];
                    s.kind = IdSource::Kind::File;
                    s.fileSha256 = res.Text(k, 1);
                    if (s.fileName.empty()) s.fileName = res.Text(k, 2);
                } else {
                    const bool down = res.Text(k, 5) == "down";
                    counters[{std::string(res.Text(k, 3)), std::string(res.Text(k, 4)), down}] =
                        IdSource::FromCounter(Utf8ToWide(res.Text(k, 3)),
                                              Utf8ToWide(res.Text(k, 4)), down);
                }
            }
            for (auto& [k, s] : files) sources.push_back(s);
            for (auto& [k, s] : counters) sources.push_back(s);
        }
        for (const IdSource& src : sources) {
            const bool file = src.kind == IdSource::Kind::File;
            PoolStatus st;
            st.source = src;
            if (!file) {
                st.source.prefix = CleanIdPart(src.prefix);
                st.source.suffix = CleanIdPart(src.suffix);
            }
            const std::vector<Param> key =
                file ? std::vector<Param>{PgText(src.fileSha256)}
                     : std::vector<Param>{Id8(st.source.prefix), Id8(st.source.suffix),
                                          src.down ? "down" : "up"};
            const std::string match = file ? std::string("j.source = 'file' AND j.file_sha256 = $1")
                                           : std::string("j.source = 'counter' AND ") +
                                                 kCleanPrefix + " = $1 AND " + kCleanSuffix +
                                                 " = $2 AND j.direction = $3";
            std::map<std::string, StationCounts> stations;
            PgResult res;
            LedgerResult r = db.Exec(what,
                                     "SELECT i.station, i.state, count(*) FROM ids AS i JOIN "
                                     "journal AS j ON j.seq = i.attempt WHERE i.state = ANY($" +
                                         std::to_string(key.size() + 1) + "::smallint[]) AND " +
                                         match + " GROUP BY i.station, i.state",
                                     WithStates(key, StationStates()), &res);
            if (!r.ok()) return r;
            for (int k = 0; k < res.Rows(); ++k) {
                StationCounts& c = stations[std::string(res.Text(k, 0))];
                const auto n = static_cast<uint64_t>(res.Int(k, 2));
                const int64_t state = res.Int(k, 1);
                AddStationCount(state, n, &c);
            }
            r = db.Exec(what,
                        ("SELECT j.station, count(*) FROM journal AS j WHERE j.mode = 'write' AND "
                         "j.reserved AND j.result IS NOT NULL AND j.result <> 0 AND " +
                         match + " GROUP BY j.station")
                            .c_str(),
                        key, &res);
            if (!r.ok()) return r;
            for (int k = 0; k < res.Rows(); ++k)
                stations[std::string(res.Text(k, 0))].failed +=
                    static_cast<uint64_t>(res.Int(k, 1));
            for (auto& [n, c] : stations) {
                c.station = n;
                st.stations.push_back(c);
            }
            if (file) {
                r = db.Exec(what,
                            "SELECT l.name, l.entries, (SELECT count(*) FROM list_entries AS e "
                            "WHERE e.sha256 = l.sha256 AND NOT EXISTS (SELECT 1 FROM ids AS i "
                            "WHERE i.id = e.id AND i.state = ANY($2::smallint[]))) "
                            "FROM lists AS l WHERE l.sha256 = $1",
                            WithStates(key, HeldStates()), &res);
                if (!r.ok()) return r;
                if (res.Rows() > 0) {
                    st.imported = true;
                    if (st.source.fileName.empty()) st.source.fileName = res.Text(0, 0);
                    st.entries = static_cast<uint64_t>(res.Int(0, 1));
                    st.free = static_cast<uint64_t>(res.Int(0, 2));
                }
            } else {
                r = db.Exec(what,
                            "SELECT next FROM counters WHERE prefix = $1 AND suffix = $2 AND "
                            "down = $3",
                            {key[0], key[1], src.down ? "true" : "false"}, &res);
                if (!r.ok()) return r;
                if (res.Rows() > 0) {
                    st.counterKnown = true;
                    const std::u16string next = Utf8ToWide(res.Text(0, 0));
                    if (!next.empty()) st.next = next;
                }
            }
            out->push_back(std::move(st));
        }
        return LedgerResult{};
    });
}

}  // namespace ts
