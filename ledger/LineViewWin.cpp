// Debian builds neither SQLite nor libpq for mingw-w64: there is no ledger
// to view in this build.
#include "ledger/LedgerSettings.h"
#include "ledger/LineView.h"

namespace ts {

LedgerResult OpenSqliteLineView(const std::string& path, std::unique_ptr<IdLedger>,
                                std::unique_ptr<LineView>* out) {
    out->reset();
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + path + ": local ledgers are not available in this build");
}

LedgerResult OpenPgLineView(const std::string& url, std::unique_ptr<IdLedger>,
                            std::unique_ptr<LineView>* out) {
    out->reset();
    return LedgerResult::Fail(
        LedgerStatus::Unsupported,
        "ledger " + LedgerDisplayName(url) + ": shared ledgers are not available in this build");
}

}  // namespace ts
