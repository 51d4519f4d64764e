#pragma once
// The desktop window's behaviour with no toolkit in it, the same for every
// front end: it owns the window's model (MainDialog), the last result and
// the trainer's panel, hands the core its ports in order and takes them back
// in reverse, and keeps the window's rules: which close is refused when,
// how the window ends, where the keyboard goes, the titles, and what a pause
// for the ledger's server lets the operator do. A window draws what it
// holds and forwards its events here; what only a toolkit can do (drawing,
// event loops, modal boxes) it asks of the window through WindowView.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/BenchModel.h"
#include "app/LastResult.h"
#include "app/MainDialog.h"
#include "deviceops/Gang.h"
#include "platform/DriveSystem.h"
#include "ports/ProgressPort.h"
#include "ports/UiPorts.h"

namespace ts {

inline constexpr char16_t kWindowTitle[] = u"Tagforge V200";
inline constexpr std::array<const char16_t*, 3> kTabTitles = {u"ID列表方式", u"扫描方式",
                                                              u"自动递增/递减"};
inline constexpr char16_t kAboutEntry[] = u"&About Tagsmith...";
// The port the trainer's panel works.
inline constexpr char kBenchPort = 'E';

// A rectangle in dialog units, the templates' own units.
struct DialogRect {
    int x, y, width, height;
};

// The column right of the template's controls (the template is 513 units
// wide): the trainer's panel at the top (--simulate only), the last result
// beside the tabs and the log, the counts under it and the progress bar
// beside the buttons. No template control is covered.
struct SideColumn {
    DialogRect bench;
    DialogRect result;
    DialogRect counts;
    DialogRect progress;
    DialogRect gangBox;  // the gang mode check box, under the progress bar
    DialogRect strip;    // the ports of a gang, under the template's controls
    int windowWidth;     // the window's client width
    int windowHeight;    // its client height without the strip
    int stripHeight;     // what the strip adds to it
};
SideColumn SideColumnLayout(bool withBench);

// What the controller asks of the window that draws it.
class WindowView {
public:
    virtual ~WindowView() = default;
    // The window's own controls show the model: the mode buttons, the close
    // controls, the tab control and the page shown.
    virtual void ShowControls() = 0;
    // The last result, the counts, the progress bar, the pause and the
    // ports of a gang.
    virtual void ShowResult() = 0;
    // The trainer's panel shows the bench.
    virtual void ShowBench() {}
    // The scan box takes the keyboard, its text selected.
    virtual void FocusScanBox() = 0;
    // The busy cursor while a flow runs (never during a pause).
    virtual void ShowBusy(bool busy) = 0;
    virtual bool RunPicker(CDlgListID& picker) = 0;
    // The window is to end: an open message box answers as its Esc would,
    // the picker is cancelled.
    virtual void DismissModals() = 0;
    // Ends the window's run; `accepted`: by its close button.
    virtual void EndRun(bool accepted) = 0;
    // Handles painting, timers and posted events; nothing the operator does
    // and no device event, so that no flow is entered twice.
    virtual void PumpRepaint() = 0;
    // The same for `ms`.
    virtual void SleepRepainting(uint32_t ms) = 0;
    // Handles every event but the device events for up to `ms`, as long as
    // `goOn` holds (asked after each event).
    virtual void WaitHandling(uint32_t ms, const std::function<bool()>& goOn) = 0;
    // Handles everything pending (the scan does before each handshake).
    virtual void Drain() = 0;
    // Device events wait (true) until let in again (false).
    virtual void HoldDeviceEvents(bool hold) = 0;
    // Runs `task` on the window's thread after what is already queued there;
    // any thread may call it. Tasks still queued when the window is gone are
    // dropped.
    virtual void Post(std::function<void()> task) = 0;
};

class WindowController : private Clock, private ProgressPort {
public:
    // `drives` may be null: no device is ever found.
    WindowController(WindowView& view, std::unique_ptr<DriveSystem> drives);
    ~WindowController() override;
    WindowController(const WindowController&) = delete;
    WindowController& operator=(const WindowController&) = delete;

    MainDialog& Model() { return model_; }
    const MainDialog& Model() const { return model_; }
    LastResult& Result() { return result_; }
    const LastResult& Result() const { return result_; }
    BenchModel* Bench() { return bench_.get(); }
    SideColumn Layout() const { return SideColumnLayout(bench_ != nullptr); }

    // The trainer's panel on the simulated line `folder` (--simulate), with
    // the line's functions.
    BenchModel& EnableBench(const std::string& folder, BenchModel::Line line);

    // Opens the station on the application folder `appDir` (empty: the
    // executable's), the core reaching the window's log and message boxes
    // and this controller's clock and progress; the settings restored.
    StationOpen Open(const std::string& appDir, LogView& log, MessageBoxer& boxes);
    // The drive system's arrivals and removals, for the window to watch;
    // null when there are none to watch. Stopped: none any more.
    DeviceEventSource* StartDeviceEvents();
    void StopDeviceEvents();
    // The watched source has events: each is handled in turn.
    void OnDeviceEvents();
    // One arrival or removal, as the watched source tells it.
    void OnDeviceEvent(DeviceEvent ev);

    // ---- the window's events ----
    // The gang mode check box; refused (false) while a gang still works.
    bool OnGangMode(bool on);
    bool GangRunning() const { return gang_ != nullptr; }
    void OnWriteMode();
    void OnReadMode();
    void OnTabSelChange(int index);
    void OnClearLog();
    // "关闭": ends the window unless the controls are locked.
    void OnCloseButton();
    // The title-bar close, Alt+F4, the system menu's Close: refused while
    // the controls are locked, unless automatic writing waits for the
    // ledger's server (nothing is being sent then). True when it ends.
    bool OnSystemClose();
    bool SystemCloseAllowed() const;
    // A close from outside (SIGTERM, WM_CLOSE, the session's end): ends the
    // window also while it is locked. A pause ends, open boxes and the
    // picker are dismissed, and the run ends once no handler runs.
    void RequestQuit(bool accepted = false);
    // The end of the window: settings saved, current device closed; once.
    void Finish();

    // Around every event a window handles itself: the run ends only once
    // none is running.
    void BeginHandler() { ++handlers_; }
    void EndHandler();
    class Handling {
    public:
        explicit Handling(WindowController& c) : c_(c) { c_.BeginHandler(); }
        ~Handling() { c_.EndHandler(); }
        Handling(const Handling&) = delete;
        Handling& operator=(const Handling&) = delete;

    private:
        WindowController& c_;
    };

    bool Quitting() const { return quitting_; }
    bool Finished() const { return finished_; }
    bool Pausing() const { return pausing_; }
    bool FlowRunning() const { return flows_ > 0; }

private:
    // The core's log and message boxes as every thread reaches them: on the
    // window's thread they are the window's own; a port's worker hands its
    // lines to the window's thread, and its boxes are logged and answered
    // as their Esc would (nobody is asked from a worker).
    class ThreadLog : public LogView {
    public:
        explicit ThreadLog(WindowController& owner) : owner_(owner) {}
        LogView* window = nullptr;
        std::u16string GetText() override;
        void SetText(const std::u16string& text) override;
        void ScrollToEnd() override;
        void LineAppended(const std::u16string& line) override;

    private:
        WindowController& owner_;
    };
    class ThreadBoxes : public MessageBoxer {
    public:
        explicit ThreadBoxes(WindowController& owner) : owner_(owner) {}
        MessageBoxer* window = nullptr;
        MsgAnswer Show(const MessageRequest& request) override;

    private:
        WindowController& owner_;
    };

    // The model with its writes observed: the last result comes from what
    // the core's write returns.
    class ObservedModel : public MainDialog {
    public:
        explicit ObservedModel(WindowController& owner) : owner_(owner) {}
        int WriteDeviceSN(const std::u16string& id) override;

    private:
        WindowController& owner_;
    };

    // Clock: the flows' pauses keep the window painted; automatic writing's
    // pause for the ledger's server lets the operator work the window.
    void Sleep(uint32_t ms) override;
    bool Pause(uint32_t ms, const std::function<bool()>& goOn) override;
    // ProgressPort: into the last result, painted at once.
    void BlockDone(FlowKind kind, uint64_t done, uint64_t total) override;
    void ReadEnded(int result, const std::u16string& id) override;

    bool OnWindowThread() const { return std::this_thread::get_id() == windowThread_; }
    // A line from a worker, appended on the window's thread.
    void PostLine(const std::u16string& line);
    // Gang mode: automatic writing on the list or the counter page.
    bool GangWanted();
    void StartGang();
    // Starts a gang when one is wanted; stops new devices once automatic
    // writing is off and ends the gang once its ports are idle.
    void CheckGang();
    void EndGang();
    void ShowPorts();
    void PageChanged(int index);
    void GangMaybeChanged();

    // False once the window is ending: it starts no flow any more.
    bool HandleDeviceEvent(DeviceEvent ev);
    void BeginFlow();
    void EndFlow();
    void EndRunOnce();
    void FocusScanBoxIfWriting();

    WindowView& view_;
    // Declared before the model: the core points at them until it is gone.
    std::unique_ptr<DriveSystem> drives_;
    LastResult result_;
    std::unique_ptr<BenchModel> bench_;
    ObservedModel model_;
    std::unique_ptr<DeviceEventSource> events_;
    const std::thread::id windowThread_ = std::this_thread::get_id();
    ThreadLog log_{*this};
    ThreadBoxes boxes_{*this};
    std::mutex linesLock_;
    std::deque<std::u16string> lines_;  // under linesLock_
    std::unique_ptr<GangStation> gang_;
    std::atomic<bool> gangEnding_{false};
    std::atomic<bool> portsPosted_{false};
    std::atomic<bool> pagesPosted_{false};
    std::array<std::function<void()>, 3> pageViews_;  // the pages' own onChange
    int handlers_ = 0;
    int flows_ = 0;
    bool pausing_ = false;
    bool ending_ = false;  // no pause goes on or starts again
    bool quitting_ = false;
    bool accepted_ = false;
    bool runEnded_ = false;
    bool finished_ = false;
};

}  // namespace ts
