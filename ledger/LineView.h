#pragma once
// The line at a glance, read from a ledger (a station's file or the line's
// server) through connections of its own that never change anything: the
// pools' figures, what each station did lately, the shift's throughput, what
// needs the supervisor, and every attempt on one ID.
//
// Work per call is bounded: the recent journal is read through its time
// index for a window of hours, the lists are cut at fixed lengths, and the
// journal and an ID's attempts come in pages.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger/IdLedger.h"

namespace ts {

// What one station did in the window.
struct StationActivity {
    std::string station;
    int64_t lastMs = 0;  // its newest attempt
    std::string lastMode;
    std::string lastId;
    std::optional<int64_t> lastResult;         // none: still running, or its run died
    bool open = false;                         // its newest write has no result yet
    uint64_t writtenHour = 0;                  // writes that succeeded in the last hour
    uint64_t failedHour = 0;                   // writes that failed in the last hour
    std::map<int64_t, uint64_t> failuresHour;  // result code: count
};

// Devices written by one station in one slice of the shift.
struct ThroughputSlice {
    int64_t startMs = 0;
    std::string station;
    uint64_t written = 0;
    uint64_t failed = 0;
};

enum class AttentionKind { InDoubt, DeadReservation, Collision };

struct AttentionItem {
    AttentionKind kind = AttentionKind::InDoubt;
    std::string id;
    std::string station;
    std::string device;
    int64_t timeMs = 0;
    // Collision: the station and device the ledger gives the ID to now.
    std::string otherStation;
    std::string otherDevice;
};

struct LineSnapshot {
    int64_t nowMs = 0;
    StateCounts counts;
    std::vector<PoolStatus> pools;
    std::vector<uint64_t> poolWrittenHour;  // beside pools
    std::vector<StationActivity> stations;  // by name
    int64_t chartFromMs = 0;
    int64_t sliceMs = 0;
    std::vector<ThroughputSlice> chart;  // by time, then station
    std::vector<AttentionItem> attention;
    bool attentionCut = false;  // more than kAttentionLimit
};

// One attempt on an ID.
struct TrailRow {
    int64_t seq = 0;
    int64_t timeMs = 0;
    std::string station;
    std::string mode;
    std::string source;
    std::string device;
    std::string usbSerial;
    std::string usbVendor;
    std::string usbProduct;
    std::string port;
    std::optional<int64_t> result;
    bool verified = false;
};

struct IdTrail {
    IdRecord record;  // state None: the ledger does not hold it
    std::vector<TrailRow> rows;
    std::optional<int64_t> nextAfter;  // more rows after this seq
};

class LineView {
public:
    static constexpr int64_t kHourMs = 3600 * 1000;
    // The shift the chart shows, in slices of ten minutes.
    static constexpr int64_t kShiftMs = 12 * kHourMs;
    static constexpr int64_t kSliceMs = 10 * 60 * 1000;
    static constexpr size_t kAttentionLimit = 200;
    // Rows of the shift read for one snapshot; a busier shift shows its
    // newest part.
    static constexpr size_t kWindowRows = 500000;
    // Longest a query may run before it is given up (the page shows why).
    static constexpr int kQueryTimeoutMs = 5000;

    // Opens the ledger at `location` (a file, or a postgresql:// URL) for
    // reading only; a missing ledger is NotFound, never made.
    static LedgerResult Open(const std::string& location, std::unique_ptr<LineView>* out);
    virtual ~LineView();

    // Where the ledger lives, without credentials.
    std::string Describe() const;

    LedgerResult Snapshot(int64_t nowMs, LineSnapshot* out);
    // Every attempt on `id8` (UTF-8) after journal row `afterSeq`, at most
    // `limit`.
    LedgerResult Trail(std::string_view id8, int64_t afterSeq, size_t limit, IdTrail* out);
    // A journal row, and whether its attempt reserved its ID (an ID passed
    // over because another held it did not: no failure of the station).
    using RowSink = std::function<void(const JournalRow&, bool reserved)>;
    // The journal rows with fromMs <= time < toMs after row `afterSeq`, at
    // most `limit`, in order; `more` tells whether others follow.
    LedgerResult JournalPage(int64_t fromMs, int64_t toMs, int64_t afterSeq, size_t limit,
                             const RowSink& sink, bool* more);

protected:
    explicit LineView(std::unique_ptr<IdLedger> ledger);
    // The rows with fromMs <= time < toMs after `afterSeq`, at most `limit`,
    // in order.
    virtual LedgerResult RowsInWindow(int64_t fromMs, int64_t toMs, int64_t afterSeq, size_t limit,
                                      const RowSink& sink) = 0;
    // The rows of `id8` after `afterSeq`, at most `limit`, in order.
    virtual LedgerResult RowsOfId(std::string_view id8, int64_t afterSeq, size_t limit,
                                  const RowSink& sink) = 0;

    std::unique_ptr<IdLedger> ledger_;

private:
    LedgerResult Attention(const std::vector<std::string>& releasedIds, LineSnapshot* out);
};

// The kinds of store, one source each.
LedgerResult OpenSqliteLineView(const std::string& path, std::unique_ptr<IdLedger> ledger,
                                std::unique_ptr<LineView>* out);
LedgerResult OpenPgLineView(const std::string& url, std::unique_ptr<IdLedger> ledger,
                            std::unique_ptr<LineView>* out);

}  // namespace ts
