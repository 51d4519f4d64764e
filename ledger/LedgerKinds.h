#pragma once
// The kinds of ledger a build can open, one source per system: the Linux
// build has SQLite and libpq, the Windows build neither.
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
