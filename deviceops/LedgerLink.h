#pragma once
// The flows' side of the ledger: the ledger the station uses (or none), what
// it knows of the page's source and the device, and the guard one write
// goes through. No Qt, no SQLite: only the IdLedger interface.
//
// A write goes: Reserve before the first block is sent, Sending just before
// it, Confirmed once the device confirmed, then (with verify) Verified or
// Mismatch, and Finish with the flow's result in every case. A write that
// failed before anything was sent gives its ID back; one that failed after
// leaves it in doubt unless a read of the device settled it (ReadBack,
// NotOnDevice). An attempt that never reserved still gets its journal row.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "idsource/IdPage.h"
#include "ledger/IdLedger.h"
#include "ledger/LedgerMark.h"

namespace ts {

class LedgerLink {
public:
    // `ledger` null: no ledger (used IDs live in memory only).
    void Attach(IdLedger* ledger, bool verify);
    // The same, keeping the ledger for as long as the station lives.
    void Own(std::unique_ptr<IdLedger> ledger, bool verify);
    // The ledger could not be opened: every write is refused with `message`.
    // `server`: the ledger is a shared ledger's server (the advice differs).
    // `mark`: the ledger is not the one the station's mark names.
    void SetFault(std::u16string message, bool server = false, bool mark = false) {
        fault_ = std::move(message);
        serverFault_ = server;
        markFault_ = mark;
    }
    // Keeps the station's mark of the ledger at `location` in the file
    // `path`, brought up to date after every reservation.
    void KeepMark(std::string path, std::string location) {
        markPath_ = std::move(path);
        markLocation_ = std::move(location);
    }
    // After a reservation: the mark follows the ledger's newest change.
    void NoteChange();

    IdLedger* Ledger() const { return ledger_; }
    bool Verify() const { return verify_; }
    const std::u16string& Fault() const { return fault_; }
    bool FaultOfServer() const { return serverFault_; }
    bool FaultOfMark() const { return markFault_; }

    // The journal's source for an ID the page announced (a list file's
    // SHA-256 is computed once per file and kept).
    IdSource SourceOf(const IdOrigin& origin);

    // Set by the last write that found its ID reserved or written by another
    // run; cleared when a write starts.
    bool lastTaken = false;

    // A shared ledger whose server went away: automatic writing waits for it
    // rather than fail device after device. Called between tries of a
    // reservation or confirmation that answered Offline; false gives up (a
    // stop was asked). Null: such a write fails at once.
    std::function<bool()> waitOffline;
    // A confirmation refused only because the server is away is tried again
    // (a manual write's, or any without waitOffline) up to this many times,
    // this far apart, before the ID is left reserved.
    int confirmRetries = 5;
    int retryDelayMs = 1000;
    // The pause between those tries (the station's clock); null: none.
    std::function<void(uint32_t ms)> sleep;

private:
    IdLedger* ledger_ = nullptr;
    std::unique_ptr<IdLedger> owned_;
    bool verify_ = false;
    std::u16string fault_;
    bool serverFault_ = false;
    bool markFault_ = false;
    std::string markPath_;
    std::string markLocation_;
    struct Digest {
        int64_t size = -1;
        int64_t mtimeNs = 0;
        std::string sha256;
    };
    std::map<std::u16string, Digest> digests_;
};

// Automatic writing's pause while a shared ledger's server is away: the
// pause is logged once, the wait goes through the link's waitOffline, and
// the resume is logged as soon as the server answers again, whatever it
// answers (an ID another station took meanwhile is an answer too).
class OfflinePause {
public:
    OfflinePause(const LedgerLink& link, bool mayWait,
                 std::function<void(const std::u16string&)> log)
        : link_(link), mayWait_(mayWait && link.waitOffline), log_(std::move(log)) {}
    // Called with each answer of the ledger: true when the caller is to ask
    // again (the server was away and the wait went on).
    bool Again(const LedgerResult& answer);

private:
    const LedgerLink& link_;
    bool mayWait_;
    std::function<void(const std::u16string&)> log_;
    bool paused_ = false;
};

class WriteGuard {
public:
    // `rewrite`: the operator chose to write an ID that may be held.
    // `automatic`: a confirmation the server did not take waits for it as
    // long as the link's waitOffline lets it.
    WriteGuard(LedgerLink& link, Attempt attempt, bool rewrite, bool automatic = false);
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

    // Before the first block. False: nothing may be sent; Problem() says why
    // and Taken() whether the ID is held by another write.
    bool Reserve();
    bool Taken() const { return status_ == LedgerStatus::Held; }
    const LedgerResult& Problem() const { return problem_; }

    // The device confirmed. Without verify the ID is written now; with it,
    // Verified or Mismatch follows. False when the ledger could not record it
    // (the ID stays reserved, so it is never offered again).
    bool Confirmed();
    bool Verified();
    // The device confirmed but holds something else: the ID stays reserved
    // for the operator to check.
    bool Mismatch(int result);
    // Where an automatic confirmation's pause for the server is logged.
    std::function<void(const std::u16string&)> log;

    // The first block is about to go out: from now on a failure leaves the
    // ID in doubt, never released by the flow.
    void Sending() { sent_ = true; }
    bool Sent() const { return sent_ && phase_ == Phase::Reserved; }
    // The transfer or the finish failed after Sending: the ID is in doubt
    // (durably, before the device is read back). False: the ledger could not
    // record it (the ID stays reserved, held all the same).
    bool InDoubt();
    // Reading the device back found the ID: written, the attempt closed with
    // the flow's failure `result`.
    bool ReadBack(int result);
    // Reading the device back found another ID or none: Finish gives the ID
    // back.
    void NotOnDevice() { notOnDevice_ = true; }

    // The end of the flow. A write that failed before anything was sent (or
    // whose device was read back without the ID) gives the ID back; one that
    // failed after keeps it in doubt; one that never reserved is recorded as
    // an attempt.
    void Finish(int result);

private:
    LedgerResult Confirm(const std::function<LedgerResult()>& op);

    LedgerLink& link_;
    Attempt attempt_;
    bool rewrite_;
    bool automatic_;
    int64_t startedMs_;
    Reservation reservation_;
    enum class Phase { Start, Reserved, Done } phase_ = Phase::Start;
    bool sent_ = false;
    bool inDoubt_ = false;
    bool notOnDevice_ = false;
    LedgerStatus status_ = LedgerStatus::Ok;
    LedgerResult problem_;
};

}  // namespace ts
