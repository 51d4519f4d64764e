#pragma once
// Statement and transaction helpers shared by the local ledger's sources.
// Internal to the ledger layer; SQLite's own header stays in the sources.
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace ts::sqlite {

// A statement prepared for one call.
struct Owned {
    sqlite3_stmt* s = nullptr;
    ~Owned();
};

// Rolls back a transaction that was not committed.
struct TxnGuard {
    sqlite3* db;
    ~TxnGuard();
};

// A text column; empty for NULL.
std::string_view Text(sqlite3_stmt* s, int col);

// Binds a copy of `t` to parameter `i`.
void Bind(sqlite3_stmt* s, int i, std::string_view t);

}  // namespace ts::sqlite
