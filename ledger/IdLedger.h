#pragma once
// The ledger: the durable record of every ID's fate and the journal of every
// attempt, so that no ID reaches two devices, not after a crash, a power cut
// or the next morning's start with the same ID file.
//
// A write goes:
//   Reserve        before the first block is sent (durable when it returns)
//   MarkWritten    once the device confirmed
//   Release        when the write failed before anything reached the device
//                  (the ID may be offered again)
//   MarkInDoubt    when the transfer or the finish failed once a block was
//                  sent: the device may hold the ID, so it is never offered
//                  again until a read of the device (MarkReadBack,
//                  SettleRead) or the operator settles it
// With verify after write, the confirmed write is checked first and then
// recorded with MarkVerified (written and verified in one step); a mismatch
// is recorded with KeepReserved, so the ID stays out of circulation until the
// operator has checked the device.
//
// IdLedger is the interface the pages and flows use; SqliteLedger keeps it in
// a local file. Nothing here throws: every operation returns a LedgerResult.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ts {

enum class IdState : int {
    None = 0,      // not in the ledger
    Reserved = 1,  // on its way to a device, or left by a run that died
    Written = 2,   // a device confirmed it
    Verified = 3,  // a device confirmed it and reading it back matched
    Released = 4,  // a write failed and the ID was given back
    InDoubt = 5,   // sent, but the device's answer was lost: it may hold the ID
    Replaced = 6,  // was written, and a later write put another ID on its device
};

// Reserved, written, verified, in-doubt and replaced IDs are held: no
// automatic write uses them (a replaced one was given out once).
inline bool IsHeld(IdState s) { return s != IdState::None && s != IdState::Released; }
// Reserved and in-doubt IDs wait for an outcome: the operator settles them
// with ledger confirm or release.
inline bool IsUnsettled(IdState s) { return s == IdState::Reserved || s == IdState::InDoubt; }
const char* IdStateName(IdState s);  // "reserved", "written", ..., "in doubt"

enum class LedgerStatus : int {
    Ok = 0,
    Held = 1,         // Reserve: the ID is reserved or written already
    NotReserved = 2,  // operator release: the ID is not reserved
    NotFound = 3,     // no ledger at the place named (and none was to be made)
    Busy = 4,         // another program holds the ledger locked
    Full = 5,         // the disk (or the file size limit) is full
    Damaged = 6,      // not a ledger, damaged, or made by a newer version
    IoError = 7,      // any other failure to read or write it
    Unsupported = 8,  // a kind of ledger this build cannot open
    Offline = 9,      // a shared ledger's server cannot be reached (try again later)
    InProgress = 10,  // operator release/confirm: the run that reserved the ID is alive
    Collision = 11,   // a confirmation found the ID taken over by another attempt
};

struct LedgerResult {
    LedgerStatus status = LedgerStatus::Ok;
    std::string message;  // empty on success; says what and where otherwise

    bool ok() const { return status == LedgerStatus::Ok; }
    static LedgerResult Fail(LedgerStatus s, std::string m) { return {s, std::move(m)}; }
};

// The device of an attempt, as far as the platform tells it. UTF-8 texts;
// empty where unknown.
struct DeviceInfo {
    std::string node;  // device node or drive, e.g. "/dev/sg2"
    std::string usbSerial;
    std::string usbVendor;
    std::string usbProduct;
    std::string port;  // the port on a simulated line, e.g. "E"

    // One short text for listings: the node (or "port E"), then the serial.
    std::string Summary() const;
};

// Where an ID came from.
struct IdSource {
    enum class Kind { None, File, Scan, Counter };
    Kind kind = Kind::None;
    std::string fileSha256;  // File: SHA-256 of the file's bytes, lower-case hex
    std::string fileName;    // File: the name it was loaded under, for people
    uint32_t line = 0;       // File: 1-based line of the ID
    std::u16string prefix;   // Counter
    std::u16string suffix;   // Counter
    bool down = false;       // Counter: counting down

    static IdSource FromFile(std::string sha256, std::string name, uint32_t line);
    static IdSource FromScan();
    static IdSource FromCounter(std::u16string prefix, std::u16string suffix, bool down);
};
const char* SourceKindName(IdSource::Kind k);  // "", "file", "scan", "counter"

// ReadBack: an ID in doubt settled as written because a read of the device
// found it there.
// Replace: a write put another ID on the device that held this one.
enum class AttemptMode { Write, Read, Release, Confirm, ReadBack, Replace };
// "write", "read", "release", "confirm", "readback", "replace"
const char* AttemptModeName(AttemptMode m);

struct Attempt {
    AttemptMode mode = AttemptMode::Write;
    IdSource source;
    std::u16string id;
    DeviceInfo device;
};

// How a ledger is opened.
struct LedgerOpenOptions {
    std::string station;        // recorded with every change
    bool create = true;         // make a new ledger when the file does not exist
    bool readOnly = false;      // for listings: never writes, never creates
    int busyTimeoutMs = 5000;   // how long to wait for another program's lock
    bool writeAheadLog = true;  // false: rollback journal (kept for measuring)
    // False commits without waiting for the disk: only for filling ledgers
    // in tests, where a crash of the machine does not matter.
    bool syncToDisk = true;
    // UTC milliseconds since 1970; the system clock when empty.
    std::function<int64_t()> clockMs;
};

// A held reservation, handed back to MarkWritten, MarkVerified, Release or
// KeepReserved.
struct Reservation {
    std::u16string id;
    int64_t attempt = 0;    // the journal row of this attempt
    int64_t startedMs = 0;  // monotonic milliseconds at Reserve, for the duration
    std::string device;     // DeviceInfo::Summary of the attempt's device
};

// What the ledger holds for one ID.
struct IdRecord {
    std::u16string id;
    IdState state = IdState::None;
    std::string station;
    std::string device;  // DeviceInfo::Summary of the last attempt
    int64_t timeMs = 0;  // UTC milliseconds since 1970 of the last change
    bool live = false;   // ListReserved: reserved by a run that is alive now
};

struct StateCounts {
    uint64_t reserved = 0;
    uint64_t written = 0;
    uint64_t verified = 0;
    uint64_t released = 0;
    uint64_t inDoubt = 0;
    uint64_t replaced = 0;
};

// One station's share of a pool.
struct StationCounts {
    std::string station;
    uint64_t reserved = 0;
    uint64_t written = 0;
    uint64_t verified = 0;
    uint64_t failed = 0;  // write attempts that ended with an error
    uint64_t inDoubt = 0;
};

// A pool the stations allocate from: an ID file (by content) or a counter.
struct PoolStatus {
    IdSource source;        // File: fileSha256 and fileName; Counter: cleaned parts, direction
    bool imported = false;  // File: its entries are in the ledger
    uint64_t entries = 0;   // File, imported: its entries
    uint64_t free = 0;      // File, imported: entries that no one holds
    // Counter: the value the next station gets; none: counting down is done.
    std::optional<std::u16string> next;
    bool counterKnown = false;            // Counter: the ledger keeps its next value
    std::vector<StationCounts> stations;  // by name
};

// Where a ledger stands: which ledger it is and its newest change.
struct LedgerPosition {
    std::string identity;  // its first change (empty: none yet)
    int64_t newest = 0;    // the journal row of its newest change
    int64_t newestMs = 0;  // that row's time, UTC milliseconds
};

// One journal row as read back; the views are valid during the callback only.
struct JournalRow {
    int64_t seq = 0;
    int64_t timeMs = 0;
    std::string_view station;
    std::string_view mode;
    std::string_view source;
    std::string_view fileSha256;
    std::string_view fileName;
    int64_t line = 0;  // 0: none
    std::string_view prefix;
    std::string_view suffix;
    std::string_view direction;  // "up", "down" or empty
    std::string_view id;
    std::string_view device;
    std::string_view usbSerial;
    std::string_view usbVendor;
    std::string_view usbProduct;
    std::string_view port;
    std::optional<int64_t> result;  // none: the attempt never finished
    int64_t durationMs = 0;
    bool verified = false;
};

class IdLedger {
public:
    virtual ~IdLedger() = default;

    // Where the ledger lives, for messages (never with credentials).
    virtual std::string Describe() const = 0;
    // This station's name, recorded with every change.
    virtual const std::string& Station() const = 0;
    // Whether other stations allocate from this ledger at the same time (a
    // server's): a counter is then taken from NextCounter. A station alone
    // keeps its own counter, which loses no value to a run killed between
    // taking and reserving it.
    virtual bool Shared() const { return false; }

    // Reserves `a.id` and opens its journal row; durable when it returns.
    // Held: the ID is reserved, written or verified already; `existing`
    // (optional) then tells by whom and when. `rewrite` is the operator's
    // explicit decision to write a held ID again: it is reserved all the same,
    // and a Release gives it back its previous state.
    virtual LedgerResult Reserve(const Attempt& a, bool rewrite, Reservation* out,
                                 IdRecord* existing = nullptr) = 0;
    // The device confirmed: the ID is written, also after an operator's
    // release of this reservation (the device holds it now). Collision when
    // the record is another attempt's by now (taken over after a release):
    // it is left as it is, and this attempt closes with result 1.
    virtual LedgerResult MarkWritten(const Reservation& r) = 0;
    // Reading back matched: written and verified (from reserved or written);
    // Collision as above.
    virtual LedgerResult MarkVerified(const Reservation& r) = 0;
    // The write failed with `resultCode`: the ID goes back to released (or to
    // the state it had before a rewrite), unless it is no longer this
    // reservation's. Also for an ID this reservation left in doubt, once a
    // read of the device found another ID or none.
    virtual LedgerResult Release(const Reservation& r, int resultCode) = 0;
    // Closes the attempt with `resultCode` but leaves the ID held (reserved,
    // or in doubt): a device that confirmed but holds another ID, or one that
    // could not be read back.
    virtual LedgerResult KeepReserved(const Reservation& r, int resultCode) = 0;
    // A block was sent and then the transfer or the finish failed: the ID is
    // in doubt (the attempt stays open until it is settled or kept). Nothing
    // changes when the ID is no longer this reservation's.
    virtual LedgerResult MarkInDoubt(const Reservation& r);
    // Reading the device back after such a failure found the ID: written,
    // the attempt closed with the flow's `resultCode` (the write as a whole
    // failed), and a journal row of mode readback.
    virtual LedgerResult MarkReadBack(const Reservation& r, int resultCode);
    // A read of `device` (read mode, the check before a manual write) found
    // `id`: when the ID is in doubt it becomes written, with a journal row of
    // mode readback; `settled` tells whether it was.
    virtual LedgerResult SettleRead(std::u16string_view id, const DeviceInfo& device,
                                    bool* settled);
    // A confirmed write put another ID on `device`, which held `id` before:
    // `id` is replaced (no device holds it any more; still never given out
    // again), with a journal row of mode replace. A reservation of `id` in
    // progress is left alone.
    virtual LedgerResult MarkReplaced(std::u16string_view id, const DeviceInfo& device);
    // A journal row for an attempt that reserves nothing (a read, a refused
    // ID).
    virtual LedgerResult RecordAttempt(const Attempt& a, int resultCode, int64_t durationMs,
                                       bool verified) = 0;

    // The operator's release of a reserved or in-doubt ID after checking the
    // device. NotReserved when it is neither; InProgress when the run that
    // reserved it is alive (its device is being written now); `was`
    // receives what was held.
    virtual LedgerResult ReleaseReserved(std::u16string_view id, IdRecord* was) = 0;
    // The other outcome of that check: the device holds the ID, so the
    // reservation becomes written (a late Release of the dead run's
    // reservation cannot free it any more). NotReserved as above.
    virtual LedgerResult ConfirmReserved(std::u16string_view id, IdRecord* was);

    virtual LedgerResult Lookup(std::u16string_view id, IdRecord* out) = 0;

    // The state of each of `count` IDs (idAt(i) for i below count): for
    // resuming a list, whose entries the ledger holds become used.
    virtual LedgerResult StatesOf(size_t count,
                                  const std::function<std::u16string_view(size_t)>& idAt,
                                  std::vector<IdState>* states) = 0;

    // Counter support: among the held IDs of the form prefix + hexadecimal
    // digits + suffix (blanks, tabs and carriage returns removed from both
    // parts, as the increment page forms its IDs), the digits of the one
    // furthest in the counting direction (largest counting up, smallest
    // counting down). Empty when none is held.
    virtual LedgerResult FurthestCounter(std::u16string_view prefix, std::u16string_view suffix,
                                         bool down, std::optional<std::u16string>* out) = 0;

    // Reservations of this station made by a session that is no longer
    // alive (a run that died), and its IDs in doubt, oldest first.
    virtual LedgerResult StaleReservations(std::vector<IdRecord>* out) = 0;
    // Every reserved and in-doubt ID (IdRecord::state tells which), of any
    // station and session, oldest first.
    virtual LedgerResult ListReserved(std::vector<IdRecord>* out) = 0;

    virtual LedgerResult Counts(StateCounts* out) = 0;

    // Counters shared by every station that counts with the same prefix,
    // suffix (both cleaned as CleanIdPart does) and direction: the counter
    // value for this station's next ID, taken atomically, so that no two
    // stations get the same one. `start` is the page's own counter: the
    // first call for a counter starts there (past what the ledger holds
    // already), later calls continue from the shared value, or from `start`
    // when the operator moved it further. Empty when counting down is done.
    // A `start` that is not hexadecimal comes back as it is, untaken.
    virtual LedgerResult NextCounter(std::u16string_view prefix, std::u16string_view suffix,
                                     bool down, std::u16string_view start,
                                     std::optional<std::u16string>* value);

    // Keeps an ID list (entries in file order, idAt/lineAt for i below
    // count) under its SHA-256, so that the pool's status can show the free
    // entries without the file. `added` is false when it was there already.
    virtual LedgerResult ImportList(const std::string& sha256, const std::string& name,
                                    size_t count,
                                    const std::function<std::u16string_view(size_t)>& idAt,
                                    const std::function<uint32_t(size_t)>& lineAt, bool* added);

    // The status of one pool (`only`: a file by its SHA-256, or a counter),
    // or with `only` null of every list and counter the ledger knows.
    virtual LedgerResult Pools(const IdSource* only, std::vector<PoolStatus>* out);
    // (The three above answer Unsupported unless a ledger keeps pools.)

    // Where the ledger stands, for the station's mark of it (Unsupported: a
    // ledger that keeps no mark, as a shared one).
    virtual LedgerResult Position(LedgerPosition* out);
    // A consistent copy of the whole ledger in the one file `path` (made
    // under a temporary name, renamed when complete).
    virtual LedgerResult Backup(const std::string& path);

    // The journal rows from `sinceMs` on (UTC milliseconds; the smallest
    // int64_t for all), in order. The sink returns false to stop.
    virtual LedgerResult ReadJournal(int64_t sinceMs,
                                     const std::function<bool(const JournalRow&)>& sink) = 0;

    // Whether the journal names a device of USB serial number `usbSerial`
    // as given an ID: a write (one that failed may have left its ID in doubt
    // there), a read that found an ID, a read-back or a confirmation. An
    // empty serial names no device. This reads the whole journal; a store
    // answers it from an index.
    virtual LedgerResult SerialHeldId(std::string_view usbSerial, bool* held);
};

// The journal rows SerialHeldId counts: `mode` and `result` of a row whose
// ID is not empty.
bool JournalRowGaveId(std::string_view mode, const std::optional<int64_t>& result);
// The modes that count whatever their result; a read counts with result 0.
inline constexpr AttemptMode kModesGivingId[] = {AttemptMode::Write, AttemptMode::ReadBack,
                                                 AttemptMode::Confirm};

}  // namespace ts
