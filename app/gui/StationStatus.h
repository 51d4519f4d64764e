#pragma once
// What keeps the window alive and tells the operator how a device went: a
// clock whose pauses repaint the window, the progress bar of a read or
// write, and the last result in large coloured text beside the log.
#include <QPointer>
#include <QString>
#include <functional>
#include <string>

#include "ports/ProgressPort.h"
#include "ports/UiPorts.h"

class QLabel;
class QProgressBar;

namespace ts::gui {

// Lets the window repaint (paint, timers, posted events) without handling
// user input or device events, so a flow is never entered twice.
void PumpRepaint();

// The flows' pauses: as long as asked, the window repainting meanwhile.
// Automatic writing's pause (a ledger's server away) also lets the operator
// use the window: stop automatic writing, or close the window.
class GuiClock : public Clock {
public:
    void Sleep(uint32_t ms) override;
    bool Pause(uint32_t ms, const std::function<bool()>& goOn) override;
    // The window is ending: a pause in progress ends, and none starts again.
    void EndPauses() { ending_ = true; }
    bool Pausing() const { return pausing_; }
    // Stops the device events (true) for a pause, and lets them in again.
    std::function<void(bool hold)> holdDevices;
    // Told when a pause starts (true) and ends (false).
    std::function<void(bool paused)> onPause;

private:
    bool ending_ = false;
    bool pausing_ = false;
};

class StationStatus : public ProgressPort {
public:
    enum class State { Idle, Reading, Writing, Passed, Failed, NotWritten, Waiting };

    // `counts` (optional) shows the written and failed devices since start.
    StationStatus(QLabel* result, QProgressBar* bar, QLabel* counts = nullptr);

    // A device arrived: nothing to show of the one before.
    void Reset();
    // Around one write flow (a read inside it is its existing-ID check).
    void WriteStarts();
    // `passedOver`: the ID was taken meanwhile by another run and the next
    // one follows on the same device; it counts as nothing.
    void WriteEnded(int result, const std::u16string& id, bool passedOver = false);

    // Automatic writing waits for the ledger's server (true) or goes on.
    void ServerWait(bool waiting);

    void BlockDone(FlowKind kind, uint64_t done, uint64_t total) override;
    void ReadEnded(int result, const std::u16string& id) override;

    State Current() const { return state_; }
    // The ID the last result shows (empty when none).
    const std::u16string& ShownId() const { return id_; }
    uint64_t WrittenCount() const { return written_; }
    uint64_t FailedCount() const { return failed_; }

private:
    void Show(State state, const QString& headline, const std::u16string& id);
    void ShowCounts();

    QPointer<QLabel> result_;
    QPointer<QProgressBar> bar_;
    QPointer<QLabel> counts_;
    uint64_t written_ = 0;
    uint64_t failed_ = 0;
    State state_ = State::Idle;
    QString headline_;
    std::u16string id_;
    // What the result showed before a wait for the server.
    State beforeWait_ = State::Idle;
    QString headlineBeforeWait_;
    std::u16string idBeforeWait_;
    bool inWrite_ = false;
    bool sentAll_ = false;
};

}  // namespace ts::gui
