// The line view of the line's shared ledger: a connection of its own,
// read-only by the server's rule (default_transaction_read_only), whose
// queries wait at most LineView::kQueryTimeoutMs for the server, also for
// one that stopped answering without closing the connection. Server texts
// are never passed on: they could name the connection's user.
#include <libpq-fe.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>

#include "ledger/JournalColumns.h"
#include "ledger/LineView.h"

namespace ts {

using namespace store;

namespace {

// The read columns, then whether the attempt reserved its ID.
constexpr int kReservedAt = JournalCount(kRead);

struct Cursor {
    PGresult* res;
    int row;
    int64_t Int(int i) const { return std::strtoll(PQgetvalue(res, row, i), nullptr, 10); }
    std::string_view Text(int i) const {
        return std::string_view(PQgetvalue(res, row, i),
                                static_cast<size_t>(PQgetlength(res, row, i)));
    }
    bool Null(int i) const { return PQgetisnull(res, row, i) != 0; }
    bool Flag(int i) const { return PQgetvalue(res, row, i)[0] == 't'; }
};

class PgLineView final : public LineView {
public:
    PgLineView(std::string url, std::unique_ptr<IdLedger> ledger)
        : LineView(std::move(ledger)), url_(std::move(url)) {}
    ~PgLineView() override { Drop(); }

protected:
    LedgerResult RowsInWindow(int64_t fromMs, int64_t toMs, int64_t afterSeq, size_t limit,
                              const RowSink& sink) override {
        const std::string sql = "SELECT " + Columns() +
                                " FROM tagsmith.journal WHERE time >= $1 AND time < $2 AND "
                                "seq > $3 ORDER BY seq LIMIT $4";
        return Query(sql,
                     {std::to_string(fromMs), std::to_string(toMs), std::to_string(afterSeq),
                      std::to_string(limit)},
                     sink);
    }

    LedgerResult RowsOfId(std::string_view id8, int64_t afterSeq, size_t limit,
                          const RowSink& sink) override {
        const std::string sql = "SELECT " + Columns() +
                                " FROM tagsmith.journal WHERE id = $1 AND seq > $2 ORDER BY seq "
                                "LIMIT $3";
        return Query(sql, {std::string(id8), std::to_string(afterSeq), std::to_string(limit)},
                     sink);
    }

private:
    static std::string Columns() { return JournalColumnList(kRead) + ", reserved"; }

    void Drop() {
        if (conn_) PQfinish(conn_);
        conn_ = nullptr;
    }

    LedgerResult Fail(LedgerStatus s, const std::string& what) {
        Drop();
        return LedgerResult::Fail(s, "ledger " + Describe() + ": " + what);
    }

    LedgerResult Connect() {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK) return {};
        Drop();
        const std::string options = "-c default_transaction_read_only=on -c statement_timeout=" +
                                    std::to_string(kQueryTimeoutMs);
        const char* keys[] = {
            "dbname",          "connect_timeout",     "options",          "application_name",
            "keepalives_idle", "keepalives_interval", "keepalives_count", nullptr};
        const char* values[] = {url_.c_str(), "3", options.c_str(), "tagsmith-serve", "5",
                                "2",          "2", nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK)
            return Fail(LedgerStatus::Offline, "the server cannot be reached");
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        return {};
    }

    LedgerResult Query(const std::string& sql, const std::vector<std::string>& params,
                       const RowSink& sink) {
        LedgerResult r = Connect();
        if (!r.ok()) return r;
        std::vector<const char*> values;
        for (const std::string& p : params) values.push_back(p.c_str());
        if (!PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0))
            return Fail(LedgerStatus::Offline, "the server cannot be reached");
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueryTimeoutMs + 1000);
        PGresult* res = nullptr;
        bool failed = false;
        LedgerStatus failure = LedgerStatus::IoError;
        for (;;) {
            while (PQisBusy(conn_)) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0) {
                    if (res) PQclear(res);
                    return Fail(LedgerStatus::Busy, "the server did not answer within " +
                                                        std::to_string(kQueryTimeoutMs / 1000) +
                                                        " s");
                }
                pollfd p{PQsocket(conn_), POLLIN, 0};
                if (poll(&p, 1, static_cast<int>(left)) < 0 || !PQconsumeInput(conn_)) {
                    if (res) PQclear(res);
                    return Fail(LedgerStatus::Offline, "the server cannot be reached");
                }
            }
            PGresult* next = PQgetResult(conn_);
            if (!next) break;
            const ExecStatusType st = PQresultStatus(next);
            if (st == PGRES_TUPLES_OK && !failed) {
                if (res) PQclear(res);
                res = next;
                continue;
            }
            if (st != PGRES_TUPLES_OK) {
                failed = true;
                const char* code = PQresultErrorField(next, PG_DIAG_SQLSTATE);
                const std::string state = code ? code : "";
                // 57014: statement_timeout; 08xxx and 57P0x: the connection or server.
                failure = state == "57014" ? LedgerStatus::Busy
                          : state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0
                              ? LedgerStatus::Offline
                              : LedgerStatus::IoError;
            }
            PQclear(next);
        }
        if (failed || !res) {
            if (res) PQclear(res);
            if (PQstatus(conn_) != CONNECTION_OK) failure = LedgerStatus::Offline;
            return Fail(failure, failure == LedgerStatus::Busy
                                     ? "the query took longer than " +
                                           std::to_string(kQueryTimeoutMs / 1000) + " s"
                                 : failure == LedgerStatus::Offline
                                     ? std::string("the server cannot be reached")
                                     : std::string("cannot be read"));
        }
        JournalRow row;
        const int rows = PQntuples(res);
        for (int i = 0; i < rows; ++i) {
            const Cursor c{res, i};
            ReadJournalRow(c, row);
            sink(row, c.Flag(kReservedAt));
        }
        PQclear(res);
        return {};
    }

    std::string url_;
    PGconn* conn_ = nullptr;
};

}  // namespace

LedgerResult OpenPgLineView(const std::string& url, std::unique_ptr<IdLedger> ledger,
                            std::unique_ptr<LineView>* out) {
    *out = std::make_unique<PgLineView>(url, std::move(ledger));
    return {};
}

}  // namespace ts
