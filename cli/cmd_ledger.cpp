// tagsmith-cli ledger status | release ID | confirm ID: the ledger's counts
// by state and its reserved IDs, and the operator's decision on a
// reservation that a run left behind, once the device has been checked:
// released when the device does not hold the ID, confirmed as written when
// it does.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/Cli.h"
#include "cli/CliLedger.h"
#include "ledger/JournalCsv.h"
#include "ledger/LedgerSettings.h"
#include "platform/Codepage.h"
#include "platform/Profile.h"

namespace ts::cli {
namespace {

// The ledger the configuration names, never made here.
std::unique_ptr<IdLedger> OpenExisting(const Context& ctx, bool readOnly) {
    return OpenCommandLedger(ctx, false, readOnly);
}

void PrintRecord(const IdRecord& rec) {
    std::printf("  %s  %s  station %s  device %s%s\n", Safe(WideToUtf8(rec.id)).c_str(),
                FormatUtcMs(rec.timeMs).c_str(), Safe(rec.station).c_str(),
                rec.device.empty() ? "-" : Safe(rec.device).c_str(),
                rec.live ? "  (being written now)" : "");
}

int Status(const Context& ctx) {
    auto ledger = OpenExisting(ctx, true);
    if (!ledger) return kExitFailed;
    StateCounts c;
    std::vector<IdRecord> reserved;
    LedgerResult r = ledger->Counts(&c);
    if (r.ok()) r = ledger->ListReserved(&reserved);
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
        return kExitFailed;
    }
    std::printf("ledger: %s\n", Safe(ledger->Describe()).c_str());
    std::printf(
        "reserved: %llu\nwritten: %llu\nverified: %llu\nreleased: %llu\nin doubt: %llu\n"
        "replaced: %llu\n",
        static_cast<unsigned long long>(c.reserved), static_cast<unsigned long long>(c.written),
        static_cast<unsigned long long>(c.verified), static_cast<unsigned long long>(c.released),
        static_cast<unsigned long long>(c.inDoubt), static_cast<unsigned long long>(c.replaced));
    for (const IdState state : {IdState::Reserved, IdState::InDoubt}) {
        bool first = true;
        for (const IdRecord& rec : reserved) {
            if (rec.state != state) continue;
            if (first)
                std::puts(state == IdState::Reserved
                              ? "reserved IDs (check the device, then: tagsmith-cli ledger "
                                "confirm ID if it holds it, else tagsmith-cli ledger release ID):"
                              : "IDs in doubt (sent, but the write's outcome was lost; read the "
                                "device, then: tagsmith-cli ledger confirm ID if it holds it, "
                                "else tagsmith-cli ledger release ID):");
            first = false;
            PrintRecord(rec);
        }
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

// Releases or confirms one reserved or in-doubt ID; nothing changes unless it
// is one of those.
int Settle(const Context& ctx, const std::string& id, bool confirm) {
    auto ledger = OpenExisting(ctx, false);
    if (!ledger) return kExitFailed;
    IdRecord was;
    const std::u16string wide = Utf8ToWide(id);
    const LedgerResult r =
        confirm ? ledger->ConfirmReserved(wide, &was) : ledger->ReleaseReserved(wide, &was);
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
        return kExitFailed;
    }
    std::printf("%s %s (%s %s, station %s, device %s)\n",
                confirm ? "confirmed as written" : "released", Safe(id).c_str(),
                was.state == IdState::InDoubt ? "in doubt since" : "reserved",
                FormatUtcMs(was.timeMs).c_str(), Safe(was.station).c_str(),
                was.device.empty() ? "-" : Safe(was.device).c_str());
    return kExitOk;
}

}  // namespace

int CmdLedger(Context& ctx) {
    const auto& a = ctx.args;
    if (a.size() == 1 && a[0] == "status") return Status(ctx);
    if (a.size() == 2 && a[0] == "release") return Settle(ctx, a[1], false);
    if (a.size() == 2 && a[0] == "confirm") return Settle(ctx, a[1], true);
    std::fputs(
        "usage: tagsmith-cli ledger status\n       tagsmith-cli ledger release ID\n"
        "       tagsmith-cli ledger confirm ID\n",
        stderr);
    return kExitUsage;
}

}  // namespace ts::cli
