#include "deviceops/LedgerLink.h"

#include <chrono>
#include <thread>

#include "ledger/Sha256.h"
#include "platform/Codepage.h"
#include "platform/Files.h"
#include "platform/KillPoint.h"

namespace ts {

namespace {

int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A confirmation is the device's word that it holds the ID: a server that is
// away for a moment must not leave that ID reserved for the operator.
LedgerResult RetryWhileOffline(const LedgerLink& link, const std::function<LedgerResult()>& op) {
    LedgerResult r = op();
    for (int i = 0; i < link.confirmRetries && r.status == LedgerStatus::Offline; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(link.retryDelayMs));
        r = op();
    }
    return r;
}

}  // namespace

void LedgerLink::Attach(IdLedger* ledger, bool verify) {
    ledger_ = ledger;
    verify_ = verify;
    fault_.clear();
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

WriteGuard::WriteGuard(LedgerLink& link, Attempt attempt, bool rewrite)
    : link_(link), attempt_(std::move(attempt)), rewrite_(rewrite), startedMs_(SteadyNowMs()) {
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
    KillPoint("reserved");
    return true;
}

bool WriteGuard::Confirmed() {
    KillPoint("confirmed");
    if (phase_ != Phase::Reserved || link_.Verify()) return true;
    phase_ = Phase::Done;
    problem_ = RetryWhileOffline(link_, [&] { return link_.Ledger()->MarkWritten(reservation_); });
    return problem_.ok();
}

bool WriteGuard::Verified() {
    if (phase_ != Phase::Reserved) return true;
    phase_ = Phase::Done;
    problem_ = RetryWhileOffline(link_, [&] { return link_.Ledger()->MarkVerified(reservation_); });
    return problem_.ok();
}

bool WriteGuard::Mismatch(int result) {
    if (phase_ != Phase::Reserved) return true;
    phase_ = Phase::Done;
    problem_ = link_.Ledger()->KeepReserved(reservation_, result);
    return problem_.ok();
}

void WriteGuard::Finish(int result) {
    IdLedger* ledger = link_.Ledger();
    if (!ledger) return;
    if (phase_ == Phase::Reserved) {
        phase_ = Phase::Done;
        // Success without a confirmation cannot happen; if it did, the ID
        // stays reserved rather than be offered again.
        if (result != 0) ledger->Release(reservation_, result);
        return;
    }
    // A write refused before anything was sent (bad ID, configuration,
    // ledger) is an attempt all the same; a declined rewrite is none.
    if (phase_ == Phase::Start && result != 0)
        ledger->RecordAttempt(attempt_, result, SteadyNowMs() - startedMs_, false);
}

}  // namespace ts
