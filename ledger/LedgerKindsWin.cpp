// Debian builds neither SQLite nor libpq for mingw-w64: both kinds of ledger
// are refused with a clear message, and `ledger=off` works as everywhere.
#include "ledger/LedgerKinds.h"
#include "ledger/LedgerSettings.h"

namespace ts {

LedgerResult OpenLocalLedger(const std::string& path, const LedgerOpenOptions&,
                             std::unique_ptr<IdLedger>* out, bool* created) {
    out->reset();
    if (created) *created = false;
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + path + ": local ledgers are not available in this build");
}

LedgerResult OpenSharedLedger(const std::string& url, const LedgerOpenOptions&,
                              std::unique_ptr<IdLedger>* out, bool* created) {
    out->reset();
    if (created) *created = false;
    return LedgerResult::Fail(
        LedgerStatus::Unsupported,
        "ledger " + LedgerDisplayName(url) + ": shared ledgers are not available in this build");
}

}  // namespace ts
