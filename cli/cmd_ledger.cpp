// tagsmith-cli ledger status | release ID | confirm ID: the ledger's counts
// by state and its reserved IDs, and the operator's decision on a
// reservation that a run left behind, once the device has been checked:
// released when the device does not hold the ID, confirmed as written when
// it does.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/Cli.h"
#include "cli/CliLedger.h"
#include "ledger/JournalCsv.h"
#include "ledger/LedgerKinds.h"
#include "ledger/LedgerMark.h"
#include "ledger/LedgerSettings.h"
#include "platform/Codepage.h"
#include "platform/Files.h"
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

// A consistent single-file copy of the ledger, taken while stations work.
int Backup(const Context& ctx, const std::string& file) {
    auto ledger = OpenExisting(ctx, true);
    if (!ledger) return kExitFailed;
    const LedgerResult r = ledger->Backup(file);
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
        return kExitFailed;
    }
    LedgerPosition pos;
    ledger->Position(&pos);
    std::printf("backed up %s to %s (up to change %lld of %s)\n", Safe(ledger->Describe()).c_str(),
                Safe(file).c_str(), static_cast<long long>(pos.newest),
                FormatUtcMs(pos.newestMs).c_str());
    return kExitOk;
}

std::string Stamp() {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    std::string s = FormatUtcMs(now);
    for (char& c : s)
        if (c == ':') c = '-';
    return s;
}

// The ledger file now in place, kept under another name; empty when there
// was none. False when it could not be moved.
bool SetAside(const std::string& path, const char* why, std::string* kept) {
    kept->clear();
    files::Status st;
    if (!files::StatPath(path, false, &st)) return true;
    *kept = path + "." + why + "-" + Stamp();
    for (const char* ext : {"", "-wal", "-shm"}) {
        const std::string from = path + ext;
        if (*ext && !files::StatPath(from, false, &st)) continue;
        const int err = files::RenameNoReplace(from, *kept + ext);
        if (err != 0) {
            std::fprintf(stderr, "tagsmith-cli: cannot keep %s as %s: %s\n", Safe(from).c_str(),
                         Safe(*kept + ext).c_str(), std::strerror(err));
            return false;
        }
    }
    return true;
}

// What the mark said was written last, for what adopting or starting anew
// loses.
void SayMark(const LedgerMark* mark) {
    if (!mark) return;
    std::printf("this station's last change was %lld of %s in %s\n",
                static_cast<long long>(mark->newest), FormatUtcMs(mark->newestMs).c_str(),
                Safe(mark->location).c_str());
}

// The operator's way out when the station refuses its ledger: a backup
// becomes the ledger, or a new one is started.
int Adopt(const Context& ctx, const std::string* backup) {
    const LedgerSettings settings = ctx.Ledger();
    if (settings.off || IsSharedLedger(settings.location)) {
        std::fputs("tagsmith-cli: only a ledger file can be adopted or started anew\n", stderr);
        return kExitFailed;
    }
    const std::string markPath = ctx.appDir + kLedgerMarkName;
    LedgerMark mark;
    std::string markWhy;
    const MarkRead markRead = ReadLedgerMark(markPath, &mark, &markWhy);
    const bool marked = markRead == MarkRead::Read;
    std::unique_ptr<IdLedger> from;
    LedgerPosition pos;
    if (backup) {
        LedgerOpenOptions o;
        o.readOnly = true;
        o.create = false;
        LedgerResult r = OpenLocalLedger(*backup, o, &from, nullptr);
        if (r.ok()) r = from->Position(&pos);
        if (!r.ok()) {
            std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
            return kExitFailed;
        }
    }
    std::string kept;
    if (!SetAside(settings.location, backup ? "before-adopt" : "before-new", &kept))
        return kExitFailed;
    if (!kept.empty()) std::printf("the ledger that was there is kept as %s\n", Safe(kept).c_str());
    SayMark(marked ? &mark : nullptr);
    if (markRead == MarkRead::Damaged)
        std::printf(
            "this station's mark %s could not be read (%s): what it wrote last is unknown\n",
            Safe(markPath).c_str(), Safe(markWhy).c_str());
    if (!backup) {
        if (markRead != MarkRead::None) {
            const int err = files::Remove(markPath);
            if (err != 0 && err != ENOENT) {
                std::fprintf(stderr, "tagsmith-cli: cannot remove %s: %s\n", Safe(markPath).c_str(),
                             std::strerror(err));
                return kExitFailed;
            }
        }
        std::printf(
            "a new ledger is made at %s when a station starts; the IDs written before "
            "are not in it and may be given out again: continue with a new ID list or "
            "counter range\n",
            Safe(settings.location).c_str());
        return kExitOk;
    }
    const LedgerResult r = from->Backup(settings.location);
    if (!r.ok()) {
        std::fprintf(stderr, "tagsmith-cli: %s\n", Safe(r.message).c_str());
        return kExitFailed;
    }
    const int err = WriteLedgerMark(
        markPath, LedgerMark{settings.location, pos.identity, pos.newest, pos.newestMs});
    if (err != 0 && !pos.identity.empty()) {
        std::fprintf(stderr, "tagsmith-cli: cannot write %s: %s\n", Safe(markPath).c_str(),
                     std::strerror(err));
        return kExitFailed;
    }
    std::printf("adopted %s as %s, up to change %lld of %s\n", Safe(*backup).c_str(),
                Safe(settings.location).c_str(), static_cast<long long>(pos.newest),
                FormatUtcMs(pos.newestMs).c_str());
    if (markRead == MarkRead::Damaged ||
        (marked && (mark.identity != pos.identity || mark.newest > pos.newest)))
        std::puts(
            "IDs reserved or written after the backup are not in it and may be given out "
            "again: load them back from the journal exports of that time, or continue "
            "with a new ID list or counter range");
    return kExitOk;
}

}  // namespace

int CmdLedger(Context& ctx) {
    const auto& a = ctx.args;
    if (a.size() == 1 && a[0] == "status") return Status(ctx);
    if (a.size() == 2 && a[0] == "release") return Settle(ctx, a[1], false);
    if (a.size() == 2 && a[0] == "confirm") return Settle(ctx, a[1], true);
    if (a.size() == 2 && a[0] == "backup") return Backup(ctx, a[1]);
    if (a.size() == 2 && a[0] == "adopt") return Adopt(ctx, &a[1]);
    if (a.size() == 1 && a[0] == "new") return Adopt(ctx, nullptr);
    std::fputs(
        "usage: tagsmith-cli ledger status\n       tagsmith-cli ledger release ID\n"
        "       tagsmith-cli ledger confirm ID\n       tagsmith-cli ledger backup FILE\n"
        "       tagsmith-cli ledger adopt FILE\n       tagsmith-cli ledger new\n",
        stderr);
    return kExitUsage;
}

}  // namespace ts::cli
