#include "deviceops/Station.h"

#include <ctime>
#include <memory>
#include <vector>

#include "ledger/JournalCsv.h"
#include "ledger/LedgerMark.h"
#include "ledger/LedgerSettings.h"
#include "platform/Codepage.h"
#include "platform/LocalSystem.h"

namespace ts {

namespace {

void OpenStationLedger(TagsmithCore& core, std::optional<bool> verify,
                       const std::optional<std::string>& location) {
    LedgerSettings settings = ReadLedgerSettings(core.ConfigPath(), core.ExeDir());
    if (location) OverrideLedgerLocation(settings, *location);
    const bool check = verify.value_or(settings.verify);
    LedgerLink& link = core.Ledger();
    if (settings.off) {
        link.Own(nullptr, check);
        return;
    }
    // A station that wrote with a ledger file never makes a new empty one
    // in its place, nor uses another or an older one, silently.
    const bool local = !IsSharedLedger(settings.location);
    const std::string markPath = core.ExeDir() + kLedgerMarkName;
    LedgerMark mark;
    std::string markWhy;
    const MarkRead markRead = local ? ReadLedgerMark(markPath, &mark, &markWhy) : MarkRead::None;
    const bool marked = markRead == MarkRead::Read;
    LedgerOpenOptions options;
    if (marked) options.create = false;
    std::unique_ptr<IdLedger> ledger;
    LedgerResult r;
    bool markFault = markRead == MarkRead::Damaged;
    if (markFault) {
        r = DamagedLedgerMark(markPath, markWhy);
    } else {
        r = OpenLedger(settings, options, &ledger);
        markFault = marked && r.status == LedgerStatus::NotFound;
        if (markFault) r = MissingMarkedLedger(mark, settings.location);
    }
    LedgerPosition pos;
    if (r.ok() && local && ledger->Position(&pos).ok() && marked) {
        r = CheckLedgerMark(mark, settings.location, pos);
        markFault = !r.ok();
    }
    if (!r.ok()) {
        link.Own(nullptr, check);
        link.SetFault(LedgerText(r.message), IsSharedLedger(settings.location), markFault);
        core.AppendLog(u"无法使用ID记录：" + link.Fault());
        core.AppendLog(u"自动烧写不会开始，" + LedgerFaultAdvice(link));
        return;
    }
    link.Own(std::move(ledger), check);
    if (local) link.KeepMark(markPath, settings.location);
    std::vector<IdRecord> stale;
    if (!link.Ledger()->StaleReservations(&stale).ok()) return;
    for (const IdRecord& rec : stale) {
        core.AppendLog(
            std::u16string(rec.state == IdState::InDoubt ? u"烧写结果不确定的ID："
                                                         : u"上次运行遗留的预留ID：") +
            rec.id + u"，设备 " + (rec.device.empty() ? u"-" : LedgerText(rec.device)) +
            u"，时间 " + LocalTimeText(rec.timeMs) +
            u"。该ID不会再被烧写，请检查设备：设备中已有该ID时用 tagsmith-cli ledger confirm "
            u"确认，否则用 tagsmith-cli ledger release 释放");
    }
}

// How long automatic writing waits between tries of a shared ledger's
// server that went away.
constexpr uint32_t kOfflineRetryMs = 1500;

}  // namespace

std::u16string LedgerFaultAdvice(const LedgerLink& link) {
    if (link.FaultOfMark())
        return u"请找回本工位原来的ID记录文件；或用 tagsmith-cli ledger adopt 备份文件 采用备份，"
               u"或用 tagsmith-cli ledger new 开始新的ID记录（两个命令都会说明将丢失什么）";
    return link.FaultOfServer() ? u"请检查ID记录服务器的设置（或在 tagsmith.cfg 中设置 ledger=off）"
                                : u"请检查该文件（或在 tagsmith.cfg 中设置 ledger=off）";
}

std::u16string LedgerText(std::string_view text) {
    std::string safe;
    AppendSafeText(safe, text);
    return Utf8ToWide(safe);
}

std::u16string LocalTimeText(int64_t utcMs) {
    std::tm local{};
    char buf[32];
    if (!LocalCalendarTime(utcMs / 1000, &local) ||
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return Utf8ToWide(FormatUtcMs(utcMs));
    return Utf8ToWide(buf);
}

StationOpen OpenStation(TagsmithCore& core, const StationParts& parts) {
    if (parts.log) core.SetLogView(parts.log);
    if (parts.boxes) core.SetMessageBoxer(parts.boxes);
    if (parts.clock) core.SetClock(parts.clock);
    if (parts.progress) core.SetProgress(parts.progress);
    if (!parts.pages.empty()) core.SetPages(parts.pages);
    if (parts.drives) core.SetDrives(parts.drives);
    if (parts.drain) core.SetDrainHook(parts.drain);
    if (parts.appDir.empty()) {
        core.InitExeDir();
    } else {
        core.InitExeDir(parts.appDir);
    }
    // Automatic writing waits for a shared ledger's server that went away,
    // through the front end's clock, until the operator stops it.
    core.Ledger().waitOffline = [&core] { return core.PauseAutomatic(kOfflineRetryMs); };
    if (parts.ledger) OpenStationLedger(core, parts.verify, parts.ledgerLocation);
    if (parts.loadSettings) parts.loadSettings();
    core.LoadPlugin();
    return core.VolkitTable() ? StationOpen::Ok : StationOpen::NoPlugin;
}

}  // namespace ts
