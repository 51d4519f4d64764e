#pragma once
// The kinds of ledger: a local file (SQLite) and a line's shared one
// (PostgreSQL).
#include <memory>
#include <string>

#include "ledger/IdLedger.h"

namespace ts {

// A ledger file (SQLite).
LedgerResult OpenLocalLedger(const std::string& path, const LedgerOpenOptions& options,
                             std::unique_ptr<IdLedger>* out, bool* created);
// A shared ledger on a PostgreSQL server (postgresql://...).
LedgerResult OpenSharedLedger(const std::string& url, const LedgerOpenOptions& options,
                              std::unique_ptr<IdLedger>* out, bool* created);

}  // namespace ts
