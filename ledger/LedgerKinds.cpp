#include "ledger/LedgerKinds.h"

#include "ledger/PgLedger.h"
#include "ledger/SqliteLedger.h"

namespace ts {

LedgerResult OpenLocalLedger(const std::string& path, const LedgerOpenOptions& options,
                             std::unique_ptr<IdLedger>* out, bool* created) {
    std::unique_ptr<SqliteLedger> ledger;
    LedgerResult r = SqliteLedger::Open(path, options, &ledger, created);
    if (r.ok()) *out = std::move(ledger);
    return r;
}

LedgerResult OpenSharedLedger(const std::string& url, const LedgerOpenOptions& options,
                              std::unique_ptr<IdLedger>* out, bool* created) {
    std::unique_ptr<PgLedger> shared;
    LedgerResult r = PgLedger::Open(url, options, &shared, created);
    if (r.ok()) *out = std::move(shared);
    return r;
}

}  // namespace ts
