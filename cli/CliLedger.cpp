#include "cli/CliLedger.h"

#include <cstdio>

#include "cli/CliSupport.h"
#include "ledger/LedgerSettings.h"
#include "platform/Codepage.h"

namespace ts::cli {

std::unique_ptr<IdLedger> OpenCommandLedger(const Context& ctx, bool create, bool readOnly) {
    const LedgerSettings settings = ctx.Ledger();
    if (settings.off) {
        // Named where the operator set it, so that it can be undone there.
        std::fprintf(stderr, "tagsmith-cli: the ledger is off (%s)\n",
                     ctx.ledger ? "--ledger off" : "ledger=off in tagsmith.cfg");
        return nullptr;
    }
    LedgerOpenOptions options;
    options.create = create;
    options.readOnly = readOnly;
    std::unique_ptr<IdLedger> ledger;
    const LedgerResult r = OpenLedger(settings, options, &ledger);
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
        return nullptr;
    }
    return ledger;
}

std::string Safe(std::string_view text) { return PrintableId(Utf8ToWide(text)); }

}  // namespace ts::cli
