// The line's web view is served by the Linux build only (its HTTP server
// library is not built for Windows): no view of the stores here.
#include "ledger/LedgerSettings.h"
#include "ledger/LineView.h"

namespace ts {

LedgerResult OpenSqliteLineView(const std::string& path, std::unique_ptr<IdLedger>,
                                std::unique_ptr<LineView>* out) {
    out->reset();
    return LedgerResult::Fail(LedgerStatus::Unsupported,
                              "ledger " + path + ": the line view is not available in this build");
}

LedgerResult OpenPgLineView(const std::string& url, std::unique_ptr<IdLedger>,
                            std::unique_ptr<LineView>* out) {
    out->reset();
    return LedgerResult::Fail(
        LedgerStatus::Unsupported,
        "ledger " + LedgerDisplayName(url) + ": the line view is not available in this build");
}

}  // namespace ts
