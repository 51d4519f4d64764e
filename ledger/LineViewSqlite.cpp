// The line view of a station's ledger file: a read-only connection of its
// own beside the read-only ledger object, whose queries are given up after
// LineView::kQueryTimeoutMs.
#include <sqlite3.h>

#include <chrono>

#include "ledger/JournalColumns.h"
#include "ledger/LineView.h"
#include "ledger/SqliteSupport.h"

namespace ts {

using namespace store;

namespace {

// The read columns, then whether the attempt reserved its ID.
constexpr int kReservedAt = JournalCount(kRead);

struct Cursor {
    sqlite3_stmt* s;
    int64_t Int(int i) const { return sqlite3_column_int64(s, i); }
    std::string_view Text(int i) const { return sqlite::Text(s, i); }
    bool Null(int i) const { return sqlite3_column_type(s, i) == SQLITE_NULL; }
    bool Flag(int i) const { return sqlite3_column_int(s, i) != 0; }
};

class SqliteLineView final : public LineView {
public:
    SqliteLineView(std::string path, std::unique_ptr<IdLedger> ledger)
        : LineView(std::move(ledger)), path_(std::move(path)) {}
    ~SqliteLineView() override { sqlite3_close_v2(db_); }

    LedgerResult Connect() {
        int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be opened");
        sqlite3_busy_timeout(db_, kQueryTimeoutMs);
        sqlite3_progress_handler(db_, 10000, &SqliteLineView::Progress, this);
        sqlite::Owned q;
        rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &q.s, nullptr);
        if (rc == SQLITE_OK && (rc = sqlite3_step(q.s)) == SQLITE_ROW)
            version_ = sqlite3_column_int(q.s, 0);
        if (rc != SQLITE_ROW) return Error(rc, "cannot be read");
        return {};
    }

protected:
    LedgerResult RowsInWindow(int64_t fromMs, int64_t toMs, int64_t afterSeq, size_t limit,
                              const RowSink& sink) override {
        // Through the time index: the rows of a window, not the journal.
        const std::string sql = "SELECT " + Columns() +
                                " FROM journal INDEXED BY journal_time WHERE time >= ?1 AND "
                                "time < ?2 AND seq > ?3 ORDER BY seq LIMIT ?4";
        return Query(
            sql,
            [&](sqlite3_stmt* s) {
                sqlite3_bind_int64(s, 1, fromMs);
                sqlite3_bind_int64(s, 2, toMs);
                sqlite3_bind_int64(s, 3, afterSeq);
                sqlite3_bind_int64(s, 4, static_cast<int64_t>(limit));
            },
            sink);
    }

    LedgerResult RowsOfId(std::string_view id8, int64_t afterSeq, size_t limit,
                          const RowSink& sink) override {
        const std::string sql = "SELECT " + Columns() +
                                " FROM journal WHERE id = ?1 AND seq > ?2 ORDER BY seq LIMIT ?3";
        return Query(
            sql,
            [&](sqlite3_stmt* s) {
                sqlite::Bind(s, 1, id8);
                sqlite3_bind_int64(s, 2, afterSeq);
                sqlite3_bind_int64(s, 3, static_cast<int64_t>(limit));
            },
            sink);
    }

private:
    // The first schema did not tell passed-over IDs apart: every write counts.
    std::string Columns() const {
        return JournalColumnList(kRead) + (version_ >= 2 ? ", reserved" : ", 1");
    }

    static int Progress(void* self) {
        auto* v = static_cast<SqliteLineView*>(self);
        return std::chrono::steady_clock::now() > v->deadline_ ? 1 : 0;
    }

    LedgerResult Error(int rc, const char* what) const {
        const int primary = rc & 0xFF;
        LedgerStatus status = LedgerStatus::IoError;
        std::string detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        if (primary == SQLITE_INTERRUPT) {
            status = LedgerStatus::Busy;
            detail = "the query took longer than " + std::to_string(kQueryTimeoutMs / 1000) + " s";
        } else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
            status = LedgerStatus::Busy;
            detail = "locked by another program";
        } else if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
            status = LedgerStatus::Damaged;
            detail = "damaged or not a ledger (" + detail + ")";
        }
        return LedgerResult::Fail(status, "ledger " + path_ + ": " + what + ": " + detail);
    }

    LedgerResult Query(const std::string& sql, const std::function<void(sqlite3_stmt*)>& bind,
                       const RowSink& sink) {
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueryTimeoutMs);
        sqlite::Owned q;
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &q.s, nullptr);
        if (rc != SQLITE_OK) return Error(rc, "cannot be read");
        bind(q.s);
        JournalRow row;
        const Cursor c{q.s};
        while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
            ReadJournalRow(c, row);
            sink(row, c.Flag(kReservedAt));
        }
        if (rc != SQLITE_DONE) return Error(rc, "cannot be read");
        return {};
    }

    std::string path_;
    sqlite3* db_ = nullptr;
    int version_ = 0;
    std::chrono::steady_clock::time_point deadline_{};
};

}  // namespace

LedgerResult OpenSqliteLineView(const std::string& path, std::unique_ptr<IdLedger> ledger,
                                std::unique_ptr<LineView>* out) {
    auto view = std::make_unique<SqliteLineView>(path, std::move(ledger));
    LedgerResult r = view->Connect();
    if (!r.ok()) return r;
    *out = std::move(view);
    return {};
}

}  // namespace ts
