#pragma once
// What the window tells the operator at a glance, without a toolkit: the
// last result of a port (state, ID, progress of the flow under way), the
// counts since the window started, and whether automatic writing is paused
// for the ledger's server. A port's result and the counts are kept apart:
// a window that works several ports at once keeps one PortResult for each
// and still one set of counts.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "deviceops/PortModel.h"
#include "ports/ProgressPort.h"

namespace ts {

enum class ResultState { Idle, Reading, Writing, Passed, Failed, NotWritten, Waiting };

// How a write ended, for the counts.
enum class WriteOutcome {
    Written,     // the device holds the ID now
    Failed,      // the write failed
    NotWritten,  // success without a transfer: the operator kept the ID there
    PassedOver,  // another run took the ID meanwhile; the next one follows
};

// One port's last result.
class PortResult {
public:
    std::u16string drive;  // the port's drive; empty for the window's one port
    ResultState state = ResultState::Idle;
    std::u16string headline;  // "烧写成功", "读取中...", ...
    std::u16string id;        // the ID shown with it (empty when none)
    int result = 0;           // the flow's result code of a passed or failed result
    // The progress of the read or write under way, in thousandths.
    bool progressShown = false;
    FlowKind progressKind = FlowKind::Read;
    int progressPermille = 0;
    // How long the port's device has been worked on (gang mode); -1: not shown.
    int64_t elapsedMs = -1;

    // A device arrived: nothing to show of the one before.
    void Reset();
    // Around one write flow (a read inside it is its existing-ID check).
    void WriteStarts();
    WriteOutcome WriteEnded(int result, const std::u16string& id, bool passedOver);
    // False when nothing changed.
    bool BlockDone(FlowKind kind, uint64_t done, uint64_t total);
    bool ReadEnded(int result, const std::u16string& id);
    // Automatic writing waits for the ledger's server (true) or goes on;
    // what was shown before comes back. False when nothing changed.
    bool ServerWait(bool waiting);

    // "读取 37%" / "烧写 37%", empty when no flow has moved a block.
    std::u16string ProgressText() const;
    // "3.1 秒", empty when no time is shown.
    std::u16string TimeText() const;

private:
    void Show(ResultState s, std::u16string text, std::u16string shownId);

    bool inWrite_ = false;
    bool sentAll_ = false;
    ResultState beforeWait_ = ResultState::Idle;
    std::u16string headlineBeforeWait_;
    std::u16string idBeforeWait_;
};

// The devices written and the writes that failed since the window started.
struct ResultCounts {
    uint64_t written = 0;
    uint64_t failed = 0;
    void Add(WriteOutcome outcome);
    std::u16string Text() const;  // "已烧写 N  失败 M"
};

// The window's model: its one port and the counts. Every change is told to
// `onChange` after it is made.
class LastResult : public ProgressPort {
public:
    LastResult() { port_.Reset(); }

    void Reset();
    void WriteStarts();
    void WriteEnded(int result, const std::u16string& id, bool passedOver = false);
    void ServerWait(bool waiting);
    void BlockDone(FlowKind kind, uint64_t done, uint64_t total) override;
    void ReadEnded(int result, const std::u16string& id) override;

    // Gang mode: what every port is doing, in drive order (`write`: the
    // ports write, so a pass reads "烧写成功").
    void ShowPorts(const std::vector<PortView>& ports, bool write);
    // Gang mode: a port's device ended, `counts` the gang's own since
    // `GangStarts`; the large panel shows that port's result.
    void GangStarts();
    void PortEnded(const PortResult& port, uint64_t written, uint64_t failed);
    const std::vector<PortResult>& Ports() const { return ports_; }

    const PortResult& Port() const { return port_; }
    ResultState Current() const { return port_.state; }
    const std::u16string& ShownId() const { return port_.id; }
    const ResultCounts& Counts() const { return counts_; }
    uint64_t WrittenCount() const { return counts_.written; }
    uint64_t FailedCount() const { return counts_.failed; }
    bool Paused() const { return paused_; }

    std::function<void()> onChange;

private:
    void Changed() {
        if (onChange) onChange();
    }
    PortResult port_;
    std::vector<PortResult> ports_;
    ResultCounts counts_;
    ResultCounts beforeGang_;
    bool paused_ = false;
};

// The colours of a state, 0xRRGGBB: green for passed, red for failed, blue
// while a flow runs, orange while paused, grey otherwise.
struct ResultColours {
    uint32_t back;
    uint32_t fore;
};
ResultColours ColoursOf(ResultState state);

// One port of a gang as the strip shows it.
PortResult PortResultOf(const PortView& port, bool write);

// Long IDs (up to 1024 characters) keep their start and end in view, joined
// by an ellipsis; the whole ID is in the log.
std::u16string ShortId(const std::u16string& id);

}  // namespace ts
