#include "deviceops/LedgerLink.h"

#include <algorithm>
#include <chrono>

#include "ledger/Sha256.h"
#include "platform/Codepage.h"
#include "platform/Files.h"
#include "platform/KillPoint.h"

namespace ts {

namespace {

std::u16string AwayLine(const LedgerResult& answer) {
    return u"ID记录服务器无法连接，自动烧写已暂停，正在重试：" + Utf8ToWide(answer.message);
}
constexpr char16_t kBackLine[] = u"ID记录服务器已恢复连接，自动烧写继续";

int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void LedgerLink::Attach(IdLedger* ledger, bool verify) {
    ledger_ = ledger;
    verify_ = verify;
    fault_.clear();
    serverFault_ = false;
    markFault_ = false;
    markPath_.clear();
}

void LedgerLink::NoteChange() {
    if (markPath_.empty() || !ledger_) return;
    LedgerPosition pos;
    if (!ledger_->Position(&pos).ok() || pos.identity.empty()) return;
    // Written after the ledger's commit, so never ahead of it; a mark that
    // could not be written lags, which only makes the check milder.
    WriteLedgerMark(markPath_, LedgerMark{markLocation_, pos.identity, pos.newest, pos.newestMs});
}

void LedgerLink::Own(std::unique_ptr<IdLedger> ledger, bool verify) {
    owned_ = std::move(ledger);
    Attach(owned_.get(), verify);
}

IdSource LedgerLink::SourceOf(const IdOrigin& origin) {
    switch (origin.kind) {
        case IdOrigin::Kind::None:
            return {};
        case IdOrigin::Kind::Scan:
            return IdSource::FromScan();
        case IdOrigin::Kind::Counter:
            return IdSource::FromCounter(origin.prefix, origin.suffix, origin.down);
        case IdOrigin::Kind::File:
            break;
    }
    const std::string path = WideToUtf8(origin.filePath);
    // The list in memory is what was loaded; a file changed since still gets
    // the digest of what is there now, which is as close as can be told.
    files::Status st;
    std::string sha;
    if (files::StatPath(path, true, &st)) {
        Digest& d = digests_[origin.filePath];
        const int64_t mtimeNs = st.mtimeNs;
        if (d.size != static_cast<decltype(d.size)>(st.size) || d.mtimeNs != mtimeNs) {
            std::string error;
            d.sha256.clear();
            if (!Sha256OfFile(path, &d.sha256, &error)) d.sha256.clear();
            d.size = static_cast<decltype(d.size)>(st.size);
            d.mtimeNs = mtimeNs;
        }
        sha = d.sha256;
    }
    return IdSource::FromFile(sha, path, origin.line);
}

bool OfflinePause::Again(const LedgerResult& answer) {
    if (answer.status == LedgerStatus::Offline && mayWait_) {
        if (!paused_) {
            paused_ = true;
            log_(AwayLine(answer));
        }
        if (link_.waitOffline()) return true;
        paused_ = false;  // a stop: the caller reports the failure
        return false;
    }
    if (paused_) {
        paused_ = false;
        log_(kBackLine);
    }
    return false;
}

WriteGuard::WriteGuard(LedgerLink& link, Attempt attempt, bool rewrite, bool automatic)
    : link_(link),
      attempt_(std::move(attempt)),
      rewrite_(rewrite),
      automatic_(automatic),
      startedMs_(SteadyNowMs()) {
    link_.lastTaken = false;
}

bool WriteGuard::Reserve() {
    KillPoint("reserve");
    IdLedger* ledger = link_.Ledger();
    if (!ledger) return true;
    problem_ = ledger->Reserve(attempt_, rewrite_, &reservation_);
    status_ = problem_.status;
    if (!problem_.ok()) {
        link_.lastTaken = Taken();
        return false;
    }
    phase_ = Phase::Reserved;
    link_.NoteChange();
    KillPoint("reserved");
    return true;
}

bool WriteGuard::Confirmed() {
    KillPoint("confirmed");
    if (phase_ != Phase::Reserved || link_.Verify()) return true;
    phase_ = Phase::Done;
    problem_ = Confirm([&] { return link_.Ledger()->MarkWritten(reservation_); });
    return problem_.ok();
}

bool WriteGuard::Verified() {
    if (phase_ != Phase::Reserved) return true;
    phase_ = Phase::Done;
    problem_ = Confirm([&] { return link_.Ledger()->MarkVerified(reservation_); });
    return problem_.ok();
}

// A confirmation is the device's word that it holds the ID: a server that is
// away must not leave that ID reserved for the operator. Automatic writing
// waits for it as it waits before a reservation; otherwise a few tries.
LedgerResult WriteGuard::Confirm(const std::function<LedgerResult()>& op) {
    const bool waits = automatic_ && link_.waitOffline;
    OfflinePause pause(link_, waits, [this](const std::u16string& line) {
        if (log) log(line);
    });
    LedgerResult r = op();
    for (int tries = 0; r.status == LedgerStatus::Offline; ++tries) {
        if (waits ? !pause.Again(r) : tries >= link_.confirmRetries) break;
        if (!waits && link_.sleep)
            link_.sleep(static_cast<uint32_t>(std::max(link_.retryDelayMs, 0)));
        r = op();
    }
    if (r.status != LedgerStatus::Offline) pause.Again(r);  // the resume line, after a pause
    return r;
}

bool WriteGuard::Mismatch(int result) {
    if (phase_ != Phase::Reserved) return true;
    phase_ = Phase::Done;
    problem_ = link_.Ledger()->KeepReserved(reservation_, result);
    return problem_.ok();
}

bool WriteGuard::InDoubt() {
    if (!link_.Ledger() || phase_ != Phase::Reserved || inDoubt_) return true;
    problem_ = link_.Ledger()->MarkInDoubt(reservation_);
    inDoubt_ = problem_.ok();
    return inDoubt_;
}

bool WriteGuard::ReadBack(int result) {
    if (phase_ != Phase::Reserved) return true;
    phase_ = Phase::Done;
    problem_ = link_.Ledger()->MarkReadBack(reservation_, result);
    return problem_.ok();
}

void WriteGuard::Finish(int result) {
    IdLedger* ledger = link_.Ledger();
    if (!ledger) return;
    if (phase_ == Phase::Reserved) {
        // Success without a confirmation cannot happen; if it did, the ID
        // stays reserved rather than be offered again.
        if (result == 0) {
            phase_ = Phase::Done;
            return;
        }
        // Once a block went out the device may hold the ID: only a read of
        // the device that found another ID or none gives it back.
        if (sent_ && !notOnDevice_) {
            InDoubt();
            ledger->KeepReserved(reservation_, result);
        } else {
            ledger->Release(reservation_, result);
        }
        phase_ = Phase::Done;
        return;
    }
    // A write refused before anything was sent (bad ID, configuration,
    // ledger) is an attempt all the same; a declined rewrite is none. A
    // ledger another program holds locked had its one bounded wait in the
    // reservation: its journal row would wait for the same lock again.
    if (phase_ == Phase::Start && result != 0 && status_ != LedgerStatus::Busy)
        ledger->RecordAttempt(attempt_, result, SteadyNowMs() - startedMs_, false);
}

}  // namespace ts
