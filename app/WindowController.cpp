#include "app/WindowController.h"

#include <chrono>
#include <utility>

#include "deviceops/GangIds.h"

namespace ts {

SideColumn SideColumnLayout(bool withBench) {
    SideColumn c;
    c.bench = {509, 5, 160, 134};
    c.result = withBench ? DialogRect{509, 144, 160, 89} : DialogRect{509, 48, 160, 185};
    c.gangBox = {509, 235, 160, 13};
    c.counts = {509, 250, 160, 20};
    c.progress = {509, 275, 160, 19};
    c.strip = {12, 300, 657, 62};
    c.windowWidth = 681;
    c.windowHeight = 302;
    c.stripHeight = 64;
    return c;
}

WindowController::WindowController(WindowView& view, std::unique_ptr<DriveSystem> drives)
    : view_(view), drives_(std::move(drives)), model_(*this) {
    model_.onChange = [this] {
        view_.ShowControls();
        GangMaybeChanged();
    };
    model_.runPicker = [this](CDlgListID& picker) {
        // A window that is ending asks the operator nothing more.
        return !quitting_ && view_.RunPicker(picker);
    };
    result_.onChange = [this] { view_.ShowResult(); };
}

WindowController::~WindowController() {
    EndGang();
    events_.reset();
    model_.onChange = nullptr;
    model_.runPicker = nullptr;
    result_.onChange = nullptr;
    if (bench_) bench_->onChange = nullptr;
    // The ports go back in the reverse order of Open.
    TagsmithCore& core = model_.core;
    core.SetProgress(nullptr);
    core.SetClock(nullptr);
    core.SetDrainHook(nullptr);
    core.SetMessageBoxer(nullptr);
    core.SetLogView(nullptr);
    core.SetDrives(nullptr);
}

BenchModel& WindowController::EnableBench(const std::string& folder, BenchModel::Line line) {
    if (!bench_) {
        bench_ = std::make_unique<BenchModel>(folder, kBenchPort, std::move(line));
        bench_->onChange = [this] { view_.ShowBench(); };
    }
    return *bench_;
}

StationOpen WindowController::Open(const std::string& appDir, LogView& log, MessageBoxer& boxes) {
    StationParts parts;
    parts.appDir = appDir;
    parts.drives = drives_.get();
    log_.window = &log;
    boxes_.window = &boxes;
    parts.log = &log_;
    parts.boxes = &boxes_;
    parts.clock = this;
    parts.progress = this;
    parts.drain = [this] { view_.Drain(); };
    // The ledger tagsmith.cfg names, as every station opens it.
    parts.ledger = true;
    // The pages' own views redraw on the window's thread, with the ports
    // held off the pages meanwhile.
    Observable* pages[] = {&model_.m_page1, &model_.m_page2, &model_.m_page3};
    for (int i = 0; i < 3; ++i) {
        pageViews_[i] = std::move(pages[i]->onChange);
        pages[i]->onChange = [this, i] { PageChanged(i); };
    }
    const StationOpen opened = model_.OnInitDialog(std::move(parts));
    view_.ShowControls();
    view_.ShowResult();
    return opened;
}

DeviceEventSource* WindowController::StartDeviceEvents() {
    if (!events_ && drives_) events_ = drives_->WatchEvents();
    if (!events_ || events_->Fd() == -1) return nullptr;
    return events_.get();
}

void WindowController::StopDeviceEvents() { events_.reset(); }

void WindowController::OnDeviceEvents() {
    if (!events_ || finished_) return;
    for (DeviceEvent ev : events_->ReadEvents()) {
        if (!HandleDeviceEvent(ev)) return;
    }
    FocusScanBoxIfWriting();
}

void WindowController::OnDeviceEvent(DeviceEvent ev) {
    if (HandleDeviceEvent(ev)) FocusScanBoxIfWriting();
}

bool WindowController::HandleDeviceEvent(DeviceEvent ev) {
    if (finished_ || quitting_) return false;
    CheckGang();
    if (gang_) {
        gang_->OnEvent(ev);
        return true;
    }
    if (ev == DeviceEvent::Arrival) result_.Reset();
    BeginFlow();
    model_.core.WindowProc(ev);
    EndFlow();
    return true;
}

void WindowController::FocusScanBoxIfWriting() {
    // A scan after a device arrived replaces the last ID without a click.
    if (quitting_ || finished_) return;
    if (model_.core.IsWriteMode() && model_.tabIndex == 1 && model_.core.CurrentDevice())
        view_.FocusScanBox();
}

// ------------------------------------------------------------ gang mode ---

bool WindowController::OnGangMode(bool on) {
    Handling h(*this);
    if (gang_ || !model_.closeEnabled) {
        view_.ShowControls();
        return false;
    }
    model_.gangMode = on;
    view_.ShowControls();
    return true;
}

bool WindowController::GangWanted() {
    if (!model_.gangMode || finished_ || quitting_) return false;
    if (!model_.core.IsWriteMode()) return false;
    return (model_.tabIndex == 0 && model_.m_page1.IsAutoWriting()) ||
           (model_.tabIndex == 2 && model_.m_page3.IsAutoRun() != 0);
}

void WindowController::StartGang() {
    gangEnding_ = false;
    result_.GangStarts();
    gang_ = std::make_unique<GangStation>(model_.core);
    GangStation& gang = *gang_;
    if (model_.tabIndex == 0) {
        gang.SetIds(GangListIds(model_.m_page1));
    } else {
        gang.SetIds(GangCounterIds(model_.m_page3, gang.SharedLedger(),
                                   [&gang](const std::u16string& line) { gang.Log(line); }));
    }
    // Workers' calls: each hands its news to the window's thread.
    gang.Model().onChange = [this] {
        if (!portsPosted_.exchange(true)) view_.Post([this] { ShowPorts(); });
    };
    gang.onDone = [this](const PortOutcome& out, const GangCounts& counts) {
        PortView v;
        v.root = out.root;
        v.id = out.id;
        v.result = out.result;
        v.state = out.result == 0  ? PortState::Passed
                  : out.result > 0 ? PortState::Failed
                                   : PortState::Skipped;
        if (out.notRewritten) v.state = PortState::Skipped;
        const PortResult shown = PortResultOf(v, out.write);
        const auto written = static_cast<uint64_t>(counts.written);
        const auto failed = static_cast<uint64_t>(counts.failed);
        view_.Post([this, shown, written, failed] { result_.PortEnded(shown, written, failed); });
    };
    gang.onFree = [this] { view_.Post([this] { CheckGang(); }); };
}

void WindowController::CheckGang() {
    if (!gang_) {
        if (!GangWanted()) return;
        StartGang();
        // Devices plugged before automatic writing started are taken too.
        gang_->OnEvent(DeviceEvent::Arrival);
        return;
    }
    if (GangWanted()) {
        gang_->Poll();
        return;
    }
    gang_->StopNew();
    if (gang_->InFlight() == 0) EndGang();
}

void WindowController::EndGang() {
    if (!gang_) return;
    // A port waiting for the ledger's server gives up; the others finish.
    gangEnding_ = true;
    gang_->StopNew();
    gang_->WaitIdle();
    ShowPorts();
    gang_.reset();
    gangEnding_ = false;
    for (int i = 0; i < 3; ++i) {
        if (pageViews_[i]) pageViews_[i]();
    }
    // The check box is the operator's again.
    if (!finished_) view_.ShowControls();
}

void WindowController::ShowPorts() {
    portsPosted_ = false;
    if (gang_) result_.ShowPorts(gang_->Model().Snapshot(), model_.core.IsWriteMode() != 0);
}

void WindowController::PageChanged(int index) {
    if (!OnWindowThread()) {
        if (!pagesPosted_.exchange(true)) {
            view_.Post([this] {
                pagesPosted_ = false;
                PageChanged(0);
                PageChanged(1);
                PageChanged(2);
                CheckGang();
            });
        }
        return;
    }
    if (!pageViews_[index]) return;
    if (gang_) {
        const auto lock = gang_->LockPages();
        pageViews_[index]();
    } else {
        pageViews_[index]();
    }
    GangMaybeChanged();
}

void WindowController::GangMaybeChanged() {
    // Automatic writing switched on or off: the gang follows once the
    // handler in hand has returned.
    if (OnWindowThread() && !finished_ && (gang_ != nullptr) != GangWanted())
        view_.Post([this] { CheckGang(); });
}

void WindowController::PostLine(const std::u16string& line) {
    bool first = false;
    {
        std::lock_guard lock(linesLock_);
        first = lines_.empty();
        lines_.push_back(line);
    }
    if (!first) return;
    view_.Post([this] {
        std::deque<std::u16string> lines;
        {
            std::lock_guard lock(linesLock_);
            lines.swap(lines_);
        }
        for (const std::u16string& l : lines) model_.core.AppendLog(l);
    });
}

std::u16string WindowController::ThreadLog::GetText() {
    return owner_.OnWindowThread() && window ? window->GetText() : std::u16string();
}

void WindowController::ThreadLog::SetText(const std::u16string& text) {
    if (owner_.OnWindowThread() && window) window->SetText(text);
}

void WindowController::ThreadLog::ScrollToEnd() {
    if (owner_.OnWindowThread() && window) window->ScrollToEnd();
}

void WindowController::ThreadLog::LineAppended(const std::u16string& line) {
    if (!owner_.OnWindowThread()) {
        owner_.PostLine(line);
    } else if (window) {
        window->LineAppended(line);
    }
}

MsgAnswer WindowController::ThreadBoxes::Show(const MessageRequest& request) {
    if (owner_.OnWindowThread()) return window ? window->Show(request) : MsgAnswer::Cancel;
    owner_.PostLine(request.text);
    return request.buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::No;
}

void WindowController::OnWriteMode() {
    Handling h(*this);
    model_.OnWriteMode();
}

void WindowController::OnReadMode() {
    Handling h(*this);
    model_.OnReadMode();
}

void WindowController::OnTabSelChange(int index) {
    Handling h(*this);
    model_.OnTabSelChange(index);
    if (index == 1) view_.FocusScanBox();
}

void WindowController::OnClearLog() {
    Handling h(*this);
    model_.OnClearLog();
}

void WindowController::OnCloseButton() {
    if (model_.closeEnabled) RequestQuit(true);
}

bool WindowController::SystemCloseAllowed() const {
    return model_.closeEnabled || pausing_ || quitting_;
}

bool WindowController::OnSystemClose() {
    if (!SystemCloseAllowed()) return false;
    RequestQuit(false);
    return true;
}

void WindowController::RequestQuit(bool accepted) {
    if (!quitting_) accepted_ = accepted;
    quitting_ = true;
    ending_ = true;
    view_.DismissModals();
    if (handlers_ == 0) EndRunOnce();
}

void WindowController::EndHandler() {
    if (handlers_ > 0) --handlers_;
    if (handlers_ == 0 && quitting_) EndRunOnce();
}

void WindowController::EndRunOnce() {
    if (runEnded_) return;
    runEnded_ = true;
    view_.EndRun(accepted_);
}

void WindowController::Finish() {
    if (finished_) return;
    finished_ = true;
    ending_ = true;
    EndGang();
    model_.DestroyWindow();
}

void WindowController::BeginFlow() {
    BeginHandler();
    if (flows_++ == 0 && !pausing_) view_.ShowBusy(true);
}

void WindowController::EndFlow() {
    if (flows_ > 0 && --flows_ == 0 && !pausing_) view_.ShowBusy(false);
    EndHandler();
}

int WindowController::ObservedModel::WriteDeviceSN(const std::u16string& id) {
    WindowController& c = owner_;
    c.BeginFlow();
    c.result_.WriteStarts();
    c.view_.PumpRepaint();
    const int result = MainDialog::WriteDeviceSN(id);
    // An ID another run took meanwhile is passed over: the next one follows.
    const bool passedOver = result != 0 && core.Ledger().lastTaken;
    c.result_.WriteEnded(result, id, passedOver);
    if (!passedOver) c.view_.PumpRepaint();
    c.EndFlow();
    return result;
}

void WindowController::Sleep(uint32_t ms) {
    if (!OnWindowThread()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    view_.SleepRepainting(ms);
}

bool WindowController::Pause(uint32_t ms, const std::function<bool()>& goOn) {
    if (!OnWindowThread()) {
        // A port waiting for the ledger's server: the window goes on; the
        // end of the gang ends the wait.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!gangEnding_ && goOn() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !gangEnding_ && goOn();
    }
    if (ending_ || !goOn()) return false;
    pausing_ = true;
    // The busy cursor would tell the operator that nothing can be clicked.
    if (flows_ > 0) view_.ShowBusy(false);
    view_.HoldDeviceEvents(true);
    result_.ServerWait(true);
    view_.WaitHandling(ms, [this, &goOn] { return !ending_ && goOn(); });
    result_.ServerWait(false);
    view_.HoldDeviceEvents(false);
    if (flows_ > 0) view_.ShowBusy(true);
    pausing_ = false;
    return !ending_ && goOn();
}

void WindowController::BlockDone(FlowKind kind, uint64_t done, uint64_t total) {
    if (!OnWindowThread()) return;
    result_.BlockDone(kind, done, total);
    view_.PumpRepaint();
}

void WindowController::ReadEnded(int result, const std::u16string& id) {
    if (!OnWindowThread()) return;
    result_.ReadEnded(result, id);
    view_.PumpRepaint();
}

}  // namespace ts
