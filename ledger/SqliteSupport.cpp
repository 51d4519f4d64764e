#include "ledger/SqliteSupport.h"

#include <sqlite3.h>

namespace ts::sqlite {

Owned::~Owned() { sqlite3_finalize(s); }

TxnGuard::~TxnGuard() {
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::string_view Text(sqlite3_stmt* s, int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, col));
    if (!p) return {};
    return std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(s, col)));
}

void Bind(sqlite3_stmt* s, int i, std::string_view t) {
    sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
}

}  // namespace ts::sqlite
